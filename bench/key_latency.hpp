// Typed keys through the real program: orvexterm under a pseudo-terminal in
// the program's namespace, the minimal radio echoing in the radio's. For each
// key: from its write to the terminal to its data frame on the wire, and from
// the radio's echo frame on the wire to the byte read back from the terminal
// (wire times from the capture on the program's interface, terminal times from
// the pseudo-terminal's master, both on CLOCK_REALTIME). Then, in the same
// session, a typing session: one key every 100 ms, and the program's CPU time
// over it (its process CPU clock, all its threads).
#pragma once

#include <string>
#include <vector>

#include "bench/wire_capture.hpp"

namespace orvex::bench {

struct TypingFigures {
  std::string error;
  int typed = 0;
  int echoed = 0;
  double seconds = 0;  // from the first key to the end of the session's time
  double cpu_s = 0;    // the program's, over those seconds
};

struct KeyFigures {
  std::string error;
  int typed = 0;
  int echoed = 0;                      // came back to the terminal
  std::vector<double> key_to_frame_us;  // per key that was matched on the wire
  std::vector<double> echo_to_terminal_us;
  std::vector<double> key_to_echo_us;  // the whole way, at the terminal
  TypingFigures typing;                // error "not measured" when typing_s was 0
};

struct KeyPlacement {
  int program_cpu = 0;
  int radio_cpu = 1;
  int terminal_cpu = 1;  // the benchmark's own reading and writing
};

// `keys` typed one at a time for the latencies, then `typing_s` seconds of a
// key every `typing_interval_ms` (none when 0).
KeyFigures measure_keys(const std::string& ns_program, const std::string& dev_program, const std::string& ns_radio,
                        const std::string& dev_radio, WireCapture& capture, int keys, KeyPlacement placement,
                        double typing_s = 0, int typing_interval_ms = 100);

}  // namespace orvex::bench
