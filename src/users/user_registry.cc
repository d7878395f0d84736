// The user list and the user-update list.
#include "users/user_registry.h"

#include <algorithm>

#include "core/log.h"

namespace zanth::users {

UserRegistry::~UserRegistry() {
  while (UserRecord* user = users_.front()) Unlink(*user);
}

UserRecord& UserRegistry::Add(std::unique_ptr<UserRecord> user) {
  // Ids are never 0 (the server's own id) and never one in use.
  while (next_id_ == 0 || by_id_.count(next_id_) != 0) ++next_id_;
  user->id = next_id_++;
  user->serial = ++serial_;
  UserRecord* raw = user.release();
  by_id_[raw->id] = raw;
  raw->indexed_address = raw->peer_address;
  by_address_[raw->indexed_address].push_back(raw);
  users_.PushFront(*raw);
  return *raw;
}

std::unique_ptr<UserRecord> UserRegistry::Unlink(UserRecord& user) {
  if (!users_.Contains(user)) return nullptr;
  users_.Remove(user);
  subscribers_.Remove(user);
  UnsubscribeRoomList(user);
  by_id_.erase(user.id);
  auto filed = by_address_.find(user.indexed_address);
  if (filed != by_address_.end()) {
    std::erase(filed->second, &user);
    if (filed->second.empty()) by_address_.erase(filed);
  }
  auto newest = newest_by_address_.find(user.peer_address);
  if (newest != newest_by_address_.end() && newest->second == user.id) {
    newest_by_address_.erase(newest);
  }
  if (user.active_listed) {
    std::erase(active_, &user);
    user.active_listed = false;
  }
  return std::unique_ptr<UserRecord>(&user);
}

void UserRegistry::MarkActive(UserRecord& user) {
  if (user.active_listed || !users_.Contains(user)) return;
  user.active_listed = true;
  active_.push_back(&user);
}

std::vector<UserRecord*> UserRegistry::TakeActive() {
  std::vector<UserRecord*> active;
  active.swap(active_);
  for (UserRecord* user : active) user->active_listed = false;
  // The order of the user list: newest (highest serial) first.
  std::sort(active.begin(), active.end(),
            [](const UserRecord* a, const UserRecord* b) { return a->serial > b->serial; });
  return active;
}

const UserRecord* UserRegistry::NewestFrom(const std::string& address) const {
  auto filed = by_address_.find(address);
  return filed == by_address_.end() ? nullptr : filed->second.back();
}

UserRecord* UserRegistry::Find(std::uint32_t id) const {
  auto it = by_id_.find(id);
  return it == by_id_.end() ? nullptr : it->second;
}

void UserRegistry::Subscribe(UserRecord& user) {
  subscribers_.Remove(user);
  subscribers_.PushFront(user);
}

void UserRegistry::SubscribeRoomList(UserRecord& user) {
  if (!users_.Contains(user) || user.room_list_subscriber) return;
  user.room_list_subscriber = true;
  room_list_subscribers_.PushFront(user);
}

void UserRegistry::UnsubscribeRoomList(UserRecord& user) {
  if (!user.room_list_subscriber) return;
  user.room_list_subscriber = false;
  room_list_subscribers_.Remove(user);
}

UserRecord* UserRegistry::ReplaceUnidentified(UserRecord& user) {
  std::uint32_t& newest = newest_by_address_[user.peer_address];
  UserRecord* before = newest != user.id ? Find(newest) : nullptr;
  newest = user.id;
  if (before == nullptr || before->state != SignOnState::kNew ||
      before->peer_address != user.peer_address) {
    return nullptr;
  }
  return before;
}

std::uint16_t UserRegistry::NextNumber() {
  ++counter_;
  if (counter_ > 3000) counter_ = 0;
  return counter_;
}

void UserRegistry::Verify() const {
  if (!users_.Verify()) Log(nullptr, "debug", "User list failed verify");
  if (!subscribers_.Verify()) Log(nullptr, "debug", "User update list failed verify");
}

}  // namespace zanth::users
