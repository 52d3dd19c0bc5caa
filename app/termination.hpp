// The one way the program ends once the adapter may be open: a failure's
// message, the running session asked to end, the adapter closed, the terminal
// given back and the exit status. Below app/ nothing ends the process: it
// returns a Failure, and the program comes here with it.
#pragma once

#include "base/failure.hpp"

namespace orvex {

class SessionWorkers;

// Whether the exit status tells (--exit-status); otherwise it is what the
// program always gave. Set once while the options are read.
void set_telling_exit_status(bool telling);
// `usual` without --exit-status, `telling` with it; once the operator has
// stopped a batch run, a telling 1 or 4 becomes EXIT_STOPPED_BY_OPERATOR.
int exit_status(int usual, int telling);
// The operator stopped the batch run (F3, Ctrl+C); false again for tests.
void set_stopped_by_operator(bool stopped);

// Prints the failure's message, flushes standard output, asks a running
// session to end, closes the adapter and ends the process by exit_now with the
// failure's status. Safe from any thread while others run: nothing a running
// worker uses is freed.
[[noreturn]] void terminate_app(Failure failure);

// Flushes standard output and the capture file, restores the terminal and
// ends the process at once with `status`, running no destructors (a live
// thread's handle destroyed at exit would abort the process).
[[noreturn]] void exit_now(int status);

// What terminate_app calls out to: the session workers and the driver install
// their part; each hook may be empty.
struct TerminationHooks {
  void (*request_session_end)() = nullptr;
  void (*close_adapter)() = nullptr;
  // Ends the process; tests replace it (it must not return).
  void (*exit_process)(int status) = nullptr;
};

TerminationHooks& termination_hooks();

// The session terminate_app asks to end: these workers' while they are given
// (nullptr: none), unless another request_session_end hook was put in first.
void set_session_to_end(SessionWorkers* workers);

}  // namespace orvex
