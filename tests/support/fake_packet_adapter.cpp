#include "tests/support/fake_packet_adapter.hpp"

#include <algorithm>
#include <cstring>

#include "platform/clock.hpp"

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

int FakePacketAdapter::receive_block(std::span<uint8_t> block) {
  std::unique_lock<std::mutex> lock(mutex_);
  ++receive_calls_;
  if (std::find(readers_.begin(), readers_.end(), std::this_thread::get_id()) == readers_.end()) {
    readers_.push_back(std::this_thread::get_id());
  }
  if (fail_receives) return -1;
  if (!arrived_.wait_for(lock, real_wait, [this] { return !blocks_.empty() || !frames_.empty(); })) {
    // Nothing on the wire: the read waits out its time-out.
    lock.unlock();
    clock().sleep_ms(empty_read_ms);
    return 0;
  }
  if (!blocks_.empty()) {
    const Bytes next = std::move(blocks_.front());
    blocks_.pop_front();
    const size_t n = std::min(next.size(), block.size());
    std::memcpy(block.data(), next.data(), n);
    return static_cast<int>(n);
  }
  size_t offset = 0;
  while (!frames_.empty()) {
    const size_t next = append_capture_record(block, offset, CaptureRecord{}, frames_.front());
    if (next == 0) break;
    offset = next;
    frames_.pop_front();
  }
  return static_cast<int>(offset);
}

void FakePacketAdapter::queue_block(const std::vector<Bytes>& frames) {
  Bytes block(CAPTURE_BUFFER_SIZE);
  size_t offset = 0;
  for (const Bytes& f : frames) {
    const size_t next = append_capture_record(block, offset, CaptureRecord{}, f);
    if (next == 0) break;
    offset = next;
  }
  block.resize(offset);
  queue_raw_block(block);
}

void FakePacketAdapter::queue_raw_block(const Bytes& block) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    blocks_.push_back(block);
  }
  arrived_.notify_all();
}

void FakePacketAdapter::deliver(const Bytes& frame) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    frames_.push_back(frame);
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
