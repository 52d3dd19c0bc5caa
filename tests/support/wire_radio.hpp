// A scripted radio on the in-memory wire. It owns the fake adapter (attached as
// the program's adapter), records every frame the program sends together with
// the virtual time it left at, and lets a test answer from a script.
#pragma once

#include <cstdint>
#include <functional>
#include <mutex>
#include <span>
#include <string>
#include <vector>

#include "cmdline/mac_address.hpp"
#include "protocol/frame.hpp"
#include "tests/support/fake_packet_adapter.hpp"

namespace orvex::test {

// One frame the program sent.
struct WireFrame {
  Bytes bytes;          // as sent, tag included
  uint64_t at_ms = 0;   // virtual process time of the send
  FrameHeader header;   // read from the untagged form
  Bytes payload;        // the bytes after the header, as many as NBytes says
  bool tagged = false;
};

class WireRadio {
 public:
  // Creates the fake adapter and attaches it.
  WireRadio();
  // Detaches the adapter, which calls back into this radio.
  ~WireRadio();
  WireRadio(const WireRadio&) = delete;
  WireRadio& operator=(const WireRadio&) = delete;

  FakePacketAdapter& adapter() { return *adapter_; }
  std::vector<WireFrame> sent() const;
  std::vector<WireFrame> sent_with_pdu(uint16_t pdu) const;

  // Called on the sending thread for every frame, after it was recorded.
  std::function<void(const WireFrame&)> on_frame;

  // The program receives these frames together in its next read.
  void deliver(const std::vector<Bytes>& frames) { adapter_->queue_block(frames); }
  void deliver(const Bytes& frame) { adapter_->queue_frame(frame); }

 private:
  void record(const Bytes& frame);

  FakePacketAdapter* adapter_;  // owned by the adapter layer once attached
  mutable std::mutex mutex_;
  std::vector<WireFrame> sent_;
};

// A frame from a radio, its header written big-endian as radios do.
Bytes radio_frame(const MacAddress& from, const MacAddress& to, uint16_t pdu, uint16_t cid, uint32_t tseq,
                  uint32_t rseq, std::span<const uint8_t> payload);
// The same frame with an 802.1Q tag carrying `tag_control` inserted at byte 12.
Bytes with_vlan_tag(const Bytes& frame, uint16_t tag_control);
// The radio's acknowledgement of everything `sent` carried.
Bytes acknowledgement_of(const WireFrame& sent, uint32_t radio_tseq);

// What a radio tells about itself when asked.
struct RadioProfile {
  MacAddress mac;
  std::string name;            // written as is (a NUL follows when it fits)
  uint8_t protocol_level = 2;  // byte 47
  std::string firmware;        // bytes 56..71
  uint32_t nbytes = DISCOVERY_RESPONSE_SIZE;  // 0 gives an empty response
};

// The identify response payload of `radio` (72 bytes, or fewer when nbytes
// says so) and the whole frame addressed to `to`.
Bytes identify_response_payload(const RadioProfile& radio);
Bytes identify_response_frame(const RadioProfile& radio, const MacAddress& to);

}  // namespace orvex::test
