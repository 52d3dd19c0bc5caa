#include "tests/support/fake_packet_adapter.hpp"

#include <chrono>
#include <cstring>
#include <thread>

#include "platform/clock.hpp"

namespace orvex::test {

int FakePacketAdapter::send(std::span<const uint8_t> frame) {
  if (fail_sends) return -1;
  Bytes copy(frame.begin(), frame.end());
  {
    std::lock_guard<std::mutex> lock(mutex_);
    sent_.push_back(copy);
  }
  if (on_send) on_send(copy);
  return static_cast<int>(frame.size());
}

int FakePacketAdapter::receive_block(std::span<uint8_t> block) {
  Bytes next;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    ++receive_calls_;
    if (fail_receives) return -1;
    if (!blocks_.empty()) {
      next = std::move(blocks_.front());
      blocks_.pop_front();
    }
  }
  if (next.empty()) {
    // Nothing on the wire: the read waits out its time-out.
    std::this_thread::sleep_for(std::chrono::microseconds(200));
    clock().sleep_ms(empty_read_ms);
    return 0;
  }
  const size_t n = std::min(next.size(), block.size());
  std::memcpy(block.data(), next.data(), n);
  return static_cast<int>(n);
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
  std::lock_guard<std::mutex> lock(mutex_);
  blocks_.push_back(block);
}

std::vector<Bytes> FakePacketAdapter::sent() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return sent_;
}

size_t FakePacketAdapter::receive_calls() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return receive_calls_;
}

}  // namespace orvex::test
