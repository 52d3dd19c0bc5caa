#include "base/event.hpp"

namespace orvex {

void AutoResetEvent::set() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    signalled_ = true;
  }
  cv_.notify_one();
}

bool AutoResetEvent::wait(uint32_t timeout_ms) {
  std::unique_lock<std::mutex> lock(mutex_);
  const bool got = clock_.wait_for(cv_, lock, timeout_ms, [this] { return signalled_; });
  if (got) signalled_ = false;
  return got;
}

void AutoResetEvent::wait() {
  std::unique_lock<std::mutex> lock(mutex_);
  cv_.wait(lock, [this] { return signalled_; });
  signalled_ = false;
}

bool AutoResetEvent::reset() {
  std::lock_guard<std::mutex> lock(mutex_);
  const bool was = signalled_;
  signalled_ = false;
  return was;
}

void StopRequest::request() {
  {
    // Under the lock: a pause that found it clear is then waiting, and wakes.
    std::lock_guard<std::mutex> lock(mutex_);
    requested_.store(true, std::memory_order_release);
  }
  cv_.notify_all();
}

bool StopRequest::pause(uint32_t ms) {
  std::unique_lock<std::mutex> lock(mutex_);
  if (requested()) return false;
  clock_.wait_for(cv_, lock, ms, [this] { return requested(); });
  return !requested();
}

void StopRequest::clear() { requested_.store(false, std::memory_order_release); }

}  // namespace orvex
