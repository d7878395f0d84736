// The user-message pass and the dispatch table.
#include "protocol/dispatcher.h"

#include <new>

#include "core/log.h"
#include "core/metrics.h"
#include "core/result.h"
#include "net/connection.h"
#include "platform/clock.h"
#include "protocol/handlers.h"
#include "protocol/session.h"
#include "wire/bytes.h"
#include "wire/framing.h"

namespace zanth::protocol {
namespace {

using users::UserRecord;

enum class Guard {
  kNone,
  kNotGagged,       // dropped silently from a Gagged user
  kInRoom,          // ignored from a user in no room
  kConsole,         // needs "Server console"
  kNotPropGagged,   // ignored from a PropGagged user
};

struct DispatchEntry {
  std::uint32_t type;
  Handler handler;  // nullptr: handled by a later part of the server; ignored
  std::size_t min_size;
  Guard guard;
  const char* debug;  // verbose line logged before the handler, or nullptr
};

// One table for every code a client may send; checked before any handler.
const DispatchEntry kDispatchTable[] = {
    {wire::TypeCode("Talk"), HandleTalk, 1, Guard::kNotGagged, nullptr},
    {wire::TypeCode("xTlk"), HandleWhisper, 4, Guard::kNotGagged, nullptr},
    {wire::TypeCode("RmMs"), HandleRoomMessage, 1, Guard::kInRoom, nullptr},
    {wire::TypeCode("UsMv"), HandleMove, 4, Guard::kNone, nullptr},
    {wire::TypeCode("Mv3D"), HandleMove3D, 48, Guard::kNone, nullptr},
    {wire::TypeCode("FNum"), HandleFace, 2, Guard::kNone, nullptr},
    {wire::TypeCode("FRGB"), HandleColour, 4, Guard::kNone, nullptr},
    {wire::TypeCode("FImg"), HandleFaceImage, 0, Guard::kNone, nullptr},
    {wire::TypeCode("Badg"), HandleBadge, 0, Guard::kNone, nullptr},
    {wire::TypeCode("Voic"), HandleVoice, 2, Guard::kNone, nullptr},
    {wire::TypeCode("Data"), HandleData, 24, Guard::kNone, nullptr},
    {wire::TypeCode("Ulls"), HandleUserList, 0, Guard::kNone, nullptr},
    {wire::TypeCode("UlSt"), HandleUserListStop, 0, Guard::kNone, nullptr},
    {wire::TypeCode("Name"), HandleName, 0, Guard::kNone, "Name message"},
    {wire::TypeCode("auth"), HandleAuth, 0, Guard::kNone, "Authentication request"},
    {wire::TypeCode("RmRq"), HandleRoomRequest, 2, Guard::kNone, "Room Request"},
    {wire::TypeCode("Rmls"), HandleRoomList, 0, Guard::kNone, "Room List request"},
    {wire::TypeCode("RlSt"), HandleRoomListStop, 0, Guard::kNone, "Room List stop"},
    {wire::TypeCode("RmNm"), HandleRoomName, 2, Guard::kNone, nullptr},
    {wire::TypeCode("REIn"), HandleRoomEditInfo, 0, Guard::kNone, nullptr},
    {wire::TypeCode("ARmI"), HandleFreeRoomId, 0, Guard::kNone, nullptr},
    {wire::TypeCode("RmLk"), HandleRoomLock, 8, Guard::kNone, nullptr},
    {wire::TypeCode("SpSt"), HandleSpotState, 6, Guard::kNone, nullptr},
    {wire::TypeCode("LPrp"), HandleLooseProp, 28, Guard::kNone, nullptr},
    {wire::TypeCode("MLPr"), HandleMoveLooseProp, 28, Guard::kNone, "Received loose prop move"},
    {wire::TypeCode("DlPr"), HandleDeleteLooseProp, 24, Guard::kNone, "Received delete loose prop"},
    {wire::TypeCode("Plst"), HandlePropList, 4, Guard::kNotPropGagged, "Prop list request"},
    {wire::TypeCode("PDta"), HandlePropData, 28, Guard::kNone, nullptr},
    {wire::TypeCode("CrRm"), HandleCreateRoom, 0, Guard::kNone, nullptr},
    {wire::TypeCode("UpRm"), HandleUpdateRoom, 0, Guard::kNone, nullptr},
    {wire::TypeCode("sUpl"), HandleUploadStart, 0, Guard::kNone, nullptr},
    {wire::TypeCode("fSeg"), HandleUploadSegment, 0, Guard::kNone, nullptr},
    {wire::TypeCode("Rtng"), HandleRating, 0, Guard::kNone, nullptr},
    {wire::TypeCode("DrIn"), HandleDirectoryInfo, 0, Guard::kNone, nullptr},
    {wire::TypeCode("AuLs"), HandleAccountList, 0, Guard::kConsole, nullptr},
    {wire::TypeCode("BnLs"), HandleBanList, 0, Guard::kConsole, nullptr},
    {wire::TypeCode("GrLs"), HandleGroupList, 0, Guard::kConsole, nullptr},
    {wire::TypeCode("SdLs"), HandleSoundList, 0, Guard::kConsole, nullptr},
    {wire::TypeCode("REAu"), HandleAccountListRequest, 0, Guard::kConsole, nullptr},
    {wire::TypeCode("REBl"), HandleBanListRequest, 0, Guard::kConsole, nullptr},
    {wire::TypeCode("REGl"), HandleGroupListRequest, 0, Guard::kConsole, nullptr},
    {wire::TypeCode("REPm"), HandlePrivilegeNamesRequest, 0, Guard::kConsole, nullptr},
    {wire::TypeCode("RECm"), HandleCommandNamesRequest, 0, Guard::kConsole, nullptr},
    {wire::TypeCode("REDI"), HandleDirectoryInfoRequest, 0, Guard::kConsole, nullptr},
};

const DispatchEntry* FindEntry(std::uint32_t type) {
  for (const DispatchEntry& entry : kDispatchTable) {
    if (entry.type == type) return &entry;
  }
  return nullptr;
}

// Feeds one user's complete messages to the dispatcher.
class UserReceiver : public wire::MessageReceiver {
 public:
  UserReceiver(Site& site, UserRecord& user, int* last_error)
      : site_(site), user_(user), last_error_(last_error) {}

