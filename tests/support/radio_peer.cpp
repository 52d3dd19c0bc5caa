#include "tests/support/radio_peer.hpp"

#include "platform/clock.hpp"
#include "protocol/byte_order.hpp"

namespace orvex::test {

namespace {
constexpr uint32_t BLOCK = 1350;
}

PeerFrame decode_program_frame(const PeerBytes& frame, bool big_endian) {
  PeerFrame f;
  if (frame.size() < 40) return f;
  const uint8_t* p = frame.data();
  f.destination = MacAddress::from(p);
  f.source = MacAddress::from(p + 6);
  f.pdu = big_endian ? get_be16(p + 22) : get_le16(p + 22);
  f.cid = big_endian ? get_be16(p + 24) : get_le16(p + 24);
  f.tseq = big_endian ? get_be32(p + 28) : get_le32(p + 28);
  f.rseq = big_endian ? get_be32(p + 32) : get_le32(p + 32);
  f.nbytes = big_endian ? get_be32(p + 36) : get_le32(p + 36);
  f.payload.assign(frame.begin() + 40, frame.end());
  return f;
}

PeerBytes radio_frame(const MacAddress& source, const MacAddress& destination, uint16_t pdu, uint16_t cid,
                      uint32_t tseq, uint32_t rseq, const PeerBytes& payload, std::optional<uint32_t> nbytes) {
  PeerBytes f(40 + payload.size());
  uint8_t* p = f.data();
  for (int i = 0; i < 6; ++i) {
    p[i] = destination.bytes[i];
    p[6 + i] = source.bytes[i];
  }
  put_be16(p + 12, static_cast<uint16_t>(40 + payload.size()));
  const uint8_t snap[8] = {0xAA, 0xAA, 0x03, 0x02, 0x7A, 0x41, 0x00, 0x01};
  for (int i = 0; i < 8; ++i) p[14 + i] = snap[i];
  put_be16(p + 22, pdu);
  put_be16(p + 24, cid);
  put_be32(p + 28, tseq);
  put_be32(p + 32, rseq);
  put_be32(p + 36, nbytes.value_or(static_cast<uint32_t>(payload.size())));
  for (size_t i = 0; i < payload.size(); ++i) p[40 + i] = payload[i];
  return f;
}

PeerBytes text_bytes(const std::string& text) { return PeerBytes(text.begin(), text.end()); }

void RadioPeer::on_program_frame(const PeerBytes& frame) {
  if (frame.size() < 40) return;
  if (MacAddress::from(frame.data()) != mac_) return;
  const PeerFrame f = decode_program_frame(frame, level_ >= 2);
  std::lock_guard<std::mutex> lock(mutex_);
  program = f.source;
  frames.push_back(f);
  switch (f.pdu) {
    case 6:  // connect request
      connect_times.push_back(clock().now_ms());
      cid = f.cid;
      tseq = 0;
      rseq = 1;
      if (connect_answer == ConnectAnswer::Accept) send_locked(7, {}, false);
      if (connect_answer == ConnectAnswer::Data) send_locked(1, text_bytes("hello\r\n"), true);
      break;
    case 1:  // terminal data
    case 3:  // error report
      if (f.tseq == rseq && f.nbytes != 0) {
        rseq += f.nbytes;
        shown.append(f.payload.begin(), f.payload.end());
      } else if (f.nbytes != 0) {
        ++repeated_frames;
      }
      if (f.nbytes != 0) acknowledge_locked();
      break;
    case 10:  // file response
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
      if (acknowledge_files) acknowledge_locked();
      break;
    case 11:
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
    if (acknowledge_files) acknowledge_locked();
    return;
  }
  rseq += f.nbytes;
  t.bytes.insert(t.bytes.end(), f.payload.begin(), f.payload.end());
  t.blocks.push_back(f.nbytes);
  const bool last = f.nbytes == 0 || (t.bytes.size() == static_cast<size_t>(t.size) && t.size % BLOCK != 0);
  if (!print_after_each_block.empty() && f.nbytes != 0) send_locked(1, text_bytes(print_after_each_block), true);
  if (!last) {
    if (acknowledge_files) acknowledge_locked();
    return;
  }
  t.complete = true;
  const bool acknowledge = f.nbytes == 0 ? acknowledge_final_empty : acknowledge_last_block;
  if (acknowledge && acknowledge_files) acknowledge_locked();
  if (!text_instead_of_last_ack.empty()) send_locked(1, text_bytes(text_instead_of_last_ack), true);
  if (!next_requests.empty()) {
    const std::string name = next_requests.front();
    next_requests.pop_front();
    send_locked(9, text_bytes(name), true);
  }
}

void RadioPeer::acknowledge_locked() { send_locked(2, {}, false); }

void RadioPeer::send_locked(uint16_t pdu, const PeerBytes& payload, bool counts) {
  const PeerBytes frame = radio_frame(mac_, program, pdu, cid, tseq, rseq, payload);
  if (counts) {
    tseq += static_cast<uint32_t>(payload.size());
    last_counted_ = frame;
  }
  if (deliver) deliver(frame);
}

void RadioPeer::send_data(const std::string& text) { send_frame(1, text_bytes(text), true); }
void RadioPeer::request_file(const std::string& name) { send_frame(9, text_bytes(name), true); }

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
