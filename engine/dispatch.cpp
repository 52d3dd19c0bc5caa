#include "engine/dispatch.hpp"

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <span>

#include "base/terminate.hpp"
#include "base/address_text.hpp"
#include "base/settings.hpp"
#include "console/radio_output.hpp"
#include "link/frame_io.hpp"
#include "base/host_state.hpp"
#include "base/clock.hpp"
#include "console/cp437.hpp"
#include "engine/epacket.hpp"
#include "wire/frame.hpp"
#include "engine/session_events.hpp"
#include "engine/session_frame.hpp"
#include "engine/transfer.hpp"

namespace orvex {

namespace {

constexpr char WRONG_SEQUENCE[] = "Wrong sequence number received";

// The last data frame that passed the duplicate test. A disconnect on another
// thread makes it forget, hence the lock.
struct LastReceived {
  std::mutex mutex;
  int64_t tseq = -1;
  int64_t rseq = -1;
  int64_t length = -1;
  std::array<uint8_t, MAX_PAYLOAD_SIZE> payload{};
};

LastReceived g_last;
AutoResetEvent g_established;

void forget_duplicates() { already_received(nullptr, 0, 0, 0); }

// A disconnect makes the duplicate memory forget; the send side calls out
// through this seam because it sits below the dispatcher.
const bool g_forget_installed = [] {
  set_forget_duplicate_memory(forget_duplicates);
  return true;
}();

// The bytes of the frame being handled, bounded by what really arrived.
struct Received {
  FrameHeader header;
  const uint8_t* payload = nullptr;
  uint32_t nbytes = 0;
};

void print_sequence_error(const char* format, uint32_t tseq, uint32_t rseq) {
  char line[128];
  std::snprintf(line, sizeof line, format, static_cast<long>(tseq), static_cast<long>(rseq));
  print_diagnostic(line);
}

int find_session(uint16_t cid) {
  SessionTable& table = session_table();
  for (int i = 0; i < MAX_USER_SESSIONS; ++i) {
    const int32_t state = table[i].state;
    if (table[i].cid == cid && state != SESSION_EMPTY && state != SESSION_CLOSED) return i;
  }
  return -1;
}

void establish(int index, const Received& r) {
  Session& s = session_table()[index];
  std::printf("Connection with device [%d] established successfully. Press F1 for help\n", index);
  // Only a different address is written: the senders on other threads read it.
  if (s.mac != r.header.source) s.mac = r.header.source;
  s.reply_buffer = connection_globals().reply_buffer.data();
  s.connect_time = clock().wall_seconds();
  forget_duplicates();
  connection_globals().active_session = index;
  s.state = SESSION_CONNECTED;
  s.next_pdu = PDU_DATA;
  connection_globals().session_established = 1;
  g_established.set();
}

int handle_quiet_data(Session& s, const Received& r) {
  prefer_acknowledgement(s);
  int result = 0;
  if (r.header.tseq == s.rseq) {
    s.rseq = s.rseq + r.nbytes;
  } else {
    print_sequence_error("f:Wrong Sequence Number recieved: %ld instead of %ld\n", r.header.tseq, s.rseq);
    result = DISPATCH_SEQUENCE_ERROR;
  }
  acknowledge(s);
  return result;
}

int handle_data(int index, Session& s, const Received& r) {
  prefer_acknowledgement(s);
  if (s.state == SESSION_FOUND) establish(index, r);
  if (transfer_state().transfer_complete) {
    // The radio speaks again after the last block: the transfer is over. Its
    // data is neither shown nor acknowledged, so it comes again.
    finish_transfer_by_data(s);
    return 0;
  }
  if (r.header.tseq != s.rseq) {
    print_sequence_error("a:Wrong sequence number recieved: %ld instead of %ld\n", r.header.tseq, s.rseq);
    acknowledge(s);
    return DISPATCH_SEQUENCE_ERROR;
  }
  if (r.nbytes == 0) return 0;
  if (already_received(r.payload, r.nbytes, r.header.tseq, r.header.rseq)) {
    acknowledge(s);
    acknowledge(s);
    return DISPATCH_SEQUENCE_ERROR;
  }
  for (uint32_t i = 0; i < r.nbytes; ++i) render_radio_byte(r.payload[i]);
  s.rseq = s.rseq + r.nbytes;
  // A transfer in progress goes on: only its own end leaves SESSION_TRANSFER.
  if (s.state != SESSION_TRANSFER) s.state = SESSION_CONNECTED;
  acknowledge(s);
  return 0;
}

int handle_ack(int index, Session& s, const Received& r) {
  const int32_t state = s.state;
  if (state == SESSION_TRANSFER) return handle_file_acknowledgement(index, r.header);
  if (state != SESSION_CONNECTED) return 0;
  if (r.header.rseq == s.tseq && is_new_acknowledgement(s, r.header.rseq)) {
    take_acknowledgement(s, r.header.rseq);
    session_events().ack_event.set();
  }
  return 1;
}

int handle_error(Session& s, const Received& r) {
  int result = 0;
  if (s.state == SESSION_TRANSFER) {
    std::printf("\nError!! File transfer failed on server side. Please try again\n");
    abandon_transfer(s);
    // The update run's wait learns of it now rather than after its time-out.
    report_failure_in_update_run();
  }
  if (r.nbytes != 0) {
    if (r.header.tseq == s.rseq) {
      s.rseq = s.rseq + r.nbytes;
    } else {
      char line[160];
      std::snprintf(line, sizeof line, "c:%s: %ld instead of %ld [CID:%d]\n", WRONG_SEQUENCE,
                    static_cast<long>(r.header.tseq), static_cast<long>(s.rseq.load()), r.header.cid);
      print_diagnostic(line);
      result = DISPATCH_SEQUENCE_ERROR;
    }
    std::array<char, MAX_PAYLOAD_SIZE + 1> text{};
    std::memcpy(text.data(), r.payload, r.nbytes);
    text[r.nbytes] = '\0';
    console_printf("Error description: %s\n", text.data());  // the radio's own text
  }
  session_events().ack_event.set();
  return result;
}

int handle_connect_request(Session& s, const Received& r) {
  s.next_pdu = PDU_CONNECT_ACCEPT;
  s.cid = r.header.cid;
  s.tseq = 0;
  s.rseq = 1;
  s.last_nbytes = 0;
  ESend(s, nullptr, 0);
  s.state = SESSION_CONNECTED;
  s.next_pdu = PDU_DATA;
  return 0;
}

int handle_stored_data(Session& s, const Received& r) {
  uint8_t* stored = s.reply_buffer;
  // Nothing is kept for an entry that was never established.
  if (stored == nullptr) return 0;
  prefer_acknowledgement(s);
  if (r.header.tseq == s.rseq) {
    s.rseq = s.rseq + r.nbytes;
    std::memcpy(stored, r.payload, r.nbytes);
    acknowledge(s);
    return 0;
  }
  if (std::memcmp(stored, r.payload, r.nbytes) == 0) {
    acknowledge(s);
    return 0;
  }
  print_sequence_error("b:Wrong sequence number recieved: %ld instead of %ld\n", r.header.tseq, s.rseq);
  return DISPATCH_SEQUENCE_ERROR;
}

bool in_batch_run() { return program_options().batch_mode != 0; }

// In a batch run a radio that disconnects or asks for a restore leaves only
// its own entry: the run goes on with the next radio (the current step counts
// as failed and is retried in the next pass), nobody is asked for a key.
void leave_batch_run(int index, Session& s) {
  if (s.state == SESSION_TRANSFER || s.send_file != nullptr) abandon_transfer(s);
  close_session(index);
  report_failure_in_update_run();
}

int handle_restore(int index, Session& s) {
  if (in_batch_run()) {
    std::printf("Restoring connection with device %s.\n", format_mac_text(s.mac));
    leave_batch_run(index, s);
    return 0;
  }
  s.connect_time = clock().wall_seconds();
  session_events().ack_event.set();
  run_state().restore_requested = 1;
  std::printf("Restoring connection with device %s.\nPlease press any key to continue ...\n",
              format_mac_text(s.mac));
  end_session();
  return 0;
}

}  // namespace

void end_session() {
  std::fflush(stdout);
  if (auto request = termination_hooks().request_session_end) request();
}

AutoResetEvent& establishment_event() { return g_established; }

bool is_new_acknowledgement(const Session& session, uint32_t frame_rseq) {
  const uint32_t mark = session.ack_mark_rseq;
  const uint32_t rseq = session.rseq;
  return mark < rseq || (mark == rseq && session.ack_mark_peer_rseq < frame_rseq);
}

void take_acknowledgement(Session& session, uint32_t frame_rseq) {
  session.ack_mark_rseq = session.rseq.load();
  session.ack_mark_peer_rseq = frame_rseq;
}

void acknowledge(Session& session) {
  // Sent from a copy: an acknowledgement must not change the entry's next PDU
  // type, which a file payload about to be built by the transfer worker uses.
  Session ack = session;
  ack.next_pdu = PDU_ACK;
  ESend(ack, nullptr, 0);
}

void prefer_acknowledgement(Session& session) {
  if (session.state != SESSION_TRANSFER) session.next_pdu = PDU_ACK;
}

bool already_received(const uint8_t* payload, uint32_t length, uint32_t tseq, uint32_t rseq) {
  std::lock_guard<std::mutex> lock(g_last.mutex);
  if (length == 0 && tseq == 0 && rseq == 0) {
    g_last.tseq = g_last.rseq = g_last.length = -1;
    return true;
  }
  const size_t n = std::min<size_t>(length, MAX_PAYLOAD_SIZE);
  if (g_last.tseq == tseq && g_last.rseq == rseq && g_last.length == length &&
      (n == 0 || std::memcmp(g_last.payload.data(), payload, n) == 0)) {
    std::printf("ALREADY RCVD:%ld=%ld  %ld=%ld %ld=%ld\n", static_cast<long>(tseq),
                static_cast<long>(g_last.tseq), static_cast<long>(rseq), static_cast<long>(g_last.rseq),
                static_cast<long>(length), static_cast<long>(g_last.length));
    return true;
  }
  g_last.tseq = tseq;
  g_last.rseq = rseq;
  g_last.length = length;
  if (n != 0) std::memcpy(g_last.payload.data(), payload, n);
  return false;
}

void send_identify_response(const uint8_t* request, uint16_t cid) {
  if (program_options().diagnostic_level != 0) std::printf("TRC10 - send_identify_response\n");
  Session answer;
  answer.state = SESSION_EMPTY;
  answer.protocol_level = 2;
  answer.mac = MacAddress::from(request + OFFSET_SOURCE);
  answer.next_pdu = PDU_IDENTIFY_RESPONSE;
  answer.cid = cid;
  answer.tseq = 0;
  answer.rseq = 0;
  answer.last_nbytes = 0;
  const int64_t elapsed = clock().wall_seconds() - run_state().program_start_time;
  const auto payload = build_discovery_response(host_state().local_host_name,
                                                static_cast<uint32_t>(elapsed * 100), run_state().version_text);
  ESend(answer, payload.data(), static_cast<int>(payload.size()));
}

int dispatch_frame(const uint8_t* frame, int length) {
  // One work buffer per dispatching thread: set-up and the receive worker may
  // both dispatch in a batch run.
  thread_local std::array<uint8_t, RX_SLOT_SIZE> work;
  if (frame == nullptr || length <= 0) return DISPATCH_REJECTED;
  int size = length;
  strip_vlan_tag(work, std::span<const uint8_t>(frame, static_cast<size_t>(length)), size, program_options().vlan_id);
  const std::span<const uint8_t> copy(work.data(), static_cast<size_t>(size));
  if (!accept_frame(copy, local_mac_address(), program_options().diagnostic_level >= 4) || !from_connected_radio(copy)) {
    return DISPATCH_REJECTED;
  }
  const auto header = read_frame_header(copy);
  if (!header) return DISPATCH_REJECTED;

  Received r;
  r.header = *header;
  r.payload = work.data() + OFFSET_PAYLOAD;
  // NBytes counts only what arrived, and never more than one payload.
  const size_t arrived = copy.size() - FRAME_HEADER_SIZE;
  r.nbytes = static_cast<uint32_t>(std::min({static_cast<size_t>(r.header.nbytes), arrived, MAX_PAYLOAD_SIZE}));

  if (program_options().diagnostic_level >= 2) {
    std::printf("TRC08 Received PDU=%d Connection %d\n", r.header.pdu, r.header.cid);
  }
  if (r.header.pdu == PDU_IDENTIFY_REQUEST || r.header.pdu == PDU_DISCOVERY_REQUEST) {
    send_identify_response(work.data(), r.header.cid);
    return 0;
  }
  if (r.header.pdu == PDU_IDENTIFY_RESPONSE) return 0;

  transfer_state().transfer_idle_count = 0;
  const int index = find_session(r.header.cid);
  if (index < 0) {
    if (program_options().diagnostic_level != 0) {
      std::printf("discarding packet - unknown session %d\n", r.header.cid);
    }
    return DISPATCH_UNKNOWN_SESSION;
  }
  Session& s = session_table()[index];

  switch (r.header.pdu) {
    case PDU_QUIET_DATA: return handle_quiet_data(s, r);
    case PDU_DATA: return handle_data(index, s, r);
    case PDU_ACK: return handle_ack(index, s, r);
    case PDU_ERROR: return handle_error(s, r);
    case PDU_CONNECT_REQUEST: return handle_connect_request(s, r);
    case PDU_CONNECT_ACCEPT:
      if (connection_globals().session_established == 0) establish(index, r);
      return 0;
    case PDU_DISCONNECT:
      std::printf("Connection with device terminated\n");
      if (in_batch_run()) {
        leave_batch_run(index, s);
        return DISPATCH_DISCONNECTED;
      }
      end_session();
      return DISPATCH_DISCONNECTED;
    case PDU_FILE_REQUEST: return handle_file_request(index, r.header, r.payload, r.nbytes);
    case PDU_FILE_RESPONSE: return handle_download_start(index, r.header, r.payload, r.nbytes);
    case PDU_FILE_DATA: return 0;
    case PDU_STORED_DATA: return handle_stored_data(s, r);
    case PDU_RESTORE: return handle_restore(index, s);
    default: return DISPATCH_UNKNOWN_PDU;
  }
}

void reset_dispatch_state() {
  forget_duplicates();
  g_established.reset();
}

}  // namespace orvex
