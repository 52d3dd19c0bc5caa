// The bytes typed for the radio, between the keyboard worker (the one writer)
// and the send worker (the one reader). No lock: each index is written by one
// side only, after the bytes it covers are stored or sent. The ring and its
// indices outlive a session; bytes left in it go out with the next one.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <span>

#include "engine/session_events.hpp"

namespace orvex {

constexpr int KEY_RING_SIZE = 256;
constexpr int KEY_RING_CAPACITY = KEY_RING_SIZE - 1;  // one slot stays free

struct KeyRing {
  std::array<uint8_t, KEY_RING_SIZE> buffer{};
  std::atomic<uint16_t> put{0};  // next byte to write; the writer's
  std::atomic<uint16_t> get{0};  // next byte to read; the reader's
};

// Writer side: stores the bytes, waiting on the session's ring_space_event
// while the ring is full, then sets ring_data_event once. Returns `length`, or
// the bytes stored so far when the session's stop ends a wait (the rest are
// dropped with the session).
int key_ring_put(KeyRing& ring, SessionEvents& events, const uint8_t* bytes, int length);

// Reader side: the waiting bytes that lie in one piece from the read index,
// to the buffer's end when they wrap; empty when none wait.
std::span<const uint8_t> key_ring_front(const KeyRing& ring);
// Reader side: the first `count` bytes of key_ring_front are taken. True when
// that took them to the buffer's end: the rest, if any, wait at its start.
bool key_ring_take(KeyRing& ring, size_t count);

// Bytes waiting in the ring (either side).
int key_ring_count(const KeyRing& ring);

}  // namespace orvex
