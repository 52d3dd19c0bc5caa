#include "engine/session_frame.hpp"

#include <cstddef>
#include <mutex>

#include "engine/connection.hpp"

namespace orvex {

bool build_frame(std::span<uint8_t> frame, Session& session, const Config& config, uint16_t pdu,
                 const uint8_t* payload, int& size, View* trace) {
  // Read once: a close on another thread must not put its marker on the wire.
  const uint16_t cid = session.cid;
  if (closed_to_sending(session.state, cid)) return false;
  OutgoingHeader h;
  h.destination = session.mac;
  h.source = config.local_mac;
  h.pdu = pdu;
  h.cid = cid;
  h.tseq = session.tseq;
  h.rseq = session.rseq;
  h.big_endian = session.protocol_level >= 2;
  h.vlan_id = config.vlan_id;
  const int payload_size = size;
  if (!encode_frame(frame, h, payload, size)) return false;

  if (trace != nullptr) {
    say(*trace, "TRC07 building PDU = %d NBytes = %d TSEQ=%08lX RSEQ=%08lX\n", pdu, payload_size,
        static_cast<unsigned long>(h.tseq), static_cast<unsigned long>(h.rseq));
  }
  session.next_pdu = pdu;
  session.tseq = h.tseq + static_cast<uint32_t>(payload_size);
  session.last_nbytes = static_cast<uint32_t>(payload_size);
  return true;
}

View* build_trace(Link& link) { return link.config.diagnostic_level >= 2 ? &link.view : nullptr; }

std::mutex& build_lock(Link& link, int index) {
  return index >= 0 ? link.send_locks.build[static_cast<size_t>(index)] : link.send_locks.other_build;
}

bool held_by_stop(const Link& link, uint16_t pdu) { return pdu != PDU_DISCONNECT && link.stop.requested(); }

bool from_connected_radio(const Connection& conn, const FrameView& frame) {
  if (frame.header.pdu == PDU_IDENTIFY_REQUEST) return true;
  const int active = conn.active_session;
  if (!SessionTable::valid_index(active)) return true;
  const Session& s = conn.sessions.entries[static_cast<size_t>(active)];
  const int32_t state = s.state;
  if (state == SESSION_CONNECTED || state == SESSION_TRANSFER) {
    return frame.header.source == s.mac;
  }
  return true;
}

}  // namespace orvex
