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
#include "engine/engine.hpp"
#include "engine/following_blocks.hpp"
#include "engine/receive_state.hpp"
#include "engine/session_frame.hpp"
#include "wire/frame.hpp"

namespace orvex {

namespace {

int entry_index(const Engine& e, const Session& session) {
  const Session* first = e.sessions.entries.data();
  const Session* p = &session;
  const std::less<const Session*> before;
  if (before(p, first) || !before(p, first + MAX_USER_SESSIONS)) return -1;
  return static_cast<int>(p - first);
}

std::mutex& data_send_lock(Engine& e, int index) {
  return index >= 0 ? e.send_locks.data[static_cast<size_t>(index)] : e.send_locks.other_data;
}

// A frame for which no acknowledgement is awaited.
bool sent_once(uint16_t pdu, int payload_size) {
  return payload_size == 0 || pdu == PDU_CONNECT_REQUEST || pdu == PDU_IDENTIFY_RESPONSE;
}

void give_up(Engine& e, uint16_t pdu) {
  if (pdu == PDU_CONNECT_REQUEST) {
    e.view.message("\nError: Unable to establish connection with server.\n\r");
  } else {
    e.view.message("\nError: Max number of retransmissions has been reached.\n");
    e.view.message("Unable to transfer packet ...\n");
  }
  // The entry of the current connection is the highest one still carrying an
  // identifier: a connection set-up gives every other entry CID_NONE.
  for (int i = MAX_USER_SESSIONS - 1; i >= 0; --i) {
    if (e.sessions[i].cid != CID_NONE) {
      disconnect_session(e, i);
      break;
    }
  }
}

// Under the entry's build lock, right after the frame was built.
void send_built(Engine& e, Session& session, uint16_t pdu, int payload_size, std::span<const uint8_t> frame) {
  if (pdu == PDU_DISCONNECT && entry_index(e, session) >= 0) session.state = SESSION_CLOSED;
  // A signal left by an acknowledgement that no send waited for is not this
  // frame's: kept, it would end the wait at once, and a lost frame would never
  // be repeated.
  if (!sent_once(pdu, payload_size)) e.events.ack_event.reset();
  e.io.send(frame);
}

// Sends a frame of type `pdu`; `set_state` is applied under the build lock.
SendResult send(Engine& e, Session& session, uint16_t pdu, std::optional<int32_t> set_state, const uint8_t* payload,
         int payload_size, bool may_be_followed = false) {
  // Callers bound what they send; a size outside the frame is a fault of ours,
  // and ends the program (status 3) rather than go on the wire.
  if (payload_size < 0 || payload_size > static_cast<int>(1500 - ORVEX_HEADER_SIZE)) {
    say(e.view, "Assertion failed: %s, file %s, line %d\n",
        payload_size < 0 ? "payload_size >= 0" : "payload_size <= (1500 - ORVEX_HEADER_SIZE)", __FILE_NAME__, __LINE__);
    return {.failure = Failure::BROKEN_LIMIT};
  }
  if (payload_size > 100 && e.config.diagnostic_level != 0) e.view.message("Hi\n");

  const int index = entry_index(e, session);
  std::unique_lock<std::mutex> one_sender(data_send_lock(e, index), std::defer_lock);
  if (!sent_once(pdu, payload_size)) one_sender.lock();

  std::array<uint8_t, FRAME_BUFFER_SIZE> frame;
  int size = payload_size;
  // Followed only from before the frame leaves, so its acknowledgement cannot
  // come first; the wait below then always ends the following.
  const bool followed = may_be_followed && index >= 0 && !sent_once(pdu, payload_size);
  uint64_t seen = 0;
  if (followed) allow_following(e, index, seen);
  bool built = false;
  {
    // Frames of an entry leave in the order they are built, and the build
    // lock is held until this one has left: a disconnect closes the entry as
    // it is built, so no frame of the connection can follow it on the wire.
    std::lock_guard<std::mutex> building(build_lock(e, index));
    // A radio that has left gets nothing more (a report would reopen its
    // entry here); the caller learns that nothing was delivered.
    built = !closed_to_sending(session.state, session.cid) && !held_by_stop(e, pdu);
    if (built && set_state) session.state = *set_state;
    built = built && build_frame(frame, session, e.config, pdu, payload, size, build_trace(e));
    if (built) send_built(e, session, pdu, payload_size, std::span<const uint8_t>(frame.data(), static_cast<size_t>(size) + FRAME_HEADER_SIZE));
  }
  if (!built) {
    if (followed) end_following(e);
    return {};
  }
  int frame_size = size + static_cast<int>(FRAME_HEADER_SIZE);


  if (sent_once(pdu, payload_size)) {
    e.view.flush();
    return {.delivered = true};
  }

  AutoResetEvent& ack = e.events.ack_event;
  const SessionEvents& events = e.events;
  uint32_t timeout = INITIAL_ACK_TIMEOUT_MS;  // of the frame waited for
  uint32_t wait_ms = timeout;
  int retransmissions = 0;
  bool acknowledged = false;
  // In a batch run a radio that left (disconnect, restore) closes only its
  // entry: its acknowledgement will not come, and the run goes on.
  const auto left_batch_run = [&e, &session, index] {
    return index >= 0 && e.config.batch_run() && session.state == SESSION_CLOSED;
  };
  for (;;) {
    const bool signalled = !events.stopping_now() && ack.wait(wait_ms);
    if (events.stopping_now()) break;
    acknowledged = signalled;
    if (followed) {
      uint64_t sent_at_ms = 0;
      const Following next = take_following(e, seen, frame, frame_size, sent_at_ms);
      if (next == Following::ALL_ACKNOWLEDGED) acknowledged = true;
      if (!acknowledged && next == Following::BLOCK_IN_FLIGHT) {
        // The wait is now for the block in flight, on its own time-out.
        size = frame_size - static_cast<int>(FRAME_HEADER_SIZE);
        pdu = PDU_FILE_DATA;
        timeout = INITIAL_ACK_TIMEOUT_MS;
        retransmissions = 0;
        const uint64_t due = sent_at_ms + timeout;
        const uint64_t now = clock().now_ms();
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
    if (e.config.diagnostic_level != 0) e.view.diagnostic(line);
    if (retransmissions == 4) e.view.message("Retransmitting data ... please wait\n");
    {
      // Nothing goes again once the connection is closed.
      std::lock_guard<std::mutex> building(build_lock(e, index));
      if (closed_to_sending(session.state, session.cid) || held_by_stop(e, pdu)) break;
      e.io.send(std::span<const uint8_t>(frame.data(), static_cast<size_t>(frame_size)));
    }
    ++retransmissions;
  }
  if (followed) end_following(e);
  // A stop wakes the wait; the session is ending and nothing more is done here.
  if (events.stopping_now() || (!acknowledged && held_by_stop(e, pdu))) return {};
  // A connection closed meanwhile (a radio that left, a disconnect) owes nothing more.
  if (!acknowledged && index >= 0 && closed_to_sending(session.state, session.cid)) return {};
  if (!acknowledged) {
    if (one_sender.owns_lock()) one_sender.unlock();
    give_up(e, pdu);
    if (e.config.batch_run()) return {};
    return {.delivered = false, .failure = Failure::UNABLE_TO_SEND};
  }
  e.view.flush();
  return {.delivered = true};
}

}  // namespace

SendResult send_data(Engine& e, Session& session, const uint8_t* payload, int payload_size) {
  return send(e, session, payload_size > 0 ? PDU_DATA : PDU_ACK, std::nullopt, payload, payload_size);
}

SendResult send_pdu(Engine& e, Session& session, uint16_t pdu, const uint8_t* payload, int payload_size) {
  return send(e, session, pdu, std::nullopt, payload, payload_size);
}

SendResult send_file_frame(Engine& e, Session& session, uint16_t pdu, const uint8_t* payload, int payload_size) {
  return send(e, session, pdu, std::nullopt, payload, payload_size, true);
}

void acknowledge(Engine& e, Session& session) {
  // Sent from a copy: the entry keeps what it recorded of its own frames.
  Session ack = session;
  send_pdu(e, ack, PDU_ACK, nullptr, 0);
}

void disconnect_session(Engine& e, int index) {
  if (index < 0) index = e.run.chosen_radio;
  if (!SessionTable::valid_index(index)) return;
  send(e, e.sessions[index], PDU_DISCONNECT, std::nullopt, nullptr, 0);
  e.connection.session_established = 0;
  forget_duplicates(e);
  close_session(e.sessions, index);
}

SendResult send_error_report(Engine& e, int index, const char* text) {
  if (index < 0) index = e.run.chosen_radio;
  if (!SessionTable::valid_index(index) || text == nullptr) return {};
  // The text goes with its NUL; a text too long for one frame is cut so the
  // NUL still fits.
  std::array<uint8_t, MAX_PAYLOAD_SIZE> payload{};
  const size_t length = strnlen(text, MAX_PAYLOAD_SIZE - 1);
  std::memcpy(payload.data(), text, length);
  return send(e, e.sessions[index], PDU_ERROR, SESSION_CONNECTED, payload.data(), static_cast<int>(length + 1));
}

}  // namespace orvex
