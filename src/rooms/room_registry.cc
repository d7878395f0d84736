// The room registry.
#include "rooms/room_registry.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include "config/text.h"
#include "core/log.h"
#include "wire/bytes.h"

namespace zanth::rooms {
namespace {

// Up to the first NUL, cut to limit without splitting a UTF-8 character
// (half of one shows as another character in clients that read UTF-8).
std::string Cut(const std::string& text, std::size_t limit) {
  return config::CutText(std::string_view(text).substr(0, text.find('\0')), limit);
}

}  // namespace

void RoomRecord::Apply(const RoomFields& fields) {
  id = fields.id;
  flags = fields.flags;
  max_occupancy = fields.max_occupancy;
  width = fields.width;
  height = fields.height;
  name = Cut(fields.name, kRoomNameLimit);
  description = Cut(fields.description, kRoomTextLimit);
  file_name = Cut(fields.file_name, kRoomTextLimit);
}

RoomRegistry::~RoomRegistry() {
  while (RoomRecord* room = rooms_.front()) {
    rooms_.Remove(*room);
    delete room;  // adopted in InsertAfter
  }
}

RoomRecord* RoomRegistry::Find(std::uint16_t id) const {
  for (RoomRecord& room : rooms_) {
    if (room.id == id) return &room;
  }
  return nullptr;
}

std::uint16_t RoomRegistry::FindIdByName(const std::string& name) const {
  for (const RoomRecord& room : rooms_) {
    if (room.name == name) return room.id;
  }
  return 0;
}

std::unique_ptr<RoomRecord> RoomRegistry::Create(const RoomFields& fields) const {
  LogDebug("Creating room info pointer");
  if (Find(fields.id) != nullptr) {
    Log(nullptr, "Error", "Duplicate room ID");
    return nullptr;
  }
  auto room = std::make_unique<RoomRecord>(fields);
  LogDebug("Raw room data space created");
  LogDebug("Created room pointer room %s, id: %d, flags: 0x%08lX width: %d height: %d",
           room->name.c_str(), room->id, static_cast<unsigned long>(room->flags), room->width,
           room->height);
  return room;
}

int RoomRegistry::Append(const RoomFields& fields, RoomRecord** out) {
  LogDebug("Adding room");
  std::unique_ptr<RoomRecord> room = Create(fields);
  if (room == nullptr) {
    LogDebug("Error creating room pointer");
    return -1;
  }
  RoomRecord* raw = room.release();
  rooms_.PushBack(*raw);
  LogDebug("Added room %s", raw->name.c_str());
  if (out != nullptr) *out = raw;
  return 0;
}

int RoomRegistry::InsertAfter(RoomRecord* after, const RoomFields& fields, RoomRecord** out) {
  LogDebug("Inserting room");
  std::unique_ptr<RoomRecord> room = Create(fields);
  if (room == nullptr) return -1;
  RoomRecord* raw = room.release();
  if (after != nullptr && rooms_.Contains(*after)) {
    rooms_.InsertAfter(after, *raw);
  } else {
    rooms_.PushFront(*raw);
  }
  LogDebug("Inserted room %s", raw->name.c_str());
  if (out != nullptr) *out = raw;
  return 0;
}

std::uint16_t RoomRegistry::LowestFreeId() const {
  std::vector<bool> used(65536, false);
  for (const RoomRecord& room : rooms_) used[room.id] = true;
  for (std::uint32_t id = 100; id < 65536; ++id) {
    if (!used[id]) return static_cast<std::uint16_t>(id);
  }
  return 0;
}

std::unique_ptr<RoomRecord> RoomRegistry::Unlink(RoomRecord& room) {
  if (!rooms_.Contains(room)) return nullptr;
  rooms_.Remove(room);
  return std::unique_ptr<RoomRecord>(&room);
}

void RoomRegistry::Move(RoomRecord& room, int n) {
  if (n == 0 || !rooms_.Contains(room)) return;
  RoomRecord* prev = RoomList::Prev(room);
  RoomRecord* next = RoomList::Next(room);
  if ((n < 0 && prev == nullptr) || (n > 0 && next == nullptr)) return;
  rooms_.Remove(room);
  if (n < 0) {
    RoomRecord* target = prev;
    for (int i = 1; i < -n && RoomList::Prev(*target) != nullptr; ++i) {
      target = RoomList::Prev(*target);
    }
    rooms_.InsertBefore(target, room);
  } else {
    RoomRecord* target = next;
    for (int i = 1; i < n && RoomList::Next(*target) != nullptr; ++i) {
      target = RoomList::Next(*target);
    }
    rooms_.InsertAfter(target, room);
  }
}

void RoomRegistry::Verify() const {
  if (!rooms_.Verify()) {
    Log(nullptr, "debug", "Room list failed verify");
    return;
  }
  for (const RoomRecord& room : rooms_) {
    if (!room.occupants.Verify()) {
      Log(nullptr, "debug", "Room %d invalid user entry", room.id);
    }
  }
}

void AppendRoomSummary(const RoomRecord& room, std::vector<std::uint8_t>* out) {
  wire::PayloadWriter w;
  w.U16(room.id)
      .U16(static_cast<std::uint16_t>(room.occupant_count()))
      .U8(room.closed() ? 1 : 0)
      .Fixed(room.name, 65);
  out->insert(out->end(), w.bytes().begin(), w.bytes().end());
}

std::vector<std::uint8_t> RoomListPayload(const RoomRegistry& registry, bool show_hidden) {
  std::vector<std::uint8_t> payload(2, 0);
  std::uint16_t count = 0;
  for (const RoomRecord& room : registry.rooms()) {
    if (room.Has(kHidden) && !show_hidden) continue;
    AppendRoomSummary(room, &payload);
    ++count;
  }
  wire::StoreU16(payload.data(), count);
  return payload;
}

std::vector<std::uint8_t> RoomInfoPayload(const RoomRecord& room, bool with_3d) {
  std::uint16_t word = room.Has(kNoCyborg) ? 1 : 0;
  if (with_3d && room.Has(kIs3D)) word |= 2;
  wire::PayloadWriter w;
  w.U16(room.id)
      .I16(room.width)
      .I16(room.height)
      .Fixed(room.name, 65)
      .U8(0)
      .U16(word);
  return std::move(w.bytes());
}

std::vector<std::uint8_t> RoomEditPayload(const RoomRecord& room) {
  wire::PayloadWriter w;
  w.U16(room.id)
      .U16(0)
      .U32(room.flags)
      .Fixed(room.name, 577)
      .Fixed(room.file_name, 512)
      .Fixed(room.description, 512)
      .U8(0)
      .I16(room.width)
      .I16(room.height)
      .I16(room.max_occupancy);
  return std::move(w.bytes());
}

RoomFields ParseRoomRecord(const std::uint8_t* payload, std::size_t size) {
  constexpr std::size_t kRecordSize = 592;
  std::uint8_t record[kRecordSize] = {};
  std::memcpy(record, payload, std::min(size, kRecordSize));
  wire::PayloadReader r(record, kRecordSize);
  RoomFields fields;
  fields.id = r.U16();
  r.Skip(2);
  fields.flags = r.U32();
  fields.name = r.Fixed(65);
  fields.file_name = r.Fixed(512);
  fields.description = fields.file_name;
  r.Skip(1);
  fields.width = r.I16();
  fields.height = r.I16();
  fields.max_occupancy = r.I16();
  return fields;
}

}  // namespace zanth::rooms
