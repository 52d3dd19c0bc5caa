// The reliable send: every frame of the link protocol leaves through send_data,
// which builds it, hands it to the adapter and, for frames that carry data,
// waits for the radio's acknowledgement, retransmitting the identical frame
// with a growing time-out.
#pragma once

#include <array>
#include <cstdint>
#include <mutex>

#include "base/failure.hpp"
#include "engine/session_table.hpp"
#include "wire/frame.hpp"

namespace orvex {

struct Engine;

constexpr uint32_t INITIAL_ACK_TIMEOUT_MS = 300;
constexpr double ACK_TIMEOUT_FACTOR = 1.3;
constexpr int MAX_SEND_ATTEMPTS = 11;  // retransmissions after the first transmission

// How a send ended: delivered (and acknowledged where a wait applies) or not;
// a frame never acknowledged outside batch mode is also
// Failure::UNABLE_TO_SEND, which ends the program.
struct SendResult {
  bool delivered = false;
  Failure failure = Failure::NONE;
};

// Sends `payload_size` bytes (0..1474) for `session`: an entry of the session
// table, a copy of one, or a temporary record filled by the caller. Empty
// frames, connect requests and identify responses go out once. Data frames
// wait for ack_event; when it never comes the connection is closed and the
// frame is not delivered (outside batch mode: UNABLE_TO_SEND). When the
// session is being stopped, a wait ends at once, not delivered, and nothing is
// given up or closed.
//
// send_data sends terminal data (PDU_DATA), or an acknowledgement when the payload
// is empty; send_pdu sends a frame of the type given. A frame's type is always
// what its sender says it is.
SendResult send_data(Engine& e, Session& session, const uint8_t* payload, int payload_size);
SendResult send_pdu(Engine& e, Session& session, uint16_t pdu, const uint8_t* payload, int payload_size);

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

// send_data for the transfer worker's file frames: its wait for the
// acknowledgement may be followed by blocks the dispatching thread sends.
SendResult send_file_frame(Engine& e, Session& session, uint16_t pdu, const uint8_t* payload, int payload_size);

// Dispatching thread, on a file acknowledgement just taken for entry `index`:
// sends `size` bytes as the entry's next file data frame when a file send of
// that entry waits (true: sent, the waiting send now waits for it and must not
// be signalled), else false and nothing is sent.
bool send_following_block(Engine& e, int index, const uint8_t* payload, int size);

// Dispatching thread: an acknowledgement was taken for the newest file frame.
void note_file_acknowledgement(Engine& e);

// Sends a disconnect for entry `index` (below 0: the chosen radio), clears
// session_established, makes the receive side forget its last data frame and
// closes the entry.
void disconnect_session(Engine& e, int index);

// Reports `text` (sent with its NUL) to the radio as a PDU_ERROR; reliable.
SendResult send_error_report(Engine& e, int index, const char* text);

}  // namespace orvex
