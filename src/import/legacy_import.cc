// The legacy site importer: reads the preferences and the rooms script, and
// adds each room with its description file.
#include "import/legacy_import.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <optional>

#include "core/log.h"
#include "import/legacy_tokens.h"
#include "platform/file.h"
#include "rooms/room.h"

namespace zanth::import {
namespace {

// Legacy files are a few kilobytes; anything far larger is not one.
constexpr std::uint64_t kLegacyFileLimit = 16u << 20;
// A rooms file may name another; the chain is cut here so a file naming
// itself cannot loop.
constexpr int kRoomsFileChainLimit = 16;

const char* const kLegacyFiles[] = {"psdata/PServer.prefs", "psdata/pserver.prefs", "pscript"};

void Cut(std::string* text, std::size_t limit) {
  if (text->size() > limit) text->resize(limit);
}

bool StartsWithDigit(const Token& token) {
  return token.is_text() && !token.text.empty() && token.text[0] >= '0' && token.text[0] <= '9';
}

int ReadLegacyFile(const std::string& path, std::string* contents) {
  std::uint64_t size = 0;
  std::int64_t modified = 0;
  if (platform::RegularFileStatus(path, &size, &modified) && size > kLegacyFileLimit) {
    return EFBIG;
  }
  return platform::ReadWholeFile(path, contents);
}

// "a,b,c": picture id, x offset and y offset of a spot state.
LegacyState ParseState(std::string_view text) {
  int values[3] = {0, 0, 0};
  for (int& value : values) {
    std::size_t comma = text.find(',');
    value = ParseDecimal(text.substr(0, comma));
    if (comma == std::string_view::npos) break;
    text.remove_prefix(comma + 1);
  }
  return LegacyState{values[0], values[1], values[2]};
}

class RoomReader {
 public:
  RoomReader(TokenStream& in, const Settings& settings) : in_(in), settings_(settings) {}

  // Reads up to "ENDROOM". false when the input ends first.
  bool Read(LegacyRoom* room);

 private:
  bool ReadPicture(LegacyRoom* room);
  bool ReadSpot(std::uint32_t flags, LegacyRoom* room);
  bool ReadPicts(LegacySpot* spot);
  bool ReadScript(LegacySpot* spot);
  int NextNumber() { return ParseDecimal(in_.NextValue().value_or("")); }
  std::string NextText(std::size_t limit) {
    std::string text = in_.NextValue().value_or("");
    Cut(&text, limit);
    return text;
  }

