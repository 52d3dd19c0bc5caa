// The program's start-up, its run loop serving one session after another, and
// the clean shut-down.
#pragma once

#include "app/termination.hpp"
#include "base/config.hpp"
#include "console/radio_output.hpp"
#include "engine/session_table.hpp"
#include "link/frame_io.hpp"
#include "os/file_server.hpp"
#include "os/host_info.hpp"
#include "os/packet_capture.hpp"

namespace orvex {

// The platform's services: main makes them and the program hands them on to
// what uses them.
struct PlatformServices {
  PacketCapture& capture;
  HostInfo& host;
  FileServer& files;  // the files a radio asks for
};

// Runs the whole program; never returns: it ends through `termination`.
[[noreturn]] void run_program(const PlatformServices& platform, Termination& termination, int argc, char** argv);

// Every table entry empty and the capture file open in `output` when one was
// named (the adapter's opening has put the -m address in place); a capture
// file that does not open ends the program.
void prepare_run(SessionTable& table, const Config& options, RadioOutput& output, Termination& termination);

// Closes the adapter and the capture file.
void shutdown_clean(FrameIo& io, RadioOutput& output);

}  // namespace orvex
