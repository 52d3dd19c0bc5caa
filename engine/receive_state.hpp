// What the receive side remembers between frames: the last data frame taken
// (to know a repeat) and the last acknowledgement taken (to know a new one).
// The dispatcher and the file transfer both judge frames by it.
#pragma once

#include <cstdint>

#include "base/view.hpp"
#include "engine/duplicate_memory.hpp"
#include "engine/session_table.hpp"

namespace orvex {

// True when the frame repeats the last data frame remembered; otherwise
// remembers it. A repeat is traced to `view`.
bool already_received(DuplicateMemory& last, View& view, const uint8_t* payload, uint32_t length, uint32_t tseq,
                      uint32_t rseq);
// Forgets the remembered data frame (a new connection, a disconnect).
void forget_duplicates(DuplicateMemory& last);

// The acknowledgement test shared with the file transfer: new only when it
// goes past the last one taken (modulo 2^32), and never when it covers bytes
// not sent.
bool is_new_acknowledgement(const Session& session, uint32_t frame_rseq);
void take_acknowledgement(Session& session, uint32_t frame_rseq);

}  // namespace orvex
