#include "tests/support/memory_wire.hpp"

#include <algorithm>

namespace orvex::test {

int MemoryWire::send(std::span<const uint8_t> frame) {
  WireBytes copy(frame.begin(), frame.end());
  {
    std::lock_guard<std::mutex> lock(mutex_);
    sent_.push_back(copy);
  }
  if (on_send) on_send(copy);
  return static_cast<int>(copy.size());
}

int MemoryWire::receive_block(std::span<uint8_t> block) {
  std::unique_lock<std::mutex> lock(mutex_);
  if (std::find(readers_.begin(), readers_.end(), std::this_thread::get_id()) == readers_.end()) {
    readers_.push_back(std::this_thread::get_id());
  }
  if (!arrived_.wait_for(lock, real_wait, [this] { return !queue_.empty(); })) {
    lock.unlock();
    if (clock_ != nullptr) clock_->advance(idle_read_ms);
    return 0;
  }
  size_t offset = 0;
  while (!queue_.empty()) {
    const size_t next = append_capture_record(block, offset, CaptureRecord{}, queue_.front());
    if (next == 0) break;
    offset = next;
    queue_.pop_front();
  }
  return static_cast<int>(offset);
}

void MemoryWire::deliver(const WireBytes& frame) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    queue_.push_back(frame);
  }
  arrived_.notify_all();
}

std::vector<WireBytes> MemoryWire::sent() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return sent_;
}

void MemoryWire::clear_sent() {
  std::lock_guard<std::mutex> lock(mutex_);
  sent_.clear();
}

std::vector<std::thread::id> MemoryWire::readers() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return readers_;
}

}  // namespace orvex::test
