// Connection set-up: the chosen entry gets a fresh identifier and starting
// sequence numbers, every other entry is set aside, and connect requests go out
// until the receive side reports the entry established or the time is up.
#pragma once

#include <cstdint>

namespace orvex {

struct Connection;

constexpr uint64_t CONNECT_REPEAT_MS = 700;
constexpr uint64_t CONNECT_LIMIT_MS = 5000;

// 1 when entry `index` reached SESSION_CONNECTED, 0 when 5000 ms passed first
// (or the index names no entry).
int connect_session(Connection& conn, int index);

// Repeats the connect request of an entry still being set up, from a copy, so
// the entry itself is left as it is (apart from its tseq, back to 1).
void resend_connect_request(Connection& conn, int index);

}  // namespace orvex
