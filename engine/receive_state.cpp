#include "engine/receive_state.hpp"

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <mutex>

#include "base/view.hpp"
#include "engine/duplicate_memory.hpp"
#include "engine/session_table.hpp"
#include "wire/frame.hpp"

namespace orvex {

bool is_new_acknowledgement(const Session& session, uint32_t frame_rseq) {
  // Bytes never sent cannot be acknowledged: taking such a frame would make
  // every real acknowledgement after it look old. An acknowledgement that does
  // not go past the last one taken is a repeat, whatever came in since.
  // Compared as distances, so that it holds where the sequence numbers wrap.
  if (static_cast<int32_t>(frame_rseq - session.tseq) > 0) return false;
  return static_cast<int32_t>(frame_rseq - session.ack_mark_peer_rseq) > 0;
}

void take_acknowledgement(Session& session, uint32_t frame_rseq) {
  session.ack_mark_rseq = session.rseq.load();
  session.ack_mark_peer_rseq = frame_rseq;
}

void forget_duplicates(DuplicateMemory& last) {
  std::lock_guard<std::mutex> lock(last.mutex);
  last.tseq = last.rseq = last.length = -1;
}

bool already_received(DuplicateMemory& last, View& view, const uint8_t* payload, uint32_t length, uint32_t tseq,
                      uint32_t rseq) {
  std::lock_guard<std::mutex> lock(last.mutex);
  const size_t n = std::min<size_t>(length, MAX_PAYLOAD_SIZE);
  if (last.tseq == tseq && last.rseq == rseq && last.length == length &&
      (n == 0 || std::memcmp(last.payload.data(), payload, n) == 0)) {
    say(view, "ALREADY RCVD:%ld=%ld  %ld=%ld %ld=%ld\n", static_cast<long>(tseq),
                static_cast<long>(last.tseq), static_cast<long>(rseq), static_cast<long>(last.rseq),
                static_cast<long>(length), static_cast<long>(last.length));
    return true;
  }
  last.tseq = tseq;
  last.rseq = rseq;
  last.length = length;
  if (n != 0) std::memcpy(last.payload.data(), payload, n);
  return false;
}

}  // namespace orvex
