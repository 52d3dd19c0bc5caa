// All time goes through one seam: the process clock in ms, the wall clock in
// whole seconds, sleeping, and timed waits. Tests install a fake that runs
// back-off schedules and time limits in virtual time.
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

// The clock in use: the system clock unless a test installed another.
Clock& clock();
// Installs `replacement` (not owned); nullptr restores the system clock.
void set_clock(Clock* replacement);

}  // namespace orvex
