// Frames as a radio sends them, the header big-endian.
#pragma once

#include <algorithm>
#include <optional>
#include <string>

#include "base/byte_order.hpp"
#include "tests/support/fake_packet_adapter.hpp"
#include "wire/frame.hpp"

namespace orvex::test {

// NBytes is the payload's size unless `nbytes` says otherwise.
inline Bytes peer_frame(const MacAddress& source, const MacAddress& destination, uint16_t pdu, uint16_t cid,
                        uint32_t tseq, uint32_t rseq, std::span<const uint8_t> payload = {},
                        std::optional<uint32_t> nbytes = std::nullopt) {
  Bytes f(FRAME_HEADER_SIZE + payload.size());
  std::copy(destination.bytes.begin(), destination.bytes.end(), f.begin() + OFFSET_DESTINATION);
  std::copy(source.bytes.begin(), source.bytes.end(), f.begin() + OFFSET_SOURCE);
  put_be16(&f[OFFSET_LENGTH], static_cast<uint16_t>(f.size()));
  std::copy(SNAP_HEADER.begin(), SNAP_HEADER.end(), f.begin() + OFFSET_SNAP);
  put_be16(&f[OFFSET_PDU], pdu);
  put_be16(&f[OFFSET_CID], cid);
  put_be32(&f[OFFSET_TSEQ], tseq);
  put_be32(&f[OFFSET_RSEQ], rseq);
  put_be32(&f[OFFSET_NBYTES], nbytes.value_or(static_cast<uint32_t>(payload.size())));
  std::copy(payload.begin(), payload.end(), f.begin() + OFFSET_PAYLOAD);
  return f;
}

// The same frame with an 802.1Q tag carrying `tag_control` at byte 12.
inline Bytes with_vlan_tag(Bytes frame, uint16_t tag_control) {
  const uint8_t tag[4] = {0x81, 0x00, static_cast<uint8_t>(tag_control >> 8), static_cast<uint8_t>(tag_control)};
  frame.insert(frame.begin() + OFFSET_LENGTH, tag, tag + 4);
  return frame;
}

inline Bytes text_bytes(const std::string& text) { return Bytes(text.begin(), text.end()); }

// What a radio tells about itself when asked.
struct RadioProfile {
  MacAddress mac;
  std::string name;            // written as is (a NUL follows when it fits)
  uint8_t protocol_level = 2;  // byte 47
  std::string firmware;        // bytes 56..71
  uint32_t nbytes = DISCOVERY_RESPONSE_SIZE;  // 0 gives an empty response
};

inline Bytes identify_response_frame(const RadioProfile& radio, const MacAddress& to) {
  Bytes p(std::max<size_t>(DISCOVERY_RESPONSE_SIZE, radio.nbytes), 0);
  std::copy_n(radio.firmware.begin(), std::min<size_t>(radio.firmware.size(), 16), p.begin() + PAYLOAD_FIRMWARE_OFFSET);
  p[PAYLOAD_LEVEL_OFFSET] = radio.protocol_level;
  // A name too long for its field runs over the level and firmware bytes.
  const size_t name_room = std::min(radio.name.size(), DISCOVERY_RESPONSE_SIZE);
  std::copy_n(radio.name.begin(), name_room, p.begin());
  if (name_room < PAYLOAD_LEVEL_OFFSET) p[name_room] = 0;
  p.resize(radio.nbytes);
  return peer_frame(radio.mac, to, PDU_IDENTIFY_RESPONSE, 0x1234, 0, 0, p);
}

}  // namespace orvex::test
