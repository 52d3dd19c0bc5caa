#include "engine/connect.hpp"

#include <algorithm>
#include <array>
#include <mutex>
#include <vector>

#include "base/clock.hpp"
#include "engine/discover.hpp"
#include "engine/dispatch.hpp"
#include "engine/connection.hpp"
#include "engine/epacket.hpp"
#include "engine/session_events.hpp"
#include "engine/session_table.hpp"
#include "engine/transfer.hpp"
#include "link/frame_io.hpp"
#include "wire/frame.hpp"

namespace orvex {

namespace {

bool established(const Session& s) {
  const int32_t state = s.state;
  return state == SESSION_CONNECTED || state == SESSION_TRANSFER;
}

std::array<uint8_t, CONNECT_REQUEST_SIZE> connect_request_for(const Connection& conn, const Session& s) {
  return build_connect_request(conn.link.config.local_host_name, s.protocol_level);
}

// A fresh identifier for every set-up, so that frames of an earlier connection
// to the same radio find no entry.
uint16_t fresh_cid(uint16_t previous) {
  uint16_t cid = static_cast<uint16_t>(new_connection_id());
  for (int tries = 0; cid == previous && tries < 16; ++tries) cid = static_cast<uint16_t>(new_connection_id());
  return cid;
}

bool cid_in_use(const SessionTable& table, int index, uint16_t cid) {
  for (int i = 0; i < MAX_USER_SESSIONS; ++i) {
    const int32_t state = table[i].state;
    if (i != index && table[i].cid == cid && state != SESSION_EMPTY && state != SESSION_CLOSED) return true;
  }
  return false;
}

// In a parallel run the identifier also differs from every other open
// connection's, so that no frame can be taken for another radio's.
uint16_t fresh_shared_cid(Link& link, SessionTable& table, int index) {
  std::lock_guard<std::mutex> lock(link.cid_mutex);
  Session& s = table[index];
  uint16_t cid = fresh_cid(s.cid);
  for (int tries = 0; cid_in_use(table, index, cid) && tries < 1000; ++tries) cid = fresh_cid(s.cid);
  s.cid = cid;
  s.state = SESSION_FOUND;
  return cid;
}

}  // namespace

int connect_session(Connection& conn, int index) {
  if (!SessionTable::valid_index(index)) return 0;
  Clock& c = conn.link.clock;
  const uint64_t start = c.now_ms();
  uint64_t last_request = start;
  const bool worker_receives = conn.link.receive_worker_running.load();

  // A new set-up: the accept that answers it must count even when an earlier
  // connection (a restore, a radio left connected by a batch run) was never
  // disconnected.
  conn.session_established = 0;

  SessionTable& table = conn.sessions;
  // A parallel run's other connections stay as they are.
  const bool shared = conn.link.shared.load(std::memory_order_acquire);
  for (int i = 0; i < MAX_USER_SESSIONS && !shared; ++i) {
    Session& other = table[i];
    // Without workers this thread is the only dispatcher: a transfer cut off
    // by a restore is dropped here, its file closed.
    if (!worker_receives && other.send_file != nullptr) abandon_transfer(conn, other);
    if (i == index) continue;
    if (other.state != SESSION_EMPTY) other.state = SESSION_CLOSED;
    other.cid = CID_NONE;
  }
  Session& s = table[index];
  s.next_pdu = PDU_CONNECT_REQUEST;
  s.tseq = 1;
  s.rseq = 0;
  s.last_nbytes = 0;
  s.ack_mark_peer_rseq = 0;
  s.ack_mark_rseq = 0;
  if (shared) {
    fresh_shared_cid(conn.link, table, index);
  } else {
    s.cid = fresh_cid(s.cid);
    s.state = SESSION_FOUND;
  }
  conn.established.reset();

  const auto request = connect_request_for(conn, s);
  send_pdu(conn, s, PDU_CONNECT_REQUEST, request.data(), static_cast<int>(request.size()));
  s.tseq = 1;  // the request's bytes are not counted

  // A batch run the operator stopped waits no longer (nothing more is sent).
  while (!established(s) && c.now_ms() - start < CONNECT_LIMIT_MS && !conn.link.stop.requested()) {
    if (worker_receives) {
      // The receive worker dispatches; wait for its establishment, at most
      // until the next repetition or the end of the time.
      const uint64_t now = c.now_ms();
      const uint64_t repeat_at = last_request + CONNECT_REPEAT_MS + 1;
      const uint64_t give_up_at = start + CONNECT_LIMIT_MS;
      const uint64_t until = std::min(repeat_at, give_up_at);
      conn.established.wait(static_cast<uint32_t>(until > now ? until - now : 1));
      if (conn.events.stopping_now()) break;
    } else {
      FrameView frame;
      const int n = conn.link.io.receive(frame);
      if (n < 0) break;
      if (n > 0) dispatch_frame(conn, frame);
    }
    if (established(s)) break;
    const uint64_t now = c.now_ms();
    if (now - last_request > CONNECT_REPEAT_MS) {
      resend_connect_request(conn, index);
      last_request = now;
    }
    if (now - start > CONNECT_LIMIT_MS) break;
  }
  return established(s) ? 1 : 0;
}

void resend_connect_request(Connection& conn, int index) {
  if (!SessionTable::valid_index(index)) return;
  Session& live = conn.sessions[index];
  Session copy = live;
  const auto request = connect_request_for(conn, copy);
  if (copy.next_pdu == PDU_CONNECT_REQUEST) {
    send_pdu(conn, copy, PDU_CONNECT_REQUEST, request.data(), static_cast<int>(request.size()));
  }
  live.tseq = 1;
}

}  // namespace orvex
