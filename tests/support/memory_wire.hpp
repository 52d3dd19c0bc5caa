// An in-memory wire for engine tests: frames put on it by a scripted radio wake
// a waiting receive at once (no polling); a read with nothing to deliver waits
// a little real time and then moves the fake clock on by the read time-out.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/packet_adapter.hpp"
#include "tests/support/fake_clock.hpp"

namespace orvex::test {

using WireBytes = std::vector<uint8_t>;

class MemoryWire final : public PacketAdapter {
 public:
  explicit MemoryWire(FakeClock* clock) : clock_(clock) {}

  int send(std::span<const uint8_t> frame) override;
  int receive_block(std::span<uint8_t> block) override;

  // Puts a frame on the program's side of the wire.
  void deliver(const WireBytes& frame);

  std::vector<WireBytes> sent() const;
  void clear_sent();
  // Threads that have read from the wire.
  std::vector<std::thread::id> readers() const;

  // Called for every frame the program sends (outside the wire's lock).
  std::function<void(const WireBytes&)> on_send;
  uint32_t idle_read_ms = 300;                      // virtual time of a read that found nothing
  std::chrono::microseconds real_wait{2000};        // real time such a read waits for a frame

 private:
  FakeClock* clock_;
  mutable std::mutex mutex_;
  std::condition_variable arrived_;
  std::deque<WireBytes> queue_;
  std::vector<WireBytes> sent_;
  std::vector<std::thread::id> readers_;
};

}  // namespace orvex::test
