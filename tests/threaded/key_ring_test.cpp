// The KeyRing between one writer and one reader thread.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "engine/key_ring.hpp"
#include "engine/session_events.hpp"
#include "tests/support/test_state.hpp"

namespace orvex {
namespace {

using Clock = std::chrono::steady_clock;

class KeyRingTest : public test::OrvexTest {};

// Takes what the ring holds as the send worker does (two runs when it wraps),
// then says there is room.
int drain(KeyRing& ring, std::vector<uint8_t>& out) {
  const int get = ring.get.load(std::memory_order_relaxed);
  const int put = ring.put.load(std::memory_order_acquire);
  if (get == put) return 0;
  const int end = put > get ? put : KEY_RING_SIZE;
  out.insert(out.end(), ring.buffer.begin() + get, ring.buffer.begin() + end);
  ring.get.store(static_cast<uint16_t>(end % KEY_RING_SIZE), std::memory_order_release);
  session_events().ring_space_event.set();
  return end - get;
}

uint8_t pattern(size_t i) { return static_cast<uint8_t>((i * 7 + i / 251) & 0xFF); }

TEST_F(KeyRingTest, AMillionBytesArriveOnceEachInOrder) {
  constexpr size_t TOTAL = 1'000'000;
  KeyRing& ring = key_ring();
  std::thread writer([&] {
    std::vector<uint8_t> chunk;
    size_t sent = 0;
    for (size_t round = 0; sent < TOTAL; ++round) {
      const size_t n = std::min<size_t>(1 + round % 300, TOTAL - sent);  // beyond the capacity too
      chunk.clear();
      for (size_t i = 0; i < n; ++i) chunk.push_back(pattern(sent + i));
      ASSERT_EQ(key_ring_put(ring, chunk.data(), static_cast<int>(n)), static_cast<int>(n));
      sent += n;
    }
  });
  std::vector<uint8_t> got;
  got.reserve(TOTAL);
  const auto deadline = Clock::now() + std::chrono::seconds(60);
  while (got.size() < TOTAL && Clock::now() < deadline) {
    if (drain(ring, got) == 0) session_events().ring_data_event.wait(50);
  }
  writer.join();
  ASSERT_EQ(got.size(), TOTAL);
  size_t first_wrong = TOTAL;
  for (size_t i = 0; i < TOTAL && first_wrong == TOTAL; ++i) {
    if (got[i] != pattern(i)) first_wrong = i;
  }
  EXPECT_EQ(first_wrong, TOTAL);
  EXPECT_EQ(key_ring_count(ring), 0);
}

TEST_F(KeyRingTest, MoreThanTheCapacityBlocksTheWriterUntilDrained) {
  KeyRing& ring = key_ring();
  std::vector<uint8_t> input(300);
  for (size_t i = 0; i < input.size(); ++i) input[i] = static_cast<uint8_t>(i);
  std::atomic<bool> done{false};
  std::thread writer([&] {
    key_ring_put(ring, input.data(), static_cast<int>(input.size()));
    done = true;
  });
  const auto deadline = Clock::now() + std::chrono::seconds(10);
  while (key_ring_count(ring) < KEY_RING_CAPACITY && Clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_EQ(key_ring_count(ring), KEY_RING_CAPACITY);
  EXPECT_FALSE(done.load());  // full: the writer waits
  // The full ring was announced to the reader, which may have been asleep.
  EXPECT_TRUE(session_events().ring_data_event.wait(1000));
  std::vector<uint8_t> got;
  while (got.size() < input.size() && Clock::now() < deadline) {
    if (drain(ring, got) == 0) session_events().ring_data_event.wait(20);
  }
  writer.join();
  EXPECT_TRUE(done.load());
  EXPECT_EQ(got, input);
}

}  // namespace
}  // namespace orvex
