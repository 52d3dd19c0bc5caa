// The program's start-up, its run loop serving one session after another, and
// the clean shut-down.
#pragma once

namespace orvex {

// Runs the whole program; never returns (the process ends with status 0).
[[noreturn]] void run_program(int argc, char** argv);

// Every table entry empty, the shared reply buffer ready, the -m address in
// place of the adapter's, and the capture file open when one was named.
void prepare_run();

// Closes the adapter and the capture file.
void shutdown_clean();

}  // namespace orvex
