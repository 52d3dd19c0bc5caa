// The threads of one session: the keyboard worker (keys or input-file lines
// into the KeyRing), the send worker (the ring into the reliable send), the
// receive worker (frames into the receive dispatch), the transfer worker (file
// blocks into the reliable send), and the stopper that ends them all.
#pragma once

namespace orvex {

// Starts the workers of a new session for `chosen_radio` (-1: a batch run,
// whose workers use no Session entry until the run chooses one).
void start_session_workers();

// Returns when the session's workers are stopped and joined.
void wait_session_end();

// Asks for the end of the session; any thread, any number of times. Before a
// session has started it has no effect.
void request_session_end();

// Whether any of the four workers still runs.
bool session_workers_running();

// Ends a running session and joins everything (tests; also safe when none).
void reset_session_workers();

}  // namespace orvex
