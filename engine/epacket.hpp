// The reliable send: every frame of the link protocol leaves through ESend,
// which builds it, hands it to the adapter and, for frames that carry data,
// waits for the radio's acknowledgement, retransmitting the identical frame
// with a growing time-out.
#pragma once

#include <cstdint>

#include "engine/session_table.hpp"

namespace orvex {

struct Engine;

constexpr uint32_t INITIAL_ACK_TIMEOUT_MS = 300;
constexpr double ACK_TIMEOUT_FACTOR = 1.3;
constexpr int MAX_SEND_ATTEMPTS = 11;  // retransmissions after the first transmission

// Sends `payload_size` bytes (0..1474) for `session`: an entry of the session
// table, a copy of one, or a temporary record filled by the caller. Empty
// frames, connect requests and identify responses go out once. Data frames
// wait for ack_event; when it never comes the connection is closed and the
// result is 0 in batch mode, while outside batch mode the program ends with
// reason -25. 1 when sent (and acknowledged where a wait applies). When the
// session is being stopped, a wait ends at once with result 0, and nothing is
// given up or closed.
int ESend(Engine& e, Session& session, const uint8_t* payload, int payload_size);  // NOLINT(readability-identifier-naming)

// Sends a disconnect for entry `index` (below 0: the chosen radio), clears
// session_established, makes the receive side forget its last data frame and
// closes the entry.
void disconnect_session(Engine& e, int index);

// Reports `text` (sent with its NUL) to the radio as a PDU_ERROR; reliable.
void send_error_report(Engine& e, int index, const char* text);

}  // namespace orvex
