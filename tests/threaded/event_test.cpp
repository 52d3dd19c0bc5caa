#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "base/event.hpp"
#include "tests/support/fake_clock.hpp"

namespace orvex {
namespace {

TEST(AutoResetEvent, PendingSignalSatisfiesTheNextWaitOnce) {
  AutoResetEvent e;
  e.set();
  e.set();  // signals do not count up
  EXPECT_TRUE(e.wait(0));
  test::ScopedFakeClock fake;
  EXPECT_FALSE(e.wait(300));
  EXPECT_EQ(fake->now_ms(), 300u);  // the time-out ran on the fake clock
  e.set();
  EXPECT_TRUE(e.reset());
  EXPECT_FALSE(e.reset());
}

TEST(AutoResetEvent, OneSignalWakesOneWaiter) {
  AutoResetEvent e;
  std::atomic<int> woken{0};
  std::thread a([&] {
    if (e.wait(5000)) woken.fetch_add(1);
  });
  std::thread b([&] {
    if (e.wait(5000)) woken.fetch_add(1);
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  e.set();
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  while (woken.load() == 0 && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  EXPECT_EQ(woken.load(), 1);
  e.set();  // release the other waiter
  a.join();
  b.join();
  EXPECT_EQ(woken.load(), 2);
}

}  // namespace
}  // namespace orvex
