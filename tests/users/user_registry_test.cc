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

// One connection per address may wait for its ident: each newcomer names
// the one it replaces, only while that one still waits and is still there.
TEST(UserRegistryTest, NewcomerReplacesOnlyTheConnectionStillWaitingFromItsAddress) {
  UserRegistry registry;
  auto connect = [&](const char* address) -> UserRecord& {
    auto record = std::make_unique<UserRecord>();
    record->peer_address = address;
    UserRecord& user = registry.Add(std::move(record));
    return user;
  };
  UserRecord& first = connect("127.0.0.1");
  EXPECT_EQ(registry.ReplaceUnidentified(first), nullptr);
  EXPECT_EQ(registry.ReplaceUnidentified(connect("127.0.0.2")), nullptr);
  UserRecord& second = connect("127.0.0.1");
  EXPECT_EQ(registry.ReplaceUnidentified(second), &first);

  second.state = SignOnState::kSignedOn;  // it identified itself
  UserRecord& third = connect("127.0.0.1");
  EXPECT_EQ(registry.ReplaceUnidentified(third), nullptr);

  std::unique_ptr<UserRecord> gone = registry.Unlink(third);
  EXPECT_EQ(registry.ReplaceUnidentified(connect("127.0.0.1")), nullptr);
}

// The access log names the newest user still connected from an address; an
// older one takes over when the newest leaves.
TEST(UserRegistryTest, NewestFromAnAddressOutlivesTheLeaversBeforeIt) {
  UserRegistry registry;
  auto connect = [&](const char* address) -> UserRecord& {
    auto record = std::make_unique<UserRecord>();
    record->peer_address = address;
    return registry.Add(std::move(record));
  };
  UserRecord& old = connect("10.0.0.1");
  UserRecord& other = connect("10.0.0.2");
  UserRecord& newest = connect("10.0.0.1");
  EXPECT_EQ(registry.NewestFrom("10.0.0.1"), &newest);
  EXPECT_EQ(registry.NewestFrom("10.0.0.2"), &other);
  EXPECT_EQ(registry.NewestFrom("10.0.0.3"), nullptr);

  std::unique_ptr<UserRecord> gone = registry.Unlink(newest);
  EXPECT_EQ(registry.NewestFrom("10.0.0.1"), &old);
  gone = registry.Unlink(old);
  EXPECT_EQ(registry.NewestFrom("10.0.0.1"), nullptr);
}

}  // namespace
}  // namespace zanth::users
