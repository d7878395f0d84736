// The user record: one per chat connection, from accept to removal.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/intrusive_list.h"
#include "core/log.h"
#include "platform/file.h"
#include "props/prop_id.h"

namespace zanth::net {
class Connection;
}
namespace zanth::rooms {
struct RoomRecord;
}

namespace zanth::users {

// User flags.
inline constexpr std::uint32_t kPinned = 0x00000001;
inline constexpr std::uint32_t kGagged = 0x00000002;
inline constexpr std::uint32_t kPropGagged = 0x00000004;
inline constexpr std::uint32_t kNameGagged = 0x00000008;
inline constexpr std::uint32_t kInTimeout = 0x00000010;
inline constexpr std::uint32_t kAcceptsCompressed = 0x00000040;
inline constexpr std::uint32_t kRejectsWhispers = 0x00000080;
inline constexpr std::uint32_t kWebClient = 0x00000100;
inline constexpr std::uint32_t kLocal = 0x00000200;
inline constexpr std::uint32_t kRestrictionFlags = 0x1F;  // from ban records

inline constexpr std::uint32_t kDefaultColour = 0xCCCC00;
inline constexpr std::size_t kNameLimit = 32;

enum class SignOnState : std::uint8_t { kNew = 0, kTerminating = 1, kSignedOn = 2 };

struct Pose {
  float position[3] = {0, 0, 0};
  float vector2[3] = {0, 0, 0};
  float rotation[3] = {0, 0, 0};
  float vector4[3] = {0, 0, 0};
};

// A file being uploaded into the media folder.
struct Upload {
  std::string file_name;   // the name the client gave; the key
  std::string final_path;  // media folder + name
  std::string temp_path;   // final_path + ".tmp"
  platform::File file;     // the open temporary file
  std::uint64_t size = 0;  // bytes written so far
};

// One prop of a user's prop list.
struct PropEntry {
  props::PropId id{};
  std::int32_t stamp = 0;
};

// Output a user may have waiting. A client that stops reading is cut off
// when its queue would pass this, instead of growing without end.
inline constexpr std::size_t kOutputQueueLimit = 4u << 20;

struct UserRecord {

  // Sends one message to this user (framed, compressed when allowed and the
  // client accepts it). Returns 0, or the queue's error. A message that
  // would take the output queue past kOutputQueueLimit is dropped and the
  // user is ended (logged "Discnct"); nothing more is queued for it.
  int Send(std::uint32_t type, const std::uint8_t* payload, std::size_t size,
           bool allow_compression = true);
  int Send(std::uint32_t type, const std::vector<std::uint8_t>& payload,
           bool allow_compression = true) {
    return Send(type, payload.data(), payload.size(), allow_compression);
  }

  // Sends a message framed already (wire::FrameMessage), so that a
  // message for many users is framed once; the queue limit as for Send.
  int SendFrame(const std::vector<std::uint8_t>& frame);

  LogUser log_user() const;
  bool Has(std::uint32_t flag) const { return (flags & flag) != 0; }
  bool signed_on() const { return state == SignOnState::kSignedOn; }
  bool terminating() const { return state == SignOnState::kTerminating; }

  ListNode<UserRecord> list_link_;      // the user list, newest first
  ListNode<UserRecord> update_link_;    // users receiving user list updates
  ListNode<UserRecord> occupant_link_;  // the occupants of the current room
  ListNode<UserRecord> room_list_link_;  // users receiving room list updates

  std::uint32_t id = 0;  // the user id on the wire, unique among connected users
  // Grows with every user added: the user list runs from the highest serial
  // to the lowest, so a pass over a few users can keep the list's order.
  std::uint64_t serial = 0;
  bool active_listed = false;  // in the registry's list of users with input
  std::string peer_address;
  // The address the registry filed this user under when it was added.
  std::string indexed_address;
  std::string account_name;
  std::uint32_t flags = 0;
  std::uint32_t badge = 0;
  std::uint16_t group = 0;
  std::uint16_t number = 0;
  std::uint32_t uuid[4] = {0, 0, 0, 0};
  std::uint32_t client_number = 0;
  rooms::RoomRecord* room = nullptr;
  net::Connection* connection = nullptr;
  std::int64_t ping_deadline = 0;
  std::int16_t ping_count = 0;
  SignOnState state = SignOnState::kNew;
  std::int16_t x = 0;
  std::int16_t y = 0;
  Pose pose;
  std::int16_t face = 0;
  std::uint32_t colour = kDefaultColour;
  std::string name;
  std::int16_t voice = 0;
  bool room_list_subscriber = false;  // set by UserRegistry::SubscribeRoomList
  std::vector<std::uint8_t> receive;  // receive buffer; size() is the used part
  std::optional<std::string> face_image;
  std::optional<std::vector<PropEntry>> prop_list;  // none until a "Plst"
  // Ids of the users this user muted, and of those who muted it; an id may
  // stand more than once.
  std::vector<std::uint32_t> muted;
  std::vector<std::uint32_t> muted_by;
  std::vector<std::unique_ptr<Upload>> uploads;  // newest first
};

// One message for many receivers: framed on first need once plain and,
// when compression is allowed, once more compressed for the receivers that
// take it; each receiver's queue then copies (and scrambles) the frame once.
class SharedFrame {
 public:
  // payload must outlive the object.
  SharedFrame(std::uint32_t type, const std::uint8_t* payload, std::size_t size,
              bool allow_compression)
      : type_(type), payload_(payload), size_(size), allow_compression_(allow_compression) {}
  // As UserRecord::SendFrame.
  int SendTo(UserRecord& user);

 private:
  std::uint32_t type_;
  const std::uint8_t* payload_;
  std::size_t size_;
  bool allow_compression_;
  std::vector<std::uint8_t> plain_;
  std::vector<std::uint8_t> packed_;
};

// Marks the user's session as ending; it is removed at the start of the
// next pass.
void MarkTerminating(UserRecord& user);
// How many times MarkTerminating has run in this process: while it has not
// moved since the last sweep, there is no one to remove.
std::uint64_t TerminationCount();

// Logs a line attributed to user.
void LogAs(const UserRecord& user, const char* category, const char* format, ...)
    ZANTH_PRINTF(3, 4);

// Sends a server notice: "Talk" from user id 0 carrying text (cut to 255).
int SendServerNotice(UserRecord& user, std::string_view text);

// The user summary of "RmEn" and "RmOc": id, position, name, badge, voice,
// colour and face, kUserSummarySize bytes.
inline constexpr std::size_t kUserSummarySize = 60;
void AppendUserSummary(const UserRecord& user, std::vector<std::uint8_t>* out);

}  // namespace zanth::users