  TokenStream& in_;
  const Settings& settings_;
};

bool RoomReader::Read(LegacyRoom* room) {
  while (std::optional<Token> token = in_.Next()) {
    // Text that no keyword takes is skipped whole.
    if (token->is_text()) continue;
    LogDebug("Processing %s", std::string(KeywordText(token->keyword)).c_str());
    switch (token->keyword) {
      case kId: {
        std::string text = in_.NextValue().value_or("");
        LogDebug("Parsing room ID %s", text.c_str());
        room->id = ParseDecimal(text);
        LogDebug("Parsed roomID %d", room->id);
        break;
      }
      case kName:
        room->name = NextText(kNameLimit);
        LogDebug("Parsed room name %s", room->name.c_str());
        break;
      case kPict: {
        std::string picture = NextText(kBackgroundLimit);
        if (LogVerbose() && picture.size() >= 3) {
          std::string extension = picture.substr(picture.size() - 3);
          for (char& c : extension) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
          if (extension == "gif") LogDebug("Parsing legacy gif background");
        }
        room->background = ConvertPictureName(picture, settings_.media_dir);
        LogDebug("Parsed legacy background %s", room->background.c_str());
        break;
      }
      case kMaxMembers: room->capacity = NextNumber(); break;
      case kDropZone: room->flags |= rooms::kGate; break;
      case kNoGuests: room->flags |= rooms::kMembers; break;
      case kPrivate: room->flags |= rooms::kPrivate; break;
      case kHidden: room->flags |= rooms::kHidden; break;
      case kOperatorsOnly: room->flags |= rooms::kStaff; break;
      case kNoCyborgs: room->flags |= rooms::kNoCyborg; break;
      case kArtist:
        (void)in_.NextValue();
        LogDebug("Parsed artist");
        break;
      case kForward:
        (void)in_.NextValue();
        LogDebug("Parsed forward");
        break;
      case kLocked: case kPropId: case kCrc: case kLoc:
        (void)in_.NextValue();
        break;
      case kPicture:
        if (!ReadPicture(room)) return false;
        break;
      case kSpot: case kDoor: case kNavArea:
        if (!ReadSpot(0, room)) return false;
        break;
      case kBolt:
        if (!ReadSpot(kSpotBolt, room)) return false;
        break;
      case kEndRoom:
        LogDebug("Parsed room end");
        in_.DropRestOfLine();
        return true;
      default:
        break;
    }
  }
  return false;
}

bool RoomReader::ReadPicture(LegacyRoom* room) {
  LogDebug("Processing picture");
  LegacyPicture picture;
  while (std::optional<Token> token = in_.Next()) {
    switch (token->keyword) {
      case kId:
        LogDebug("Processing picture ID");
        picture.id = NextNumber();
        break;
      case kName:
        LogDebug("Processing picture NAME");
        picture.file = NextText(kNameLimit);
        break;
      case kTransColor:
        LogDebug("Processing picture TRANSCOLOR");
        (void)in_.NextValue();
        break;
      case kEndPicture:
        LogDebug("Processing picture end");
        picture.file = ConvertPictureName(picture.file, settings_.media_dir);
        if (room->pictures.size() < kMaxPictures) room->pictures.push_back(std::move(picture));
        in_.DropRestOfLine();
        return true;
      default:
        LogDebug("Unknown picture token");
        break;
    }
  }
  return false;
}

bool RoomReader::ReadSpot(std::uint32_t flags, LegacyRoom* room) {
  LegacySpot spot;
  spot.flags = flags;
  while (std::optional<Token> token = in_.Next()) {
    switch (token->keyword) {
      case kId:
        spot.id = NextNumber();
        LogDebug("Parsed spotID %d", spot.id);
        break;
      case kDest:
        spot.destination = NextNumber();
        LogDebug("Parsed destination %d", spot.destination);
        break;
      case kName:
        spot.name = NextText(kNameLimit);
        LogDebug("Parsed spot name %s", spot.name.c_str());
        break;
      case kOutline:
        // Points while the items start with a digit; anything else (a
        // negative coordinate included) ends the outline.
        while (const Token* point = in_.Peek()) {
          if (!StartsWithDigit(*point)) break;
          if (!spot.outline.empty()) spot.outline += ':';
          spot.outline += in_.Next()->text;
          Cut(&spot.outline, kOutlineLimit);
        }
        LogDebug("Parsed outline %s", spot.outline.c_str());
        break;
      case kPicts:
        if (!ReadPicts(&spot)) return false;
        break;
      case kScript:
        if (!ReadScript(&spot)) return false;
        break;
      case kShowName:
        spot.flags |= kSpotShowName;
        LogDebug("Parsed show name");
        break;
      case kDontMoveHere:
        spot.flags |= kSpotNoMove;
        LogDebug("Parsed no move");
        break;
      case kLockable: case kShutable:
        spot.flags |= kSpotClosable;
        break;
      case kLoc:
        (void)in_.NextValue();
        break;
      case kEndSpot: case kEndDoor: case kEndNavArea: case kEndBolt:
        Log(nullptr, "plccnv", "Processed spot");
        if (room->spots.size() < kMaxSpots) room->spots.push_back(std::move(spot));
        LogDebug("Spot added. numRead=%d currTok=%d error=%ld",
                 static_cast<int>(room->spots.size()), static_cast<int>(token->keyword), 0L);
        return true;
      default:
        break;
    }
  }
  return false;
}

bool RoomReader::ReadPicts(LegacySpot* spot) {
  LogDebug("Parsing picts");
  while (std::optional<Token> token = in_.Next()) {
    if (token->is(kEndPicts)) {
      LogDebug("Picts end");
      return true;
    }
    if (StartsWithDigit(*token)) {
      LogDebug("Parsing %s", token->text.c_str());
      if (spot->states.size() < kMaxStates) {
        spot->states.push_back(ParseState(token->text));
        LogDebug("Added pict %d", spot->states.back().picture);
      }
    } else {
      LogDebug("Unrecognized pict token");
    }
  }
  return false;
}

bool RoomReader::ReadScript(LegacySpot* spot) {
  LogDebug("Parsing script");
  in_.DropRestOfLine();
  while (std::optional<std::string_view> line = in_.lines().NextRaw()) {
    std::string_view body = *line;
    while (!body.empty() && (body[0] == ' ' || body[0] == '\t' || body[0] == '\r')) {
      body.remove_prefix(1);
    }
    std::string_view shown = line->substr(0, line->find_first_of("\r\n"));
    LogDebug("%s %s", std::string(body.substr(0, 9)).c_str(), std::string(shown).c_str());
    if (body.starts_with("ENDSCRIPT")) {
      LogDebug("Script end");
      return true;
    }
    std::size_t room_left = kScriptLimit - spot->script.size();
    spot->script.append(line->substr(0, std::min(room_left, line->size())));
  }
  return false;
}

std::optional<std::string> QuotedValueOnLine(TokenStream& in) {
  if (!in.LineHasMore()) return std::nullopt;
  const Token* token = in.Peek();
  if (!token->quoted) return std::nullopt;
  return in.NextValue();
}

}  // namespace

void AddImportedRoom(const LegacyRoom& room, const Settings& settings,
                     rooms::RoomRegistry& registry) {
  std::string file = FormatMessage("rm%d.rmd", room.id);
  std::string path = settings.media_dir + file;
  // The picture folder a legacy site names normally exists; when it does
  // not, it is made so the descriptions have somewhere to go.
  if (!settings.media_dir.empty() && !platform::DirectoryExists(settings.media_dir)) {
    (void)platform::MakeDirectory(settings.media_dir);
  }
  // A file that cannot be written does not stop the room being created.
  if (int rc = platform::WriteFileAtomically(path, RoomDescriptionText(room)); rc != 0) {
    LogError(rc, "writing %s", path.c_str());
  }
  Log(nullptr, "main", "Adding room");
  if (room.id < 0 || room.id > 0xFFFF) {
    LogError(0, "Failed to load room %s (%d)", room.name.c_str(), room.id);
    return;
  }
  rooms::RoomFields fields;
  fields.id = static_cast<std::uint16_t>(room.id);
  fields.flags = room.flags;
  fields.max_occupancy = static_cast<std::int16_t>(std::clamp(room.capacity, 0, 0x7FFF));
  fields.name = room.name;
  fields.description = file;
  fields.file_name = file;
  (void)registry.Append(fields);
}

std::string ImportLegacyText(std::string contents, Settings& settings, const RoomSink& add_room) {
  LineReader lines(std::move(contents));
  TokenStream in(lines);
  std::string rooms_file;
  // Only the first item of a line is looked at, apart from a room, which
  // reads on from there.
  while (in.NextLine()) {
    if (!in.LineHasMore()) continue;
    Token first = *in.Next();
    switch (first.keyword) {
      case kServerName:
        if (std::optional<std::string> value = QuotedValueOnLine(in)) {
          settings.site_name = *value;
          Cut(&settings.site_name, kSiteNameLimit);
          LogDebug("Parsed legacy name %s", settings.site_name.c_str());
        }
        break;
      case kPicFolder:
        if (std::optional<std::string> value = QuotedValueOnLine(in)) {
          settings.media_dir = *value;
          Cut(&settings.media_dir, kPathLimit);
          settings.prop_dir = settings.media_dir + kPropsSubfolder;
          Cut(&settings.prop_dir, kPathLimit);
          LogDebug("Parsed legacy picture folder %s", settings.media_dir.c_str());
        }
        break;
      case kHttpUrl:
        if (std::optional<std::string> value = QuotedValueOnLine(in)) {
          settings.base_url = *value;
          Cut(&settings.base_url, kLongTextLimit);
          settings.prop_url = settings.base_url + kPropsSubfolder;
          Cut(&settings.prop_url, kPathLimit);
          LogDebug("Parsed legacy HTTP_URL %s", settings.base_url.c_str());
        }
        break;
      case kBlurb:
        if (std::optional<std::string> value = QuotedValueOnLine(in)) {
          settings.description = *value;
          Cut(&settings.description, kLongTextLimit);
          LogDebug("Parsed blurb");
        }
        break;
      case kRoomsFile:
        if (std::optional<std::string> value = QuotedValueOnLine(in)) {
          rooms_file = *value;
          Cut(&rooms_file, kRoomsFileLimit);
          LogDebug("Parsed legacy roomsfile %s", rooms_file.c_str());
        }
        break;
      case kRoom: {
        Log(nullptr, "main", "Processing room");
        LegacyRoom room;
        RoomReader reader(in, settings);
        // A room cut short by the end of the input is not created.
        if (reader.Read(&room)) add_room(room);
        break;
      }
      default:
        break;
    }
  }
  return rooms_file;
}

int ImportLegacySite(Settings& settings, rooms::RoomRegistry& rooms) {
  std::string contents;
  int rc = ENOENT;
  for (const char* path : kLegacyFiles) {
    LogDebug("Attempting %s", path);
    rc = ReadLegacyFile(path, &contents);
    if (rc == 0) break;
  }
  if (rc != 0) return rc;
  // The media folder is read when each room is added: the preferences may
  // change it on the way.
  RoomSink add_room = [&settings, &rooms](const LegacyRoom& room) {
    AddImportedRoom(room, settings, rooms);
  };
  std::string rooms_file = ImportLegacyText(std::move(contents), settings, add_room);
  for (int chain = 0; !rooms_file.empty() && chain < kRoomsFileChainLimit; ++chain) {
    Log(nullptr, "main", "Loading rooms file %s", rooms_file.c_str());
    contents.clear();
    if (ReadLegacyFile(rooms_file, &contents) != 0) break;
    rooms_file = ImportLegacyText(std::move(contents), settings, add_room);
  }
  return 0;
}

}  // namespace zanth::import
