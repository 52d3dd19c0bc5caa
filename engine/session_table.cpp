#include "engine/session_table.hpp"

#include <cstring>

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
}

}  // namespace orvex
