// The reliable send: every frame of the link protocol leaves through send_data,
// which builds it, hands it to the adapter and, for frames that carry data,
// waits for the radio's acknowledgement, retransmitting the identical frame
// with a growing time-out.
#pragma once

#include <array>
#include <cstdint>

#include "base/failure.hpp"
#include "engine/session_table.hpp"
#include "wire/frame.hpp"

namespace orvex {

struct Connection;
struct Link;

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
SendResult send_data(Connection& conn, Session& session, const uint8_t* payload, int payload_size);
SendResult send_pdu(Connection& conn, Session& session, uint16_t pdu, const uint8_t* payload, int payload_size);

// A frame no acknowledgement is awaited for (an acknowledgement, the discovery
// request, an identify answer, a disconnect), built and sent once over the
// link. `index` is `session`'s entry in the table, or -1 for a record outside
// it (a copy, an answer), which takes the lock of such records.
SendResult send_once(Link& link, Session& session, int index, uint16_t pdu, const uint8_t* payload,
                     int payload_size);

// A reliable send whose frame has left: the wait for its acknowledgement (and
// the entry's one-sender token) goes with it, to finish_send on this thread or
// another.
struct StartedSend {
  Session* session = nullptr;
  int index = -1;
  uint16_t pdu = PDU_DATA;
  bool followed = false;
  uint64_t seen = 0;
  int frame_size = 0;
  std::array<uint8_t, FRAME_BUFFER_SIZE> frame{};
};

// Starts send_data of `payload_size` (1..1474) bytes only when no other
// reliable send of the entry is in flight: true when the frame left. False
// (nothing sent, nothing held) when another send is in flight or the frame was
// not built. A true start must be finished by finish_send.
bool try_start_data(Connection& conn, Session& session, const uint8_t* payload, int payload_size, StartedSend& out);

// Waits for a started send's acknowledgement, repeating its frame, as
// send_data does, and gives the entry's token back.
SendResult finish_send(Connection& conn, StartedSend& started);

// send_data for the transfer worker's file frames: its wait for the
// acknowledgement may be followed by blocks the dispatching thread sends
// (engine/following_blocks.hpp).
SendResult send_file_frame(Connection& conn, Session& session, uint16_t pdu, const uint8_t* payload, int payload_size);

// An empty frame for the entry: a PDU_ACK with its current tseq and rseq.
void acknowledge(Link& link, const Session& session);

// Sends a disconnect for entry `index`, clears
// session_established, makes the receive side forget its last data frame and
// closes the entry.
void disconnect_session(Connection& conn, int index);

// Reports `text` (sent with its NUL) to the radio as a PDU_ERROR; reliable.
SendResult send_error_report(Connection& conn, int index, const char* text);

}  // namespace orvex
