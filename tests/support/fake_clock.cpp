#include "tests/support/fake_clock.hpp"

#include <chrono>

namespace orvex::test {

bool FakeClock::wait_for(std::condition_variable& cv, std::unique_lock<std::mutex>& lock, uint32_t ms,
                         const std::function<bool()>& ready) {
  if (ready()) return true;
  if (cv.wait_for(lock, std::chrono::milliseconds(grace_ms_), ready)) return true;
  advance(ms);
  return ready();
}

}  // namespace orvex::test
