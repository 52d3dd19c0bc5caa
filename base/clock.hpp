// All time goes through one seam: the process clock in ms, the wall clock in
// whole seconds, sleeping, and timed waits. The program builds the system
// clock in main and hands it down; tests hand down a fake that runs back-off
// schedules and time limits in virtual time.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>

namespace orvex {

class Clock {
 public:
  virtual ~Clock() = default;
  // Milliseconds on a monotonic clock since an arbitrary start.
  virtual uint64_t now_ms() = 0;
  // Wall-clock time in whole seconds.
  virtual int64_t wall_seconds() = 0;
  virtual void sleep_ms(uint32_t ms) = 0;
  // Waits on `cv` (with `lock` held) until `ready()` is true or `ms` have
  // passed; returns ready().
  virtual bool wait_for(std::condition_variable& cv, std::unique_lock<std::mutex>& lock, uint32_t ms,
                        const std::function<bool()>& ready) = 0;
};

// The real clocks: steady for ms and waits, the calendar for wall seconds.
class SystemClock final : public Clock {
 public:
  uint64_t now_ms() override;
  int64_t wall_seconds() override;
  void sleep_ms(uint32_t ms) override;
  bool wait_for(std::condition_variable& cv, std::unique_lock<std::mutex>& lock, uint32_t ms,
                const std::function<bool()>& ready) override;
};

}  // namespace orvex
