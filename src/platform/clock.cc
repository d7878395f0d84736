// The system clock.
#include "platform/clock.h"

#include <time.h>

namespace zanth::platform {
namespace {

class SystemClock : public Clock {
 public:
  std::uint32_t TickMs() override {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    std::uint64_t ms = static_cast<std::uint64_t>(ts.tv_sec) * 1000u +
                       static_cast<std::uint64_t>(ts.tv_nsec / 1000000);
    return static_cast<std::uint32_t>(ms);
  }
  std::int64_t NowSeconds() override {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<std::int64_t>(ts.tv_sec);
  }
  std::time_t WallSeconds() override { return ::time(nullptr); }
};

SystemClock system_clock;
Clock* current_clock = &system_clock;

}  // namespace

Clock& GetClock() { return *current_clock; }

void SetClock(Clock* clock) {
  current_clock = clock != nullptr ? clock : &system_clock;
}

std::tm LocalTime(std::time_t t) {
  std::tm result{};
  localtime_r(&t, &result);
  return result;
}

}  // namespace zanth::platform
