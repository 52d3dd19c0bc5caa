#include "base/clock.hpp"

#include <atomic>
#include <chrono>
#include <ctime>
#include <thread>

namespace orvex {

namespace {

class SystemClock final : public Clock {
 public:
  uint64_t now_ms() override {
    using namespace std::chrono;
    return static_cast<uint64_t>(duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count());
  }
  int64_t wall_seconds() override { return static_cast<int64_t>(std::time(nullptr)); }
  void sleep_ms(uint32_t ms) override { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }
  bool wait_for(std::condition_variable& cv, std::unique_lock<std::mutex>& lock, uint32_t ms,
                const std::function<bool()>& ready) override {
    return cv.wait_for(lock, std::chrono::milliseconds(ms), ready);
  }
};

// The clock is a seam, like the platform services: every wait of every layer
// goes through the one in use, which tests replace with a virtual one.
SystemClock g_system_clock;
std::atomic<Clock*> g_clock{&g_system_clock};

}  // namespace

Clock& clock() { return *g_clock.load(std::memory_order_acquire); }

void set_clock(Clock* replacement) {
  g_clock.store(replacement != nullptr ? replacement : &g_system_clock, std::memory_order_release);
}

}  // namespace orvex
