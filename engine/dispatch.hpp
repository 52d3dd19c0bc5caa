// The receive side of the link protocol: every frame that arrives from a radio
// after discovery goes through dispatch_frame, which finds its entry by the
// connection identifier and acts on its PDU type.
#pragma once

#include <cstdint>

#include "engine/session_table.hpp"
#include "wire/frame.hpp"

namespace orvex {

struct Engine;

// Results, for diagnostics only.
constexpr int DISPATCH_REJECTED = -1;
constexpr int DISPATCH_UNKNOWN_SESSION = -2;
constexpr int DISPATCH_SEQUENCE_ERROR = -3;
constexpr int DISPATCH_UNKNOWN_PDU = -4;
constexpr int DISPATCH_DISCONNECTED = -6;

// Handles one received frame, judged by the frame input.
int dispatch_frame(Engine& e, const FrameView& frame);
// Judges `length` raw bytes (tagged or not) as the frame input does, then
// handles them: for frames that come from elsewhere than the adapter.
int dispatch_frame(Engine& e, const uint8_t* bytes, int length);

// True when the frame repeats the last data frame remembered; otherwise
// remembers it.
bool already_received(Engine& e, const uint8_t* payload, uint32_t length, uint32_t tseq, uint32_t rseq);
// Forgets the remembered data frame (a new connection, a disconnect).
void forget_duplicates(Engine& e);

// Answers the identify request of station `asker`, whose identifier was `cid`.
void send_identify_response(Engine& e, const MacAddress& asker, uint16_t cid);

// The acknowledgement test shared with the file transfer: new only when it
// goes past the last one taken (modulo 2^32), and never when it covers bytes
// not sent.
bool is_new_acknowledgement(const Session& session, uint32_t frame_rseq);
void take_acknowledgement(Session& session, uint32_t frame_rseq);

// An empty frame for the entry: a PDU_ACK with its current tseq and rseq.
void acknowledge(Engine& e, Session& session);

// Asks the session to end (through the request the session workers install).
void end_session(Engine& e);

}  // namespace orvex
