// gen-web-golden: writes the golden bytes that the browser page's protocol
// code is tested against, made by the C++ scrambler, framer, encoders and
// decoders: a scrambled stream in each direction, the client messages the
// page sends, and server payloads with the fields the C++ decoders read
// from them. Checks a file against them, or rewrites it with --update.
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <vector>

#include "client/decode.h"
#include "client/encode.h"
#include "net/scramble.h"
#include "wire/bytes.h"
#include "wire/framing.h"

namespace {

using nlohmann::ordered_json;
using zanth::client::Payload;
using zanth::wire::PayloadWriter;
using zanth::wire::TypeCode;

std::string Hex(const std::vector<std::uint8_t>& bytes) {
  static const char kDigits[] = "0123456789abcdef";
  std::string out;
  for (std::uint8_t b : bytes) {
    out += kDigits[b >> 4];
    out += kDigits[b & 15];
  }
  return out;
}

std::vector<std::uint8_t> Frame(std::uint32_t type, const Payload& payload) {
  std::vector<std::uint8_t> out;
  zanth::wire::FrameMessage(zanth::wire::kChatMagic, type, payload.data(),
                                payload.size(), false, &out);
  return out;
}

// The seed byte, then every block scrambled with the state carried on.
std::vector<std::uint8_t> Scramble(std::uint8_t seed, const std::vector<std::uint8_t>& plain) {
  zanth::net::LinkScrambler scrambler;
  scrambler.Start(seed);
  std::vector<std::uint8_t> wire = plain;
  for (std::size_t at = 0; at < wire.size(); at += zanth::net::kBlockSize) {
    scrambler.ScrambleBlock(wire.data() + at);
  }
  wire.insert(wire.begin(), seed);
  return wire;
}

// The type code of a four-character text.
std::uint32_t CodeOf(const char* text) {
  std::uint32_t code = 0;
  for (int i = 0; i < 4; ++i) code = (code << 8) | static_cast<unsigned char>(text[i]);
  return code;
}

// One message the page sends: what it is made from, its payload and its
// frame.
ordered_json ClientMessage(const char* name, const char (&code)[5], ordered_json fields,
                           const Payload& payload) {
  return {{"name", name},
          {"type", code},
          {"fields", std::move(fields)},
          {"payload_hex", Hex(payload)},
          {"frame_hex", Hex(Frame(TypeCode(code), payload))}};
}

// What the site console sends: the lists it replaces, the site settings,
// room records, an upload, and the requests that carry no payload.
void ConsoleMessages(ordered_json* out) {
  using namespace zanth::client;
  for (const char* code : {"REAu", "REBl", "REGl", "REPm", "RECm", "REDI", "ARmI", "REIn"}) {
    out->push_back({{"name", code},
                    {"type", code},
                    {"fields", ordered_json::object()},
                    {"payload_hex", ""},
                    {"frame_hex", Hex(Frame(CodeOf(code), {}))}});
  }
  // A new password goes plain for the server to encode; a kept one goes
  // back encoded, as listed.
  std::vector<Account> accounts = {{"Ann", "new pass", 3, true},
                                    {std::string(40, 'a'), "D'x?", 2, false}};
  ordered_json account_fields = ordered_json::array();
  for (const Account& a : accounts) {
    account_fields.push_back(
        {{"name", a.name}, {"password", a.password}, {"group", a.group}, {"plain", a.plain}});
  }
  out->push_back(ClientMessage("account_list", "AuLs", {{"accounts", account_fields}},
                               EncodeAccountList(accounts)));
  std::vector<Group> groups = {{"Freeman", 1, 0x103, 7},
                               {"Lord", 100, 0xFFFFFFFF, 0xFFFFFFFF},
                               {"Squire \xC3\xA9", 0, 0x10, 0x80000002}};
  ordered_json group_fields = ordered_json::array();
  for (const Group& g : groups) {
    group_fields.push_back({{"name", g.name},
                            {"rank", g.rank},
                            {"privileges", g.privileges},
                            {"commands", g.commands}});
  }
  out->push_back(ClientMessage("group_list", "GrLs", {{"groups", group_fields}},
                               EncodeGroupList(groups)));
  std::vector<BanEntry> bans = {
      {"Vic", {0x01234567, 0x89ABCDEF, 0xFEDCBA98, 0x76543210}, 0, {0, 0, 0}, 0x80000000},
      {std::string(40, 'p'), {1, 2, 3, 4}, 77, {5, 6, 7}, 0x11}};
  ordered_json ban_fields = ordered_json::array();
  for (const BanEntry& b : bans) {
    ban_fields.push_back({{"name", b.name},
                          {"uuid", b.uuid},
                          {"clientNumber", b.client_number},
                          {"reserved", b.reserved},
                          {"flags", b.flags}});
  }
  out->push_back(
      ClientMessage("ban_list", "BnLs", {{"bans", ban_fields}}, EncodeBanList(bans)));
  std::vector<Sound> sounds = {{"bell", "bell.wav"}, {std::string(40, 's'), "gong.ogg"}};
  ordered_json sound_fields = ordered_json::array();
  for (const Sound& sound : sounds)
    sound_fields.push_back({{"name", sound.name}, {"source", sound.source}});
  out->push_back(ClientMessage("sound_list", "SdLs", {{"sounds", sound_fields}},
                               EncodeSoundList(sounds)));
  DirectoryInfo info{"Check Site", "zanth://example.org:12005/", "http://example.org/site.png",
                     "A site\nof two lines", true, false, true};
  out->push_back(ClientMessage("directory_info", "DrIn",
                               {{"siteName", info.site_name},
                                {"siteUrl", info.site_url},
                                {"siteImage", info.site_image},
                                {"description", info.description},
                                {"hidden", info.hidden},
                                {"privateSite", info.private_site},
                                {"members", info.members}},
                               EncodeDirectoryInfo(info)));
  out->push_back(ClientMessage("rating", "Rtng",
                               {{"enabled", true}, {"values", {0, 1, 2, 0xFFFF}}},
                               EncodeRating(true, {0, 1, 2, 0xFFFF})));
  RoomRecordFields room{105, 0x0011, "the attic", "attic.rmd", 640, 480, -1};
  ordered_json room_fields = {{"id", room.id},
                              {"flags", room.flags},
                              {"name", room.name},
                              {"fileName", room.file_name},
                              {"width", room.width},
                              {"height", room.height},
                              {"maxOccupancy", room.max_occupancy}};
  out->push_back(ClientMessage("create_room", "CrRm", room_fields, EncodeRoomRecord(room)));
  out->push_back(ClientMessage("upload_start", "sUpl", {{"name", "attic.png"}},
                               EncodeZString("attic.png")));
  std::vector<std::uint8_t> piece = {0x89, 'P', 'N', 'G', 0, 1, 2, 3, 0xFF};
  out->push_back(ClientMessage(
      "upload_segment", "fSeg",
      {{"name", "attic.png"}, {"offset", 8192}, {"bytes_hex", Hex(piece)}, {"last", true}},
      EncodeUploadSegment("attic.png", 8192, piece, true)));
}

ordered_json ClientMessages() {
  zanth::client::Ident ident;
  ident.uuid = {0x01234567, 0x89ABCDEF, 0xFEDCBA98, 0x76543210};
  ident.nickname = "Wanda Web";
  ident.colour = 0x3366CC;
  ident.face = 5;
  ident.room = 102;
  ident.capabilities = zanth::client::kWebClient;
  ident.account = "Lord";
  ident.password = "Velk*Baron";
  ordered_json out = ordered_json::array();
  out.push_back(ClientMessage("ident", "Idn2",
                              {{"uuid", ident.uuid},
                               {"nickname", ident.nickname},
                               {"colour", ident.colour},
                               {"face", ident.face},
                               {"room", ident.room},
                               {"capabilities", ident.capabilities},
                               {"account", ident.account},
                               {"password", ident.password}},
                              zanth::client::EncodeIdent(ident)));
  // A nickname past its 31 bytes is cut; a room of -1 asks for the timeout
  // room.
  zanth::client::Ident cut;
  cut.uuid = {1, 2, 3, 4};
  cut.nickname = std::string(40, 'n');
  cut.room = -1;
  out.push_back(ClientMessage("ident_cut", "Idn2",
                              {{"uuid", cut.uuid},
                               {"nickname", cut.nickname},
                               {"colour", 0},
                               {"face", 0},
                               {"room", -1},
                               {"capabilities", 0},
                               {"account", ""},
                               {"password", ""}},
                              zanth::client::EncodeIdent(cut)));
  const std::string hello = "Hello, room!";
  out.push_back(ClientMessage("talk", "Talk", {{"text", hello}},
                              zanth::client::EncodeText(hello)));
  out.push_back(ClientMessage("command", "Talk", {{"text", "'gotoroom the plaza"}},
                              zanth::client::EncodeText("'gotoroom the plaza")));
  const std::string long_line(300, 'x');  // cut to 255 bytes
  out.push_back(ClientMessage("talk_long", "Talk", {{"text", long_line}},
                              zanth::client::EncodeText(long_line)));
  out.push_back(ClientMessage("whisper", "xTlk",
                              {{"targets", {7, 0x80000001u}}, {"text", "psst"}},
                              zanth::client::EncodeWhisper({7, 0x80000001u}, "psst")));
  out.push_back(ClientMessage("move", "UsMv", {{"x", 300}, {"y", 211}},
                              zanth::client::EncodeMove(300, 211)));
  out.push_back(ClientMessage("face", "FNum", {{"face", 11}}, zanth::client::EncodeFace(11)));
  out.push_back(ClientMessage("colour", "FRGB", {{"colour", 0xFF8800}},
                              zanth::client::EncodeColour(0xFF8800)));
  out.push_back(ClientMessage("goto_room", "RmRq", {{"room", 102}},
                              zanth::client::EncodeRoomRequest(102)));
  out.push_back(ClientMessage("goto_timeout", "RmRq", {{"room", -1}},
                              zanth::client::EncodeRoomRequest(-1)));
  out.push_back(ClientMessage("name", "Name", {{"name", "Wanda"}},
                              zanth::client::EncodeZString("Wanda")));
  // The account sign-on: name and password as typed; the server encodes
  // the password before it compares.
  out.push_back(ClientMessage("auth", "auth", {{"name", "Lord"}, {"password", "Velk*Baron"}},
                              zanth::client::EncodeAuth("Lord", "Velk*Baron")));
  out.push_back(ClientMessage("room_list", "Rmls", ordered_json::object(), {}));
  out.push_back(ClientMessage("user_list", "Ulls", ordered_json::object(), {}));
  ConsoleMessages(&out);
  return out;
}

// A server payload and what the C++ decoder reads from it. A payload the
// decoder refuses stops the tool: the golden file must hold only readable
// payloads.
struct ServerMessage {
  const char* type;
  Payload payload;
  ordered_json expect;
};

PayloadWriter UserSummary(std::uint32_t id, std::int16_t x, std::int16_t y, const char* name,
                          std::uint32_t colour, std::uint16_t face) {
  PayloadWriter w;
  w.U32(id).I16(x).I16(y).Fixed(name, 36).U32(1).I16(-2).Zeros(2).U32(colour).U16(face).Zeros(2);
  return w;
}

ordered_json Summary(const zanth::client::UserSummary& u) {
  return {{"id", u.id},       {"x", u.x},         {"y", u.y},          {"name", u.name},
          {"badge", u.badge}, {"voice", u.voice}, {"colour", u.colour}, {"face", u.face}};
}

// The site console's answers: the lists, the names of the bits, the
// directory information, the rating, a room's edit info, the privileges at
// sign-on, a free room id and an upload's acknowledgement.
template <typename Add>
void ConsoleReplies(Add& add) {
  using namespace zanth::client;
  PayloadWriter accounts;
  accounts.U16(2).Fixed("Ann", 33).Fixed("D6ee", 33).U16(3).U16(0);
  accounts.Fixed("Lord", 33).Fixed("D'x?", 33).U16(2).U16(1);
  add("AuLs", accounts, [](const Payload& p, ordered_json* e) {
    std::vector<Account> list;
    if (!DecodeAccountList(p, &list)) return false;
    *e = ordered_json::array();
    for (const Account& a : list)
      e->push_back({{"name", a.name}, {"password", a.password}, {"group", a.group}});
    return true;
  });
  PayloadWriter groups;
  groups.U8(1).Zeros(1).U16(2);
  groups.Fixed("Freeman", 34).U16(1).U32(0x103).U32(7);
  groups.Fixed("Lord", 34).U16(100).U32(0xFFFFFFFF).U32(0xFFFFFFFF);
  add("GrLs", groups, [](const Payload& p, ordered_json* e) {
    std::vector<Group> list;
    if (!DecodeGroupList(p, &list)) return false;
    *e = ordered_json::array();
    for (const Group& g : list) {
      e->push_back({{"name", g.name},
                    {"rank", g.rank},
                    {"privileges", g.privileges},
                    {"commands", g.commands}});
    }
    return true;
  });
  auto labels = [](const Payload& p, ordered_json* e) {
    std::vector<BitLabel> list;
    if (!DecodeBitLabels(p, &list)) return false;
    *e = ordered_json::array();
    for (const BitLabel& l : list) e->push_back({{"label", l.label}, {"bit", l.bit}});
    return true;
  };
  PayloadWriter privileges;
  privileges.U16(2).Zeros(2).Fixed("Server console", 36).U32(0x8).Fixed("Full rooms", 36).U32(
      0x40000000);
  add("PrLs", privileges, labels);
  PayloadWriter commands;
  commands.U16(1).Zeros(2).Fixed("namegag", 36).U32(0x80000000);
  add("CmLs", commands, labels);
  PayloadWriter bans;
  bans.U32(2);
  bans.Fixed("Vic", 36).U32(0x01234567).U32(0x89ABCDEF).U32(0xFEDCBA98).U32(0x76543210);
  bans.U32(0).U32(0).U32(0).U32(0).U32(0x80000000);
  bans.Fixed("Pat", 36).U32(1).U32(2).U32(3).U32(4).U32(77).U32(5).U32(6).U32(7).U32(0x11);
  add("BnLs", bans, [](const Payload& p, ordered_json* e) {
    std::vector<BanEntry> list;
    if (!DecodeBanList(p, &list)) return false;
    *e = ordered_json::array();
    for (const BanEntry& b : list) {
      e->push_back({{"name", b.name},
                    {"uuid", b.uuid},
                    {"clientNumber", b.client_number},
                    {"reserved", b.reserved},
                    {"flags", b.flags}});
    }
    return true;
  });
  PayloadWriter sounds;
  sounds.U32(2).U32(66).Fixed("bell", 33).Fixed("bell.wav", 33).Fixed("gong", 33).Fixed(
      "gong.ogg", 33);
  add("SdLs", sounds, [](const Payload& p, ordered_json* e) {
    std::vector<Sound> list;
    if (!DecodeSoundList(p, &list)) return false;
    *e = ordered_json::array();
    for (const Sound& s : list) e->push_back({{"name", s.name}, {"source", s.source}});
    return true;
  });
  PayloadWriter directory;
  directory.Fixed("Check Site", 65).Fixed("zanth://127.0.0.1:12005/", 512).Fixed("", 512);
  directory.Fixed("Our \xC3\xA9 site", 1024).U8(0).U8(1).U8(1);
  add("DrIn", directory, [](const Payload& p, ordered_json* e) {
    DirectoryInfo d;
    if (!DecodeDirectoryInfo(p, &d)) return false;
    *e = {{"siteName", d.site_name},     {"siteUrl", d.site_url},
          {"siteImage", d.site_image},   {"description", d.description},
          {"hidden", d.hidden},          {"privateSite", d.private_site},
          {"members", d.members}};
    return true;
  });
  PayloadWriter rating;
  rating.U16(0xFFFF).U16(2).U16(0).U16(3);
  add("Rtng", rating, [](const Payload& p, ordered_json* e) {
    std::array<std::uint16_t, 4> values{};
    if (!DecodeRating(p, &values)) return false;
    *e = values;
    return true;
  });
  PayloadWriter edit;
  edit.U16(105).Zeros(2).U32(0x0811).Fixed("the attic", 577).Fixed("attic.rmd", 512);
  edit.Fixed("attic.rmd", 512).Zeros(1).I16(640).I16(480).I16(-1);
  add("REIn", edit, [](const Payload& p, ordered_json* e) {
    RoomEditInfo r;
    if (!DecodeRoomEditInfo(p, &r)) return false;
    *e = {{"id", r.id},
          {"flags", r.flags},
          {"name", r.name},
          {"fileName", r.file_name},
          {"description", r.description},
          {"width", r.width},
          {"height", r.height},
          {"maxOccupancy", r.max_occupancy}};
    return true;
  });
  PayloadWriter perm;
  perm.U32(0x500001B7);
  add("Perm", perm, [](const Payload& p, ordered_json* e) {
    std::uint32_t v = 0;
    if (!DecodeU32(p, &v)) return false;
    *e = v;
    return true;
  });
  PayloadWriter free_id;
  free_id.U16(102);
  add("ARmI", free_id, [](const Payload& p, ordered_json* e) {
    std::uint16_t v = 0;
    if (!DecodeU16(p, &v)) return false;
    *e = v;
    return true;
  });
  PayloadWriter ack;
  ack.ZString("attic.png");
  add("FAck", ack, [](const Payload& p, ordered_json* e) {
    std::string v;
    if (!DecodeZString(p, &v)) return false;
    *e = v;
    return true;
  });
}

bool BuildServerMessages(std::vector<ServerMessage>* out) {
  using namespace zanth::client;
  bool ok = true;
  auto add = [&](const char* type, PayloadWriter w, auto decode) {
    ServerMessage m{type, w.bytes(), nullptr};
    ok = decode(m.payload, &m.expect) && ok;
    if (!ok) std::fprintf(stderr, "gen-web-golden: the decoder refused %s\n", type);
    out->push_back(std::move(m));
  };
  auto speech = [](const Payload& p, ordered_json* e) {
    Speech s;
    if (!DecodeSpeech(p, &s)) return false;
    *e = {{"speaker", s.speaker}, {"text", s.text}};
    return true;
  };
  PayloadWriter talk;
  talk.U32(0x8000002A).PText("Nice to meet you \xC3\xA9");
  add("Talk", talk, speech);
  PayloadWriter notice;
  notice.U32(0).PText("Unknown command. Use 'help for a list of commands.");
  add("Talk", notice, speech);
  PayloadWriter whisper;
  whisper.U32(42).PText("just you");
  add("xTlk", whisper, speech);
  PayloadWriter cross;
  cross.U32(43).U32(0x00AA33).Fixed("Far Away", 33).PText("hi from the plaza");
  add("CrTk", cross, [](const Payload& p, ordered_json* e) {
    CrossRoomWhisper w;
    if (!DecodeCrossRoomWhisper(p, &w)) return false;
    *e = {{"speaker", w.speaker}, {"colour", w.colour}, {"name", w.name}, {"text", w.text}};
    return true;
  });
  PayloadWriter move;
  move.U32(42).I16(490).I16(-3);
  add("UsMv", move, [](const Payload& p, ordered_json* e) {
    UserMove m;
    if (!DecodeUserMove(p, &m)) return false;
    *e = {{"user", m.user}, {"x", m.x}, {"y", m.y}};
    return true;
  });
  PayloadWriter face;
  face.U32(42).U16(12).Zeros(2);
  add("FNum", face, [](const Payload& p, ordered_json* e) {
    UserValue v;
    if (!DecodeUserFace(p, &v)) return false;
    *e = {{"user", v.user}, {"value", v.value}};
    return true;
  });
  PayloadWriter colour;
  colour.U32(42).U32(0xCCCC00);
  add("FRGB", colour, [](const Payload& p, ordered_json* e) {
    UserValue v;
    if (!DecodeUserColour(p, &v)) return false;
    *e = {{"user", v.user}, {"value", v.value}};
    return true;
  });
  PayloadWriter info;
  info.U16(102).I16(640).I16(480).Fixed("the plaza", 65).Zeros(1).U16(1);
  add("RmIn", info, [](const Payload& p, ordered_json* e) {
    RoomInfo r;
    if (!DecodeRoomInfo(p, &r)) return false;
    *e = {{"id", r.id}, {"width", r.width}, {"height", r.height}, {"name", r.name},
          {"flags", r.flags}};
    return true;
  });
  add("RmEn", UserSummary(42, 132, 88, "Wanda Web", 0x3366CC, 5),
      [](const Payload& p, ordered_json* e) {
        zanth::client::UserSummary u;
        if (!DecodeUserSummary(p, &u)) return false;
        *e = Summary(u);
        return true;
      });
  PayloadWriter occupants;
  occupants.U16(2).Zeros(2);
  for (const PayloadWriter& u : {UserSummary(7, 44, 44, "Ann", 0xCCCC00, 0),
                                 UserSummary(0xFFFFFFFE, 500, 370, "Bob the Builder", 0xFF0000, 3)})
    occupants.Bytes(u.data(), u.size());
  add("RmOc", occupants, [](const Payload& p, ordered_json* e) {
    std::vector<zanth::client::UserSummary> users;
    if (!DecodeOccupants(p, &users)) return false;
    *e = ordered_json::array();
    for (const auto& u : users) e->push_back(Summary(u));
    return true;
  });
  PayloadWriter rooms;
  rooms.U16(2);
  rooms.U16(100).U16(3).U8(0).Fixed("gate", 65);
  rooms.U16(102).U16(0).U8(1).Fixed("the plaza", 65);
  auto room_json = [](const RoomSummary& r) {
    return ordered_json{{"id", r.id}, {"occupants", r.occupants}, {"closed", r.closed},
                        {"name", r.name}};
  };
  add("Rmls", rooms, [&](const Payload& p, ordered_json* e) {
    std::vector<RoomSummary> list;
    if (!DecodeRoomList(p, &list)) return false;
    *e = ordered_json::array();
    for (const auto& r : list) e->push_back(room_json(r));
    return true;
  });
  PayloadWriter update;
  update.U16(100).U16(4).U8(0).Fixed("gate", 65);
  add("RlUd", update, [&](const Payload& p, ordered_json* e) {
    RoomSummary r;
    if (!DecodeRoomSummary(p, &r)) return false;
    *e = room_json(r);
    return true;
  });
  PayloadWriter users;
  users.U32(2).U32(7).Fixed("Ann", 34).U16(100).U32(42).Fixed("Wanda Web", 34).U16(102);
  add("Ulls", users, [](const Payload& p, ordered_json* e) {
    std::vector<UserListEntry> list;
    if (!DecodeUserList(p, &list)) return false;
    *e = ordered_json::array();
    for (const auto& u : list) e->push_back({{"id", u.id}, {"name", u.name}, {"room", u.room}});
    return true;
  });
  PayloadWriter name;
  name.U32(42).I16(10).I16(20).Fixed("Wanda", 52);
  add("Name", name, [](const Payload& p, ordered_json* e) {
    NameChange n;
    if (!DecodeNameChange(p, &n)) return false;
    *e = {{"user", n.user}, {"x", n.x}, {"y", n.y}, {"name", n.name}};
    return true;
  });
  PayloadWriter you;
  you.U32(42);
  add("UAre", you, [](const Payload& p, ordered_json* e) {
    std::uint32_t v = 0;
    if (!DecodeU32(p, &v)) return false;
    *e = v;
    return true;
  });
  PayloadWriter count;
  count.U16(3);
  add("UsCt", count, [](const Payload& p, ordered_json* e) {
    std::uint16_t v = 0;
    if (!DecodeU16(p, &v)) return false;
    *e = v;
    return true;
  });
  PayloadWriter site;
  site.ZString("Check Site");
  add("SNme", site, [](const Payload& p, ordered_json* e) {
    std::string v;
    if (!DecodeZString(p, &v)) return false;
    *e = v;
    return true;
  });
  PayloadWriter group;
  group.U16(2).Fixed("Knight", 34);
  add("Grup", group, [](const Payload& p, ordered_json* e) {
    GroupNotice g;
    if (!DecodeGroupNotice(p, &g)) return false;
    *e = {{"rank", g.rank}, {"name", g.name}};
    return true;
  });
  ConsoleReplies(add);
  return ok;
}

ordered_json Golden() {
  ordered_json golden;
  golden["about"] =
      "Generated by gen-web-golden from the C++ scrambler, framer, encoders and decoders; "
      "the browser page's protocol code is tested against it. Do not edit by hand.";
  golden["client_messages"] = ClientMessages();

  // The page's direction: its sign-on and first lines as one stream.
  std::vector<std::uint8_t> plain;
  for (const ordered_json& m : golden["client_messages"]) {
    const std::string name = m["name"];
    if (name != "ident" && name != "talk" && name != "whisper" && name != "move") continue;
    std::string hex = m["frame_hex"];
    for (std::size_t i = 0; i < hex.size(); i += 2)
      plain.push_back(static_cast<std::uint8_t>(std::stoi(hex.substr(i, 2), nullptr, 16)));
  }
  golden["client_stream"] = {
      {"seed", 200}, {"plain_hex", Hex(plain)}, {"wire_hex", Hex(Scramble(200, plain))}};

  std::vector<ServerMessage> server;
  if (!BuildServerMessages(&server)) return nullptr;
  ordered_json messages = ordered_json::array();
  std::vector<std::uint8_t> server_plain;
  for (const ServerMessage& m : server) {
    std::vector<std::uint8_t> frame = Frame(CodeOf(m.type), m.payload);
    server_plain.insert(server_plain.end(), frame.begin(), frame.end());
    messages.push_back({{"type", m.type}, {"payload_hex", Hex(m.payload)}, {"expect", m.expect}});
  }
  golden["server_messages"] = messages;
  // The server's direction: every message above, in order, as one stream.
  golden["server_stream"] = {{"seed", 254}, {"wire_hex", Hex(Scramble(254, server_plain))}};
  return golden;
}

int Usage() {
  std::fputs("usage: gen-web-golden [--update] FILE\n", stderr);
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  bool update = argc == 3 && std::strcmp(argv[1], "--update") == 0;
  if (argc != 2 && !update) return Usage();
  const char* path = argv[argc - 1];
  ordered_json golden = Golden();
  if (golden.is_null()) return 1;
  const std::string expected = golden.dump(1) + "\n";
  if (update) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << expected;
    if (!out.flush()) {
      std::fprintf(stderr, "gen-web-golden: cannot write %s\n", path);
      return 1;
    }
    return 0;
  }
  std::ifstream in(path, std::ios::binary);
  std::ostringstream actual;
  actual << in.rdbuf();
  if (in && actual.str() == expected) return 0;
  std::fprintf(stderr,
               "gen-web-golden: %s differs from what the C++ code produces; if the change is "
               "meant, run gen-web-golden --update %s and let the JavaScript tests judge it\n",
               path, path);
  return 1;
}
