// Discovery: a broadcast identify request, repeated over about 4 s, and every
// radio that answers recorded in the session table from entry 1 on.
#pragma once

#include <cstdint>
#include <functional>

#include "wire/frame.hpp"

namespace orvex {

struct Link;
struct Session;
struct SessionTable;

// Told of each radio recorded (its entry), so that its row is shown at once.
using RadioFound = std::function<void(const Session& entry, int index)>;

// Broadcasts the request at most three times (at 0, 1 and 2 s of a 1 s clock)
// and listens until a check finds 4 s passed. The number of radios recorded.
int discover_radios(Link& link, SessionTable& table, RadioFound on_found = nullptr);

// Judges one received frame as a response to discovery and records a new radio
// in entry count + 1. -1: not for this station; 0: nothing to record; else the
// new count. The second form parses raw bytes first (tagged frames of any
// VLAN: -1 when they are no frame of this protocol).
int accept_discovery_response(const Link& link, SessionTable& table, const FrameView& frame, int& count, RadioFound on_found = nullptr);
int accept_discovery_response(const Link& link, SessionTable& table, const uint8_t* bytes, int length, int& count, RadioFound on_found = nullptr);

// The identify request discovery broadcasts, with a fresh identifier, and
// sending it once.
Session discovery_request();
void send_discovery_request(Link& link, Session& request);

// A fresh connection identifier, 0..32767, from the kernel's random source.
int new_connection_id();

}  // namespace orvex
