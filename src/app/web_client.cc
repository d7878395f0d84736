// Finding the browser chat page's files and placing them in the media
// folder, renewed when the server's page changes.
#include "app/web_client.h"

#include <cerrno>
#include <map>
#include <string_view>

#include "net/crypto.h"
#include "platform/file.h"

namespace zanth {
namespace {

// Only the page's own kinds of file go out: a folder that also holds, say,
// the page's test set-up or an editor's backup does not publish them.
constexpr std::string_view kPageExtensions[] = {".html", ".css", ".js", ".svg", ".png", ".ico"};

// The page's folders are shallow; the bound also stops a loop of links.
constexpr int kMaxDepth = 4;

bool IsPageFile(std::string_view name) {
  for (std::string_view extension : kPageExtensions) {
    if (name.size() > extension.size() && name.ends_with(extension)) return true;
  }
  return false;
}

std::string Digest(const std::string& contents) {
  net::Sha1Digest digest =
      net::Sha1(reinterpret_cast<const std::uint8_t*>(contents.data()), contents.size());
  static const char kDigits[] = "0123456789abcdef";
  std::string hex;
  for (std::uint8_t b : digest) {
    hex += kDigits[b >> 4];
    hex += kDigits[b & 15];
  }
  return hex;
}

// The page's files below from, as paths relative to the page's folder
// (prefix), the top index.html left out. Folders are made in target on
// the way, so that the files can be written into them.
int ListPage(const std::string& from, const std::string& prefix, int depth,
             const std::string& target, std::vector<std::string>* out) {
  if (int rc = platform::MakeDirectory(target + prefix); rc != 0 && rc != EEXIST) return rc;
  std::vector<std::string> names;
  if (int rc = platform::ListDirectory(from + prefix, &names); rc != 0) return rc;
  for (const std::string& name : names) {
    if (IsPageFile(name) && !(depth == 0 && name == "index.html")) out->push_back(prefix + name);
  }
  if (depth >= kMaxDepth) return 0;
  if (int rc = platform::ListSubdirectories(from + prefix, &names); rc != 0) return rc;
  for (const std::string& name : names) {
    if (name.starts_with(".") || name == "node_modules") continue;
    if (int rc = ListPage(from, prefix + name + "/", depth + 1, target, out); rc != 0) return rc;
  }
  return 0;
}

// path -> digest, from the manifest's lines; empty when there is none.
std::map<std::string, std::string> ReadManifest(const std::string& path) {
  std::map<std::string, std::string> out;
  std::string text;
  if (platform::ReadWholeFile(path, &text) != 0) return out;
  std::size_t at = 0;
  while (at < text.size()) {
    std::size_t end = text.find('\n', at);
    if (end == std::string::npos) end = text.size();
    std::string_view line(text.data() + at, end - at);
    std::size_t space = line.find(' ');
    if (space != std::string_view::npos) {
      out[std::string(line.substr(space + 1))] = std::string(line.substr(0, space));
    }
    at = end + 1;
  }
  return out;
}

// Brings one page file in target up to source's; *placed becomes the
// digest the manifest keeps for it (what this server placed there).
int PlaceFile(const std::string& source, const std::string& target, const std::string& path,
              const std::map<std::string, std::string>& manifest, std::string* placed,
              WebClientPlacement* placement) {
  std::string shipped;
  if (int rc = platform::ReadWholeFile(source + path, &shipped); rc != 0) return rc;
  *placed = Digest(shipped);
  std::string there;
  bool exists = platform::FileExists(target + path);
  if (exists) {
    if (int rc = platform::ReadWholeFile(target + path, &there); rc != 0) return rc;
    if (there == shipped) return 0;
    auto known = manifest.find(path);
    std::string digest = Digest(there);
    if (known != manifest.end() && digest != known->second && known->second == *placed) {
      *placed = known->second;  // the owner's edit of a file this page did not change
      return 0;
    }
    if (known == manifest.end() || digest != known->second) {
      if (int rc = platform::WriteFileAtomically(target + path + ".bak", there); rc != 0) return rc;
      placement->set_aside.push_back(path);
    }
  }
  // Written aside and renamed into place: a failed copy leaves no half
  // file that a later start would take for an edit.
  if (int rc = platform::WriteFileAtomically(target + path, shipped); rc != 0) return rc;
  ++placement->written;
  return 0;
}

}  // namespace

std::vector<std::string> WebClientCandidates(const std::string& executable_path) {
  std::vector<std::string> out;
  std::size_t slash = executable_path.rfind('/');
  if (slash != std::string::npos) {
    // <prefix>/bin/zanthd -> <prefix>/share/zanthd/web/
    out.push_back(executable_path.substr(0, slash) + "/../share/zanthd/web/");
  }
#ifdef ZANTH_SOURCE_WEB_DIR
  out.push_back(ZANTH_SOURCE_WEB_DIR "/");
#endif
#ifdef ZANTH_INSTALLED_WEB_DIR
  out.push_back(ZANTH_INSTALLED_WEB_DIR "/");
#endif
  return out;
}

std::string FindWebClientFiles(const std::vector<std::string>& candidates) {
  for (const std::string& folder : candidates) {
    if (platform::FileExists(folder + "index.html")) return folder;
  }
  return "";
}

int PlaceWebClient(const std::string& source, const std::string& media_dir,
                   WebClientPlacement* placement) {
  *placement = WebClientPlacement();
  std::string target = media_dir + "web/";
  placement->fresh = !platform::FileExists(target + "index.html");
  std::vector<std::string> paths;
  if (int rc = ListPage(source, "", 0, target, &paths); rc != 0) return rc;
  paths.push_back("index.html");
  std::map<std::string, std::string> manifest = ReadManifest(target + kWebClientManifest);
  std::string lines;
  for (const std::string& path : paths) {
    std::string placed;
    if (int rc = PlaceFile(source, target, path, manifest, &placed, placement); rc != 0) return rc;
    lines += placed + " " + path + "\n";
  }
  std::string old;
  if (platform::ReadWholeFile(target + kWebClientManifest, &old) == 0 && old == lines) return 0;
  return platform::WriteFileAtomically(target + kWebClientManifest, lines);
}

}  // namespace zanth
