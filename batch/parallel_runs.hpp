// A batch run's passes with several radios at once (--parallel): each lane has
// a connection of its own over the one link, with its own pauses, transfer
// and view; a pass ends when all its radios are done.
#pragma once

#include <cstdint>

#include "batch/radio_attempt.hpp"

namespace orvex {

// As run_batch_passes, with up to `lanes` radios at once: the same tries, the
// same results and report, the report file saved after every try. The
// operator's stop closes every open connection with a disconnect; the radios
// not reached then are not tried. An exit line lets the radios at hand finish
// and starts no other.
BatchResult run_parallel_passes(Connection& conn, BatchKind kind, int extra_passes, int64_t interval_ms,
                                OneRadio one_radio, const void* context, int lanes);

}  // namespace orvex
