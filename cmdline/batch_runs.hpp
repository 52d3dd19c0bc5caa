// The two batch operations: the update of all radios (-u) and the command run
// on all radios (-x). Each runs in the main thread while the session workers
// run, prints its report and asks for the end of the session.
#pragma once

namespace orvex {

// Runs the confirmed -u request over every radio found.
void update_all_radios();

// Runs the confirmed -x request over every radio found.
void run_commands_on_all_radios();

}  // namespace orvex
