#include "tests/support/fake_packet_adapter.hpp"

#include <algorithm>

#include "base/clock.hpp"

namespace orvex::test {

int FakePacketAdapter::send(std::span<const uint8_t> frame) {
  Bytes copy(frame.begin(), frame.end());
  {
    std::lock_guard<std::mutex> lock(mutex_);
    sent_.push_back(copy);
  }
  if (on_send) on_send(copy);
  return static_cast<int>(frame.size());
}

int FakePacketAdapter::receive(int max_frames, const FrameSink& sink) {
  std::unique_lock<std::mutex> lock(mutex_);
  ++receive_calls_;
  if (std::find(readers_.begin(), readers_.end(), std::this_thread::get_id()) == readers_.end()) {
    readers_.push_back(std::this_thread::get_id());
  }
  if (fail_receives) return -1;
  if (!arrived_.wait_for(lock, real_wait, [this] { return !frames_.empty(); })) {
    // Nothing on the wire: the read waits out its time-out.
    lock.unlock();
    clock().sleep_ms(empty_read_ms);
    return 0;
  }
  std::vector<Bytes> taken;
  while (!frames_.empty() && static_cast<int>(taken.size()) < max_frames) {
    taken.push_back(std::move(frames_.front()));
    frames_.pop_front();
  }
  lock.unlock();
  for (const Bytes& f : taken) sink(f);
  return static_cast<int>(taken.size());
}

void FakePacketAdapter::deliver(const std::vector<Bytes>& frames) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    frames_.insert(frames_.end(), frames.begin(), frames.end());
  }
  arrived_.notify_all();
}

std::vector<Bytes> FakePacketAdapter::sent() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return sent_;
}

void FakePacketAdapter::clear_sent() {
  std::lock_guard<std::mutex> lock(mutex_);
  sent_.clear();
}

size_t FakePacketAdapter::receive_calls() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return receive_calls_;
}

std::vector<std::thread::id> FakePacketAdapter::readers() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return readers_;
}

}  // namespace orvex::test
