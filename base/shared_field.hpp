// A record field that several threads read and write whole, without a lock.
#pragma once

#include <atomic>

namespace orvex {

// Writes release and reads acquire, so a field written last (a session's state,
// say) publishes the plain fields written before it. Copying a record copies
// the current values, which keeps records with such fields copyable.
template <typename T>
class SharedField {
 public:
  SharedField(T v = T{}) : value_(v) {}  // NOLINT(google-explicit-constructor)
  SharedField(const SharedField& other) : value_(other.load()) {}
  SharedField& operator=(const SharedField& other) {
    store(other.load());
    return *this;
  }
  SharedField& operator=(T v) {
    store(v);
    return *this;
  }
  operator T() const { return load(); }  // NOLINT(google-explicit-constructor)

  T load() const { return value_.load(std::memory_order_acquire); }
  void store(T v) { value_.store(v, std::memory_order_release); }
  T exchange(T v) { return value_.exchange(v, std::memory_order_acq_rel); }
  T fetch_add(T d) { return value_.fetch_add(d, std::memory_order_acq_rel); }

 private:
  std::atomic<T> value_;
};

}  // namespace orvex
