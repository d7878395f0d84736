// The soak run's simulated user: sign-on and sign-off, its random actions,
// and the bookkeeping of every answer the server owes it.
#include "bench/soak_client.h"

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <string_view>

#include "client/decode.h"
#include "client/encode.h"
#include "core/result.h"
#include "wire/bytes.h"
#include "wire/framing.h"

namespace zanth::bench {
namespace {

using namespace std::chrono_literals;
using client::Message;
using wire::TypeCode;
using Ms = std::chrono::milliseconds;

constexpr std::uint32_t kLoosePropList = TypeCode("LpLs");
constexpr std::uint32_t kLoosePropDrop = TypeCode("LPrp");
constexpr std::uint32_t kLoosePropMove = TypeCode("MLPr");
constexpr std::uint32_t kLoosePropDelete = TypeCode("DlPr");
constexpr std::uint32_t kPropList = TypeCode("Plst");
constexpr std::uint32_t kPropRequest = TypeCode("RPrp");
constexpr std::uint32_t kPropData = TypeCode("PDta");
constexpr std::uint32_t kUploadStart = TypeCode("sUpl");
constexpr std::uint32_t kUploadSegment = TypeCode("fSeg");
constexpr std::uint32_t kFileAck = TypeCode("FAck");
constexpr std::uint32_t kFileChanged = TypeCode("FChn");

// Phase limits.
constexpr auto kConnectLimit = 10s;
constexpr auto kSignOnLimit = 30s;
constexpr auto kLeaveLimit = 30s;
constexpr auto kRetryAfterFailure = 5s;
constexpr int kMaxMessagesPerVisit = 2000;

// The pace of one client: an action every 2 to 5 s; a staff member uploads
// a media file every 40 to 80 s; a client that signed off comes back after
// 1 to 10 s.
constexpr int kActionGapMinMs = 2000;
constexpr int kActionGapMaxMs = 5000;
constexpr int kUploadGapMinMs = 40000;
constexpr int kUploadGapMaxMs = 80000;
constexpr int kOfflineMinMs = 1000;
constexpr int kOfflineMaxMs = 10000;

// The share of each action, per thousand. Staff never sign off: they talk
// instead.
constexpr std::array<int, kActionKinds> kActionShare = [] {
  std::array<int, kActionKinds> share{};
  share[kTalk] = 420;
  share[kMove] = 250;
  share[kFace] = 60;
  share[kColour] = 60;
  share[kRoomChange] = 100;
  share[kWear] = 40;
  share[kPropDrop] = 50;  // a loose-prop action: drop, move or delete
  share[kSignOff] = 20;
  return share;
}();

// A room keeps at most this many loose props from the run: a client that
// sees this many deletes one.
constexpr std::size_t kMaxLooseProps = 6;
// The custom props of the run. Their data is sent when the server asks.
constexpr int kPropCount = 4;
constexpr std::int32_t kPropStamp = 1;
constexpr std::size_t kPropBytes = 300;
// Drops are told apart by their place: x from the slot, y from the slot and
// the drop's number modulo kDropTags.
constexpr int kDropTags = 100;
constexpr int kDropColumns = 470;

constexpr std::string_view kTalkPrefix = "soak ";
constexpr std::string_view kFiller =
    "the quick brown fox jumps over the lazy dog while the band plays on ";

std::array<std::uint8_t, 20> SoakProp(int n) {
  std::array<std::uint8_t, 20> id{};
  id[0] = 0xC0;
  id[1] = 0x5A;
  id[19] = static_cast<std::uint8_t>(n + 1);
  return id;
}

int SoakPropIndex(const std::uint8_t* id) {
  for (int n = 0; n < kPropCount; ++n) {
    std::array<std::uint8_t, 20> own = SoakProp(n);
    if (std::equal(own.begin(), own.end(), id)) return n;
  }
  return -1;
}

std::string SourceAddress(int slot) {
  return "127.10." + std::to_string(slot / 250) + "." +
         std::to_string(1 + slot % 250);
}

int Uniform(std::mt19937_64& random, int low, int high) {
  return std::uniform_int_distribution<int>(low, high)(random);
}

SoakClock::duration UniformMs(std::mt19937_64& random, int low, int high) {
  return Ms(Uniform(random, low, high));
}

std::int16_t DropX(int slot) {
  return static_cast<std::int16_t>(16 + slot % kDropColumns);
}

std::int16_t DropYBase(int slot) {
  return static_cast<std::int16_t>(16 + (slot / kDropColumns) * 110);
}

// Parses "soak <slot> <sequence> ..."; false for any other text.
bool ParseLine(std::string_view text, int* slot, std::uint32_t* sequence) {
  if (text.substr(0, kTalkPrefix.size()) != kTalkPrefix) return false;
  const char* p = text.data() + kTalkPrefix.size();
  const char* end = text.data() + text.size();
  auto [after_slot, ec1] = std::from_chars(p, end, *slot);
  if (ec1 != std::errc() || after_slot == end || *after_slot != ' ')
    return false;
  auto [after_seq, ec2] = std::from_chars(after_slot + 1, end, *sequence);
  return ec2 == std::errc();
}

SeenProp ReadSeenProp(const std::uint8_t* record) {
  SeenProp prop;
  std::copy(record, record + 20, prop.id.begin());
  prop.x = static_cast<std::int16_t>(wire::LoadU16(record + 60));
  prop.y = static_cast<std::int16_t>(wire::LoadU16(record + 62));
  return prop;
}

constexpr std::size_t kLoosePropRecord = 64;

}  // namespace

const char* ActionName(int action) {
  static const char* const kNames[kActionKinds] = {
      "talk",    "move",         "face",       "colour",      "room",
      "wear",    "prop_drop",    "prop_move",  "prop_delete", "sign_off",
      "sign_on", "media_upload", "prop_upload"};
  return action >= 0 && action < kActionKinds ? kNames[action] : "?";
}

const char* RequestName(int request) {
  static const char* const kNames[kRequestKinds] = {
      "talk_echo", "face_echo", "colour_echo", "room_answer",
      "drop_echo", "wear_echo", "upload_ack",  "upload_done"};
  return request >= 0 && request < kRequestKinds ? kNames[request] : "?";
}

SoakClient::SoakClient(const SoakSite* site, int slot, bool staff)
    : site_(site),
      slot_(slot),
      staff_(staff),
      address_(SourceAddress(slot)),
      uuid_(client::NewClientUuid()),
      heard_(static_cast<std::size_t>(site->clients), 0) {}

std::uint64_t SoakClient::Pending() const {
  std::uint64_t owed = 0;
  for (int r = 0; r < kRequestKinds; ++r) owed += sent(r) - answered(r);
  return owed;
}

void SoakClient::Count(int action) {
  ++site_->totals->actions[static_cast<std::size_t>(action)];
}

void SoakClient::SendMessage(std::uint32_t type,
                             const std::vector<std::uint8_t>& payload) {
  if (link_.closed() || !link_.connected()) return;
  (void)link_.Send(type, payload);
}

void SoakClient::Unwatch() {
  // The link may have closed its socket itself (the server ended it); the
  // poller then forgot it already, and the number may belong to another
  // client by now.
  if (watched_fd_ >= 0 && link_.fd() == watched_fd_)
    (void)site_->poller->Remove(watched_fd_);
  watched_fd_ = -1;
}

void SoakClient::GoOffline(SoakClock::time_point retry_at, bool lost) {
  SoakTotals& t = *site_->totals;
  if (lost) {
    ++t.lost_links;
    t.unanswered += Pending();
  }
  Unwatch();
  link_.Close();
  if (phase_ != Phase::kOffline) --t.open_links;
  phase_ = Phase::kOffline;
  next_time_ = retry_at;
  // A new link starts in step; what the old one still owed stays owed.
  talk_echo_next_ = talk_next_;
  drop_echo_next_ = drops_;
}

int SoakClient::StartSignOn(SoakClock::time_point now,
                            std::mt19937_64& random) {
  Count(kSignOn);
  int rc = link_.StartConnect("127.0.0.1", site_->port, address_);
  if (rc == kOk &&
      (rc = site_->poller->Add(link_.fd(), platform::kWritable, this)) != 0)
    link_.Close();
  if (rc != kOk) {
    ++site_->totals->signon_failures;
    next_time_ = now + kRetryAfterFailure + UniformMs(random, 0, 1000);
    return rc;
  }
  watched_fd_ = link_.fd();
  ++site_->totals->open_links;
  phase_ = Phase::kConnecting;
  deadline_ = now + kConnectLimit;
  return kOk;
}

void SoakClient::OnReady(SoakClock::time_point now, std::mt19937_64& random) {
  if (phase_ == Phase::kOffline) return;
  if (phase_ == Phase::kConnecting) {
    int rc = link_.FinishConnect();
    if (rc == EINPROGRESS) return;
    if (rc != kOk ||
        site_->poller->Modify(link_.fd(), platform::kReadable, this) != 0) {
      ++site_->totals->signon_failures;
      GoOffline(now + kRetryAfterFailure + UniformMs(random, 0, 1000), false);
      return;
    }
    user_id_ = 0;
    room_ = 0;
    loose_.clear();
    wearing_ = false;
    room_requests_.clear();
    client::Ident ident;
    ident.uuid = uuid_;
    ident.nickname = (staff_ ? "staff" : "soak") + std::to_string(slot_);
    ident.room = static_cast<std::int16_t>(site_->first_room +
                                           slot_ % site_->room_count);
    if (staff_) {
      ident.account = "Lord";
      ident.password = "Velk*Baron";
    }
    SendMessage(client::kIdent, client::EncodeIdent(ident));
    phase_ = Phase::kSigningOn;
    deadline_ = now + kSignOnLimit;
    return;
  }
  Message m;
  for (int read = 0; read < kMaxMessagesPerVisit && link_.Receive(&m, Ms(0));
       ++read)
    Handle(m, now);
}

void SoakClient::Tick(SoakClock::time_point now, std::mt19937_64& random,
                      bool acting) {
  SoakTotals& t = *site_->totals;
  if (phase_ == Phase::kOffline || phase_ == Phase::kConnecting) {
    if (phase_ == Phase::kConnecting && now > deadline_) {
      ++t.signon_failures;
      GoOffline(now + kRetryAfterFailure, false);
    }
    return;
  }
  if (link_.closed()) {
    // Everything that arrived before the end is read first.
    OnReady(now, random);
    if (phase_ == Phase::kSigningOn) ++t.signon_failures;
    GoOffline(now + kRetryAfterFailure + UniformMs(random, 0, 1000), true);
    return;
  }
  switch (phase_) {
    case Phase::kSigningOn:
      if (now > deadline_) {
        ++t.signon_failures;
        GoOffline(now + kRetryAfterFailure, false);
      }
      return;
    case Phase::kOnline:
      if (!acting) return;
      if (next_time_ == SoakClock::time_point{}) {
        // The first action of a session comes at a random point, so that
        // clients signed on together do not act together.
        next_time_ = now + UniformMs(random, 200, kActionGapMaxMs);
        next_upload_ =
            now + UniformMs(random, kUploadGapMinMs / 4, kUploadGapMaxMs);
        return;
      }
      if (staff_ && now >= next_upload_) {
        if (sent(kUploadDone) == answered(kUploadDone)) UploadMedia(random);
        next_upload_ =
            now + UniformMs(random, kUploadGapMinMs, kUploadGapMaxMs);
      }
      if (now >= next_time_) {
        Act(now, random);
        next_time_ = now + UniformMs(random, kActionGapMinMs, kActionGapMaxMs);
      }
      return;
    case Phase::kLeaving:
      if (Pending() == 0) {
        GoOffline(now + UniformMs(random, kOfflineMinMs, kOfflineMaxMs), false);
      } else if (now > deadline_) {
        ++t.leave_timeouts;
        t.unanswered += Pending();
        GoOffline(now + UniformMs(random, kOfflineMinMs, kOfflineMaxMs), false);
      }
      return;
    case Phase::kOffline:
    case Phase::kConnecting:
      return;
  }
}

void SoakClient::BeginLeave(SoakClock::time_point now) {
  Count(kSignOff);
  phase_ = Phase::kLeaving;
  deadline_ = now + kLeaveLimit;
}

void SoakClient::Handle(const Message& m, SoakClock::time_point now) {
  SoakTotals& t = *site_->totals;
  ++t.messages;
  const std::vector<std::uint8_t>& p = m.payload;
  const bool acting = phase_ == Phase::kOnline || phase_ == Phase::kLeaving;
  switch (m.type) {
    case client::kTalk:
      HandleTalk(m);
      return;
    case client::kYouAre:
      (void)client::DecodeU32(p, &user_id_);
      return;
    case client::kServerCaps:
      if (phase_ == Phase::kSigningOn) HandleSignOnEnd(now);
      return;
    case client::kKill:
      ++t.kills;
      return;
    case client::kRoomInfo: {
      client::RoomInfo info;
      if (!client::DecodeRoomInfo(p, &info)) return;
      room_ = info.id;
      width_ = info.width;
      height_ = info.height;
      loose_.clear();  // the new room's list follows when it has one
      if (acting && !room_requests_.empty()) {
        Answer(kRoomAnswer);
        // The server shows a wearer's props to the room entered.
        if (room_requests_.front()) Owe(kWearEcho);
        room_requests_.pop_front();
      }
      return;
    }
    case client::kUserMove: {
      client::UserMove move;
      if (!client::DecodeUserMove(p, &move)) return;
      if (move.user == user_id_) {
        ++t.forced_moves;
      } else {
        ++t.moves_seen;
      }
      return;
    }
    case client::kFace:
    case client::kColour: {
      client::UserValue value;
      bool face = m.type == client::kFace;
      bool ok = face ? client::DecodeUserFace(p, &value)
                     : client::DecodeUserColour(p, &value);
      if (ok && value.user == user_id_) Answer(face ? kFaceEcho : kColourEcho);
      return;
    }
    case kPropList:
      if (p.size() >= 4 && wire::LoadU32(p.data()) == user_id_)
        Answer(kWearEcho);
      return;
    case kLoosePropList: {
      if (p.size() < 4) return;
      std::size_t count = wire::LoadU16(p.data());
      loose_.clear();
      for (std::size_t i = 0;
           i < count && 4 + (i + 1) * kLoosePropRecord <= p.size(); ++i)
        loose_.push_back(ReadSeenProp(p.data() + 4 + i * kLoosePropRecord));
      return;
    }
    case kLoosePropDrop: {
      if (p.size() < kLoosePropRecord) return;
      SeenProp prop = ReadSeenProp(p.data());
      loose_.push_back(prop);
      const int tag = prop.y - DropYBase(slot_);
      if (prop.x != DropX(slot_) || tag < 0 || tag >= kDropTags) return;
      if (tag == static_cast<int>(drop_echo_next_ % kDropTags) &&
          drops_ > drop_echo_next_) {
        Answer(kDropEcho);
        ++drop_echo_next_;
      } else {
        ++misordered_echoes_;
      }
      return;
    }
    case kLoosePropMove:
    case kLoosePropDelete: {
      if (p.size() < 22) return;
      std::size_t position = wire::LoadU16(p.data() + 20);
      if (position >= loose_.size() ||
          !std::equal(loose_[position].id.begin(), loose_[position].id.end(),
                      p.data())) {
        return;
      }
      if (m.type == kLoosePropDelete) {
        loose_.erase(loose_.begin() + static_cast<std::ptrdiff_t>(position));
      } else if (p.size() >= 26) {
        loose_[position].x =
            static_cast<std::int16_t>(wire::LoadU16(p.data() + 22));
        loose_[position].y =
            static_cast<std::int16_t>(wire::LoadU16(p.data() + 24));
      }
      return;
    }
    case kPropRequest: {
      // The server lacks a prop's data: send it, as a client would.
      if (p.size() < 20) return;
      int n = SoakPropIndex(p.data());
      if (n < 0) return;
      std::array<std::uint8_t, 20> id = SoakProp(n);
      std::vector<std::uint8_t> data(kPropBytes);
      for (std::size_t i = 0; i < data.size(); ++i)
        data[i] = static_cast<std::uint8_t>(
            (i * 13 + static_cast<std::size_t>(n) * 29) % 251);
      wire::PayloadWriter w;
      w.Bytes(id.data(), id.size())
          .I32(kPropStamp)
          .U32(static_cast<std::uint32_t>(data.size()))
          .Bytes(data.data(), data.size());
      Count(kPropUpload);
      SendMessage(kPropData, w.bytes());
      return;
    }
    case kFileAck:
    case kFileChanged: {
      std::string name;
      if (!client::DecodeZString(p, &name)) return;
      if (m.type == kFileChanged) ++t.file_changes;
      if (!staff_ || name != upload_name_) return;
      Answer(m.type == kFileAck ? kUploadAck : kUploadDone);
      return;
    }
    default:
      return;
  }
}

void SoakClient::HandleTalk(const Message& m) {
  SoakTotals& t = *site_->totals;
  client::Speech speech;
  if (!client::DecodeSpeech(m.payload, &speech)) return;
  if (speech.speaker == 0) {
    if (speech.text == "Sorry, the room is full" && !room_requests_.empty()) {
      ++t.room_refusals;
      Answer(kRoomAnswer);
      room_requests_.pop_front();
    } else {
      ++t.notices;
    }
    return;
  }
  int slot = -1;
  std::uint32_t sequence = 0;
  if (!ParseLine(speech.text, &slot, &sequence) || slot < 0 ||
      slot >= site_->clients) {
    ++t.notices;
    return;
  }
  if (speech.speaker == user_id_) {
    if (slot == slot_ && sequence == talk_echo_next_ &&
        talk_next_ > talk_echo_next_) {
      Answer(kTalkEcho);
      ++talk_echo_next_;
    } else {
      ++misordered_echoes_;
    }
    return;
  }
  std::uint32_t& heard = heard_[static_cast<std::size_t>(slot)];
  if (slot == slot_ || sequence < heard) {
    ++t.talk_misordered;
  } else {
    heard = sequence + 1;
  }
  ++t.talk_heard;
}

void SoakClient::HandleSignOnEnd(SoakClock::time_point now) {
  (void)now;
  phase_ = Phase::kOnline;
  next_time_ = SoakClock::time_point{};  // the next Tick picks the first action
  ++site_->totals->signons_done;
}

void SoakClient::Act(SoakClock::time_point now, std::mt19937_64& random) {
  int pick = Uniform(random, 0, 999);
  int action = 0;
  while (action < kActionKinds - 1 &&
         pick >= kActionShare[static_cast<std::size_t>(action)]) {
    pick -= kActionShare[static_cast<std::size_t>(action)];
    ++action;
  }
  if (action == kSignOff && staff_) action = kTalk;
  switch (action) {
    case kMove:
      Move(random);
      return;
    case kFace:
      Count(kFace);
      Owe(kFaceEcho);
      SendMessage(client::kFace, client::EncodeFace(static_cast<std::uint16_t>(
                                     Uniform(random, 0, 12))));
      return;
    case kColour:
      Count(kColour);
      Owe(kColourEcho);
      SendMessage(client::kColour,
                  client::EncodeColour(static_cast<std::uint32_t>(
                      Uniform(random, 1, 0xFFFFFF))));
      return;
    case kRoomChange:
      ChangeRoom(random);
      return;
    case kWear:
      Wear(random);
      return;
    case kPropDrop:
      LooseProp(random);
      return;
    case kSignOff:
      BeginLeave(now);
      return;
    default:
      Talk(random);
      return;
  }
}

void SoakClient::Talk(std::mt19937_64& random) {
  std::string text = std::string(kTalkPrefix) + std::to_string(slot_) + " " +
                     std::to_string(talk_next_) + " ";
  std::size_t filler = static_cast<std::size_t>(Uniform(random, 0, 120));
  for (std::size_t i = 0; i < filler; ++i)
    text += kFiller[(talk_next_ + i) % kFiller.size()];
  Count(kTalk);
  Owe(kTalkEcho);
  ++talk_next_;
  SendMessage(client::kTalk, client::EncodeText(text));
}

void SoakClient::Move(std::mt19937_64& random) {
  // Inside the room's bounds, so that the server never has to move the
  // client back (it then tells the mover too).
  int x = Uniform(random, 10, std::max(10, width_ - 22));
  int y = Uniform(random, 10, std::max(10, height_ - 16));
  Count(kMove);
  SendMessage(client::kUserMove,
              client::EncodeMove(static_cast<std::int16_t>(x),
                                 static_cast<std::int16_t>(y)));
}

void SoakClient::ChangeRoom(std::mt19937_64& random) {
  std::uint16_t target = site_->gate_room;
  if (Uniform(random, 0, 19) != 0 || room_ == site_->gate_room) {
    do {
      target = static_cast<std::uint16_t>(
          site_->first_room + Uniform(random, 0, site_->room_count - 1));
    } while (target == room_ && site_->room_count > 1);
    if (target == room_) target = site_->gate_room;
  }
  Count(kRoomChange);
  Owe(kRoomAnswer);
  room_requests_.push_back(wearing_);
  SendMessage(client::kRoomRequest,
              client::EncodeRoomRequest(static_cast<std::int16_t>(target)));
}

void SoakClient::Wear(std::mt19937_64& random) {
  std::vector<int> chosen;
  for (int n = 0; n < kPropCount; ++n) {
    if (Uniform(random, 0, 2) == 0) chosen.push_back(n);
  }
  wire::PayloadWriter w;
  w.U16(static_cast<std::uint16_t>(chosen.size())).U16(0);
  for (int n : chosen) {
    std::array<std::uint8_t, 20> id = SoakProp(n);
    w.Bytes(id.data(), id.size()).I32(kPropStamp);
  }
  Count(kWear);
  Owe(kWearEcho);
  wearing_ = true;
  SendMessage(kPropList, w.bytes());
}

void SoakClient::LooseProp(std::mt19937_64& random) {
  int choice = Uniform(random, 0, 3);  // 0, 1: drop; 2: move; 3: delete
  if (loose_.size() >= kMaxLooseProps) choice = 3;
  if (loose_.empty()) choice = 0;
  if (choice <= 1) {
    std::array<std::uint8_t, 20> id =
        SoakProp(Uniform(random, 0, kPropCount - 1));
    const auto y = static_cast<std::int16_t>(
        DropYBase(slot_) + static_cast<int>(drops_ % kDropTags));
    wire::PayloadWriter w;
    w.Bytes(id.data(), id.size()).I32(kPropStamp).I16(DropX(slot_)).I16(y);
    Count(kPropDrop);
    Owe(kDropEcho);
    ++drops_;
    SendMessage(kLoosePropDrop, w.bytes());
    return;
  }
  const auto position = static_cast<std::uint16_t>(
      Uniform(random, 0, static_cast<int>(loose_.size()) - 1));
  const SeenProp& prop = loose_[position];
  wire::PayloadWriter w;
  w.Bytes(prop.id.data(), prop.id.size()).U16(position);
  if (choice == 2) {
    w.I16(
         static_cast<std::int16_t>(Uniform(random, 0, std::max(0, width_ - 1))))
        .I16(static_cast<std::int16_t>(
            Uniform(random, 0, std::max(0, height_ - 1))))
        .U16(0);
    Count(kPropMove);
    SendMessage(kLoosePropMove, w.bytes());
  } else {
    w.U16(0);
    Count(kPropDelete);
    SendMessage(kLoosePropDelete, w.bytes());
  }
}

void SoakClient::UploadMedia(std::mt19937_64& random) {
  // One file per staff member, replaced by each upload, in three segments.
  upload_name_ = "soak-" + std::to_string(slot_) + ".txt";
  upload_content_.clear();
  ++uploads_;
  wire::PayloadWriter start;
  start.ZString(upload_name_);
  Count(kMediaUpload);
  Owe(kUploadAck);
  Owe(kUploadDone);
  SendMessage(kUploadStart, start.bytes());
  constexpr int kSegments = 3;
  for (int s = 0; s < kSegments; ++s) {
    std::string segment = "upload " + std::to_string(uploads_) + " segment " +
                          std::to_string(s) + "\n";
    const std::size_t size =
        static_cast<std::size_t>(Uniform(random, 500, 4000));
    while (segment.size() < size)
      segment += kFiller[segment.size() % kFiller.size()];
    upload_content_ += segment;
    wire::PayloadWriter w;
    w.Fixed(upload_name_, 32)
        .U16(static_cast<std::uint16_t>(segment.size()))
        .U16(0)
        .U32(0)
        .U8(s + 1 == kSegments ? 1 : 0)
        .Bytes(segment.data(), segment.size());
    Owe(kUploadAck);
    SendMessage(kUploadSegment, w.bytes());
  }
}

}  // namespace zanth::bench
