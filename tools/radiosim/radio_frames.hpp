// Frames as a radio writes and reads them. A radio always writes its headers in
// network order (that is how the terminal program reads them); it reads the
// program's headers in the order its own protocol level implies (little-endian
// below level 2), except the discovery request, which is always big-endian.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "base/mac_address.hpp"
#include "wire/frame.hpp"

namespace orvex::sim {

// The program's header record, its fields read in the radio's order.
using RadioHeader = FrameHeader;

// Reads the header of an untagged protocol frame: nothing when the frame is
// shorter than 40 bytes, is not an 802.3 length frame or lacks the SNAP header.
std::optional<RadioHeader> read_radio_header(std::span<const uint8_t> frame, bool big_endian);

// The payload that NBytes announces, or nothing when NBytes exceeds what arrived
// or the largest payload.
std::optional<std::span<const uint8_t>> frame_payload(std::span<const uint8_t> frame,
                                                      const RadioHeader& header);

// True for an identify request in either of its two codings (00 04 or 04 00).
bool is_identify_request(const RadioHeader& big_endian_header);

// A complete frame with a big-endian header; the payload is cut to 1474 bytes.
std::vector<uint8_t> build_radio_frame(const MacAddress& destination, const MacAddress& source,
                                       uint16_t pdu, uint16_t cid, uint32_t tseq, uint32_t rseq,
                                       std::span<const uint8_t> payload);

// The 72-byte identify response: name and NUL, level in byte 47, uptime in
// 1/100 s little-endian at 52, firmware text at 56.
std::array<uint8_t, DISCOVERY_RESPONSE_SIZE> build_identify_response(const std::string& name,
                                                                      uint8_t level,
                                                                      const std::string& firmware,
                                                                      uint32_t uptime_hundredths);



// The bytes as a double-quoted text, anything but printable ASCII (and the
// quote and backslash) written as \xNN.
std::string quoted_text(std::span<const uint8_t> bytes);

// Short name of a PDU code for logs ("DATA", "ACK", "?" for unknown codes).
const char* pdu_name(uint16_t pdu);

// One log line's worth of a frame: "PDU 1 DATA cid=.. tseq=.. rseq=.. n=.." and
// the first bytes of the payload as quoted text.
std::string describe_frame(std::span<const uint8_t> frame, bool big_endian);

}  // namespace orvex::sim
