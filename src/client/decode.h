// Decoders for the payloads the chat server sends. Every decoder checks
// bounds: a payload too short for its layout (or whose counts and sizes
// point past its end) gives false and never a read past the end. Trailing
// bytes, such as the zero padding of a frame, are ignored. On false the
// output holds no meaningful value.
#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "client/records.h"

namespace zanth::client {

using Bytes = std::span<const std::uint8_t>;

// "Talk" and "xTlk": u32 speaker (0 = the server), ptext.
struct Speech {
  std::uint32_t speaker = 0;
  std::string text;
  bool operator==(const Speech&) const = default;
};
bool DecodeSpeech(Bytes payload, Speech* out);

// "CrTk": a whisper from another room.
struct CrossRoomWhisper {
  std::uint32_t speaker = 0;
  std::uint32_t colour = 0;
  std::string name;
  std::string text;
  bool operator==(const CrossRoomWhisper&) const = default;
};
bool DecodeCrossRoomWhisper(Bytes payload, CrossRoomWhisper* out);

// "UsMv".
struct UserMove {
  std::uint32_t user = 0;
  std::int16_t x = 0;
  std::int16_t y = 0;
  bool operator==(const UserMove&) const = default;
};
bool DecodeUserMove(Bytes payload, UserMove* out);

// "Mv3D": position, second vector, rotation, fourth vector.
struct UserMove3D {
  std::uint32_t user = 0;
  std::array<float, 12> pose = {};
  bool operator==(const UserMove3D&) const = default;
};
bool DecodeUserMove3D(Bytes payload, UserMove3D* out);

// "FNum", "FRGB", "Badg", "Voic": one appearance value of a user. The value
// is the face number, the colour, the badge bit or the (signed) voice.
struct UserValue {
  std::uint32_t user = 0;
  std::int64_t value = 0;
  bool operator==(const UserValue&) const = default;
};
bool DecodeUserFace(Bytes payload, UserValue* out);
bool DecodeUserColour(Bytes payload, UserValue* out);
bool DecodeUserBadge(Bytes payload, UserValue* out);
bool DecodeUserVoice(Bytes payload, UserValue* out);

// "FImg": u32 user, zstring image name.
struct UserFaceImage {
  std::uint32_t user = 0;
  std::string image;
  bool operator==(const UserFaceImage&) const = default;
};
bool DecodeUserFaceImage(Bytes payload, UserFaceImage* out);

// A payload that is one big-endian integer: "UAre", "Perm", "RmLv" (u32);
// "UsCt", "SvCp", "Kill", "ARmI" (u16).
bool DecodeU32(Bytes payload, std::uint32_t* out);
bool DecodeU16(Bytes payload, std::uint16_t* out);

// A payload that is one NUL-terminated text: "SNme", "PUrl", "BUrl",
// "LMsg", "Room", "FAck", "FChn". The NUL must be present.
bool DecodeZString(Bytes payload, std::string* out);

// "Grup": u16 rank, char[34] group name.
struct GroupNotice {
  std::uint16_t rank = 0;
  std::string name;
  bool operator==(const GroupNotice&) const = default;
};
bool DecodeGroupNotice(Bytes payload, GroupNotice* out);

// The 70-byte room summary entry of "Rmls", "RlUd" and "RmNm".
struct RoomSummary {
  std::uint16_t id = 0;
  std::uint16_t occupants = 0;
  bool closed = false;
  std::string name;
  bool operator==(const RoomSummary&) const = default;
};
// "RlUd" and "RmNm": one entry.
bool DecodeRoomSummary(Bytes payload, RoomSummary* out);
// "Rmls": u16 count, then the entries.
bool DecodeRoomList(Bytes payload, std::vector<RoomSummary>* out);

// "RmIn": the 74-byte room info. Flags bit 0: no cyborgs; bit 1: 3D room.
struct RoomInfo {
  std::uint16_t id = 0;
  std::int16_t width = 0;
  std::int16_t height = 0;
  std::string name;
  std::uint16_t flags = 0;
  bool operator==(const RoomInfo&) const = default;
};
bool DecodeRoomInfo(Bytes payload, RoomInfo* out);

// "REIn": the 1616-byte room edit info of the current room.
struct RoomEditInfo {
  std::uint16_t id = 0;
  std::uint32_t flags = 0;
  std::string name;
  std::string file_name;
  std::string description;
  std::int16_t width = 0;
  std::int16_t height = 0;
  std::int16_t max_occupancy = 0;
  bool operator==(const RoomEditInfo&) const = default;
};
bool DecodeRoomEditInfo(Bytes payload, RoomEditInfo* out);

// The 60-byte user summary record of "RmEn" and "RmOc".
struct UserSummary {
  std::uint32_t id = 0;
  std::int16_t x = 0;
  std::int16_t y = 0;
  std::string name;
  std::uint32_t badge = 0;  // bit 0: badge shown
  std::int16_t voice = 0;
  std::uint32_t colour = 0;
  std::uint16_t face = 0;
  bool operator==(const UserSummary&) const = default;
};
// "RmEn": one record.
bool DecodeUserSummary(Bytes payload, UserSummary* out);
// "RmOc": u16 count, 2 padding, the records.
bool DecodeOccupants(Bytes payload, std::vector<UserSummary>* out);

// One user of "Ulls", or the 40-byte "UlUd" update (room 0: left, or a room
// the receiver may not see).
struct UserListEntry {
  std::uint32_t id = 0;
  std::string name;
  std::uint16_t room = 0;
  bool operator==(const UserListEntry&) const = default;
};
// "Ulls": u32 count, then 40-byte entries.
bool DecodeUserList(Bytes payload, std::vector<UserListEntry>* out);
bool DecodeUserListUpdate(Bytes payload, UserListEntry* out);

// "GrLs" as the server sends it: u8 (1), 1 padding, u16 count (the groups
// after group 0), then 44-byte records of groups 1 and up.
bool DecodeGroupList(Bytes payload, std::vector<Group>* out);

// "AuLs" as the server sends it: u16 count, then 70-byte records of
// char[33] name, char[33] encoded password, u16 group, u16 index, in the
// server's list order (newest first). plain is false in every account.
bool DecodeAccountList(Bytes payload, std::vector<Account>* out);

// "PrLs" and "CmLs": u16 count, 2 padding, then (char[36] label, u32 bit).
struct BitLabel {
  std::string label;
  std::uint32_t bit = 0;
  bool operator==(const BitLabel&) const = default;
};
bool DecodeBitLabels(Bytes payload, std::vector<BitLabel>* out);

// "Data" as relayed by the server: char[16] tag, u32 sender, u32 size, bytes.
struct DataMessage {
  std::string tag;  // up to its first NUL, at most 16 bytes
  std::uint32_t sender = 0;
  std::vector<std::uint8_t> bytes;
  bool operator==(const DataMessage&) const = default;
};
bool DecodeData(Bytes payload, DataMessage* out);

// "SdLs": u32 count, u32 record size (66 or more), then records of sound
// name (char[33]) and source file name (char[33]).
bool DecodeSoundList(Bytes payload, std::vector<Sound>* out);

// "BnLs" as the server sends it: u32 count, then 72-byte records (char[36]
// name, four UUID words, client number, three reserved words, flags), in
// the server's list order (newest first).
bool DecodeBanList(Bytes payload, std::vector<BanEntry>* out);

// "DrIn": the 2116-byte directory information record.
bool DecodeDirectoryInfo(Bytes payload, DirectoryInfo* out);

// "Rtng": four rating values.
bool DecodeRating(Bytes payload, std::array<std::uint16_t, 4>* out);

// "Name": u32 user, i16 x, i16 y, the new name in a 52-byte field (48 bytes
// for older clients).
struct NameChange {
  std::uint32_t user = 0;
  std::int16_t x = 0;
  std::int16_t y = 0;
  std::string name;
  bool operator==(const NameChange&) const = default;
};
bool DecodeNameChange(Bytes payload, NameChange* out);

}  // namespace zanth::client
