// The in-memory wire: frames put on it wake a waiting read at once; a read with
// nothing to deliver waits a little real time, then moves the clock on by the read time-out.
#pragma once

#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <vector>

#include "base/clock.hpp"
#include "os/packet_capture.hpp"

namespace orvex::test {

using Bytes = std::vector<uint8_t>;

class FakePacketAdapter final : public CaptureHandle {
 public:
  bool accept_destination(const MacAddress&) override { return true; }
  int send(std::span<const uint8_t> frame) override {
    if (on_send) on_send(Bytes(frame.begin(), frame.end()));
    return static_cast<int>(frame.size());
  }
  int receive(int max_frames, const FrameSink& sink) override {
    std::unique_lock<std::mutex> lock(mutex_);
    ++receive_calls_;
    if (fail_receives) return -1;
    if (!arrived_.wait_for(lock, real_wait, [this] { return !frames_.empty(); })) {
      lock.unlock();
      if (clock != nullptr) clock->sleep_ms(empty_read_ms);
      return 0;
    }
    int n = 0;
    for (; n < max_frames && !frames_.empty(); ++n, frames_.pop_front()) sink(frames_.front());
    return n;
  }
  void deliver(const std::vector<Bytes>& frames) {
    std::lock_guard<std::mutex> lock(mutex_);
    frames_.insert(frames_.end(), frames.begin(), frames.end());
    arrived_.notify_all();
  }
  size_t receive_calls() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return receive_calls_;
  }

  std::function<void(const Bytes&)> on_send;  // on the sending thread, every frame the program sends
  bool fail_receives = false;
  uint32_t empty_read_ms = 300;  // virtual time of a read without traffic
  Clock* clock = nullptr;        // where that time passes (none: it does not)
  std::chrono::microseconds real_wait{2000};

 private:
  mutable std::mutex mutex_;
  std::condition_variable arrived_;
  std::deque<Bytes> frames_;
  size_t receive_calls_ = 0;
};

}  // namespace orvex::test
