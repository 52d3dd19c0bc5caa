// The record of the file blocks that follow a waiting send, as a connection
// holds it; engine/following_blocks.hpp has what is done with it.
#pragma once

#include <array>
#include <cstdint>
#include <mutex>

#include "wire/frame.hpp"

namespace orvex {

// The file blocks that follow a waiting send: while the transfer worker waits
// for a file frame's acknowledgement, the dispatching thread that takes it
// sends the next block at once, without waking the worker, and the waiting
// send goes on waiting for that block's acknowledgement, retransmitting it as
// its own. A block then leaves without a thread crossing; the worker wakes only
// at its time-outs and when no block follows.
struct FollowingBlocks {
  std::mutex mutex;
  int waiting_entry = -1;  // the entry whose file send waits and may be followed
  uint64_t sent = 0;       // blocks sent after a waiting send so far
  bool newest_acknowledged = false;  // the waiting send's frame or the last block after it
  uint64_t sent_at_ms = 0;           // when the last block went out
  std::array<uint8_t, FRAME_BUFFER_SIZE> frame{};  // the last block sent, as it went out
  int size = 0;
};

}  // namespace orvex
