// zanthd: the process entry. Parses the few switches and runs the server,
// with the terminal console when it runs on a terminal.
#include <cstdio>
#include <cstring>
#include <string>

#include "console/console.h"
#include "core/server.h"
#include "core/settings.h"
#include "platform/process.h"

namespace {

void PrintUsage(std::FILE* out) {
  std::fputs(
      "usage: zanthd [--headless] [--echo] [--verbose] [--version] [--help]\n"
      "  --headless  run without the terminal console (always so off a terminal)\n"
      "  --echo      print every log line on standard output too (headless only)\n"
      "  --verbose   write debug lines and hex dumps to the log too\n"
      "  --version   print the version and exit\n"
      "  --help      print this text and exit\n",
      out);
}

}  // namespace

int main(int argc, char** argv) {
  zanth::ServerOptions options;
  options.headless = false;
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
  namespace platform = zanth::platform;
  if (!platform::IsTerminal(0) || !platform::IsTerminal(1)) options.headless = true;
  if (!options.headless) options.make_console = zanth::console::CreateTerminalConsole;

  int started = zanth::Server::kStartFailed;
  std::string log_file;
  std::string failure;
  {
    zanth::Server server(options);
    started = server.Start();
    log_file = server.settings().log_file;
    failure = server.start_failure();
    if (started == zanth::Server::kStarted) server.Run();
  }
  if (started == zanth::Server::kStartFailed) {
    // The console's screen is gone by now; say where the reason is. A file
    // that stopped the start is named whatever the mode: its owner must
    // act before the server can run.
    if (!failure.empty()) {
      std::fprintf(stderr, "zanthd: %s\n", failure.c_str());
    } else if (!options.headless) {
      std::fprintf(stderr, "zanthd: the server did not start; see %s\n", log_file.c_str());
    }
    // A service manager restarts a server that failed; a second instance
    // is no failure.
    return 1;
  }
  return 0;
}
