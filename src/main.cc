// zanthd: the process entry. Parses the few switches and runs the server.
#include <cstdio>
#include <cstring>

#include "core/server.h"
#include "core/settings.h"

namespace {

void PrintUsage(std::FILE* out) {
  std::fputs(
      "usage: zanthd [--headless] [--echo] [--verbose] [--version] [--help]\n"
      "  --headless  run without the terminal console\n"
      "  --echo      print every log line on standard output too\n"
      "  --verbose   write debug lines and hex dumps to the log\n"
      "  --version   print the version and exit\n"
      "  --help      print this text and exit\n",
      out);
}

}  // namespace

int main(int argc, char** argv) {
  zanth::ServerOptions options;
  for (int i = 1; i < argc; ++i) {
    const char* arg = argv[i];
    if (std::strcmp(arg, "--headless") == 0) {
      options.headless = true;
    } else if (std::strcmp(arg, "--echo") == 0) {
      options.echo = true;
    } else if (std::strcmp(arg, "--verbose") == 0) {
      options.verbose = true;
    } else if (std::strcmp(arg, "--version") == 0) {
      std::printf("%s\n", zanth::kServerVersion);
      return 0;
    } else if (std::strcmp(arg, "--help") == 0) {
      PrintUsage(stdout);
      return 0;
    } else {
      std::fprintf(stderr, "zanthd: unknown option %s\n", arg);
      PrintUsage(stderr);
      return 2;
    }
  }
  zanth::Server server(options);
  if (server.Start() != zanth::Server::kStarted) return 0;
  server.Run();
  return 0;
}
