#include "engine/session_table.hpp"

#include <cstring>
#include <functional>

#include "wire/frame.hpp"

namespace orvex {

void Session::set_name(const char* text, size_t max_bytes) {
  name.fill(0);
  const size_t bound = max_bytes < SESSION_NAME_SIZE ? max_bytes : SESSION_NAME_SIZE;
  size_t n = 0;
  while (n < bound && text[n] != '\0') ++n;
  std::memcpy(name.data(), text, n);
  std::memcpy(name_terminated.data(), text, n);
  name_terminated[n] = '\0';
}

void close_session(SessionTable& table, int index) {
  if (!SessionTable::valid_index(index)) return;
  Session& s = table[index];
  s.cid = CID_CLOSED;
  s.state = SESSION_CLOSED;
  // The type left from the connection (an acknowledgement, which data would
  // turn into file data outside a connection) must not outlive it.
  s.next_pdu = PDU_CONNECT_REQUEST;
}

int entry_of(const SessionTable& table, const Session& session) {
  const Session* first = table.entries.data();
  const Session* p = &session;
  const std::less<const Session*> before;
  if (before(p, first) || !before(p, first + MAX_USER_SESSIONS)) return -1;
  return static_cast<int>(p - first);
}

bool closed_to_sending(int32_t state, uint16_t cid) {
  // Records outside the table (identify answers, the discovery request) are
  // empty and carry whatever identifier they answer.
  return state == SESSION_CLOSED || (state != SESSION_EMPTY && (cid == CID_CLOSED || cid == CID_NONE));
}

}  // namespace orvex
