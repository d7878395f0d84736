// The user registry's list of users with input: what a pass serves when it
// does not walk every user.
#include "users/user_registry.h"

#include <gtest/gtest.h>

#include <vector>

namespace zanth::users {
namespace {

TEST(UserRegistryTest, ActiveUsersComeBackOnceInUserListOrderAndForgetLeavers) {
  UserRegistry registry;
  std::vector<UserRecord*> added;
  for (int i = 0; i < 4; ++i) added.push_back(&registry.Add(std::make_unique<UserRecord>()));
  // Noted out of order, one twice, and one that leaves before the pass.
  registry.MarkActive(*added[0]);
  registry.MarkActive(*added[2]);
  registry.MarkActive(*added[3]);
  registry.MarkActive(*added[0]);
  registry.MarkActive(*added[1]);
  std::unique_ptr<UserRecord> gone = registry.Unlink(*added[1]);

  std::vector<UserRecord*> active = registry.TakeActive();
  // The user list runs newest first.
  std::vector<UserRecord*> expected = {added[3], added[2], added[0]};
  EXPECT_EQ(active, expected);
  EXPECT_TRUE(registry.TakeActive().empty());

  // Taken users can be noted again; an unlinked one cannot.
  registry.MarkActive(*added[2]);
  registry.MarkActive(*gone);
  EXPECT_EQ(registry.TakeActive(), std::vector<UserRecord*>{added[2]});
}

}  // namespace
}  // namespace zanth::users
