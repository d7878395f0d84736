// The browser chat page: its files come with the server, and start-up puts
// them in the media folder's "web" subfolder, where the HTTP server hands
// them out as /web/index.html.
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

// Copies the page's files (HTML, style sheets, scripts and pictures, in
// source and its subfolders) from source into media_dir + "web/", unless
// that folder already has an "index.html". A file that exists there is
// never replaced, so a site owner's edits stay. Sets *copied to the number
// of files copied. Returns 0, or the first system error (the files copied
// before it stay).
// REQUIRES: source and media_dir end in "/".
[[nodiscard]] int PlaceWebClient(const std::string& source, const std::string& media_dir,
                                 int* copied);

}  // namespace zanth
