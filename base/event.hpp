// An auto-reset event: one set() wakes one waiter, and a set() given while
// nobody waits stays pending and satisfies the next wait.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>

#include "base/clock.hpp"

namespace orvex {

class AutoResetEvent {
 public:
  // Timed waits run on `clock`.
  explicit AutoResetEvent(Clock& clock) : clock_(clock) {}
  void set();
  // True when signalled within `timeout_ms` (the signal is consumed).
  bool wait(uint32_t timeout_ms);
  // Waits without a time limit.
  void wait();
  // Drops a pending signal; true when there was one.
  bool reset();

 private:
  Clock& clock_;
  std::mutex mutex_;
  std::condition_variable cv_;
  bool signalled_ = false;
};

// A stop that, once asked for, stays asked for: a pause in progress ends at
// once, and later pauses do not wait at all.
class StopRequest {
 public:
  explicit StopRequest(Clock& clock) : clock_(clock) {}
  void request();
  bool requested() const { return requested_.load(std::memory_order_acquire); }
  // Waits `ms` unless the stop comes first: true when the whole time passed.
  bool pause(uint32_t ms);
  void clear();

 private:
  // Every pause ends at the stop, however many run at once (a parallel run's).
  Clock& clock_;
  std::mutex mutex_;
  std::condition_variable cv_;
  std::atomic<bool> requested_{false};
};

}  // namespace orvex
