// Uploads into the media folder, the site rating and the directory
// information.
#include <algorithm>

#include "core/log.h"
#include "core/result.h"
#include "platform/file.h"
#include "protocol/handlers.h"
#include "wire/bytes.h"
#include "wire/framing.h"

namespace zanth::protocol {
namespace {

using users::UserRecord;

constexpr std::size_t kUploadNameLimit = 31;
constexpr std::uint64_t kUploadLimit = 64ull << 20;
constexpr std::size_t kDirectoryRecordSize = 2116;

// A name that stays inside the media folder: not empty, at most 31
// characters, no separators or NUL, not starting with ".".
bool IsSafeUploadName(const std::string& name) {
  return !name.empty() && name.size() <= kUploadNameLimit && name[0] != '.' &&
         name.find_first_of(std::string("/\\\0", 3)) == std::string::npos;
}

void SendFileName(UserRecord& user, const char (&type)[5], const std::string& name) {
  wire::PayloadWriter w;
  w.ZString(name);
  user.Send(wire::TypeCode(type), w.bytes());
}

void DropUpload(UserRecord& user, std::vector<std::unique_ptr<users::Upload>>::iterator it) {
  (*it)->file.Close();
  (void)platform::RemoveFile((*it)->temp_path);
  user.uploads.erase(it);
}

}  // namespace

int HandleUploadStart(Site& site, UserRecord& user, const Message& message) {
  if (!site.GroupOf(user).Has(users::kAuthorRooms)) {
    users::SendServerNotice(user, "You do not have authoring permission");
    return kOk;
  }
  LogDebug("File upload request");
  wire::PayloadReader r(message.payload, message.size);
  std::string name = r.ZString();
  if (!IsSafeUploadName(name)) return kOk;  // refused: no answer
  auto upload = std::make_unique<users::Upload>();
  upload->file_name = name;
  upload->final_path = site.settings.media_dir + name;
  upload->temp_path = upload->final_path + ".tmp";
  LogDebug("File upload initiated %s %s", name.c_str(), upload->temp_path.c_str());
  // Emptied at the start, so an older, longer upload leaves no tail.
  if (int rc = upload->file.Open(upload->temp_path, platform::kOpenWrite |
                                                        platform::kOpenCreate |
                                                        platform::kOpenTruncate);
      rc != 0) {
    LogError(rc, "writing %s", upload->temp_path.c_str());
    return kOk;
  }
  user.uploads.insert(user.uploads.begin(), std::move(upload));
  SendFileName(user, "FAck", name);
  LogAs(user, "File", "%s", name.c_str());
  return kOk;
}

int HandleUploadSegment(Site& site, UserRecord& user, const Message& message) {
  wire::PayloadReader r(message.payload, message.size);
  std::string name = r.Fixed(32);
  std::size_t size = r.U16();
  r.Skip(2);
  r.Skip(4);
  bool last = r.U8() != 0;
  size = std::min(size, r.remaining());
  LogDebug("File segment received %s", name.c_str());
  auto it = std::find_if(user.uploads.begin(), user.uploads.end(),
                         [&name](const auto& u) { return u->file_name == name; });
  if (it == user.uploads.end()) return kOk;
  users::Upload& upload = **it;
  if (upload.size + size > kUploadLimit) {
    DropUpload(user, it);
    return kOk;
  }
  if (int rc = upload.file.WriteAll(r.current(), size); rc != 0) {
    LogError(rc, "writing %s", upload.temp_path.c_str());
    DropUpload(user, it);
    return kOk;
  }
  upload.size += size;
  SendFileName(user, "FAck", name);
  if (!last) return kOk;
  LogDebug("Last segment received %s", name.c_str());
  std::unique_ptr<users::Upload> done = std::move(*it);
  user.uploads.erase(it);
  // The finished file replaces the old one in one step, so a crash or a
  // full disk leaves either the old file or the new one, never a part.
  int rc = done->file.Sync();
  done->file.Close();
  if (rc == 0) rc = platform::RenameFile(done->temp_path, done->final_path);
  if (rc != 0) {
    LogError(rc, "writing %s", done->final_path.c_str());
    (void)platform::RemoveFile(done->temp_path);
    return kOk;
  }
  for (UserRecord& other : site.users.users()) SendFileName(other, "FChn", name);
  return kOk;
}

int HandleRating(Site& site, UserRecord& user, const Message& message) {
  if (!site.GroupOf(user).Has(users::kServerConsole)) {
    users::SendServerNotice(user, "You do not have console permission");
    return kOk;
  }
  wire::PayloadReader r(message.payload, message.size);
  bool enabled = r.U8() != 0;
  r.Skip(1);
  for (std::int16_t& value : site.settings.rating) value = r.I16();
  site.settings.rating_present = enabled;
  site.SaveConfiguration();
  if (enabled) {
    wire::PayloadWriter w;
    for (std::int16_t value : site.settings.rating) w.I16(value);
    for (UserRecord& other : site.users.users()) other.Send(wire::TypeCode("Rtng"), w.bytes());
  }
  return kOk;
}

int HandleDirectoryInfo(Site& site, UserRecord& user, const Message& message) {
  if (!site.GroupOf(user).Has(users::kServerConsole)) {
    users::SendServerNotice(user, "You do not have console permission");
    return kOk;
  }
  std::vector<std::uint8_t> record(kDirectoryRecordSize, 0);
  std::copy_n(message.payload, std::min(message.size, kDirectoryRecordSize), record.begin());
  wire::PayloadReader r(record.data(), record.size());
  Settings& settings = site.settings;
  settings.site_name = r.Fixed(65);
  settings.site_url = r.Fixed(512);
  settings.site_image = r.Fixed(512);
  settings.description = r.Fixed(1024);
  bool hidden = r.U8() != 0;
  settings.private_site = r.U8() != 0;
  settings.members_site = r.U8() != 0;
  settings.site_flags = hidden ? (settings.site_flags | kSiteHidden) : (settings.site_flags & ~kSiteHidden);
  wire::PayloadWriter name;
  name.ZString(settings.site_name);
  for (UserRecord& other : site.users.users()) other.Send(wire::TypeCode("SNme"), name.bytes());
  LogAs(user, "Cnsle", "directory info");
  site.SaveConfiguration();
  if (site.directory_update) site.directory_update();
  return kOk;
}

int HandleDirectoryInfoRequest(Site& site, UserRecord& user, const Message&) {
  const Settings& settings = site.settings;
  wire::PayloadWriter w;
  w.Fixed(settings.site_name.substr(0, 64), 65)
      .Fixed(settings.site_url, 512)
      .Fixed(settings.site_image, 512)
      .Fixed(settings.description, 1024)
      .U8(settings.hidden() ? 1 : 0)
      .U8(settings.private_site ? 1 : 0)
      .U8(settings.members_site ? 1 : 0);
  user.Send(wire::TypeCode("DrIn"), w.bytes());
  return kOk;
}

void CloseUploads(UserRecord& user) {
  while (!user.uploads.empty()) DropUpload(user, user.uploads.begin());
}

}  // namespace zanth::protocol
