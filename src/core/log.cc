// The logging facility.
#include "core/log.h"

#include <cstdio>
#include <cstdlib>

#include "core/result.h"
#include "platform/clock.h"

namespace zanth {
namespace {

constexpr std::uint32_t kWordKey = 0x3C9D27B1;
// The log is only ever appended to, never truncated: rotation is a rename
// and a reopen, so no line is lost to a copy-then-truncate race.
constexpr int kLogOpenFlags =
    platform::kOpenWrite | platform::kOpenCreate | platform::kOpenAppend;

Logger& TheLogger() {
  static Logger logger;
  return logger;
}

}  // namespace

std::uint32_t SwapBitPairs(std::uint32_t word) {
  return ((word & 0xAAAAAAAAu) >> 1) | ((word & 0x55555555u) << 1);
}

std::uint32_t ScrambleWord(std::uint32_t word) {
  return SwapBitPairs(word) ^ kWordKey;
}

std::string LogUserField(const LogUser* user) {
  if (user == nullptr || !user->signed_on) return "- - -";
  char buffer[64];
  std::string field;
  if (user->uuid[0] != 0) {
    // The 16-bit half of the key is scrambled with the key's upper half.
    std::uint32_t low =
        (SwapBitPairs(user->uuid[2] & 0xFFFFu) ^ (kWordKey >> 16)) & 0xFFFFu;
    std::snprintf(buffer, sizeof buffer, "%04X%08lX ", low,
                  static_cast<unsigned long>(ScrambleWord(user->uuid[3])));
    field = buffer;
  } else {
    field = "- ";
  }
  if (user->client_number != 0) {
    std::snprintf(buffer, sizeof buffer, "%08lX",
                  static_cast<unsigned long>(user->client_number));
    field += buffer;
  } else {
    field += "-";
  }
  std::snprintf(buffer, sizeof buffer, " %d", user->number);
  field += buffer;
  return field;
}

std::string VFormatMessage(const char* format, va_list args) {
  char buffer[kLogLineLimit + 1];
  int n = std::vsnprintf(buffer, sizeof buffer, format, args);
  if (n < 0) return std::string();
  return std::string(buffer);
}

std::string FormatMessage(const char* format, ...) {
  va_list args;
  va_start(args, format);
  std::string text = VFormatMessage(format, args);
  va_end(args);
  return text;
}

std::string FormatLogLine(const std::tm& when, const LogUser* user,
                          std::string_view category, std::string_view message) {
  char stamp[32];
  std::strftime(stamp, sizeof stamp, "%m/%d/%Y %H:%M:%S", &when);
  std::string field = LogUserField(user);
  std::string cat(category.substr(0, 8));
  std::string msg(message.substr(0, kLogLineLimit));
  char line[kLogLineLimit + 1];
  std::snprintf(line, sizeof line, "%s %s %8.8s %s\n", stamp, field.c_str(),
                cat.c_str(), msg.c_str());
  return std::string(line);
}

int Logger::Open(const std::string& path) {
  path_ = path;
  return file_.Open(path, kLogOpenFlags);
}

int Logger::Reopen() {
  platform::File fresh;
  if (int rc = fresh.Open(path_, kLogOpenFlags); rc != 0) return rc;
  file_ = std::move(fresh);
  return 0;
}

void Logger::Write(const LogUser* user, std::string_view category,
                   std::string_view message) {
  platform::Clock& clock = platform::GetClock();
  std::string line =
      FormatLogLine(platform::LocalTime(clock.WallSeconds()), user, category,
                    message);
  if (file_.is_open()) {
    // Each line goes straight to the file; a failed write has nowhere to be
    // reported but the standard error stream.
    if (file_.WriteAll(line.data(), line.size()) != 0) {
      std::fputs(line.c_str(), stderr);
    }
  } else {
    std::fputs(line.c_str(), stderr);
  }
  if (sink_) sink_(line);
  if (echo_) {
    std::fputs(line.c_str(), stdout);
    std::fflush(stdout);
  }
}

void Logger::VLine(const LogUser* user, const char* category,
                   const char* format, va_list args) {
  Write(user, category, VFormatMessage(format, args));
}

Logger& GetLogger() { return TheLogger(); }

void Log(const LogUser* user, const char* category, const char* format, ...) {
  va_list args;
  va_start(args, format);
  TheLogger().VLine(user, category, format, args);
  va_end(args);
}

bool LogVerbose() { return TheLogger().verbose(); }

void LogDebug(const char* format, ...) {
  if (!TheLogger().verbose()) return;
  va_list args;
  va_start(args, format);
  TheLogger().VLine(nullptr, "debug", format, args);
  va_end(args);
}

void LogError(int code, const char* format, ...) {
  va_list args;
  va_start(args, format);
  std::string message = VFormatMessage(format, args);
  va_end(args);
  // The line ends in its own line feed; a trailing carriage return would
  // only leave an empty line behind it.
  if (!message.empty() && message.back() == '\r') message.pop_back();
  if (code != 0) {
    message = FormatMessage("%d (%s) %s", code, ResultText(code).c_str(),
                            message.c_str());
  }
  TheLogger().Write(nullptr, "Error", message);
}

void LogFatal(const char* format, ...) {
  va_list args;
  va_start(args, format);
  std::string message = VFormatMessage(format, args);
  va_end(args);
  TheLogger().Write(nullptr, "errext", message);
  std::exit(1);
}

}  // namespace zanth
