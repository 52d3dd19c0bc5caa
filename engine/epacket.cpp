#include "engine/epacket.hpp"

#include <array>
#include <cstdio>
#include <cstring>
#include <functional>
#include <mutex>
#include <optional>
#include <span>

#include "base/clock.hpp"
#include "base/failure.hpp"
#include "engine/connection.hpp"
#include "engine/following_blocks.hpp"
#include "engine/receive_state.hpp"
#include "engine/session_frame.hpp"
#include "wire/frame.hpp"

namespace orvex {

namespace {

std::binary_semaphore& data_send_token(Connection& conn, int index) {
  return (index >= 0 ? conn.link.send_locks.data[static_cast<size_t>(index)] : conn.link.send_locks.other_data).held;
}

// A frame for which no acknowledgement is awaited.
bool sent_once(uint16_t pdu, int payload_size) {
  return payload_size == 0 || pdu == PDU_CONNECT_REQUEST || pdu == PDU_IDENTIFY_RESPONSE;
}

void give_up(Connection& conn, uint16_t pdu) {
  if (pdu == PDU_CONNECT_REQUEST) {
    conn.view.message("\nError: Unable to establish connection with server.\n\r");
  } else {
    conn.view.message("\nError: Max number of retransmissions has been reached.\n");
    conn.view.message("Unable to transfer packet ...\n");
  }
  // In a parallel run the other entries are other connections': only this
  // one's radio is let go.
  if (conn.link.shared.load(std::memory_order_acquire)) {
    disconnect_session(conn, conn.radio.load());
    return;
  }
  // The entry of the current connection is the highest one still carrying an
  // identifier: a connection set-up gives every other entry CID_NONE.
  for (int i = MAX_USER_SESSIONS - 1; i >= 0; --i) {
    if (conn.sessions[i].cid != CID_NONE) {
      disconnect_session(conn, i);
      break;
    }
  }
}

// Callers bound what they send; a size outside the frame is a fault of ours,
// and ends the program (status 3) rather than go on the wire.
bool outside_frame(Link& link, int payload_size) {
  if (payload_size >= 0 && payload_size <= static_cast<int>(1500 - ORVEX_HEADER_SIZE)) return false;
  say(link.view, "Assertion failed: %s, file %s, line %d\n",
      payload_size < 0 ? "payload_size >= 0" : "payload_size <= (1500 - ORVEX_HEADER_SIZE)", __FILE_NAME__, __LINE__);
  return true;
}

// Builds the frame and sends it, under the entry's build lock: frames of an
// entry leave in the order they are built, and the lock is held until this
// one has left, so a disconnect (which closes the entry as it is built) is the
// connection's last frame on the wire. A radio that has left gets nothing
// more (a report would reopen its entry here). `before_send` runs under the
// lock right before the frame leaves.
template <typename BeforeSend>
bool build_and_send(Link& link, Session& session, int index, uint16_t pdu, std::optional<int32_t> set_state,
                    const uint8_t* payload, std::span<uint8_t> frame, int& size, BeforeSend before_send) {
  std::lock_guard<std::mutex> building(build_lock(link, index));
  if (closed_to_sending(session.state, session.cid) || held_by_stop(link, pdu)) return false;
  if (set_state) session.state = *set_state;
  if (!build_frame(frame, session, link.config, pdu, payload, size, build_trace(link))) return false;
  if (pdu == PDU_DISCONNECT && index >= 0) session.state = SESSION_CLOSED;
  before_send();
  link.io.send(std::span<const uint8_t>(frame.data(), static_cast<size_t>(size) + FRAME_HEADER_SIZE));
  return true;
}

// With the entry's token held: builds and sends the frame of a reliable send.
// False (the token given back, nothing sent) when it was not built.
bool start_with_token(Connection& conn, Session& session, uint16_t pdu, std::optional<int32_t> set_state,
                      const uint8_t* payload, int payload_size, bool may_be_followed, StartedSend& out) {
  out.session = &session;
  out.index = entry_of(conn.sessions, session);
  out.pdu = pdu;
  int size = payload_size;
  // Followed only from before the frame leaves, so its acknowledgement cannot
  // come first; the wait then always ends the following.
  out.followed = may_be_followed && out.index >= 0;
  if (out.followed) allow_following(conn.following, out.index, out.seen);
  // A signal left by an acknowledgement that no send waited for is not this
  // frame's: kept, it would end the wait at once, and a lost frame would never
  // be repeated.
  const bool built = build_and_send(conn.link, session, out.index, pdu, set_state, payload, out.frame, size,
                                    [&conn, &session, pdu] {
                                      conn.events.ack_event.reset();
                                      // From here on the transfer's acknowledgements can come.
                                      if (pdu == PDU_FILE_RESPONSE) conn.transfer.response_end = session.tseq.load();
                                    });
  if (!built) {
    if (out.followed) end_following(conn.following);
    data_send_token(conn, out.index).release();
    return false;
  }
  out.frame_size = size + static_cast<int>(FRAME_HEADER_SIZE);
  return true;
}

// Sends a frame of type `pdu`; `set_state` is applied under the build lock.
SendResult send(Connection& conn, Session& session, uint16_t pdu, std::optional<int32_t> set_state, const uint8_t* payload,
         int payload_size, bool may_be_followed = false) {
  const int index = entry_of(conn.sessions, session);
  if (sent_once(pdu, payload_size)) return send_once(conn.link, session, index, pdu, payload, payload_size);
  if (outside_frame(conn.link, payload_size)) return {.failure = Failure::BROKEN_LIMIT};
  if (payload_size > 100 && conn.link.config.diagnostic_level != 0) conn.view.message("Hi\n");
  data_send_token(conn, index).acquire();
  StartedSend started;
  // The caller learns that nothing was delivered when nothing left.
  if (!start_with_token(conn, session, pdu, set_state, payload, payload_size, may_be_followed, started)) return {};
  return finish_send(conn, started);
}

}  // namespace

bool try_start_data(Connection& conn, Session& session, const uint8_t* payload, int payload_size, StartedSend& out) {
  if (payload_size <= 0 || payload_size > static_cast<int>(MAX_PAYLOAD_SIZE)) return false;
  const int index = entry_of(conn.sessions, session);
  if (!data_send_token(conn, index).try_acquire()) return false;
  if (payload_size > 100 && conn.link.config.diagnostic_level != 0) conn.view.message("Hi\n");
  return start_with_token(conn, session, PDU_DATA, std::nullopt, payload, payload_size, false, out);
}

SendResult finish_send(Connection& conn, StartedSend& started) {
  Session& session = *started.session;
  const int index = started.index;
  const bool followed = started.followed;
  uint16_t pdu = started.pdu;
  uint64_t seen = started.seen;
  std::span<uint8_t> frame = started.frame;
  int frame_size = started.frame_size;
  int size = frame_size - static_cast<int>(FRAME_HEADER_SIZE);
  // The token goes back on every way out, before a give-up's disconnect.
  struct GiveBack {
    std::binary_semaphore& token;
    bool held = true;
    void now() { if (held) token.release(), held = false; }
    ~GiveBack() { now(); }
  } one_sender{data_send_token(conn, index)};
  AutoResetEvent& ack = conn.events.ack_event;
  const SessionEvents& events = conn.events;
  uint32_t timeout = INITIAL_ACK_TIMEOUT_MS;  // of the frame waited for
  uint32_t wait_ms = timeout;
  int retransmissions = 0;
  bool acknowledged = false;
  // In a batch run a radio that left (disconnect, restore) closes only its
  // entry: its acknowledgement will not come, and the run goes on.
  const auto left_batch_run = [&conn, &session, index] {
    return index >= 0 && conn.link.config.batch_run() && session.state == SESSION_CLOSED;
  };
  for (;;) {
    const bool signalled = !events.stopping_now() && ack.wait(wait_ms);
    if (events.stopping_now()) break;
    acknowledged = signalled;
    if (followed) {
      uint64_t sent_at_ms = 0;
      const Following next = take_following(conn.following, seen, frame, frame_size, sent_at_ms);
      if (next == Following::ALL_ACKNOWLEDGED) acknowledged = true;
      if (!acknowledged && next == Following::BLOCK_IN_FLIGHT) {
        // The wait is now for the block in flight, on its own time-out.
        size = frame_size - static_cast<int>(FRAME_HEADER_SIZE);
        pdu = PDU_FILE_DATA;
        timeout = INITIAL_ACK_TIMEOUT_MS;
        retransmissions = 0;
        const uint64_t due = sent_at_ms + timeout;
        const uint64_t now = conn.link.clock.now_ms();
        wait_ms = due > now ? static_cast<uint32_t>(due - now) : 0;
        continue;
      }
    }
    if (acknowledged || retransmissions >= MAX_SEND_ATTEMPTS || left_batch_run()) break;
    timeout = static_cast<uint32_t>(timeout * ACK_TIMEOUT_FACTOR);
    wait_ms = timeout;
    char line[96];
    std::snprintf(line, sizeof line, "\nRetransmitting data: send_data: PDU %d TSEQ: %ld size %d", pdu,
                  static_cast<long>(session.tseq.load()), size);
    if (conn.link.config.diagnostic_level != 0) conn.view.diagnostic(line);
    if (retransmissions == 4) conn.view.message("Retransmitting data ... please wait\n");
    {
      // Nothing goes again once the connection is closed.
      std::lock_guard<std::mutex> building(build_lock(conn.link, index));
      if (closed_to_sending(session.state, session.cid) || held_by_stop(conn.link, pdu)) break;
      conn.link.io.send(std::span<const uint8_t>(frame.data(), static_cast<size_t>(frame_size)));
    }
    ++retransmissions;
  }
  if (followed) end_following(conn.following);
  // A stop wakes the wait; the session is ending and nothing more is done here.
  if (events.stopping_now() || (!acknowledged && held_by_stop(conn.link, pdu))) return {};
  // A connection closed meanwhile (a radio that left, a disconnect) owes nothing more.
  if (!acknowledged && index >= 0 && closed_to_sending(session.state, session.cid)) return {};
  if (!acknowledged) {
    one_sender.now();
    give_up(conn, pdu);
    if (conn.link.config.batch_run()) return {};
    return {.delivered = false, .failure = Failure::UNABLE_TO_SEND};
  }
  conn.view.flush();
  return {.delivered = true};
}

SendResult send_once(Link& link, Session& session, int index, uint16_t pdu, const uint8_t* payload,
                     int payload_size) {
  if (outside_frame(link, payload_size)) return {.failure = Failure::BROKEN_LIMIT};
  if (payload_size > 100 && link.config.diagnostic_level != 0) link.view.message("Hi\n");
  std::array<uint8_t, FRAME_BUFFER_SIZE> frame;
  int size = payload_size;
  if (!build_and_send(link, session, index, pdu, std::nullopt, payload, frame, size, [] {})) return {};
  link.view.flush();
  return {.delivered = true};
}

SendResult send_data(Connection& conn, Session& session, const uint8_t* payload, int payload_size) {
  return send(conn, session, payload_size > 0 ? PDU_DATA : PDU_ACK, std::nullopt, payload, payload_size);
}

SendResult send_pdu(Connection& conn, Session& session, uint16_t pdu, const uint8_t* payload, int payload_size) {
  return send(conn, session, pdu, std::nullopt, payload, payload_size);
}

SendResult send_file_frame(Connection& conn, Session& session, uint16_t pdu, const uint8_t* payload, int payload_size) {
  return send(conn, session, pdu, std::nullopt, payload, payload_size, true);
}

void acknowledge(Link& link, const Session& session) {
  // Sent from a copy: the entry keeps what it recorded of its own frames.
  Session ack = session;
  send_once(link, ack, -1, PDU_ACK, nullptr, 0);
}

void disconnect_session(Connection& conn, int index) {
  if (!SessionTable::valid_index(index)) return;
  send(conn, conn.sessions[index], PDU_DISCONNECT, std::nullopt, nullptr, 0);
  conn.session_established = 0;
  forget_duplicates(conn.duplicates);
  close_session(conn.sessions, index);
}

SendResult send_error_report(Connection& conn, int index, const char* text) {
  if (!SessionTable::valid_index(index) || text == nullptr) return {};
  // The text goes with its NUL; a text too long for one frame is cut so the
  // NUL still fits.
  std::array<uint8_t, MAX_PAYLOAD_SIZE> payload{};
  const size_t length = strnlen(text, MAX_PAYLOAD_SIZE - 1);
  std::memcpy(payload.data(), text, length);
  return send(conn, conn.sessions[index], PDU_ERROR, SESSION_CONNECTED, payload.data(), static_cast<int>(length + 1));
}

}  // namespace orvex
