// Payload builders for client messages, and client UUIDs.
#include "client/encode.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstddef>
#include <limits>

#include "wire/bytes.h"

namespace zanth::client {
namespace {

using wire::PayloadWriter;

// A bijective 64-bit mixer: distinct inputs give distinct outputs.
std::uint64_t Mix(std::uint64_t x) {
  x += 0x9E3779B97F4A7C15ull;
  x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ull;
  x = (x ^ (x >> 27)) * 0x94D049BB133111EBull;
  return x ^ (x >> 31);
}

std::uint64_t StartingCounter() {
  auto steady = std::chrono::steady_clock::now().time_since_epoch().count();
  auto wall = std::chrono::system_clock::now().time_since_epoch().count();
  return Mix(static_cast<std::uint64_t>(steady) ^
             Mix(static_cast<std::uint64_t>(wall)));
}

// Target lists carry a signed 16-bit count; more targets than that cannot
// be expressed, so the list is cut.
std::size_t TargetCount(const std::vector<std::uint32_t>& targets) {
  return std::min<std::size_t>(targets.size(),
                               std::numeric_limits<std::int16_t>::max());
}

}  // namespace

std::array<std::uint32_t, 4> NewClientUuid() {
  // Seeded from the clocks once; every call then takes two fresh counter
  // values, so no two calls in a process share a UUID.
  static std::atomic<std::uint64_t> counter{StartingCounter()};
  std::uint64_t n = counter.fetch_add(2, std::memory_order_relaxed);
  std::uint64_t high = Mix(n);
  std::uint64_t low = Mix(n + 1);
  std::array<std::uint32_t, 4> uuid = {
      static_cast<std::uint32_t>(high >> 32), static_cast<std::uint32_t>(high),
      static_cast<std::uint32_t>(low >> 32), static_cast<std::uint32_t>(low)};
  if (uuid[3] == 0) uuid[3] = 1;
  return uuid;
}

Payload EncodeIdent(const Ident& ident) {
  PayloadWriter w;
  for (std::uint32_t word : ident.uuid) w.U32(word);
  w.U32(ident.client_number)
      .Zeros(12)
      .Fixed(ident.nickname, 32)  // offset 32
      .Zeros(2)
      .I16(ident.voice)   // 66
      .U32(ident.colour)  // 68
      .U16(ident.face)    // 72
      .Zeros(30)
      .I16(ident.room)          // 104
      .U16(ident.capabilities)  // 106
      .Zeros(2)
      .Fixed(ident.account, 33)    // 110
      .Fixed(ident.password, 33);  // 143
  return std::move(w.bytes());
}

Payload EncodeText(std::string_view text) {
  PayloadWriter w;
  w.PText(text);
  return std::move(w.bytes());
}

Payload EncodeWhisper(const std::vector<std::uint32_t>& targets,
                      std::string_view text) {
  std::size_t count = TargetCount(targets);
  PayloadWriter w;
  w.I16(static_cast<std::int16_t>(count)).Zeros(2);
  for (std::size_t i = 0; i < count; ++i) w.U32(targets[i]);
  w.PText(text);
  return std::move(w.bytes());
}

Payload EncodeMove(std::int16_t x, std::int16_t y) {
  PayloadWriter w;
  w.I16(x).I16(y);
  return std::move(w.bytes());
}

Payload EncodeMove3D(const std::array<float, 12>& pose) {
  PayloadWriter w;
  for (float v : pose) w.Float(v);
  return std::move(w.bytes());
}

Payload EncodeFace(std::uint16_t face) {
  PayloadWriter w;
  w.U16(face);
  return std::move(w.bytes());
}

Payload EncodeColour(std::uint32_t colour) {
  PayloadWriter w;
  w.U32(colour);
  return std::move(w.bytes());
}

Payload EncodeVoice(std::int16_t voice) {
  PayloadWriter w;
  w.I16(voice);
  return std::move(w.bytes());
}

Payload EncodeZString(std::string_view text) {
  PayloadWriter w;
  w.ZString(text);
  return std::move(w.bytes());
}

Payload EncodeData(std::string_view tag, bool global,
                   const std::vector<std::uint32_t>& targets,
                   const std::vector<std::uint8_t>& bytes) {
  // The tag is a raw 16-byte field: the server forwards it unchanged, so a
  // tag of exactly 16 bytes needs no NUL.
  if (tag.size() > 16) tag = tag.substr(0, 16);
  std::size_t count = TargetCount(targets);
  PayloadWriter w;
  w.Bytes(tag.data(), tag.size())
      .Zeros(16 - tag.size())
      .U8(global ? 1 : 0)
      .Zeros(1)
      .I16(static_cast<std::int16_t>(count))
      .U32(static_cast<std::uint32_t>(bytes.size()));
  for (std::size_t i = 0; i < count; ++i) w.U32(targets[i]);
  w.Bytes(bytes.data(), bytes.size());
  return std::move(w.bytes());
}

Payload EncodeRoomRequest(std::int16_t room) {
  PayloadWriter w;
  w.I16(room);
  return std::move(w.bytes());
}

Payload EncodeRoomNameRequest(std::uint16_t room) {
  PayloadWriter w;
  w.U16(room);
  return std::move(w.bytes());
}

Payload EncodeRoomRecord(const RoomRecordFields& room) {
  PayloadWriter w;
  w.U16(room.id)
      .Zeros(2)
      .U32(room.flags)
      .Fixed(room.name, 65)        // offset 8
      .Fixed(room.file_name, 512)  // 73
      .Zeros(1)
      .I16(room.width)           // 586
      .I16(room.height)          // 588
      .I16(room.max_occupancy);  // 590
  return std::move(w.bytes());
}

Payload EncodeAuth(std::string_view name, std::string_view password) {
  PayloadWriter w;
  w.ZString(name).ZString(password);
  return std::move(w.bytes());
}

Payload EncodeGroupList(const std::vector<Group>& groups) {
  std::size_t count = std::min<std::size_t>(groups.size(), 0xFFFF);
  PayloadWriter w;
  w.U16(static_cast<std::uint16_t>(count)).Zeros(2);
  for (std::size_t i = 0; i < count; ++i) {
    const Group& g = groups[i];
    w.Fixed(g.name, 34).U16(g.rank).U32(g.privileges).U32(g.commands);
  }
  return std::move(w.bytes());
}

Payload EncodeAccountList(const std::vector<Account>& accounts) {
  std::size_t count = std::min<std::size_t>(accounts.size(), 0xFFFF);
  PayloadWriter w;
  w.U16(static_cast<std::uint16_t>(count));
  for (std::size_t i = 0; i < count; ++i) {
    const Account& a = accounts[i];
    w.Fixed(a.name, 33).Fixed(a.password, 33).U8(a.plain ? 1 : 0).Zeros(1).U16(a.group);
  }
  return std::move(w.bytes());
}

Payload EncodeBanList(const std::vector<BanEntry>& bans) {
  PayloadWriter w;
  w.U32(static_cast<std::uint32_t>(bans.size()));
  for (const BanEntry& b : bans) {
    w.Fixed(b.name, 36);
    for (std::uint32_t word : b.uuid) w.U32(word);
    w.U32(b.client_number);
    for (std::uint32_t word : b.reserved) w.U32(word);
    w.U32(b.flags);
  }
  return std::move(w.bytes());
}

Payload EncodeSoundList(const std::vector<Sound>& sounds) {
  PayloadWriter w;
  w.U32(static_cast<std::uint32_t>(sounds.size())).U32(66);
  for (const Sound& s : sounds) w.Fixed(s.name, 33).Fixed(s.source, 33);
  return std::move(w.bytes());
}

Payload EncodeDirectoryInfo(const DirectoryInfo& info) {
  PayloadWriter w;
  w.Fixed(info.site_name, 65)
      .Fixed(info.site_url, 512)      // offset 65
      .Fixed(info.site_image, 512)    // 577
      .Fixed(info.description, 1024)  // 1089
      .U8(info.hidden ? 1 : 0)        // 2113
      .U8(info.private_site ? 1 : 0)
      .U8(info.members ? 1 : 0);
  return std::move(w.bytes());
}

Payload EncodeRating(bool enabled, const std::array<std::uint16_t, 4>& values) {
  PayloadWriter w;
  w.U8(enabled ? 1 : 0).Zeros(1);
  for (std::uint16_t v : values) w.U16(v);
  return std::move(w.bytes());
}

Payload EncodeUploadSegment(std::string_view file_name, std::uint32_t offset,
                            std::span<const std::uint8_t> bytes, bool last) {
  // The size field is 16 bits wide; a longer piece is cut to what it says.
  std::size_t size = std::min<std::size_t>(bytes.size(), 0xFFFF);
  PayloadWriter w;
  w.Fixed(file_name, 32)
      .U16(static_cast<std::uint16_t>(size))
      .Zeros(2)
      .U32(offset)
      .U8(last ? 1 : 0)
      .Bytes(bytes.data(), size);
  return std::move(w.bytes());
}

}  // namespace zanth::client
