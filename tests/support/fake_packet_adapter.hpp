// The in-memory wire: frames put on it by a test or a scripted radio come out
// of the next receive together and wake a waiting read at once; a read
// with nothing to deliver waits a little real time and then moves the clock on
// by the read time-out. Every sent frame is recorded.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

#include "os/packet_capture.hpp"

namespace orvex::test {

using Bytes = std::vector<uint8_t>;

class FakePacketAdapter final : public CaptureHandle {
 public:
  int send(std::span<const uint8_t> frame) override;
  int receive(int max_frames, const FrameSink& sink) override;

  // Puts frames on the wire; frames put there since the last read come out
  // together, as many as the read takes.
  void deliver(const Bytes& frame) { deliver(std::vector<Bytes>{frame}); }
  void deliver(const std::vector<Bytes>& frames);

  std::vector<Bytes> sent() const;
  void clear_sent();
  size_t receive_calls() const;
  // Threads that have read from the wire.
  std::vector<std::thread::id> readers() const;

  // Called for every sent frame (outside the lock), e.g. by a scripted radio.
  std::function<void(const Bytes&)> on_send;
  // Simulates a failing read.
  bool fail_receives = false;
  // Virtual ms a read without traffic takes (the read time-out).
  uint32_t empty_read_ms = 300;
  // Real time such a read waits for a frame first.
  std::chrono::microseconds real_wait{200};

 private:
  mutable std::mutex mutex_;
  std::condition_variable arrived_;
  std::deque<Bytes> frames_;
  std::vector<Bytes> sent_;
  std::vector<std::thread::id> readers_;
  size_t receive_calls_ = 0;
};

}  // namespace orvex::test
