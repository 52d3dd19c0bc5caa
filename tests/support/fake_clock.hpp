// Virtual time for tests: waits that would time out return at once with the
// clock advanced, so back-off schedules and time limits run in milliseconds.
#pragma once

#include <atomic>
#include <cstdint>

#include "base/clock.hpp"

namespace orvex::test {

class FakeClock final : public Clock {
 public:
  // A timed wait first gives other threads this much real time to signal.
  explicit FakeClock(uint32_t real_grace_ms = 2) : grace_ms_(real_grace_ms) {}

  uint64_t now_ms() override { return now_.load(); }
  int64_t wall_seconds() override { return wall_base_ + static_cast<int64_t>(now_.load() / 1000); }
  void sleep_ms(uint32_t ms) override { advance(ms); }
  bool wait_for(std::condition_variable& cv, std::unique_lock<std::mutex>& lock, uint32_t ms,
                const std::function<bool()>& ready) override;

  void advance(uint64_t ms) { now_.fetch_add(ms); }
  void set_wall_base(int64_t seconds) { wall_base_ = seconds; }

 private:
  std::atomic<uint64_t> now_{0};
  int64_t wall_base_ = 1'700'000'000;
  uint32_t grace_ms_;
};

// Installs a FakeClock for the lifetime of the guard.
class ScopedFakeClock {
 public:
  explicit ScopedFakeClock(uint32_t real_grace_ms = 2) : clock_(real_grace_ms) { set_clock(&clock_); }
  ~ScopedFakeClock() { set_clock(nullptr); }
  ScopedFakeClock(const ScopedFakeClock&) = delete;
  ScopedFakeClock& operator=(const ScopedFakeClock&) = delete;
  FakeClock& operator*() { return clock_; }
  FakeClock* operator->() { return &clock_; }

 private:
  FakeClock clock_;
};

}  // namespace orvex::test
