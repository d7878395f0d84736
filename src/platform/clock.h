// Time sources: a monotonic tick, seconds for timers, and the local wall
// clock for log lines. Tests install a fake through SetClock().
#pragma once

#include <atomic>
#include <cstdint>
#include <ctime>

namespace zanth::platform {

class Clock {
 public:
  virtual ~Clock() = default;
  // Milliseconds since an arbitrary start (wraps like a 32-bit tick count).
  virtual std::uint32_t TickMs() = 0;
  // Seconds on a clock that never goes back; used for deadlines.
  virtual std::int64_t NowSeconds() = 0;
  // Seconds since the epoch, for time stamps.
  virtual std::time_t WallSeconds() = 0;
};

// The clock in use; the system clock unless a test installed another.
Clock& GetClock();

// Installs clock (not owned; it must outlive its use) or, with nullptr,
// restores the system clock.
void SetClock(Clock* clock);

// Local broken-down time of t.
std::tm LocalTime(std::time_t t);

// A clock that only moves when told to; it may be moved from another
// thread than the one reading it.
class ManualClock : public Clock {
 public:
  std::uint32_t TickMs() override { return tick_ms_.load(); }
  std::int64_t NowSeconds() override { return seconds_.load(); }
  std::time_t WallSeconds() override { return 1262000000 + seconds_.load(); }
  void Advance(std::int64_t seconds) {
    seconds_ += seconds;
    tick_ms_ += static_cast<std::uint32_t>(seconds * 1000);
  }
  void SetTickMs(std::uint32_t tick) { tick_ms_ = tick; }

 private:
  std::atomic<std::uint32_t> tick_ms_{0};
  std::atomic<std::int64_t> seconds_{1000};
};

}  // namespace zanth::platform
