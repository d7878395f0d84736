// Ban records and the "banlist" file.
#include "users/ban_list.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "core/log.h"
#include "core/result.h"
#include "platform/file.h"
#include "wire/bytes.h"

namespace zanth::users {
namespace {

constexpr std::size_t kNameSize = 36;
constexpr std::size_t kListRecordSize = 72;

std::uint32_t LoadLe32(const std::uint8_t* p) {
  return static_cast<std::uint32_t>(p[0]) | (static_cast<std::uint32_t>(p[1]) << 8) |
         (static_cast<std::uint32_t>(p[2]) << 16) | (static_cast<std::uint32_t>(p[3]) << 24);
}

void StoreLe32(std::uint8_t* p, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<std::uint8_t>(v >> (8 * i));
}

bool Matches(const BanRecord& record, const std::uint32_t uuid[4], std::uint32_t client_number) {
  if (client_number != 0) return record.client_number == client_number;
  return record.uuid[3] == uuid[3] && (record.uuid[2] & 0xFFFFu) == (uuid[2] & 0xFFFFu);
}

}  // namespace

std::string BanKey(const std::uint32_t uuid[4]) {
  return FormatMessage("%04X%08lX", uuid[2] & 0xFFFFu, static_cast<unsigned long>(uuid[3]));
}

int BanList::Load(const std::string& path, std::string* problem) {
  records_.clear();
  std::string bytes;
  int rc = platform::ReadWholeFile(path, &bytes);
  if (rc == ENOENT) return 0;
  if (rc != 0) {
    if (problem != nullptr) *problem = std::strerror(rc);
    return rc;
  }
  LoadBytes(bytes);
  return 0;
}

void BanList::LoadBytes(std::string_view bytes) {
  records_.clear();
  for (std::size_t at = 0; at < bytes.size(); at += kBanRecordSize) {
    std::uint8_t r[kBanRecordSize] = {};
    std::memcpy(r, bytes.data() + at, std::min(kBanRecordSize, bytes.size() - at));
    BanRecord record;
    std::size_t n = 0;
    while (n < kNameSize - 1 && r[4 + n] != 0) ++n;
    record.name.assign(reinterpret_cast<const char*>(r + 4), n);
    for (int i = 0; i < 4; ++i) record.uuid[i] = LoadLe32(r + 40 + 4 * i);
    record.client_number = LoadLe32(r + 56);
    for (int i = 0; i < 3; ++i) record.reserved[i] = LoadLe32(r + 60 + 4 * i);
    record.zero = LoadLe32(r + 72);
    record.flags = LoadLe32(r + 76);
    Log(nullptr, "BanLst", "%s", record.name.c_str());
    AddFront(std::move(record));
  }
}

int BanList::Save(const std::string& path) const {
  LogDebug("Writing ban list");
  std::string bytes(records_.size() * kBanRecordSize, '\0');
  for (std::size_t i = 0; i < records_.size(); ++i) {
    const BanRecord& record = records_[i];
    auto* r = reinterpret_cast<std::uint8_t*>(bytes.data() + i * kBanRecordSize);
    std::memcpy(r + 4, record.name.data(), std::min(record.name.size(), kNameSize - 1));
    for (int w = 0; w < 4; ++w) StoreLe32(r + 40 + 4 * w, record.uuid[w]);
    StoreLe32(r + 56, record.client_number);
    for (int w = 0; w < 3; ++w) StoreLe32(r + 60 + 4 * w, record.reserved[w]);
    StoreLe32(r + 72, record.zero);
    StoreLe32(r + 76, record.flags);
    LogDebug("Ban record %s %s", BanKey(record.uuid).c_str(), record.name.c_str());
  }
  int rc = platform::WriteFileAtomically(path, bytes, platform::kModePrivate);
  if (rc != 0) LogError(rc, "writing %s", path.c_str());
  return rc;
}

const BanRecord* BanList::Match(const std::uint32_t uuid[4], std::uint32_t client_number) const {
  for (const BanRecord& record : records_) {
    if (Matches(record, uuid, client_number)) return &record;
  }
  return nullptr;
}

BanRecord* BanList::Match(const std::uint32_t uuid[4], std::uint32_t client_number) {
  for (BanRecord& record : records_) {
    if (Matches(record, uuid, client_number)) return &record;
  }
  return nullptr;
}

int BanList::RecordMeasure(const UserRecord& user, std::uint32_t bit, bool set,
                           const std::string& path) {
  BanRecord* record = Match(user.uuid, user.client_number);
  if (record == nullptr) {
    LogDebug("Creating new ban record %s %s", BanKey(user.uuid).c_str(), user.name.c_str());
    BanRecord fresh;
    fresh.name = user.name.substr(0, kNameSize - 1);
    std::memcpy(fresh.uuid, user.uuid, sizeof fresh.uuid);
    fresh.client_number = user.client_number;
    AddFront(std::move(fresh));
    record = &records_.front();
  } else {
    LogDebug("Found ban record %s %s", BanKey(record->uuid).c_str(), record->name.c_str());
  }
  if (set) {
    record->flags |= bit;
  } else {
    record->flags &= ~bit;
  }
  return Save(path);
}

BanVerdict BanList::Check(const UserRecord& user, std::uint32_t* measures) const {
  *measures = 0;
  if (user.uuid[3] == 0 || user.Has(kLocal)) return BanVerdict::kNone;
  const BanRecord* record = Match(user.uuid, user.client_number);
  if (record == nullptr) return BanVerdict::kNone;
  LogDebug("Found ban record");
  if (record->flags & kBanned) return BanVerdict::kRefused;
  *measures = record->flags & kRestrictionFlags;
  return BanVerdict::kMeasures;
}

std::vector<std::uint8_t> BanList::ListPayload() const {
  wire::PayloadWriter w;
  w.U32(static_cast<std::uint32_t>(records_.size()));
  for (const BanRecord& record : records_) {
    w.Fixed(record.name, kNameSize);
    for (std::uint32_t word : record.uuid) w.U32(word);
    w.U32(record.client_number);
    for (std::uint32_t word : record.reserved) w.U32(word);
    w.U32(record.flags);
  }
  return std::move(w.bytes());
}

void BanList::ApplyFromPayload(const std::uint8_t* payload, std::size_t size) {
  wire::PayloadReader r(payload, size);
  std::uint32_t count = r.U32();
  for (std::uint32_t i = 0; i < count && r.remaining() >= kListRecordSize; ++i) {
    const std::uint8_t* entry = r.current();
    r.Skip(kListRecordSize);
    std::uint32_t uuid[4] = {0, 0, wire::LoadU32(entry + 44), wire::LoadU32(entry + 48)};
    BanRecord* record = Match(uuid, wire::LoadU32(entry + 52));
    if (record != nullptr) record->flags = wire::LoadU32(entry + 68);
  }
}

}  // namespace zanth::users
