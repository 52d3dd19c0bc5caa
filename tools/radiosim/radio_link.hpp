// What the parts of a radio share: its log lines, the frames it counts into
// its sequence, the queue of what it sends next and the one frame in flight.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "tools/radiosim/radio.hpp"

namespace orvex::sim {

// Cursor home and erase below: the radio's way of clearing its screen.
constexpr const char* CLEAR_SEQUENCE = "\x1b[H\x1b[J";

void note(RadioOutput& out, const Radio& r, const std::string& text);
std::string printf_text(const char* fmt, ...) __attribute__((format(printf, 1, 2)));

// A frame on the connection, counted into tseq.
std::vector<uint8_t> connection_frame(Radio& r, uint16_t pdu, std::span<const uint8_t> payload);
void send_once(Radio& r, uint16_t pdu, std::span<const uint8_t> payload, RadioOutput& out);
void send_ack(Radio& r, RadioOutput& out);
// An error PDU carries its text with the terminating NUL.
void send_error(Radio& r, const std::string& text, RadioOutput& out);
void drop_connection(Radio& r);

// Text and PDUs wait in the queue until the frame before them was acknowledged.
void queue_text(Radio& r, const std::string& text);
void queue_pdu(Radio& r, uint16_t pdu, std::vector<uint8_t> payload);
// Sends from the queue while nothing waits for an acknowledgement.
void pump(Radio& r, uint64_t now_ms, RadioOutput& out);
// The peer's RSEQ acknowledges the frame in flight once it reaches the byte
// after it (and does not run past what was sent).
void take_ack(Radio& r, uint32_t peer_rseq);

// Empty unless the radio prints escape sequences.
std::string answer_prefix(const Radio& r);

}  // namespace orvex::sim
