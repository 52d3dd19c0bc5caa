// Many radios: discovery with more radios answering at once than the table
// holds (599), run by the program's engine; and an update run (-u) of the real
// program over several radios, timed against the pauses the run itself
// prescribes.
#pragma once

#include <string>
#include <vector>

#include "bench/wire_capture.hpp"

namespace orvex::bench {

struct DiscoveryFigures {
  std::string error;
  int radios = 0;     // playing on the segment
  int listed = 0;     // in the table afterwards
  int distinct = 0;   // listed with an address of their own
  long requests = 0;  // discovery requests the program sent
  long answers = 0;   // identify responses that reached the program's interface
  double seconds = 0;       // the whole discovery
  double last_answer_s = 0;  // from the first request to the last response
};

DiscoveryFigures discover_many(const std::string& ns_program, const std::string& dev_program,
                               const std::string& ns_radio, const std::string& dev_radio, WireCapture& capture,
                               int radios, int program_cpu, int radio_cpu);

struct UpdateFigures {
  std::string error;
  int radios = 0;
  int updated = 0;
  double prescribed_s = 0;        // the pauses the run takes for each radio
  std::vector<double> radio_s;    // from one radio's start to the next's (the last: to the report)
  std::vector<double> overhead_ms;  // radio_s less the prescribed pauses
};

// Runs build/orvexterm -u FILE#main.bin#2#0#0 (load, make it the default
// program, disconnect) in the working directory, where `file` must be.
UpdateFigures update_run(const std::string& ns_program, const std::string& dev_program, const std::string& ns_radio,
                         const std::string& dev_radio, const std::string& store, const std::string& file, int radios,
                         int program_cpu, int radio_cpu);

}  // namespace orvex::bench
