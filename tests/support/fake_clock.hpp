// Virtual time for tests: a timed wait nobody signals within a little real
// time returns with the clock moved on, so back-off schedules and time limits
// run in milliseconds.
#pragma once

#include <atomic>
#include <chrono>

#include "base/clock.hpp"

namespace orvex::test {

class FakeClock final : public Clock {
 public:
  explicit FakeClock(uint32_t real_grace_ms = 2) : grace_ms(real_grace_ms) {}
  uint64_t now_ms() override { return now_.load(); }
  int64_t wall_seconds() override { return wall_base_ + static_cast<int64_t>(now_.load() / 1000); }
  void sleep_ms(uint32_t ms) override { advance(ms); }
  bool wait_for(std::condition_variable& cv, std::unique_lock<std::mutex>& lock, uint32_t ms,
                const std::function<bool()>& ready) override {
    if (ready() || cv.wait_for(lock, std::chrono::milliseconds(grace_ms.load()), ready)) return true;
    advance(ms);
    return ready();
  }
  void advance(uint64_t ms) { now_.fetch_add(ms); }
  void set_wall_base(int64_t seconds) { wall_base_ = seconds; }
  std::atomic<uint32_t> grace_ms;  // real time a timed wait gives other threads to signal it

 private:
  std::atomic<uint64_t> now_{0};
  int64_t wall_base_ = 1'700'000'000;
};


}  // namespace orvex::test
