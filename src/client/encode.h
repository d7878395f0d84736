// Payload builders for the messages a chat client sends. Each returns the
// payload only (no header); ChatClient frames and sends it. Texts longer than
// their field are cut, and the cut always leaves room for the field's NUL.
#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

#include "client/records.h"
#include "wire/framing.h"

namespace zanth::client {

// Type codes of the messages this library sends or reads by name.
inline constexpr std::uint32_t kIdent = wire::TypeCode("Idn2");
inline constexpr std::uint32_t kTalk = wire::TypeCode("Talk");
inline constexpr std::uint32_t kWhisper = wire::TypeCode("xTlk");
inline constexpr std::uint32_t kCrossRoomWhisper = wire::TypeCode("CrTk");
inline constexpr std::uint32_t kRoomMessage = wire::TypeCode("RmMs");
inline constexpr std::uint32_t kUserMove = wire::TypeCode("UsMv");
inline constexpr std::uint32_t kUserMove3D = wire::TypeCode("Mv3D");
inline constexpr std::uint32_t kFace = wire::TypeCode("FNum");
inline constexpr std::uint32_t kColour = wire::TypeCode("FRGB");
inline constexpr std::uint32_t kFaceImage = wire::TypeCode("FImg");
inline constexpr std::uint32_t kBadge = wire::TypeCode("Badg");
inline constexpr std::uint32_t kVoice = wire::TypeCode("Voic");
inline constexpr std::uint32_t kName = wire::TypeCode("Name");
inline constexpr std::uint32_t kData = wire::TypeCode("Data");
inline constexpr std::uint32_t kRoomRequest = wire::TypeCode("RmRq");
inline constexpr std::uint32_t kRoomList = wire::TypeCode("Rmls");
inline constexpr std::uint32_t kRoomListStop = wire::TypeCode("RlSt");
inline constexpr std::uint32_t kRoomListUpdate = wire::TypeCode("RlUd");
inline constexpr std::uint32_t kRoomName = wire::TypeCode("RmNm");
inline constexpr std::uint32_t kRoomInfo = wire::TypeCode("RmIn");
inline constexpr std::uint32_t kRoomEditInfo = wire::TypeCode("REIn");
inline constexpr std::uint32_t kFreeRoomId = wire::TypeCode("ARmI");
inline constexpr std::uint32_t kCreateRoom = wire::TypeCode("CrRm");
inline constexpr std::uint32_t kUpdateRoom = wire::TypeCode("UpRm");
inline constexpr std::uint32_t kRoomDescription = wire::TypeCode("Room");
inline constexpr std::uint32_t kRoomEnter = wire::TypeCode("RmEn");
inline constexpr std::uint32_t kRoomLeave = wire::TypeCode("RmLv");
inline constexpr std::uint32_t kOccupants = wire::TypeCode("RmOc");
inline constexpr std::uint32_t kUserList = wire::TypeCode("Ulls");
inline constexpr std::uint32_t kUserListStop = wire::TypeCode("UlSt");
inline constexpr std::uint32_t kUserListUpdate = wire::TypeCode("UlUd");
inline constexpr std::uint32_t kAuth = wire::TypeCode("auth");
inline constexpr std::uint32_t kGroupList = wire::TypeCode("GrLs");
inline constexpr std::uint32_t kAccountList = wire::TypeCode("AuLs");
inline constexpr std::uint32_t kPrivilegeNames = wire::TypeCode("PrLs");
inline constexpr std::uint32_t kCommandNames = wire::TypeCode("CmLs");
inline constexpr std::uint32_t kSoundList = wire::TypeCode("SdLs");
inline constexpr std::uint32_t kYouAre = wire::TypeCode("UAre");
inline constexpr std::uint32_t kPermissions = wire::TypeCode("Perm");
inline constexpr std::uint32_t kGroupNotice = wire::TypeCode("Grup");
inline constexpr std::uint32_t kSiteName = wire::TypeCode("SNme");
inline constexpr std::uint32_t kPropUrl = wire::TypeCode("PUrl");
inline constexpr std::uint32_t kBaseUrl = wire::TypeCode("BUrl");
inline constexpr std::uint32_t kListLine = wire::TypeCode("LMsg");
inline constexpr std::uint32_t kUserCount = wire::TypeCode("UsCt");
inline constexpr std::uint32_t kServerCaps = wire::TypeCode("SvCp");
inline constexpr std::uint32_t kRating = wire::TypeCode("Rtng");
inline constexpr std::uint32_t kPing = wire::TypeCode("Ping");
inline constexpr std::uint32_t kKill = wire::TypeCode("Kill");
// Requests without a payload (console lists).
inline constexpr std::uint32_t kRequestGroups = wire::TypeCode("REGl");
inline constexpr std::uint32_t kRequestPrivileges = wire::TypeCode("REPm");
inline constexpr std::uint32_t kRequestCommands = wire::TypeCode("RECm");
inline constexpr std::uint32_t kRequestAccounts = wire::TypeCode("REAu");
inline constexpr std::uint32_t kRequestBans = wire::TypeCode("REBl");
inline constexpr std::uint32_t kRequestDirectory = wire::TypeCode("REDI");
inline constexpr std::uint32_t kBanList = wire::TypeCode("BnLs");
inline constexpr std::uint32_t kDirectoryInfo = wire::TypeCode("DrIn");
inline constexpr std::uint32_t kUploadStart = wire::TypeCode("sUpl");
inline constexpr std::uint32_t kUploadSegment = wire::TypeCode("fSeg");
inline constexpr std::uint32_t kUploadAck = wire::TypeCode("FAck");
inline constexpr std::uint32_t kFileChanged = wire::TypeCode("FChn");

inline constexpr std::size_t kIdentSize = 176;
inline constexpr std::size_t kRoomRecordSize = 592;

using Payload = std::vector<std::uint8_t>;

// "Idn2": the 176-byte ident record.
Payload EncodeIdent(const Ident& ident);
// "Talk" and "RmMs": one ptext (cut to 255 bytes).
Payload EncodeText(std::string_view text);
// "xTlk": i16 target count, 2 unused, the target user ids, ptext.
Payload EncodeWhisper(const std::vector<std::uint32_t>& targets,
                      std::string_view text);
// "UsMv": i16 x, i16 y.
Payload EncodeMove(std::int16_t x, std::int16_t y);
// "Mv3D": position, second vector, rotation, fourth vector (3 floats each).
Payload EncodeMove3D(const std::array<float, 12>& pose);
// "FNum", "FRGB", "Voic": one field each.
Payload EncodeFace(std::uint16_t face);
Payload EncodeColour(std::uint32_t colour);
Payload EncodeVoice(std::int16_t voice);
// "FImg", "Name": one zstring.
Payload EncodeZString(std::string_view text);
// "Data": tag (up to 16 bytes, zero-padded, no NUL needed), global flag,
// 1 unused, i16 target count, u32 size, the target ids, the bytes.
Payload EncodeData(std::string_view tag, bool global,
                   const std::vector<std::uint32_t>& targets,
                   const std::vector<std::uint8_t>& bytes);
// "RmRq": i16 room id (0 = a gate, -1 = the timeout room).
Payload EncodeRoomRequest(std::int16_t room);
// "RmNm": u16 room id.
Payload EncodeRoomNameRequest(std::uint16_t room);
// "CrRm" and "UpRm": the 592-byte room record.
Payload EncodeRoomRecord(const RoomRecordFields& room);
// "auth": account name and password, two zstrings.
Payload EncodeAuth(std::string_view name, std::string_view password);
// "GrLs" as a client sends it: u16 count, 2 ignored, 44-byte records.
Payload EncodeGroupList(const std::vector<Group>& groups);
// "AuLs" as a client sends it, replacing every account: u16 count, then
// 70-byte records of char[33] name, char[33] password, u8 plain (1: encode
// the password), 1 padding, u16 group. The server puts each record at the
// front of its list, so its list ends up in the reverse of this order.
Payload EncodeAccountList(const std::vector<Account>& accounts);
// "BnLs" as a client sends it: u32 count, then 72-byte records laid out as
// the server's own list.
Payload EncodeBanList(const std::vector<BanEntry>& bans);
// "SdLs" as a client sends it: u32 count, u32 record size (66), then
// records of char[33] name and char[33] source file name.
Payload EncodeSoundList(const std::vector<Sound>& sounds);
// "DrIn": the 2116-byte directory information record.
Payload EncodeDirectoryInfo(const DirectoryInfo& info);
// "Rtng": u8 enabled, 1 unused, the four rating values.
Payload EncodeRating(bool enabled, const std::array<std::uint16_t, 4>& values);
// "fSeg": char[32] file name, u16 segment size, 2 unused, u32 the
// segment's offset in the file (the server does not read it), u8 last, the
// bytes. The upload itself starts with "sUpl" and the name as a zstring.
Payload EncodeUploadSegment(std::string_view file_name, std::uint32_t offset,
                            std::span<const std::uint8_t> bytes, bool last);

}  // namespace zanth::client
