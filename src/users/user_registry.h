// The user list (newest first) and the user-update list, with the lookup of
// wire user ids.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "core/intrusive_list.h"
#include "users/user.h"

namespace zanth::users {

using UserList = IntrusiveList<UserRecord, &UserRecord::list_link_>;
using UpdateList = IntrusiveList<UserRecord, &UserRecord::update_link_>;
using RoomListSubscribers = IntrusiveList<UserRecord, &UserRecord::room_list_link_>;

class UserRegistry {
 public:
  UserRegistry() = default;
  ~UserRegistry();
  UserRegistry(const UserRegistry&) = delete;
  UserRegistry& operator=(const UserRegistry&) = delete;

  // Adopts user at the head of the user list, gives it a fresh user id and
  // files it under its peer address.
  UserRecord& Add(std::unique_ptr<UserRecord> user);
  // Unlinks user from the user list and the update list and hands the record
  // back. nullptr when the user is not in the list.
  std::unique_ptr<UserRecord> Unlink(UserRecord& user);

  // The connected user with this id, or nullptr.
  UserRecord* Find(std::uint32_t id) const;
  bool IsLive(const UserRecord* user) const {
    return user != nullptr && users_.Contains(*user);
  }

  const UserList& users() const { return users_; }
  const UpdateList& subscribers() const { return subscribers_; }
  void Subscribe(UserRecord& user);
  void Unsubscribe(UserRecord& user) { subscribers_.Remove(user); }
  // The users who asked for the room list and take its updates.
  const RoomListSubscribers& room_list_subscribers() const { return room_list_subscribers_; }
  void SubscribeRoomList(UserRecord& user);
  void UnsubscribeRoomList(UserRecord& user);

  // Notes that user has input waiting; TakeActive hands the noted users
  // over, in the order of the user list, and forgets them. A user unlinked
  // meanwhile is forgotten with it.
  void MarkActive(UserRecord& user);
  std::vector<UserRecord*> TakeActive();

  // The newest user in the list connected from address, or nullptr.
  const UserRecord* NewestFrom(const std::string& address) const;

  // Makes user, just connected, its address's connection waiting for its
  // ident, and returns the one that waited before it, if any still does.
  UserRecord* ReplaceUnidentified(UserRecord& user);

  // The connection counter (wraps from 3000 to 0) for user numbers.
  std::uint16_t NextNumber();
  std::uint16_t count() const { return static_cast<std::uint16_t>(users_.size()); }

  // Logs "User list failed verify" / "User update list failed verify" when
  // a back link is wrong.
  void Verify() const;

 private:
  UserList users_;
  UpdateList subscribers_;
  RoomListSubscribers room_list_subscribers_;
  std::unordered_map<std::uint32_t, UserRecord*> by_id_;
  // Per peer address, its users in the order they were added.
  std::unordered_map<std::string, std::vector<UserRecord*>> by_address_;
  std::vector<UserRecord*> active_;
  // Per peer address, the id of the newest connection from it; it may have
  // sent its ident since.
  std::unordered_map<std::string, std::uint32_t> newest_by_address_;
  std::uint64_t serial_ = 0;
  std::uint32_t next_id_ = 1;
  std::uint16_t counter_ = 0;
};

}  // namespace zanth::users
