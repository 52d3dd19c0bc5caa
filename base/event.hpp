// An auto-reset event: one set() wakes one waiter, and a set() given while
// nobody waits stays pending and satisfies the next wait.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <mutex>

namespace orvex {

class AutoResetEvent {
 public:
  void set();
  // True when signalled within `timeout_ms` (the signal is consumed).
  bool wait(uint32_t timeout_ms);
  // Waits without a time limit.
  void wait();
  // Drops a pending signal; true when there was one.
  bool reset();

 private:
  std::mutex mutex_;
  std::condition_variable cv_;
  bool signalled_ = false;
};

}  // namespace orvex
