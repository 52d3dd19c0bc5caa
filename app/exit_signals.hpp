// How an exit signal ends the program once it runs: its own way out first (the
// connected radio told), then by the signal. What the signal handlers
// themselves need, and the terminal's restore, is os/terminal.hpp's.
#pragma once

#include <functional>

namespace orvex {

// From now on the first SIGINT, SIGTERM, SIGHUP or SIGPIPE goes to a thread
// started here, which runs `first` and then restores the terminal and ends the
// process by the signal; a second one ends it at once (os/terminal.hpp,
// route_exit_signals). Called once.
void handle_exit_signals(std::function<void()> first);

}  // namespace orvex
