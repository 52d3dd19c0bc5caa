#include "tests/support/radio_peer.hpp"

#include <algorithm>
#include <memory>

#include "link/frame_io.hpp"
#include "base/clock.hpp"
#include "base/byte_order.hpp"
#include "engine/transfer.hpp"

namespace orvex::test {

PeerFrame decode_program_frame(const PeerBytes& frame, bool big_endian) {
  PeerFrame f;
  f.bytes = frame;
  f.at_ms = clock().now_ms();
  PeerBytes untagged = frame;
  if (frame.size() >= FRAME_HEADER_SIZE + VLAN_TAG_SIZE && get_be16(frame.data() + OFFSET_LENGTH) == VLAN_TPID) {
    f.tagged = true;
    untagged.erase(untagged.begin() + OFFSET_LENGTH, untagged.begin() + OFFSET_LENGTH + VLAN_TAG_SIZE);
  }
  if (untagged.size() < FRAME_HEADER_SIZE) return f;
  const uint8_t* p = untagged.data();
  static_cast<FrameHeader&>(f) = *read_frame_header(untagged);
  if (!big_endian) {
    f.pdu = get_le16(p + OFFSET_PDU);
    f.cid = get_le16(p + OFFSET_CID);
    f.tseq = get_le32(p + OFFSET_TSEQ);
    f.rseq = get_le32(p + OFFSET_RSEQ);
    f.nbytes = get_le32(p + OFFSET_NBYTES);
  }
  // A little-endian header read big-endian gives a huge NBytes; the frame's
  // size bounds it.
  const size_t n = std::min<size_t>(untagged.size() - FRAME_HEADER_SIZE, f.nbytes);
  f.payload.assign(untagged.begin() + FRAME_HEADER_SIZE, untagged.begin() + FRAME_HEADER_SIZE + static_cast<long>(n));
  return f;
}

PeerBytes peer_frame(const MacAddress& source, const MacAddress& destination, uint16_t pdu, uint16_t cid,
                     uint32_t tseq, uint32_t rseq, std::span<const uint8_t> payload, std::optional<uint32_t> nbytes) {
  PeerBytes f(FRAME_HEADER_SIZE + payload.size());
  uint8_t* p = f.data();
  std::copy(destination.bytes.begin(), destination.bytes.end(), p + OFFSET_DESTINATION);
  std::copy(source.bytes.begin(), source.bytes.end(), p + OFFSET_SOURCE);
  put_be16(p + OFFSET_LENGTH, static_cast<uint16_t>(f.size()));
  std::copy(SNAP_HEADER.begin(), SNAP_HEADER.end(), p + OFFSET_SNAP);
  put_be16(p + OFFSET_PDU, pdu);
  put_be16(p + OFFSET_CID, cid);
  put_be32(p + OFFSET_TSEQ, tseq);
  put_be32(p + OFFSET_RSEQ, rseq);
  put_be32(p + OFFSET_NBYTES, nbytes.value_or(static_cast<uint32_t>(payload.size())));
  std::copy(payload.begin(), payload.end(), p + OFFSET_PAYLOAD);
  return f;
}

Bytes with_vlan_tag(const Bytes& frame, uint16_t tag_control) {
  Bytes out = frame;
  const uint8_t tag[4] = {0x81, 0x00, static_cast<uint8_t>(tag_control >> 8), static_cast<uint8_t>(tag_control)};
  out.insert(out.begin() + OFFSET_LENGTH, tag, tag + 4);
  return out;
}

namespace {

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

}  // namespace

Bytes identify_response_frame(const RadioProfile& radio, const MacAddress& to) {
  return peer_frame(radio.mac, to, PDU_IDENTIFY_RESPONSE, 0x1234, 0, 0, identify_response_payload(radio));
}

WireRadio::WireRadio() {
  auto adapter = std::make_unique<FakePacketAdapter>();
  adapter_ = adapter.get();
  adapter_->on_send = [this](const Bytes& frame) {
    const PeerFrame f = decode_program_frame(frame, true);
    {
      std::lock_guard<std::mutex> lock(mutex_);
      sent_.push_back(f);
    }
    if (on_frame) on_frame(f);
  };
  attach_adapter(std::move(adapter));
}

WireRadio::~WireRadio() { close_adapter(); }

std::vector<PeerFrame> WireRadio::sent() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return sent_;
}

std::vector<PeerFrame> WireRadio::sent_with_pdu(uint16_t pdu) const {
  std::vector<PeerFrame> out;
  for (const PeerFrame& f : sent()) {
    if (f.pdu == pdu) out.push_back(f);
  }
  return out;
}

PeerBytes text_bytes(const std::string& text) { return PeerBytes(text.begin(), text.end()); }

