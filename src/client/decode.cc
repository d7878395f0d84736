// Bounds-checked decoders for server payloads.
#include "client/decode.h"

#include <cstring>

#include "wire/bytes.h"

namespace zanth::client {
namespace {

using wire::PayloadReader;

constexpr std::size_t kRoomSummarySize = 70;
constexpr std::size_t kUserSummarySize = 60;
constexpr std::size_t kUserListEntrySize = 40;
constexpr std::size_t kBitLabelSize = 40;
constexpr std::size_t kSoundRecordSize = 66;

PayloadReader Reader(Bytes payload) {
  return PayloadReader(payload.data(), payload.size());
}

// A ptext whose bytes must all be present: a length that runs past the end
// means the payload was cut.
bool ReadPText(PayloadReader& r, std::string* out) {
  std::size_t n = r.U8();
  if (!r.ok() || n > r.remaining()) return false;
  out->assign(r.current(), r.current() + n);
  return r.Skip(n);
}

// A zstring whose NUL must be present.
bool ReadZString(PayloadReader& r, std::string* out) {
  if (r.remaining() == 0 ||
      std::memchr(r.current(), 0, r.remaining()) == nullptr)
    return false;
  *out = r.ZString();
  return true;
}

// n records of size bytes must fit in what is left; checked before anything
// is allocated for them, so a huge count cannot exhaust memory.
bool RecordsFit(const PayloadReader& r, std::size_t n, std::size_t size) {
  return r.ok() && n <= r.remaining() / size;
}

void ReadRoomSummary(PayloadReader& r, RoomSummary* out) {
  out->id = r.U16();
  out->occupants = r.U16();
  out->closed = r.U8() != 0;
  out->name = r.Fixed(65);
}

void ReadUserSummary(PayloadReader& r, UserSummary* out) {
  out->id = r.U32();
  out->x = r.I16();
  out->y = r.I16();
  out->name = r.Fixed(36);
  out->badge = r.U32();
  out->voice = r.I16();
  r.Skip(2);
  out->colour = r.U32();
  out->face = r.U16();
  r.Skip(2);
}

void ReadUserListEntry(PayloadReader& r, UserListEntry* out) {
  out->id = r.U32();
  out->name = r.Fixed(34);
  out->room = r.U16();
}

void ReadGroup(PayloadReader& r, Group* out) {
  out->name = r.Fixed(34);
  out->rank = r.U16();
  out->privileges = r.U32();
  out->commands = r.U32();
}

// The user id, then one value read by read_value.
template <typename ReadValue>
bool DecodeUserValue(Bytes payload, UserValue* out, ReadValue read_value) {
  PayloadReader r = Reader(payload);
  out->user = r.U32();
  out->value = read_value(r);
  return r.ok();
}

}  // namespace

bool DecodeSpeech(Bytes payload, Speech* out) {
  PayloadReader r = Reader(payload);
  out->speaker = r.U32();
  return r.ok() && ReadPText(r, &out->text);
}

bool DecodeCrossRoomWhisper(Bytes payload, CrossRoomWhisper* out) {
  PayloadReader r = Reader(payload);
  out->speaker = r.U32();
  out->colour = r.U32();
  out->name = r.Fixed(33);
  return r.ok() && ReadPText(r, &out->text);
}

bool DecodeUserMove(Bytes payload, UserMove* out) {
  PayloadReader r = Reader(payload);
  out->user = r.U32();
  out->x = r.I16();
  out->y = r.I16();
  return r.ok();
}

bool DecodeUserMove3D(Bytes payload, UserMove3D* out) {
  PayloadReader r = Reader(payload);
  out->user = r.U32();
  r.Skip(4);  // always zero
  for (float& v : out->pose) v = r.Float();
  return r.ok();
}

bool DecodeUserFace(Bytes payload, UserValue* out) {
  return DecodeUserValue(payload, out,
                         [](PayloadReader& r) { return r.U16(); });
}

bool DecodeUserColour(Bytes payload, UserValue* out) {
  return DecodeUserValue(payload, out,
                         [](PayloadReader& r) { return r.U32(); });
}

bool DecodeUserBadge(Bytes payload, UserValue* out) {
  return DecodeUserValue(payload, out, [](PayloadReader& r) { return r.U8(); });
}

bool DecodeUserVoice(Bytes payload, UserValue* out) {
  return DecodeUserValue(payload, out,
                         [](PayloadReader& r) { return r.I16(); });
}

bool DecodeUserFaceImage(Bytes payload, UserFaceImage* out) {
  PayloadReader r = Reader(payload);
  out->user = r.U32();
  return r.ok() && ReadZString(r, &out->image);
}

bool DecodeU32(Bytes payload, std::uint32_t* out) {
  PayloadReader r = Reader(payload);
  *out = r.U32();
  return r.ok();
}

bool DecodeU16(Bytes payload, std::uint16_t* out) {
  PayloadReader r = Reader(payload);
  *out = r.U16();
  return r.ok();
}

bool DecodeZString(Bytes payload, std::string* out) {
  PayloadReader r = Reader(payload);
  return ReadZString(r, out);
}

bool DecodeGroupNotice(Bytes payload, GroupNotice* out) {
  PayloadReader r = Reader(payload);
  out->rank = r.U16();
  out->name = r.Fixed(34);
  return r.ok();
}

bool DecodeRoomSummary(Bytes payload, RoomSummary* out) {
  PayloadReader r = Reader(payload);
  ReadRoomSummary(r, out);
  return r.ok();
}

bool DecodeRoomList(Bytes payload, std::vector<RoomSummary>* out) {
  PayloadReader r = Reader(payload);
  std::size_t count = r.U16();
  if (!RecordsFit(r, count, kRoomSummarySize)) return false;
  out->assign(count, RoomSummary());
  for (RoomSummary& room : *out) ReadRoomSummary(r, &room);
  return r.ok();
}

bool DecodeRoomInfo(Bytes payload, RoomInfo* out) {
  PayloadReader r = Reader(payload);
  out->id = r.U16();
  out->width = r.I16();
  out->height = r.I16();
  out->name = r.Fixed(65);
  r.Skip(1);
  out->flags = r.U16();
  return r.ok();
}

bool DecodeRoomEditInfo(Bytes payload, RoomEditInfo* out) {
  PayloadReader r = Reader(payload);
  out->id = r.U16();
  r.Skip(2);
  out->flags = r.U32();
  out->name = r.Fixed(577);
  out->file_name = r.Fixed(512);
  out->description = r.Fixed(512);
  r.Skip(1);
  out->width = r.I16();
  out->height = r.I16();
  out->max_occupancy = r.I16();
  return r.ok();
}

bool DecodeUserSummary(Bytes payload, UserSummary* out) {
  PayloadReader r = Reader(payload);
  ReadUserSummary(r, out);
  return r.ok();
}

bool DecodeOccupants(Bytes payload, std::vector<UserSummary>* out) {
  PayloadReader r = Reader(payload);
  std::size_t count = r.U16();
  r.Skip(2);
  if (!RecordsFit(r, count, kUserSummarySize)) return false;
  out->assign(count, UserSummary());
  for (UserSummary& user : *out) ReadUserSummary(r, &user);
  return r.ok();
}

bool DecodeUserList(Bytes payload, std::vector<UserListEntry>* out) {
  PayloadReader r = Reader(payload);
  std::size_t count = r.U32();
  if (!RecordsFit(r, count, kUserListEntrySize)) return false;
  out->assign(count, UserListEntry());
  for (UserListEntry& user : *out) ReadUserListEntry(r, &user);
  return r.ok();
}

bool DecodeUserListUpdate(Bytes payload, UserListEntry* out) {
  PayloadReader r = Reader(payload);
  ReadUserListEntry(r, out);
  return r.ok();
}

bool DecodeGroupList(Bytes payload, std::vector<Group>* out) {
  PayloadReader r = Reader(payload);
  r.Skip(2);  // a marker byte and padding
  std::size_t count = r.U16();
  if (!RecordsFit(r, count, kGroupRecordSize)) return false;
  out->assign(count, Group());
  for (Group& group : *out) ReadGroup(r, &group);
  return r.ok();
}

bool DecodeAccountList(Bytes payload, std::vector<Account>* out) {
  PayloadReader r = Reader(payload);
  std::size_t count = r.U16();
  if (!RecordsFit(r, count, kAccountRecordSize)) return false;
  out->assign(count, Account());
  for (Account& account : *out) {
    account.name = r.Fixed(33);
    account.password = r.Fixed(33);
    account.group = r.U16();
    r.Skip(2);  // the record's index, which its place already gives
  }
  return r.ok();
}

bool DecodeBitLabels(Bytes payload, std::vector<BitLabel>* out) {
  PayloadReader r = Reader(payload);
  std::size_t count = r.U16();
  r.Skip(2);
  if (!RecordsFit(r, count, kBitLabelSize)) return false;
  out->assign(count, BitLabel());
  for (BitLabel& entry : *out) {
    entry.label = r.Fixed(36);
    entry.bit = r.U32();
  }
  return r.ok();
}

bool DecodeData(Bytes payload, DataMessage* out) {
  PayloadReader r = Reader(payload);
  out->tag = r.Fixed(16);
  out->sender = r.U32();
  std::size_t size = r.U32();
  if (!r.ok() || size > r.remaining()) return false;
  out->bytes.assign(r.current(), r.current() + size);
  return true;
}

bool DecodeSoundList(Bytes payload, std::vector<Sound>* out) {
  PayloadReader r = Reader(payload);
  std::size_t count = r.U32();
  std::size_t record_size = r.U32();
  if (record_size < kSoundRecordSize || !RecordsFit(r, count, record_size))
    return false;
  out->assign(count, Sound());
  for (Sound& sound : *out) {
    sound.name = r.Fixed(33);
    sound.source = r.Fixed(33);
    r.Skip(record_size - kSoundRecordSize);
  }
  return r.ok();
}

bool DecodeBanList(Bytes payload, std::vector<BanEntry>* out) {
  PayloadReader r = Reader(payload);
  std::size_t count = r.U32();
  if (!RecordsFit(r, count, kBanRecordSize)) return false;
  out->assign(count, BanEntry());
  for (BanEntry& ban : *out) {
    ban.name = r.Fixed(36);
    for (std::uint32_t& word : ban.uuid) word = r.U32();
    ban.client_number = r.U32();
    for (std::uint32_t& word : ban.reserved) word = r.U32();
    ban.flags = r.U32();
  }
  return r.ok();
}

bool DecodeDirectoryInfo(Bytes payload, DirectoryInfo* out) {
  PayloadReader r = Reader(payload);
  out->site_name = r.Fixed(65);
  out->site_url = r.Fixed(512);
  out->site_image = r.Fixed(512);
  out->description = r.Fixed(1024);
  out->hidden = r.U8() != 0;
  out->private_site = r.U8() != 0;
  out->members = r.U8() != 0;
  return r.ok();
}

bool DecodeRating(Bytes payload, std::array<std::uint16_t, 4>* out) {
  PayloadReader r = Reader(payload);
  for (std::uint16_t& v : *out) v = r.U16();
  return r.ok();
}

bool DecodeNameChange(Bytes payload, NameChange* out) {
  PayloadReader r = Reader(payload);
  out->user = r.U32();
  out->x = r.I16();
  out->y = r.I16();
  // Names are at most 32 characters, so the first 48 bytes of either form
  // hold the whole name.
  out->name = r.Fixed(48);
  return r.ok();
}

}  // namespace zanth::client
