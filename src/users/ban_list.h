// Ban records: moderation measures kept against a client's identity in the
// binary "banlist" file and applied again when that client signs on.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "users/user.h"

namespace zanth::users {

inline constexpr std::uint32_t kBanned = 0x80000000;
inline constexpr std::size_t kBanRecordSize = 80;

struct BanRecord {
  std::string name;  // the user's name when the record was made, at most 35
  std::uint32_t uuid[4] = {0, 0, 0, 0};
  std::uint32_t client_number = 0;
  std::uint32_t reserved[3] = {0, 0, 0};
  std::uint32_t zero = 0;
  std::uint32_t flags = 0;
};

// The key of an identity: "%04X%08lX" of the third word's low half and the
// fourth word.
std::string BanKey(const std::uint32_t uuid[4]);

// What a signing-on client's record says.
enum class BanVerdict { kNone, kMeasures, kRefused };

class BanList {
 public:
  // Loads path (a missing file leaves the list empty); each record is
  // logged under "BanLst". A short final record reads with zeros. A file
  // that exists but cannot be read gives its system error, an empty list
  // and *problem (may be nullptr) saying why: the caller must not go on
  // with this list, whose first save would lose every record in the file.
  // Returns 0 or that error.
  int Load(const std::string& path, std::string* problem = nullptr);
  // Replaces the list from the bytes of a "banlist" file.
  void LoadBytes(std::string_view bytes);
  // Writes every record in list order, atomically. Returns 0 or the error.
  int Save(const std::string& path) const;

  // Newest first.
  const std::vector<BanRecord>& records() const { return records_; }

  // The first record for this identity: by client number when it is not
  // 0, else by the fourth UUID word and the third word's low 16 bits.
  const BanRecord* Match(const std::uint32_t uuid[4], std::uint32_t client_number) const;
  BanRecord* Match(const std::uint32_t uuid[4], std::uint32_t client_number);

  // Sets or clears a measure bit in the user's record, creating the record
  // when there is none, and saves to path. Returns 0 or the save's error.
  int RecordMeasure(const UserRecord& user, std::uint32_t bit, bool set, const std::string& path);

  // The verdict for a signing-on user: local users and a fourth UUID word
  // of 0 are never checked. *measures gets the five measure bits.
  BanVerdict Check(const UserRecord& user, std::uint32_t* measures) const;

  // "BnLs": count, then 72 bytes per record.
  std::vector<std::uint8_t> ListPayload() const;
  // Applies a client's "BnLs": each entry sets the flags of the record it
  // matches; entries matching nothing are ignored.
  void ApplyFromPayload(const std::uint8_t* payload, std::size_t size);

  void AddFront(BanRecord record) { records_.insert(records_.begin(), std::move(record)); }

 private:
  std::vector<BanRecord> records_;
};

}  // namespace zanth::users
