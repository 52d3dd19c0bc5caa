// How the program ends by a signal, an uncaught exception or a normal exit:
// the terminal is given back first (os/terminal.hpp keeps what it takes).
#pragma once

namespace orvex {

// Installs, once, what brings the terminal back however the program ends: an
// atexit handler, a terminate handler for an uncaught exception, and signal
// handlers. SIGINT, SIGTERM, SIGHUP and SIGPIPE restore and end the process by
// the signal (unless routed, below); SIGSEGV, SIGBUS, SIGABRT and SIGQUIT only
// restore, then take their course.
void install_exit_guard();

// From now on the first SIGINT, SIGTERM, SIGHUP or SIGPIPE goes to the thread
// in wait_exit_signal, which takes the program out its normal way and then
// calls end_by_signal; a second one (SIGPIPE aside, which is then left to fail
// the write) restores and ends at once, in case that way is stuck.
void route_exit_signals();
// Blocks until such a signal came: its number (-1 if the wait failed).
int wait_exit_signal();
// Restores the terminal and ends the process by `sig`, as its default does.
[[noreturn]] void end_by_signal(int sig);

}  // namespace orvex
