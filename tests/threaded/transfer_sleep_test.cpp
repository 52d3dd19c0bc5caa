// How much of a 1 MiB transfer is spent asleep: every sleep and every timed
// wait that ran out on the program's side is counted in virtual time. The
// figure is printed, not asserted; the file must arrive intact.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>

#include "base/clock.hpp"
#include "engine/session_events.hpp"
#include "engine/session_table.hpp"
#include "tests/support/engine_fixture.hpp"

namespace orvex::test {
namespace {

class CountingClock final : public Clock {
 public:
  explicit CountingClock(FakeClock& inner) : inner_(inner) {}
  uint64_t now_ms() override { return inner_.now_ms(); }
  int64_t wall_seconds() override { return inner_.wall_seconds(); }
  void sleep_ms(uint32_t ms) override {
    asleep_ms.fetch_add(ms);
    sleeps.fetch_add(1);
    inner_.sleep_ms(ms);
  }
  bool wait_for(std::condition_variable& cv, std::unique_lock<std::mutex>& lock, uint32_t ms,
                const std::function<bool()>& ready) override {
    const bool got = inner_.wait_for(cv, lock, ms, ready);
    if (!got) {
      asleep_ms.fetch_add(ms);
      timed_out_waits.fetch_add(1);
    }
    return got;
  }
  void clear() {
    asleep_ms = 0;
    sleeps = 0;
    timed_out_waits = 0;
  }

  std::atomic<uint64_t> asleep_ms{0};
  std::atomic<int> sleeps{0};
  std::atomic<int> timed_out_waits{0};

 private:
  FakeClock& inner_;
};

class TransferSleepTest : public EngineTest {
 protected:
  TransferSleepTest() : EngineTest(200) {}
};

TEST_F(TransferSleepTest, OneMebibyteSpendsNoTimeAsleep) {
  const std::string content = write_file("fw", size_t{1} << 20);
  connect_radio(2);
  CountingClock counting(fake_clock());
  set_clock(&counting);
  start_engine();
  counting.clear();
  const auto started = std::chrono::steady_clock::now();
  std::string out = capture_stdout([&] {
    radio->request_file("fw");
    ASSERT_TRUE(radio->wait_for([](const RadioPeer& r) { return !r.transfers.empty() && r.transfers[0].complete; }));
  });
  const auto real = std::chrono::steady_clock::now() - started;
  const uint64_t asleep = counting.asleep_ms;
  const int sleeps = counting.sleeps;
  const int waits = counting.timed_out_waits;
  stop_engine();
  set_clock(&fake_clock());

  const auto seen = radio->snapshot();
  ASSERT_EQ(seen.transfers.size(), 1u);
  EXPECT_TRUE(std::string(seen.transfers[0].bytes.begin(), seen.transfers[0].bytes.end()) == content);
  const double ms = std::chrono::duration<double, std::milli>(real).count();
  std::printf("1 MiB in %zu blocks over the in-memory wire: %.1f ms real (%.1f MB/s); asleep %llu ms "
              "(%d sleeps, %d timed-out waits), retransmitted frames %d\n",
              seen.transfers[0].blocks.size(), ms, (1 << 20) / 1000.0 / ms,
              static_cast<unsigned long long>(asleep), sleeps, waits, seen.repeated_frames);
}

}  // namespace
}  // namespace orvex::test
