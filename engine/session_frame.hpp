// The frame a session sends next: its PDU type given by the sender, its
// sequence numbers taken from the entry and advanced; and what every sender
// of the engine keeps to while it builds one (the entry's build lock, the
// operator's stop, the trace).
#pragma once

#include <cstdint>
#include <mutex>
#include <span>

#include "base/config.hpp"
#include "base/view.hpp"
#include "engine/session_table.hpp"
#include "wire/frame.hpp"

namespace orvex {

struct Connection;
struct Link;

// Builds a frame of type `pdu` for `session` into `frame` (at least
// FRAME_BUFFER_SIZE bytes) from `config`'s address and VLAN id: records the type
// in the session's next_pdu, advances its tseq by the payload size and records
// last_nbytes. The type is what the sender says the frame is, never what an
// earlier frame left in the entry. `size` is the payload size on entry and grows by 4
// when a VLAN tag was inserted; the bytes to send are size + 40. Refuses (false,
// nothing written, session unchanged) what encode_frame refuses, and any frame
// of a closed entry (closed_to_sending). `trace`, when given, gets a line for
// the frame built.
bool build_frame(std::span<uint8_t> frame, Session& session, const Config& config, uint16_t pdu,
                 const uint8_t* payload, int& size, View* trace = nullptr);

// The trace build_frame gets: from diagnostic level 2 on, every frame built
// is traced.
View* build_trace(Link& link);

// Frames of entry `index` are built and sent under this lock, in the order
// they are built; records outside the table (index below 0) share one.
std::mutex& build_lock(Link& link, int index);

// Once the operator has stopped a batch run, only disconnects leave: the run
// closes the connection it is at and nothing else reaches any radio.
bool held_by_stop(const Link& link, uint16_t pdu);

// Received frames other than identify requests are taken only from the radio of
// the connection that is up, if one is.
bool from_connected_radio(const Connection& conn, const FrameView& frame);

}  // namespace orvex
