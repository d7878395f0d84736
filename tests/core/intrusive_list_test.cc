// The intrusive list that keeps the server's observable orders.
#include "core/intrusive_list.h"

#include <gtest/gtest.h>

#include <memory>
#include <vector>

namespace zanth {
namespace {

struct Item {
  explicit Item(int v) : value(v) {}
  int value;
  ListNode<Item> all_link;
  ListNode<Item> other_link;
};

using AllList = IntrusiveList<Item, &Item::all_link>;
using OtherList = IntrusiveList<Item, &Item::other_link>;

std::vector<int> Values(const AllList& list) {
  std::vector<int> v;
  for (const Item& item : list) v.push_back(item.value);
  return v;
}

class IntrusiveListTest : public ::testing::Test {
 protected:
  void TearDown() override {
    while (Item* i = list_.front()) list_.Remove(*i);
    while (Item* i = other_.front()) other_.Remove(*i);
  }
  Item a_{1}, b_{2}, c_{3}, d_{4};
  AllList list_;
  OtherList other_;
};

TEST_F(IntrusiveListTest, PushFrontKeepsNewestFirst) {
  list_.PushFront(a_);
  list_.PushFront(b_);
  list_.PushFront(c_);
  EXPECT_EQ((std::vector<int>{3, 2, 1}), Values(list_));
  EXPECT_EQ(&c_, list_.front());
  EXPECT_EQ(&a_, list_.back());
  EXPECT_TRUE(list_.Verify());
}

TEST_F(IntrusiveListTest, RemovalFromHeadMiddleAndTailKeepsOrder) {
  for (Item* i : {&a_, &b_, &c_, &d_}) list_.PushBack(*i);
  list_.Remove(b_);
  EXPECT_EQ((std::vector<int>{1, 3, 4}), Values(list_));
  list_.Remove(a_);
  list_.Remove(d_);
  EXPECT_EQ((std::vector<int>{3}), Values(list_));
  EXPECT_TRUE(list_.Verify());
  list_.Remove(a_);  // not in the list: nothing happens
  EXPECT_EQ(1u, list_.size());
  EXPECT_FALSE(list_.Contains(a_));
}

TEST_F(IntrusiveListTest, InsertBeforeAndAfter) {
  list_.PushBack(a_);
  list_.PushBack(c_);
  list_.InsertAfter(&a_, b_);
  list_.InsertBefore(&a_, d_);
  EXPECT_EQ((std::vector<int>{4, 1, 2, 3}), Values(list_));
  EXPECT_EQ(&b_, AllList::Next(a_));
  EXPECT_EQ(&d_, AllList::Prev(a_));
  EXPECT_TRUE(list_.Verify());
}

TEST_F(IntrusiveListTest, IterationSurvivesRemovingTheCurrentRecord) {
  for (Item* i : {&a_, &b_, &c_, &d_}) list_.PushBack(*i);
  std::vector<int> visited;
  for (Item& item : list_) {
    visited.push_back(item.value);
    if (item.value % 2 == 0) list_.Remove(item);
  }
  EXPECT_EQ((std::vector<int>{1, 2, 3, 4}), visited);
  EXPECT_EQ((std::vector<int>{1, 3}), Values(list_));
}

TEST_F(IntrusiveListTest, RecordInTwoListsHasIndependentLinks) {
  list_.PushBack(a_);
  list_.PushBack(b_);
  other_.PushFront(a_);
  other_.PushFront(b_);
  list_.Remove(a_);
  EXPECT_TRUE(other_.Contains(a_));
  EXPECT_EQ(&b_, other_.front());
  EXPECT_EQ(&a_, other_.back());
  EXPECT_TRUE(other_.Verify());
}

}  // namespace
}  // namespace zanth
