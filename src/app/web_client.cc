// Finding the browser chat page's files and placing them in the media
// folder.
#include "app/web_client.h"

#include <cerrno>
#include <string_view>

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

// Copies one file unless the target exists. The copy is written aside and
// renamed into place, so that a failed copy leaves no half file that a
// later start would keep.
int CopyFile(const std::string& from, const std::string& to, int* copied) {
  if (platform::FileExists(to)) return 0;
  std::string contents;
  if (int rc = platform::ReadWholeFile(from, &contents); rc != 0) return rc;
  if (int rc = platform::WriteFileAtomically(to, contents); rc != 0) return rc;
  ++*copied;
  return 0;
}

// The top folder's index.html is left to the caller: it goes last, so that
// a copy cut short is taken up again at the next start.
int CopyTree(const std::string& from, const std::string& to, int depth, int* copied) {
  if (int rc = platform::MakeDirectory(to); rc != 0 && rc != EEXIST) return rc;
  std::vector<std::string> names;
  if (int rc = platform::ListDirectory(from, &names); rc != 0) return rc;
  for (const std::string& name : names) {
    if (!IsPageFile(name) || (depth == 0 && name == "index.html")) continue;
    if (int rc = CopyFile(from + name, to + name, copied); rc != 0) return rc;
  }
  if (depth >= kMaxDepth) return 0;
  if (int rc = platform::ListSubdirectories(from, &names); rc != 0) return rc;
  for (const std::string& name : names) {
    if (name.starts_with(".") || name == "node_modules") continue;
    if (int rc = CopyTree(from + name + "/", to + name + "/", depth + 1, copied); rc != 0)
      return rc;
  }
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

int PlaceWebClient(const std::string& source, const std::string& media_dir, int* copied) {
  *copied = 0;
  std::string target = media_dir + "web/";
  if (platform::FileExists(target + "index.html")) return 0;
  if (int rc = CopyTree(source, target, 0, copied); rc != 0) return rc;
  return CopyFile(source + "index.html", target + "index.html", copied);
}

}  // namespace zanth