  bool OnType(std::uint32_t type) override {
    if (user_.state == users::SignOnState::kNew) {
      if (type != wire::TypeCode("Idn2")) {
        users::MarkTerminating(user_);
        ++GetMetrics().dropped_bad_data;
        LogAs(user_, "Discnct", "#%d %s failed ident", user_.number, user_.peer_address.c_str());
      } else {
        user_.state = users::SignOnState::kSignedOn;
      }
    }
    return !user_.terminating();
  }

  bool OnMessage(std::uint32_t type, const std::uint8_t* payload, std::size_t size,
                 bool compressed) override {
    int rc = Dispatch(site_, user_, type, payload, size, compressed);
    if (rc != 0) {
      Log(nullptr, "Error", "%d processing user message", rc);
      *last_error_ = rc;
    }
    return site_.users.IsLive(&user_) && !user_.terminating();
  }

 private:
  Site& site_;
  UserRecord& user_;
  int* last_error_;
};

void BadData(UserRecord& user) {
  users::MarkTerminating(user);
  ++GetMetrics().dropped_bad_data;
  LogAs(user, "Discnct", "#%d %s bad data", user.number, user.peer_address.c_str());
}

void BroadcastCount(Site& site, std::int64_t now) {
  if (now < site.next_count_time) return;
  std::uint16_t count = site.users.count();
  if (count != site.last_sent_count) {
    wire::PayloadWriter w;
    w.U16(count);
    // Two bytes are never compressed: one frame serves every user.
    std::vector<std::uint8_t> frame;
    wire::FrameMessage(wire::kChatMagic, wire::TypeCode("UsCt"), w.bytes().data(),
                       w.bytes().size(), false, &frame);
    for (UserRecord& user : site.users.users()) user.SendFrame(frame);
    site.last_sent_count = count;
  }
  site.next_count_time = now + 5;
}

// Runs the keep-alive rules for a user from whom nothing came.
void Probe(UserRecord& user, std::int64_t now) {
  if (user.ping_deadline >= now) return;
  if (user.state != users::SignOnState::kNew && user.ping_count < kMaxProbes) {
    user.Send(wire::TypeCode("Ping"), nullptr, 0);
    user.ping_deadline = now + (user.ping_count == 0 ? kSecondProbeAfter : kLaterProbeAfter);
    ++user.ping_count;
    return;
  }
  Terminate(user);
  LogAs(user, "Discnct", "timeout");
}

// Takes the connection's waiting bytes into the receive buffer.
void TakeInput(UserRecord& user, net::Connection& connection) {
  std::size_t waiting = connection.ReadyCount();
  // No legal message is larger than this; a peer that keeps sending one
  // endless message is cut off instead of growing the buffer for ever.
  if (user.receive.size() + waiting > wire::kMaxMessageSize + net::kInputLimit) {
    BadData(user);
    return;
  }
  std::size_t used = user.receive.size();
  try {
    user.receive.resize(used + waiting);
  } catch (const std::bad_alloc&) {
    LogError(kNoMemory, "increasing receive buffer");
    return;
  }
  std::size_t taken = connection.TakeInput(user.receive.data() + used, waiting);
  user.receive.resize(used + taken);
}

}  // namespace

int Dispatch(Site& site, UserRecord& user, std::uint32_t type, const std::uint8_t* payload,
             std::size_t size, bool compressed) {
  if (type == wire::TypeCode("Idn2")) return HandleIdent(site, user, payload, size);
  const DispatchEntry* entry = FindEntry(type);
  if (entry == nullptr || size < entry->min_size) return kOk;
  if (entry->debug != nullptr) LogDebug("%s", entry->debug);
  switch (entry->guard) {
    case Guard::kNone:
      break;
    case Guard::kNotGagged:
      if (user.Has(users::kGagged)) return kOk;
      break;
    case Guard::kInRoom:
      if (user.room == nullptr) return kOk;
      break;
    case Guard::kNotPropGagged:
      if (user.Has(users::kPropGagged)) return kOk;
      break;
    case Guard::kConsole:
      if (entry->handler == nullptr) return kOk;
      if (!site.GroupOf(user).Has(users::kServerConsole)) {
        users::SendServerNotice(user, "You do not have console permission");
        return kOk;
      }
      break;
  }
  if (entry->handler == nullptr) return kOk;
  return entry->handler(site, user, Message{payload, size, compressed});
}

namespace {

// Cuts the messages out of data[0, size) and runs them; returns how many
// bytes they took, or 0 when the user is gone (nothing may be touched then).
std::size_t RunMessages(Site& site, UserRecord& user, const std::uint8_t* data, std::size_t size,
                        int* last_error) {
  UserReceiver receiver(site, user, last_error);
  wire::ParseOutcome outcome = wire::ParseMessages(data, size, wire::kChatMagic, receiver);
  if (!site.users.IsLive(&user)) return 0;
  if (outcome.error == wire::ParseError::kBadData) BadData(user);
  if (outcome.error == wire::ParseError::kNoMemory) {
    LogError(kNoMemory, "processing user message");
    *last_error = kNoMemory;
  }
  return outcome.consumed;
}

// Runs the whole messages that came from the user. They are parsed where
// the connection received them; only a message that the connection cannot
// hold whole moves into the user's receive buffer, which then gathers the
// input until it is empty again.
void ServeUser(Site& site, UserRecord& user, std::int64_t now, int* last_error) {
  if (user.terminating()) return;
  net::Connection* connection = user.connection;
  bool input = connection != nullptr && connection->ReadyCount() > 0;
  if (!input) {
    Probe(user, now);
  } else {
    user.ping_deadline = now + kFirstProbeAfter;
    user.ping_count = 0;
  }
  if (input && user.receive.empty()) {
    std::size_t waiting = connection->ReadyCount();
    if (waiting > wire::kHeaderSize) {
      std::size_t consumed =
          RunMessages(site, user, connection->InputData(), waiting, last_error);
      if (!site.users.IsLive(&user)) return;
      connection->ConsumeInput(consumed);
    }
    // A partial message waits in the connection for its rest, unless the
    // connection has stopped reading for want of room.
    if (user.terminating() || !connection->input_full()) return;
  }
  if (input) TakeInput(user, *connection);
  if (user.terminating() || user.receive.size() <= wire::kHeaderSize) return;
  std::size_t consumed =
      RunMessages(site, user, user.receive.data(), user.receive.size(), last_error);
  if (!site.users.IsLive(&user)) return;
  user.receive.erase(user.receive.begin(),
                     user.receive.begin() + static_cast<std::ptrdiff_t>(consumed));
}

}  // namespace

int ProcessUsers(Site& site) {
  RemoveTerminated(site);
  std::int64_t now = platform::GetClock().NowSeconds();
  BroadcastCount(site, now);
  int last_error = 0;
  // A user without input only has its keep-alive deadline to check, and
  // deadlines are whole seconds: walking everyone once a second finds them
  // all when they fall due. Users with input are served in every pass, in
  // the order of the user list.
  std::vector<UserRecord*> active = site.users.TakeActive();
  if (now != site.last_full_walk) {
    site.last_full_walk = now;
    for (UserRecord& user : site.users.users()) ServeUser(site, user, now, &last_error);
    return last_error;
  }
  for (UserRecord* user : active) {
    // A user removed meanwhile left the active list with the registry.
    if (site.users.IsLive(user)) ServeUser(site, *user, now, &last_error);
  }
  return last_error;
}

}  // namespace zanth::protocol
