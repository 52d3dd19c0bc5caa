#include "engine/session_table.hpp"

#include <cstring>

namespace orvex {

namespace {
SessionTable g_table;
ConnectionGlobals g_connection;
}  // namespace

void Session::set_name(const char* text, size_t max_bytes) {
  name.fill(0);
  const size_t bound = max_bytes < SESSION_NAME_SIZE ? max_bytes : SESSION_NAME_SIZE;
  size_t n = 0;
  while (n < bound && text[n] != '\0') ++n;
  std::memcpy(name.data(), text, n);
  std::memcpy(name_terminated.data(), text, n);
  name_terminated[n] = '\0';
}

SessionTable& session_table() { return g_table; }
ConnectionGlobals& connection_globals() { return g_connection; }

void reset_session_table() {
  for (Session& s : g_table.entries) s = Session{};
  g_connection.active_session = 0;
  g_connection.session_established = 0;
  g_connection.reply_buffer.fill(0);
}

void close_session(int index) {
  if (!SessionTable::valid_index(index)) return;
  Session& s = g_table[index];
  s.cid = CID_CLOSED;
  s.state = SESSION_CLOSED;
}

}  // namespace orvex
