// The browser chat page: its files come with the server, and start-up puts
// them in the media folder's "web" subfolder, where the HTTP server hands
// them out as /web/index.html, and renews them there when the server's page
// has changed.
#pragma once

#include <string>
#include <vector>

namespace zanth {

// The folders that may hold the page's files, in the order they are tried:
// share/zanthd/web beside the executable's bin folder (an installed
// server, wherever its prefix), the source tree's src/web (a server run
// from its build tree), then the share folder of the configured install
// prefix. Each ends in "/".
std::vector<std::string> WebClientCandidates(const std::string& executable_path);

// The first of the candidates that holds an "index.html", or "" when none
// does.
std::string FindWebClientFiles(const std::vector<std::string>& candidates);

// The file in media_dir + "web/" that records what was placed there: one
// line per page file, its SHA-1 in hex, a space and its path in the folder.
inline constexpr char kWebClientManifest[] = ".placed";

// What PlaceWebClient did.
struct WebClientPlacement {
  bool fresh = false;  // the folder had no index.html before
  int written = 0;     // page files written, new or replaced
  // Page files the site owner had edited that a new version replaced; each
  // edited copy was kept beside it under its name + ".bak".
  std::vector<std::string> set_aside;
};

// Makes media_dir + "web/" hold the page of source (HTML, style sheets,
// scripts and pictures, in source and its subfolders):
// - a page file that is missing there is copied;
// - one that is as the manifest says it was placed, and differs from
//   source, is replaced (the page was upgraded);
// - one the site owner edited since it was placed stays as it is while
//   source still has the version that was placed; when source has another
//   one, the edited file is kept as NAME.bak and replaced;
// - one the manifest does not know (placed by a server that kept no
//   manifest) that differs from source is kept as NAME.bak and replaced;
// - files that are not the page's (the owner's own) are never touched.
// Each file is written whole or not at all; the top index.html goes after
// the other files and the manifest last, so a placement cut short is taken
// up again at the next start. Returns 0, or the first system error.
// REQUIRES: source and media_dir end in "/".
[[nodiscard]] int PlaceWebClient(const std::string& source, const std::string& media_dir,
                                 WebClientPlacement* placement);

}  // namespace zanth
