// The receive side of the link protocol: every frame that arrives from a radio
// after discovery goes through dispatch_frame, which finds its entry by the
// connection identifier and acts on its PDU type.
#pragma once

#include <cstdint>

#include "base/event.hpp"
#include "engine/session_table.hpp"

namespace orvex {

// Results, for diagnostics only.
constexpr int DISPATCH_REJECTED = -1;
constexpr int DISPATCH_UNKNOWN_SESSION = -2;
constexpr int DISPATCH_SEQUENCE_ERROR = -3;
constexpr int DISPATCH_UNKNOWN_PDU = -4;
constexpr int DISPATCH_DISCONNECTED = -6;

// Judges and handles one received frame of `length` bytes (tagged or not).
int dispatch_frame(const uint8_t* frame, int length);

// True when the frame repeats the last data frame remembered; otherwise
// remembers it. Called with all arguments 0 it forgets.
bool already_received(const uint8_t* payload, uint32_t length, uint32_t tseq, uint32_t rseq);

// Answers an identify request (`request` is an untagged frame of 40 bytes or more).
void send_identify_response(const uint8_t* request, uint16_t cid);

// The acknowledgement test shared with the file transfer: new when this side
// has accepted more since the last one taken, or the radio covers more.
bool is_new_acknowledgement(const Session& session, uint32_t frame_rseq);
void take_acknowledgement(Session& session, uint32_t frame_rseq);

// An empty frame for the entry: a PDU_ACK with its current tseq and rseq.
void acknowledge(Session& session);
// After data from the radio the entry's next frame is an acknowledgement, or
// terminal data once connected; a transfer in progress keeps its file PDU type.
void prefer_acknowledgement(Session& session);

// Signalled each time an entry is established; connection set-up waits on it
// while the receive worker dispatches.
AutoResetEvent& establishment_event();

// Asks the session to end (through the seam the session workers install).
void end_session();

// Forgets the remembered data frame (tests).
void reset_dispatch_state();

}  // namespace orvex
