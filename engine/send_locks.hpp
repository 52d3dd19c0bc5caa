// The locks every send of the engine takes, as the link holds them: kept apart
// so that the link needs no send code to be declared.
#pragma once

#include <array>
#include <mutex>
#include <semaphore>

#include "engine/session_table.hpp"

namespace orvex {

// The one reliable send of an entry in flight, from its frame to its
// acknowledgement. Unlike a mutex it may be given back by another thread than
// the one that took it: a typed key's frame leaves from the keyboard's thread
// and the send worker waits for its acknowledgement.
struct SendToken {
  std::binary_semaphore held{1};
};

// Building a frame (PDU choice, tseq advance, header) is one short critical
// section per entry, so two threads never send the same TSEQ; a data-carrying
// send holds its entry's token from its frame to its acknowledgement, so the
// session's one ack_event always wakes the sender it was meant for. Records
// outside the table (copies, temporaries) share one pair.
struct SendLocks {
  std::array<std::mutex, MAX_USER_SESSIONS> build;
  std::array<SendToken, MAX_USER_SESSIONS> data;
  std::mutex other_build;
  SendToken other_data;
};

}  // namespace orvex
