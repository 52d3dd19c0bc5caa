#include "engine/key_ring.hpp"

#include "engine/session_events.hpp"

namespace orvex {

namespace {
uint16_t next_index(uint16_t i) { return static_cast<uint16_t>((i + 1) % KEY_RING_SIZE); }
}  // namespace

int key_ring_put(KeyRing& ring, SessionEvents& events, const uint8_t* bytes, int length) {
  uint16_t put = ring.put.load(std::memory_order_relaxed);
  int stored = 0;
  for (; stored < length; ++stored) {
    while (next_index(put) == ring.get.load(std::memory_order_acquire)) {
      // Full: let the reader see what is there, then wait for room.
      if (stored > 0) events.ring_data_event.set();
      if (events.stopping_now()) return stored;
      events.ring_space_event.wait();
      if (events.stopping_now()) return stored;
    }
    ring.buffer[put] = bytes[stored];
    put = next_index(put);
    ring.put.store(put, std::memory_order_release);
  }
  events.ring_data_event.set();
  return stored;
}

std::span<const uint8_t> key_ring_front(const KeyRing& ring) {
  const uint16_t get = ring.get.load(std::memory_order_relaxed);
  const uint16_t put = ring.put.load(std::memory_order_acquire);
  const size_t end = get > put ? KEY_RING_SIZE : put;
  return {ring.buffer.data() + get, end - get};
}

bool key_ring_take(KeyRing& ring, size_t count) {
  const size_t next = ring.get.load(std::memory_order_relaxed) + count;
  const bool wrapped = next == KEY_RING_SIZE;
  ring.get.store(static_cast<uint16_t>(wrapped ? 0 : next), std::memory_order_release);
  return wrapped;
}

int key_ring_count(const KeyRing& ring) {
  const int put = ring.put.load(std::memory_order_acquire);
  const int get = ring.get.load(std::memory_order_acquire);
  return (put - get + KEY_RING_SIZE) % KEY_RING_SIZE;
}

}  // namespace orvex
