// The one logging facility: time-stamped lines with a user field and a
// category, appended to the log file and handed to a display sink.
#pragma once

#include <cstdarg>
#include <cstdint>
#include <ctime>
#include <functional>
#include <string>
#include <string_view>

#include "platform/file.h"

namespace zanth {

#define ZANTH_PRINTF(fmt_index, first_arg) \
  __attribute__((format(printf, fmt_index, first_arg)))

// What a log line shows of a user. Callers build it from their user record.
struct LogUser {
  bool signed_on = false;  // false gives the field "- - -"
  std::uint32_t uuid[4] = {0, 0, 0, 0};
  std::uint32_t client_number = 0;
  int number = 0;
};

inline constexpr std::size_t kLogLineLimit = 511;

// Swaps every pair of adjacent bits.
std::uint32_t SwapBitPairs(std::uint32_t word);

// Swaps every pair of adjacent bits and applies the key; the scrambling
// used for ban keys in log lines and for prop identifiers in files.
std::uint32_t ScrambleWord(std::uint32_t word);

// The user field of a log line (see LogUser).
std::string LogUserField(const LogUser* user);

// One finished line, "\n" included, cut to the line limit.
std::string FormatLogLine(const std::tm& when, const LogUser* user,
                          std::string_view category, std::string_view message);

class Logger {
 public:
  using Sink = std::function<void(const std::string& line)>;

  // Opens path for appending. Returns 0 or the system error.
  [[nodiscard]] int Open(const std::string& path);
  // Opens the path of the last Open() again, for appending: after a log
  // rotation renamed the file, lines go to a new file by the old name. When
  // the path cannot be opened the current file stays in use. Returns 0 or
  // the system error.
  [[nodiscard]] int Reopen();
  bool is_open() const { return file_.is_open(); }

  void set_verbose(bool on) { verbose_ = on; }
  bool verbose() const { return verbose_; }
  void set_echo(bool on) { echo_ = on; }
  void SetSink(Sink sink) { sink_ = std::move(sink); }

  // Writes one finished message.
  void Write(const LogUser* user, std::string_view category,
             std::string_view message);

  void VLine(const LogUser* user, const char* category, const char* format,
             va_list args) ZANTH_PRINTF(4, 0);

 private:
  platform::File file_;
  std::string path_;
  bool verbose_ = false;
  bool echo_ = false;
  Sink sink_;
};

// The process's logger.
Logger& GetLogger();

// Logs a line under category.
void Log(const LogUser* user, const char* category, const char* format, ...)
    ZANTH_PRINTF(3, 4);

// Logs a "debug" line, only while verbose is on.
void LogDebug(const char* format, ...) ZANTH_PRINTF(1, 2);
bool LogVerbose();

// Logs under "Error": "%d (%s) %s" with the code and its text, or the message
// alone when code is 0.
void LogError(int code, const char* format, ...) ZANTH_PRINTF(2, 3);

// Logs under "errext" and ends the process with status 1.
[[noreturn]] void LogFatal(const char* format, ...) ZANTH_PRINTF(1, 2);

// Formats into a string, cut to the line limit.
std::string FormatMessage(const char* format, ...) ZANTH_PRINTF(1, 2);
std::string VFormatMessage(const char* format, va_list args) ZANTH_PRINTF(1, 0);

}  // namespace zanth
