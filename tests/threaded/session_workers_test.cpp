// The session's threads: typed text into the reliable send, the stop of every
// worker wherever it waits, and the next session after it.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "engine/key_ring.hpp"
#include "app/session_operations.hpp"
#include "app/session_workers.hpp"
#include "base/settings.hpp"
#include "link/frame_io.hpp"
#include "engine/session_events.hpp"
#include "engine/session_table.hpp"
#include "tests/support/fake_packet_adapter.hpp"
#include "tests/support/key_input.hpp"
#include "tests/support/test_state.hpp"

namespace orvex {
namespace {

using SteadyClock = std::chrono::steady_clock;

// A radio that acknowledges only when told: sends wait on ack_event the way
// the reliable send does, and give up when the session stops.
struct FakeRadio {
  std::mutex mutex;
  std::vector<std::string> payloads;
  std::atomic<bool> hold{false};
  std::atomic<int> sends{0};
  std::atomic<int> transfer_steps{0};
  std::atomic<int> transfer_index{-2};
};
FakeRadio* g_radio = nullptr;

int fake_send(Session&, const uint8_t* payload, int size) {
  {
    std::lock_guard<std::mutex> lock(g_radio->mutex);
    g_radio->payloads.emplace_back(reinterpret_cast<const char*>(payload), static_cast<size_t>(size));
  }
  g_radio->sends.fetch_add(1);
  while (g_radio->hold.load()) {
    if (session_events().ack_event.wait(300) || session_stopping()) break;
  }
  return session_stopping() ? -1 : size;
}

int fake_transfer_step(int index) {
  g_radio->transfer_index = index;
  g_radio->transfer_steps.fetch_add(1);
  session_events().block_ready_event.wait(2000);  // as a step waits for a request
  return 0;
}

int fake_dispatch(const uint8_t*, int) { return 0; }

using test::eventually;

class SessionWorkersTest : public test::OrvexTest {
 protected:
  void SetUp() override {
    OrvexTest::SetUp();
    radio = std::make_unique<FakeRadio>();
    g_radio = radio.get();
    keys = std::make_unique<test::KeyPipe>();
    SessionOperations& ops = session_operations();
    ops.send = fake_send;
    ops.transfer_step = fake_transfer_step;
    ops.dispatch = fake_dispatch;
    attach_adapter(std::make_unique<test::FakePacketAdapter>());
    run_state().chosen_radio = 2;
    session_table()[2].state = SESSION_CONNECTED;
  }
  void TearDown() override {
    OrvexTest::TearDown();  // stops any session first
    keys.reset();
    g_radio = nullptr;
  }
  std::vector<std::string> payloads() {
    std::lock_guard<std::mutex> lock(radio->mutex);
    return radio->payloads;
  }
  std::string all_sent() {
    std::string s;
    for (const std::string& p : payloads()) s += p;
    return s;
  }
  // Ends the session; returns how long the stop took.
  double stop_session_ms() {
    const auto start = SteadyClock::now();
    request_session_end();
    wait_session_end();
    return std::chrono::duration<double, std::milli>(SteadyClock::now() - start).count();
  }
  std::unique_ptr<FakeRadio> radio;
  std::unique_ptr<test::KeyPipe> keys;
};

TEST_F(SessionWorkersTest, TextTypedWhileASendIsUnacknowledgedGoesOutAsOnePayload) {
  radio->hold = true;
  start_session_workers();
  keys->type("a");
  ASSERT_TRUE(eventually([&] { return radio->sends.load() == 1; }));
  keys->type("bcdef");
  ASSERT_TRUE(eventually([] { return key_ring_count(key_ring()) == 6; }));
  radio->hold = false;
  session_events().ack_event.set();
  ASSERT_TRUE(eventually([&] { return radio->sends.load() == 2; }));
  EXPECT_EQ(payloads(), (std::vector<std::string>{"a", "bcdef"}));
  stop_session_ms();
}

TEST_F(SessionWorkersTest, InputDuringAFileTransferIsDropped) {
  program_options().diagnostic_level = 1;
  session_table()[2].state = SESSION_TRANSFER;
  start_session_workers();
  keys->type("xyz\x1bOQ");  // F2 marks that the bytes before it were read
  ASSERT_TRUE(eventually([] { return program_options().diagnostic_level.load() == 0; }));
  session_table()[2].state = SESSION_CONNECTED;
  keys->type("w");
  ASSERT_TRUE(eventually([&] { return radio->sends.load() == 1; }));
  EXPECT_EQ(all_sent(), "w");
  stop_session_ms();
}

// Printable bytes, none of which starts a key sequence.
std::string typed(size_t from, size_t count) {
  std::string s;
  for (size_t i = from; i < from + count; ++i) s += static_cast<char>(0x20 + i % 90);
  return s;
}

TEST_F(SessionWorkersTest, TheStopEndsEveryBlockedWorkerAndTheNextSessionStartsCleanly) {
  radio->hold = true;
  start_session_workers();
  // The send worker waits inside the send for an acknowledgement, the ring
  // fills and the keyboard worker waits for room, the receive worker reads
  // an empty wire, the transfer worker waits for a block request.
  keys->type(typed(0, 1));
  ASSERT_TRUE(eventually([&] { return radio->sends.load() == 1; }));
  keys->type(typed(1, KEY_RING_CAPACITY + 5));
  ASSERT_TRUE(eventually([] { return key_ring_count(key_ring()) == KEY_RING_CAPACITY; }));
  ASSERT_TRUE(eventually([&] { return radio->transfer_steps.load() >= 1; }));
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_TRUE(session_workers_running());

  const double ms = stop_session_ms();
  std::printf("[ stop    ] four blocked workers stopped in %.1f ms\n", ms);
  EXPECT_LT(ms, 3000.0);  // bounded: the receive wait is the longest
  EXPECT_FALSE(session_workers_running());
  // The stopped send kept its bytes: get did not move.
  EXPECT_EQ(key_ring().get.load(), 0);
  EXPECT_EQ(key_ring_count(key_ring()), KEY_RING_CAPACITY);

  // The next session sends what the ring holds, then the keys still unread.
  radio->hold = false;
  {
    std::lock_guard<std::mutex> lock(radio->mutex);
    radio->payloads.clear();
  }
  start_session_workers();
  EXPECT_TRUE(session_workers_running());
  const std::string expected = typed(0, KEY_RING_CAPACITY) + typed(KEY_RING_CAPACITY + 1, 5);
  ASSERT_TRUE(eventually([&] { return all_sent().size() >= expected.size(); }));
  EXPECT_EQ(payloads().front(), typed(0, KEY_RING_CAPACITY));
  // The one byte whose put the stop interrupted went with the first session.
  EXPECT_EQ(all_sent(), expected);
  EXPECT_LT(stop_session_ms(), 3000.0);
}

TEST_F(SessionWorkersTest, ARestoreEndsKeyboardInputAtTheNextKeyWhichIsNotSent) {
  start_session_workers();
  keys->type("ab");
  ASSERT_TRUE(eventually([&] { return all_sent() == "ab"; }));
  run_state().restore_requested = 1;
  request_session_end();
  // The session waits for the operator's key.
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  EXPECT_TRUE(session_workers_running());
  keys->type("k");
  const auto start = SteadyClock::now();
  wait_session_end();
  EXPECT_LT(SteadyClock::now() - start, std::chrono::seconds(3));
  EXPECT_FALSE(session_workers_running());
  EXPECT_EQ(all_sent(), "ab");
  EXPECT_EQ(key_ring_count(key_ring()), 0);
}

TEST_F(SessionWorkersTest, ARestoreAfterTheKeyboardInputEndedDoesNotHang) {
  start_session_workers();
  keys->close_input();  // standard input at its end: keyboard input is over
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  run_state().restore_requested = 1;
  EXPECT_LT(stop_session_ms(), 3000.0);
  EXPECT_FALSE(session_workers_running());
}

TEST_F(SessionWorkersTest, ABatchRunsWorkersTouchNoSessionAndDropTypedInput) {
  run_state().chosen_radio = -1;
  start_session_workers();
  keys->type("typed during the batch\x1bOQ");
  program_options().diagnostic_level = 1;
  std::this_thread::sleep_for(std::chrono::milliseconds(150));
  EXPECT_EQ(radio->transfer_steps.load(), 0);
  // The batch chooses a radio: the transfer worker's steps begin, and follow
  // the chosen radio by themselves.
  run_state().chosen_radio = 3;
  ASSERT_TRUE(eventually([&] { return radio->transfer_steps.load() >= 1; }));
  EXPECT_EQ(radio->transfer_index.load(), -1);
  EXPECT_LT(stop_session_ms(), 3000.0);
  EXPECT_EQ(radio->sends.load(), 0);
  EXPECT_EQ(key_ring_count(key_ring()), 0);
}

TEST_F(SessionWorkersTest, F3EndsTheSessionAndRepeatedRequestsAreHarmless) {
  static std::atomic<int> disconnects{0};
  disconnects = 0;
  session_operations().disconnect = [](int) { disconnects.fetch_add(1); };
  start_session_workers();
  keys->type("\x1bOR");
  ASSERT_TRUE(eventually([] { return disconnects.load() == 1; }));
  std::thread other([] { request_session_end(); });
  other.join();
  const auto start = SteadyClock::now();
  wait_session_end();
  EXPECT_LT(SteadyClock::now() - start, std::chrono::seconds(3));
  request_session_end();  // after the end: no effect on the next session
  start_session_workers();
  keys->type("z");
  ASSERT_TRUE(eventually([&] { return all_sent() == "z"; }));
  EXPECT_TRUE(session_workers_running());
  stop_session_ms();
}

}  // namespace
}  // namespace orvex
