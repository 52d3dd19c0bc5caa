#include "engine/dispatch.hpp"

#include <cstdio>
#include <cstring>
#include <mutex>
#include <span>

#include "base/address_text.hpp"
#include "base/clock.hpp"
#include "console/shown_text.hpp"
#include "engine/connection.hpp"
#include "engine/epacket.hpp"
#include "engine/receive_state.hpp"
#include "engine/session_frame.hpp"
#include "engine/transfer.hpp"
#include "link/frame_io.hpp"
#include "wire/frame.hpp"

namespace orvex {

namespace {

constexpr char WRONG_SEQUENCE[] = "Wrong sequence number received";

// The bytes of the frame being handled: its payload is exactly NBytes bytes.
struct Received {
  FrameHeader header;
  const uint8_t* payload = nullptr;
  uint32_t nbytes = 0;
};

void report_sequence_error(Connection& conn, const char* format, uint32_t tseq, uint32_t rseq) {
  char line[128];
  std::snprintf(line, sizeof line, format, static_cast<long>(tseq), static_cast<long>(rseq));
  if (conn.link.config.diagnostic_level != 0) conn.view.diagnostic(line);
}

// The open entry with the frame's identifier, from the frame's source when
// there is one; else an entry with the identifier only (another station's
// frame, rejected), or -1.
int find_session(const SessionTable& table, uint16_t cid, const MacAddress& source) {
  int same_cid = -1;
  for (int i = 0; i < MAX_USER_SESSIONS; ++i) {
    const int32_t state = table[i].state;
    if (table[i].cid != cid || state == SESSION_EMPTY || state == SESSION_CLOSED) continue;
    if (table[i].mac == source) return i;
    if (same_cid < 0) same_cid = i;
  }
  return same_cid;
}

int handle_session_frame(Connection& conn, int index, const FrameView& frame);

void forget_held_control(Connection& conn) { conn.held_control.held = false; }

void establish(Connection& conn, int index) {
  Session& s = conn.sessions[index];
  conn.view.connected(index);
  s.reply_buffer = conn.reply_buffer.data();
  s.connect_time = conn.link.clock.wall_seconds();
  forget_duplicates(conn.duplicates);
  forget_held_control(conn);
  conn.active_session = index;
  s.state = SESSION_CONNECTED;
  s.next_pdu = PDU_DATA;
  conn.session_established = 1;
  conn.established.set();
}

int act_on_held_control(Connection& conn, int index, Session& s);

int handle_quiet_data(Connection& conn, int index, Session& s, const Received& r) {
  int result = 0;
  if (r.header.tseq == s.rseq) {
    s.rseq = s.rseq + r.nbytes;
  } else {
    report_sequence_error(conn, "f:Wrong Sequence Number recieved: %ld instead of %ld\n", r.header.tseq, s.rseq);
    result = DISPATCH_SEQUENCE_ERROR;
  }
  acknowledge(conn.link, s);
  if (result == 0) act_on_held_control(conn, index, s);
  return result;
}

int handle_data(Connection& conn, int index, Session& s, const Received& r) {
  if (s.state == SESSION_FOUND) establish(conn, index);
  // The radio speaks again after the last block, and its RSEQ shows every
  // byte of the file taken: the transfer is over. Its data is neither shown
  // nor acknowledged, so it comes again.
  if (conn.transfer.transfer_complete && finish_transfer_by_data(conn, s, r.header.rseq)) return 0;
  if (r.header.tseq != s.rseq) {
    report_sequence_error(conn, "a:Wrong sequence number recieved: %ld instead of %ld\n", r.header.tseq, s.rseq);
    acknowledge(conn.link, s);
    return DISPATCH_SEQUENCE_ERROR;
  }
  if (r.nbytes == 0) return 0;
  if (already_received(conn.duplicates, conn.view, r.payload, r.nbytes, r.header.tseq, r.header.rseq)) {
    acknowledge(conn.link, s);
    acknowledge(conn.link, s);
    return DISPATCH_SEQUENCE_ERROR;
  }
  conn.view.radio_bytes(std::span<const uint8_t>(r.payload, r.nbytes));
  s.rseq = s.rseq + r.nbytes;
  // A transfer in progress goes on: only its own end leaves SESSION_TRANSFER.
  if (s.state != SESSION_TRANSFER) s.state = SESSION_CONNECTED;
  acknowledge(conn.link, s);
  return act_on_held_control(conn, index, s);
}

int handle_ack(Connection& conn, int index, Session& s, const Received& r) {
  const int32_t state = s.state;
  // A transfer's acknowledgements start with the file response's. One short of
  // it (a typed line's, repeated after the first was lost) ends that line's
  // wait: taken for the response's, it would send the first block early.
  if (state == SESSION_TRANSFER && acknowledges_transfer(conn.transfer, r.header.rseq)) {
    return handle_file_acknowledgement(conn, index, r.header);
  }
  if (state != SESSION_CONNECTED && state != SESSION_TRANSFER) return 0;
  if (r.header.rseq == s.tseq && is_new_acknowledgement(s, r.header.rseq)) {
    take_acknowledgement(s, r.header.rseq);
    conn.events.ack_event.set();
  }
  return 1;
}

// An error report in sequence: its text is shown, not obeyed.
int handle_error(Connection& conn, Session& s, const Received& r) {
  if (s.state == SESSION_TRANSFER) {
    conn.view.message("\nError!! File transfer failed on server side. Please try again\n");
    abandon_transfer(conn, s);
    // The update run's wait learns of it now rather than after its time-out.
    report_failure_in_update_run(conn);
  }
  if (r.nbytes != 0) {
    s.rseq = s.rseq + r.nbytes;
    // The radio's own text, which may span lines.
    const std::string text =
        shown_text(std::string_view(reinterpret_cast<const char*>(r.payload), r.nbytes), conn.link.config.console,
                   LineBreaks::kept);
    say8(conn.view, "Error description: %s\n", text.c_str());
  }
  conn.events.ack_event.set();
  return 0;
}

int handle_connect_request(Connection& conn, Session& s, const Received& r) {
  // An accept, or an acknowledgement when the connection is up already.
  const uint16_t answer = s.state == SESSION_CONNECTED ? PDU_ACK : PDU_CONNECT_ACCEPT;
  s.cid = r.header.cid;
  s.tseq = 0;
  s.rseq = 1;
  s.last_nbytes = 0;
  s.ack_mark_peer_rseq = 0;
  s.ack_mark_rseq = 1;
  send_pdu(conn, s, answer, nullptr, 0);
  s.state = SESSION_CONNECTED;
  s.next_pdu = PDU_DATA;
  return 0;
}

int handle_stored_data(Connection& conn, int index, Session& s, const Received& r) {
  uint8_t* stored = s.reply_buffer;
  // Nothing is kept for an entry that was never established.
  if (stored == nullptr) return 0;
  if (r.header.tseq == s.rseq) {
    s.rseq = s.rseq + r.nbytes;
    std::memcpy(stored, r.payload, r.nbytes);
    acknowledge(conn.link, s);
    return act_on_held_control(conn, index, s);
  }
  if (std::memcmp(stored, r.payload, r.nbytes) == 0) {
    acknowledge(conn.link, s);
    return 0;
  }
  report_sequence_error(conn, "b:Wrong sequence number recieved: %ld instead of %ld\n", r.header.tseq, s.rseq);
  return DISPATCH_SEQUENCE_ERROR;
}

bool in_batch_run(Connection& conn) { return conn.link.config.batch_run(); }

// In a batch run a radio that disconnects or asks for a restore leaves only
// its own entry: the run goes on with the next radio (the current step counts
// as failed and is retried in the next pass), nobody is asked for a key.
void leave_batch_run(Connection& conn, int index, Session& s) {
  if (s.state == SESSION_TRANSFER || s.send_file != nullptr) abandon_transfer(conn, s);
  close_session(conn.sessions, index);
  report_failure_in_update_run(conn);
}

int handle_restore(Connection& conn, int index, Session& s) {
  if (in_batch_run(conn)) {
    say(conn.view, "Restoring connection with device %s.\n", format_mac_text(s.mac).c_str());
    leave_batch_run(conn, index, s);
    return 0;
  }
  s.connect_time = conn.link.clock.wall_seconds();
  conn.events.ack_event.set();
  conn.restore_requested = 1;
  say(conn.view, "Restoring connection with device %s.\nPlease press any key to continue ...\n",
              format_mac_text(s.mac).c_str());
  end_session(conn);
  return 0;
}

int handle_disconnect(Connection& conn, int index, Session& s) {
  conn.view.message("Connection with device terminated\n");
  if (in_batch_run(conn)) {
    leave_batch_run(conn, index, s);
  } else {
    end_session(conn);
  }
  return DISPATCH_DISCONNECTED;
}

// Never to a group address (a forged broadcast source would make every
// station answer), and at most IDENTIFY_ANSWERS_PER_SECOND in a second.
bool may_answer_identify_request(Link& link, const MacAddress& source) {
  if ((source.bytes[0] & 0x01) != 0) return false;
  IdentifyAnswers& a = link.identify_answers;
  std::lock_guard<std::mutex> lock(a.mutex);
  const uint64_t now = link.clock.now_ms();
  if (a.answered == 0 || now - a.second_started_ms >= 1000) {
    a.second_started_ms = now;
    a.answered = 0;
  }
  if (a.answered >= IDENTIFY_ANSWERS_PER_SECOND) return false;
  ++a.answered;
  return true;
}

bool is_control(uint16_t pdu) {
  return pdu == PDU_DISCONNECT || pdu == PDU_RESTORE || pdu == PDU_ERROR || pdu == PDU_FILE_RESPONSE;
}

// A control frame in sequence: what it asks is done.
int act_on_control(Connection& conn, int index, Session& s, const Received& r) {
  switch (r.header.pdu) {
    case PDU_DISCONNECT: return handle_disconnect(conn, index, s);
    case PDU_RESTORE: return handle_restore(conn, index, s);
    case PDU_ERROR: return handle_error(conn, s, r);
    default: return handle_download_start(conn, index, r.payload, r.nbytes);
  }
}

// A control frame ends or changes the connection, so it counts only in
// sequence: TSEQ equal to the bytes received so far. One a little ahead (the
// radio's output before it was lost) waits for those bytes; any other changes
// nothing and is not acknowledged. Otherwise a station that guessed the
// connection's identifier could end or steer it blind.
int handle_control(Connection& conn, int index, Session& s, const Received& r) {
  const auto ahead = static_cast<int32_t>(r.header.tseq - s.rseq);
  if (ahead == 0) return act_on_control(conn, index, s, r);
  if (ahead > 0 && ahead <= static_cast<int32_t>(MAX_PAYLOAD_SIZE)) {
    HeldControlFrame& held = conn.held_control;
    held.held = true;
    held.header = r.header;
    held.nbytes = r.nbytes;
    if (r.nbytes != 0) std::memcpy(held.payload.data(), r.payload, r.nbytes);
  }
  if (r.header.pdu == PDU_ERROR) {
    char line[160];
    std::snprintf(line, sizeof line, "c:%s: %ld instead of %ld [CID:%d]\n", WRONG_SEQUENCE,
                  static_cast<long>(r.header.tseq), static_cast<long>(s.rseq.load()), r.header.cid);
    if (conn.link.config.diagnostic_level != 0) conn.view.diagnostic(line);
  } else if (r.header.pdu == PDU_FILE_RESPONSE) {
    report_sequence_error(conn, "e:Wrong sequence number recieved: %ld instead of %ld\n", r.header.tseq, s.rseq);
  }
  return DISPATCH_SEQUENCE_ERROR;
}

// The bytes before a held control frame arrived: it is acted on now, when
// rseq reached its TSEQ exactly; one that was passed over is dropped.
int act_on_held_control(Connection& conn, int index, Session& s) {
  HeldControlFrame& held = conn.held_control;
  if (!held.held) return 0;
  const auto ahead = static_cast<int32_t>(held.header.tseq - s.rseq);
  if (ahead > 0) return 0;
  held.held = false;
  if (ahead < 0) return 0;
  Received r;
  r.header = held.header;
  r.payload = held.payload.data();
  r.nbytes = held.nbytes;
  return act_on_control(conn, index, s, r);
}

}  // namespace

void end_session(Connection& conn) {
  conn.view.flush();
  if (conn.request_session_end) conn.request_session_end();
}

void send_identify_response(Link& link, const MacAddress& asker, uint16_t cid) {
  if (link.config.diagnostic_level != 0) link.view.message("TRC10 - send_identify_response\n");
  Session answer;
  answer.state = SESSION_EMPTY;
  answer.protocol_level = 2;
  answer.mac = asker;
  answer.next_pdu = PDU_IDENTIFY_RESPONSE;
  answer.cid = cid;
  answer.tseq = 0;
  answer.rseq = 0;
  answer.last_nbytes = 0;
  const int64_t elapsed = link.clock.wall_seconds() - link.config.program_start_time;
  const auto payload = build_discovery_response(link.config.local_host_name,
                                                static_cast<uint32_t>(elapsed * 100), link.config.version_text);
  send_once(link, answer, -1, PDU_IDENTIFY_RESPONSE, payload.data(), static_cast<int>(payload.size()));
}

int dispatch_frame(Connection& conn, const FrameView& frame) {
  // With one connection only its radio speaks; in a parallel run each entry's
  // frames are held to its own radio below.
  const bool shared = conn.link.shared.load(std::memory_order_acquire);
  if (!shared && !from_connected_radio(conn, frame)) return DISPATCH_REJECTED;
  const FrameHeader& h = frame.header;
  if (conn.link.config.diagnostic_level >= 2) {
    say(conn.view, "TRC08 Received PDU=%d Connection %d\n", h.pdu, h.cid);
  }
  if (h.pdu == PDU_IDENTIFY_REQUEST || h.pdu == PDU_DISCOVERY_REQUEST) {
    if (may_answer_identify_request(conn.link, h.source)) send_identify_response(conn.link, h.source, h.cid);
    return 0;
  }
  if (h.pdu == PDU_IDENTIFY_RESPONSE) return 0;
  // A frame whose NBytes is more than arrived is not taken in part: counting
  // it would set rseq apart from the radio's. The radio sends it again.
  if (!frame.whole) return DISPATCH_REJECTED;

  const int index = find_session(conn.sessions, h.cid, h.source);
  if (index < 0) {
    if (conn.link.config.diagnostic_level != 0) {
      say(conn.view, "discarding packet - unknown session %d\n", h.cid);
    }
    return DISPATCH_UNKNOWN_SESSION;
  }
  // An entry's frames count only from its radio, the address discovery found
  // and the connection request went to: another station that learnt the
  // identifier cannot set the connection up or speak in it.
  if (h.source != conn.sessions[index].mac) return DISPATCH_REJECTED;
  if (!shared) return handle_session_frame(conn, index, frame);
  // In a parallel run the connection serving the entry acts on its frames;
  // one that no connection serves any more (a late frame) changes nothing.
  Connection* owner = conn.link.owners[static_cast<size_t>(index)].load(std::memory_order_acquire);
  if (owner == nullptr) return DISPATCH_UNKNOWN_SESSION;
  return handle_session_frame(*owner, index, frame);
}

namespace {

int handle_session_frame(Connection& conn, int index, const FrameView& frame) {
  const FrameHeader& h = frame.header;
  Session& s = conn.sessions[index];
  // Only the transferring connection's own frames keep its transfer alive.
  if (s.state == SESSION_TRANSFER) conn.transfer.transfer_idle_count = 0;

  Received r;
  r.header = h;
  r.payload = frame.payload.data();
  r.nbytes = h.nbytes;
  if (is_control(h.pdu)) return handle_control(conn, index, s, r);
  switch (h.pdu) {
    case PDU_QUIET_DATA: return handle_quiet_data(conn, index, s, r);
    case PDU_DATA: return handle_data(conn, index, s, r);
    case PDU_ACK: return handle_ack(conn, index, s, r);
    case PDU_CONNECT_REQUEST: return handle_connect_request(conn, s, r);
    case PDU_CONNECT_ACCEPT:
      if (conn.session_established == 0) establish(conn, index);
      return 0;
    case PDU_FILE_REQUEST: {
      const int result = handle_file_request(conn, index, r.header, r.payload, r.nbytes);
      return result == 0 ? act_on_held_control(conn, index, s) : result;
    }
    case PDU_FILE_DATA: return 0;
    case PDU_STORED_DATA: return handle_stored_data(conn, index, s, r);
    default: return DISPATCH_UNKNOWN_PDU;
  }
}

}  // namespace

int dispatch_frame(Connection& conn, const uint8_t* bytes, int length) {
  if (bytes == nullptr || length <= 0) return DISPATCH_REJECTED;
  const auto frame = judge_frame(std::span<const uint8_t>(bytes, static_cast<size_t>(length)), conn.link.config.local_mac,
                                 vlan_rule(conn.link.config.vlan_id), conn.link.config.diagnostic_level >= 4 ? &conn.view : nullptr);
  return frame ? dispatch_frame(conn, *frame) : DISPATCH_REJECTED;
}

}  // namespace orvex
