// The file blocks that follow a waiting send: while the transfer worker waits
// for a file frame's acknowledgement, the dispatching thread that takes it
// sends the next block at once, without waking the worker, and the waiting
// send goes on waiting for that block's acknowledgement, retransmitting it as
// its own. The record is engine/following_state.hpp; here are the dispatching
// thread's side (a block sent, an acknowledgement noted) and the waiting
// send's (followed from its frame on, what happened behind it, the end).
#pragma once

#include <cstdint>
#include <span>

#include "engine/following_state.hpp"

namespace orvex {

struct Connection;

// Dispatching thread, on a file acknowledgement just taken for entry `index`:
// sends `size` bytes as the entry's next file data frame when a file send of
// that entry waits (true: sent, the waiting send now waits for it and must not
// be signalled), else false and nothing is sent.
bool send_following_block(Connection& conn, int index, const uint8_t* payload, int size);

// Dispatching thread: an acknowledgement was taken for the newest file frame.
void note_file_acknowledgement(FollowingBlocks& f);

// The waiting send of entry `index` may be followed from now on; `seen`
// becomes the count of blocks sent after it so far.
void allow_following(FollowingBlocks& f, int index, uint64_t& seen);

// The waiting send is over: no block follows it any more.
void end_following(FollowingBlocks& f);

enum class Following { NOTHING_NEW, BLOCK_IN_FLIGHT, ALL_ACKNOWLEDGED };

// What happened behind the frame the wait holds: the newest block sent after
// it, when there is one, is copied into `frame` to be waited for instead, and
// `sent_at_ms` tells when it left. ALL_ACKNOWLEDGED ends the following at once.
Following take_following(FollowingBlocks& f, uint64_t& seen, std::span<uint8_t> frame, int& frame_size,
                         uint64_t& sent_at_ms);

}  // namespace orvex
