// Fuzz target: the HTTP request parser and what the server does with its
// result before touching a file: the confinement of the path to the media
// folder, the extension and MIME type, and the If-Modified-Since date.
#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "app/resources.h"
#include "fuzz_support.h"
#include "http/http_server.h"

using namespace zanth;

namespace {

[[noreturn]] void Fail(const char* what) {
  std::fprintf(stderr, "zanth-fuzz http: %s\n", what);
  std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  fuzz::QuietLog(false);
  static const http::MimeTable mime = [] {
    http::MimeTable table;
    table.Load(LoadResource("TEXT", 100));
    return table;
  }();
  std::string_view bytes(reinterpret_cast<const char*>(data), size);
  http::ParsedRequest request = http::ParseRequest(bytes);
  if (request.path.size() > 59) Fail("a path past its limit");
  for (const auto& [name, value] : request.headers) {
    if (name.size() > 127 || value.size() > 127) Fail("a header past its limit");
  }
  if (http::IsConfined(request.path)) {
    (void)mime.TypeOf(http::Extension(request.path));
  }
  auto since = request.headers.find("if-modified-since");
  if (since != request.headers.end()) {
    std::time_t t = http::ParseHttpDate(since->second);
    (void)http::HttpDate(t);
  }
  // The date reader reads back every date the writer makes.
  if (size >= 4) {
    std::time_t t = static_cast<std::time_t>(static_cast<std::uint32_t>(data[0]) << 24 |
                                             static_cast<std::uint32_t>(data[1]) << 16 |
                                             static_cast<std::uint32_t>(data[2]) << 8 | data[3]);
    if (http::ParseHttpDate(http::HttpDate(t)) != t) Fail("a date does not read back");
  }
  return 0;
}
