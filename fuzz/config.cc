// Fuzz target: the configuration reader, in both its forms (XML, and the
// older markup that is rewritten as XML at once), with the rooms and sounds
// going into a site as the server's would. What it read is then written
// and read back: that second reading must write the same document again.
#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "config/config_file.h"
#include "fuzz_support.h"
#include "net/connection_manager.h"
#include "platform/file.h"
#include "protocol/site.h"
#include "protocol/site_config.h"

using namespace zanth;

namespace {

// Reads path into a fresh site and writes that site to out_path; returns
// the document written.
std::string ReadAndWrite(const std::string& path, const std::string& out_path) {
  Settings settings;
  settings.data_dir = fuzz::ScratchDir();
  net::ConnectionManager transport;
  protocol::Site site(settings, transport);
  protocol::SiteConfigHooks hooks(site);
  (void)config::ReadConfiguration(path, &settings, &hooks);
  std::string text;
  if (config::WriteConfiguration(out_path, settings, &hooks) != 0 ||
      platform::ReadWholeFile(out_path, &text) != 0) {
    std::fprintf(stderr, "zanth-fuzz config: cannot write %s\n", out_path.c_str());
    std::abort();
  }
  return text;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  fuzz::QuietLog(false);
  std::string path = fuzz::WriteScratchFile(
      "zanth.conf", std::string_view(reinterpret_cast<const char*>(data), size));
  std::string first = ReadAndWrite(path, fuzz::ScratchDir() + "first.conf");
  std::string second = ReadAndWrite(fuzz::ScratchDir() + "first.conf",
                                    fuzz::ScratchDir() + "second.conf");
  if (first != second) {
    std::fprintf(stderr, "zanth-fuzz config: the rewritten file reads back different\n"
                         "--- first\n%s--- second\n%s", first.c_str(), second.c_str());
    std::abort();
  }
  return 0;
}
