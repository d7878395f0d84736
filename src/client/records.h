// The records a chat client fills in to send: its ident, a room record for
// creating or changing a room, and the console's records, which also come
// back in the server's lists: a group, an account, a ban record, a sound
// and the site's directory information.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

namespace zanth::client {

// A fresh client UUID: well mixed, distinct for every call in a process, and
// with a non-zero fourth word (the server refuses a zero one). Thread-safe.
std::array<std::uint32_t, 4> NewClientUuid();

// What a client says about itself when it signs on.
struct Ident {
  std::array<std::uint32_t, 4> uuid = NewClientUuid();
  std::uint32_t client_number = 0;  // 0 = none
  std::string nickname;             // at most 31 bytes go out
  std::int16_t voice = 0;
  std::uint32_t colour = 0;  // 0 lets the server pick its default
  std::uint16_t face = 0;
  std::int16_t room = 0;  // 0 = a gate, -1 = the timeout room
  // Bit 0: accepts compressed messages; bit 1: web client.
  std::uint16_t capabilities = 0;
  std::string account;   // at most 32 bytes go out
  std::string password;  // at most 32 bytes go out
};

inline constexpr std::uint16_t kAcceptsCompressed = 0x1;
inline constexpr std::uint16_t kWebClient = 0x2;

// The fields of a room creation or change request.
struct RoomRecordFields {
  std::uint16_t id = 0;
  std::uint32_t flags = 0;
  std::string name;       // at most 64 bytes go out
  std::string file_name;  // at most 511 bytes go out
  std::int16_t width = 0;
  std::int16_t height = 0;
  std::int16_t max_occupancy = 0;
};

// The size of one group record in group lists.
inline constexpr std::size_t kGroupRecordSize = 44;

// One group: its name, staff rank, privilege bits and command-right bits.
struct Group {
  std::string name;  // at most 33 bytes go out
  std::uint16_t rank = 0;
  std::uint32_t privileges = 0;
  std::uint32_t commands = 0;

  bool operator==(const Group&) const = default;
};

// The size of one account record in account lists.
inline constexpr std::size_t kAccountRecordSize = 70;

// One account: its name, password and group number. The server lists the
// encoded password; a client replacing the list sends either that encoded
// text back (plain false) or a new password in plain text (plain true),
// which the server encodes.
struct Account {
  std::string name;      // at most 32 bytes go out
  std::string password;  // at most 32 bytes go out
  std::uint16_t group = 0;
  bool plain = false;

  bool operator==(const Account&) const = default;
};

// The size of one ban record in ban lists.
inline constexpr std::size_t kBanRecordSize = 72;

// One ban record: the name its user had when it was made, the identity it
// matches (client UUID and client number), three reserved words and the
// measures (0x80000000 banned; 0x1 pinned, 0x2 gagged, 0x4 prop-gagged,
// 0x8 name-gagged, 0x10 in timeout). A client's list changes only the
// flags of the server's records it matches; it adds and removes nothing.
struct BanEntry {
  std::string name;  // at most 35 bytes go out
  std::array<std::uint32_t, 4> uuid = {};
  std::uint32_t client_number = 0;
  std::array<std::uint32_t, 3> reserved = {};
  std::uint32_t flags = 0;

  bool operator==(const BanEntry&) const = default;
};

// One sound: its name and its file in the media folder.
struct Sound {
  std::string name;    // at most 32 bytes go out
  std::string source;  // at most 32 bytes go out
  bool operator==(const Sound&) const = default;
};

// The size of the directory information record, both ways.
inline constexpr std::size_t kDirectoryInfoSize = 2116;

// The site's directory information.
struct DirectoryInfo {
  std::string site_name;    // at most 64 bytes go out
  std::string site_url;     // at most 511
  std::string site_image;   // at most 511
  std::string description;  // at most 1023
  bool hidden = false;
  bool private_site = false;
  bool members = false;

  bool operator==(const DirectoryInfo&) const = default;
};

}  // namespace zanth::client
