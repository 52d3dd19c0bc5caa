#include "tests/support/wire_radio.hpp"

#include <algorithm>
#include <memory>

#include "link/frame_io.hpp"
#include "platform/clock.hpp"
#include "protocol/byte_order.hpp"

namespace orvex::test {

WireRadio::WireRadio() {
  auto adapter = std::make_unique<FakePacketAdapter>();
  adapter_ = adapter.get();
  adapter_->on_send = [this](const Bytes& frame) { record(frame); };
  attach_adapter(std::move(adapter));
}

WireRadio::~WireRadio() { close_adapter(); }

void WireRadio::record(const Bytes& frame) {
  WireFrame f;
  f.bytes = frame;
  f.at_ms = clock().now_ms();
  Bytes untagged = frame;
  if (frame.size() >= OFFSET_LENGTH + 2 && get_be16(frame.data() + OFFSET_LENGTH) == VLAN_TPID &&
      frame.size() >= FRAME_HEADER_SIZE + VLAN_TAG_SIZE) {
    f.tagged = true;
    untagged.erase(untagged.begin() + OFFSET_LENGTH, untagged.begin() + OFFSET_LENGTH + VLAN_TAG_SIZE);
  }
  if (auto h = read_frame_header(untagged)) {
    f.header = *h;
    const size_t available = untagged.size() - FRAME_HEADER_SIZE;
    // The program's own little-endian headers (levels 0 and 1) give a huge NBytes
    // when read big-endian; the frame's size bounds it.
    const size_t n = std::min<size_t>(available, h->nbytes);
    f.payload.assign(untagged.begin() + FRAME_HEADER_SIZE, untagged.begin() + FRAME_HEADER_SIZE + n);
  }
  {
    std::lock_guard<std::mutex> lock(mutex_);
    sent_.push_back(f);
  }
  if (on_frame) on_frame(f);
}

std::vector<WireFrame> WireRadio::sent() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return sent_;
}

std::vector<WireFrame> WireRadio::sent_with_pdu(uint16_t pdu) const {
  std::vector<WireFrame> out;
  for (const WireFrame& f : sent()) {
    if (f.header.pdu == pdu) out.push_back(f);
  }
  return out;
}

Bytes radio_frame(const MacAddress& from, const MacAddress& to, uint16_t pdu, uint16_t cid, uint32_t tseq,
                  uint32_t rseq, std::span<const uint8_t> payload) {
  Bytes f(FRAME_HEADER_SIZE + payload.size());
  uint8_t* p = f.data();
  std::copy(to.bytes.begin(), to.bytes.end(), p + OFFSET_DESTINATION);
  std::copy(from.bytes.begin(), from.bytes.end(), p + OFFSET_SOURCE);
  put_be16(p + OFFSET_LENGTH, static_cast<uint16_t>(f.size()));
  std::copy(SNAP_HEADER.begin(), SNAP_HEADER.end(), p + OFFSET_SNAP);
  put_be16(p + OFFSET_PDU, pdu);
  put_be16(p + OFFSET_CID, cid);
  put_be32(p + OFFSET_TSEQ, tseq);
  put_be32(p + OFFSET_RSEQ, rseq);
  put_be32(p + OFFSET_NBYTES, static_cast<uint32_t>(payload.size()));
  std::copy(payload.begin(), payload.end(), p + OFFSET_PAYLOAD);
  return f;
}

Bytes with_vlan_tag(const Bytes& frame, uint16_t tag_control) {
  Bytes out = frame;
  const uint8_t tag[4] = {0x81, 0x00, static_cast<uint8_t>(tag_control >> 8), static_cast<uint8_t>(tag_control)};
  out.insert(out.begin() + OFFSET_LENGTH, tag, tag + 4);
  return out;
}

Bytes acknowledgement_of(const WireFrame& sent, uint32_t radio_tseq) {
  return radio_frame(sent.header.destination, sent.header.source, PDU_ACK, sent.header.cid, radio_tseq,
                     sent.header.tseq + sent.header.nbytes, {});
}

Bytes identify_response_payload(const RadioProfile& radio) {
  Bytes p(DISCOVERY_RESPONSE_SIZE, 0);
  const size_t fw = std::min<size_t>(radio.firmware.size(), 16);
  std::copy_n(radio.firmware.begin(), fw, p.begin() + PAYLOAD_FIRMWARE_OFFSET);
  p[PAYLOAD_LEVEL_OFFSET] = radio.protocol_level;
  // A name too long for its field runs over the level and firmware bytes.
  const size_t name_room = std::min(radio.name.size(), p.size());
  std::copy_n(radio.name.begin(), name_room, p.begin());
  if (name_room < PAYLOAD_LEVEL_OFFSET) p[name_room] = 0;
  if (radio.nbytes > p.size()) p.resize(radio.nbytes, 0);
  p.resize(radio.nbytes);
  return p;
}

Bytes identify_response_frame(const RadioProfile& radio, const MacAddress& to) {
  const Bytes payload = identify_response_payload(radio);
  return radio_frame(radio.mac, to, PDU_IDENTIFY_RESPONSE, 0x1234, 0, 0, payload);
}

}  // namespace orvex::test
