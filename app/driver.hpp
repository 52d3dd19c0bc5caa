// The program's start-up, its run loop serving one session after another, and
// the clean shut-down.
#pragma once

#include "engine/engine.hpp"

namespace orvex {

// Runs the whole program; never returns (the process ends with status 0).
[[noreturn]] void run_program(int argc, char** argv);

// Every table entry empty, the -m address in place of the adapter's, and the
// capture file open when one was named.
void prepare_run(Engine& e);

// Closes the adapter and the capture file.
void shutdown_clean(Engine& e);

}  // namespace orvex