void RadioPeer::on_program_frame(const PeerBytes& frame) {
  if (frame.size() < FRAME_HEADER_SIZE) return;
  if (MacAddress::from(frame.data()) != mac_) return;
  const PeerFrame f = decode_program_frame(frame, level_ >= 2);
  std::lock_guard<std::mutex> lock(mutex_);
  program = f.source;
  frames.push_back(f);
  switch (f.pdu) {
    case PDU_CONNECT_REQUEST:
      connect_times.push_back(clock().now_ms());
      cid = f.cid;
      tseq = 0;
      rseq = 1;
      if (connect_answer == ConnectAnswer::Accept) send_locked(PDU_CONNECT_ACCEPT, {}, false);
      if (connect_answer == ConnectAnswer::Data) send_locked(PDU_DATA, text_bytes("hello\r\n"), true);
      break;
    case PDU_DATA:
    case PDU_ERROR:
      if (f.tseq == rseq && f.nbytes != 0) {
        rseq += f.nbytes;
        shown.append(f.payload.begin(), f.payload.end());
      } else if (f.nbytes != 0) {
        ++repeated_frames;
      }
      if (f.nbytes != 0) acknowledge_locked();
      break;
    case PDU_FILE_RESPONSE:
      if (f.tseq != rseq) {
        ++repeated_frames;
      } else {
        rseq += f.nbytes;
        Transfer t;
        if (f.payload.size() >= 8) {
          t.status = static_cast<int32_t>(get_le32(f.payload.data()));
          t.size = static_cast<int32_t>(get_le32(f.payload.data() + 4));
        }
        t.complete = t.status != 0;
        transfers.push_back(t);
      }
      acknowledge_locked();
      break;
    case PDU_FILE_DATA:
      take_file_data_locked(f);
      break;
    default:
      break;
  }
  changed_.notify_all();
}

void RadioPeer::take_file_data_locked(const PeerFrame& f) {
  if (transfers.empty()) return;
  Transfer& t = transfers.back();
  if (f.tseq != rseq || t.complete) {
    ++repeated_frames;
    acknowledge_locked();
    return;
  }
  rseq += f.nbytes;
  t.bytes.insert(t.bytes.end(), f.payload.begin(), f.payload.end());
  t.blocks.push_back(f.nbytes);
  const bool last = f.nbytes == 0 || (t.bytes.size() == static_cast<size_t>(t.size) && t.size % FILE_BLOCK_SIZE != 0);
  if (!print_after_each_block.empty() && f.nbytes != 0) send_locked(PDU_DATA, text_bytes(print_after_each_block), true);
  if (!last) {
    acknowledge_locked();
    return;
  }
  t.complete = true;
  const bool acknowledge = f.nbytes == 0 ? acknowledge_final_empty : acknowledge_last_block;
  if (acknowledge) acknowledge_locked();
  if (!text_instead_of_last_ack.empty()) send_locked(PDU_DATA, text_bytes(text_instead_of_last_ack), true);
  if (!next_requests.empty()) {
    const std::string name = next_requests.front();
    next_requests.pop_front();
    send_locked(PDU_FILE_REQUEST, text_bytes(name), true);
  }
}

void RadioPeer::acknowledge_locked() { send_locked(PDU_ACK, {}, false); }

void RadioPeer::send_locked(uint16_t pdu, const PeerBytes& payload, bool counts) {
  const PeerBytes frame = peer_frame(mac_, program, pdu, cid, tseq, rseq, payload);
  if (counts) {
    tseq += static_cast<uint32_t>(payload.size());
    last_counted_ = frame;
  }
  if (deliver) deliver(frame);
}

void RadioPeer::send_data(const std::string& text) { send_frame(PDU_DATA, text_bytes(text), true); }
void RadioPeer::request_file(const std::string& name) { send_frame(PDU_FILE_REQUEST, text_bytes(name), true); }

void RadioPeer::send_frame(uint16_t pdu, const PeerBytes& payload, bool counts) {
  std::lock_guard<std::mutex> lock(mutex_);
  send_locked(pdu, payload, counts);
}

void RadioPeer::reset_connection(uint16_t new_cid, uint32_t new_tseq, uint32_t new_rseq) {
  std::lock_guard<std::mutex> lock(mutex_);
  cid = new_cid;
  tseq = new_tseq;
  rseq = new_rseq;
}

void RadioPeer::repeat_last_frame() {
  std::lock_guard<std::mutex> lock(mutex_);
  if (deliver && !last_counted_.empty()) deliver(last_counted_);
}

RadioPeer::Snapshot RadioPeer::snapshot() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return Snapshot{transfers, frames, connect_times, repeated_frames, shown, cid, tseq, rseq};
}

bool RadioPeer::wait_for(const std::function<bool(const RadioPeer&)>& done, std::chrono::milliseconds limit) {
  std::unique_lock<std::mutex> lock(mutex_);
  return changed_.wait_for(lock, limit, [&] { return done(*this); });
}

}  // namespace orvex::test
