// Typed keys through the real program: orvexterm under a pseudo-terminal in
// the program's namespace, the minimal radio echoing in the radio's. For each
// key: from its write to the terminal to its data frame on the wire, and from
// the radio's echo frame on the wire to the byte read back from the terminal
// (wire times from the capture on the program's interface, terminal times from
// the pseudo-terminal's master, both on CLOCK_REALTIME).
#pragma once

#include <string>
#include <vector>

#include "bench/wire_capture.hpp"

namespace orvex::bench {

struct KeyFigures {
  std::string error;
  int typed = 0;
  int echoed = 0;                      // came back to the terminal
  std::vector<double> key_to_frame_us;  // per key that was matched on the wire
  std::vector<double> echo_to_terminal_us;
  std::vector<double> key_to_echo_us;  // the whole way, at the terminal
};

struct KeyPlacement {
  int program_cpu = 0;
  int radio_cpu = 1;
  int terminal_cpu = 1;  // the benchmark's own reading and writing
};

KeyFigures measure_keys(const std::string& ns_program, const std::string& dev_program, const std::string& ns_radio,
                        const std::string& dev_radio, WireCapture& capture, int keys, KeyPlacement placement);

}  // namespace orvex::bench
