// The program's start-up, its run loop serving one session after another, and
// the clean shut-down.
#pragma once

#include "base/config.hpp"
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

// Runs the whole program; never returns (the process ends with status 0).
[[noreturn]] void run_program(const PlatformServices& platform, int argc, char** argv);

// Every table entry empty and the capture file open when one was named (the
// adapter's opening has put the -m address in place); a capture file that
// does not open ends the program.
void prepare_run(SessionTable& table, const Config& options);

// Closes the adapter and the capture file.
void shutdown_clean(FrameIo& io);

}  // namespace orvex
