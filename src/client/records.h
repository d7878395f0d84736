// The records a chat client fills in to send: its ident, a room record for
// creating or changing a room, a group (which also comes back in the
// server's group list) and an account (likewise).
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

}  // namespace zanth::client
