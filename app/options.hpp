// The command line: one-letter options that fill the Config, load the
// radio list and check and confirm the batch requests.
#pragma once

#include "app/termination.hpp"
#include "base/config.hpp"
#include "base/view.hpp"
#include "os/file_server.hpp"
#include "os/packet_capture.hpp"

namespace orvex {

// May end the program, through `termination`, which also learns whether the
// exit status tells (--exit-status): -h, -u or -x without their argument, a
// missing input file, a refused batch request, an unreadable radio list. What
// the radio list and the batch requests report goes to `view`. -D lists the
// interfaces of `capture`; -u's source must be a file `files` serves.
void parse_options(Config& config, View& view, PacketCapture& capture, FileServer& files, Termination& termination,
                   int argc, char** argv);

}  // namespace orvex
