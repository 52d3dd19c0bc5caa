// The receive side of the link protocol: every frame that arrives from a radio
// after discovery goes through dispatch_frame, which finds its entry by the
// connection identifier and acts on its PDU type.
#pragma once

#include <cstdint>

#include "engine/session_table.hpp"
#include "wire/frame.hpp"

namespace orvex {

struct Connection;
struct Link;

// Results, for diagnostics only.
constexpr int DISPATCH_REJECTED = -1;
constexpr int DISPATCH_UNKNOWN_SESSION = -2;
constexpr int DISPATCH_SEQUENCE_ERROR = -3;
constexpr int DISPATCH_UNKNOWN_PDU = -4;
constexpr int DISPATCH_DISCONNECTED = -6;

// Handles one received frame, judged by the frame input.
int dispatch_frame(Connection& conn, const FrameView& frame);
// Judges `length` raw bytes (tagged or not) as the frame input does, then
// handles them: for frames that come from elsewhere than the adapter.
int dispatch_frame(Connection& conn, const uint8_t* bytes, int length);

// Answers the identify request of station `asker`, whose identifier was `cid`.
void send_identify_response(Link& link, const MacAddress& asker, uint16_t cid);

// Asks the session to end (through the request the session workers install).
void end_session(Connection& conn);

}  // namespace orvex
