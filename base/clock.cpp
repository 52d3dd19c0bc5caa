#include "base/clock.hpp"

#include <chrono>
#include <ctime>
#include <thread>

namespace orvex {

uint64_t SystemClock::now_ms() {
  using namespace std::chrono;
  return static_cast<uint64_t>(duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count());
}

int64_t SystemClock::wall_seconds() { return static_cast<int64_t>(std::time(nullptr)); }

void SystemClock::sleep_ms(uint32_t ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

bool SystemClock::wait_for(std::condition_variable& cv, std::unique_lock<std::mutex>& lock, uint32_t ms,
                           const std::function<bool()>& ready) {
  return cv.wait_for(lock, std::chrono::milliseconds(ms), ready);
}

}  // namespace orvex
