// Update runs that work on several radios at once (--parallel N): the time a
// radio against the run one radio after the other, all 599 radios the table
// holds in one run, and 16 file transfers at the same time against one alone.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

#include "bench/wire_capture.hpp"

namespace orvex::bench {

// Where the rows run: the program's end and the radios' end of the veth pair,
// the CPU each end is tied to, and a scratch folder (the working directory)
// that holds the source files.
struct ParallelSetup {
  std::string ns_program, dev_program, ns_radio, dev_radio;
  int program_cpu = 0, radio_cpu = 1;
  std::string scratch;
};

// One run of build/orvexterm over simulated radios.
struct BatchRun {
  std::string error;  // empty when the run ended by itself with every radio updated
  int radios = 0;     // the run was to reach
  int updated = 0;    // "ok" in the report's totals
  int status = -1;    // the exit status (--exit-status)
  double wall_s = 0;
  double cpu_s = 0, user_s = 0, sys_s = 0;  // the program's (wait4)
  long max_rss_kib = 0;
  double simulator_cpu_s = 0;
};

// The download phase of the concurrent transfers, from the kernel's time
// stamps on the program's interface.
struct TransferPhase {
  std::string error;
  double seconds = 0;          // the first file block of any radio to the last of any
  int64_t first_ns = 0, last_ns = 0;  // those two, CLOCK_REALTIME
  double median_radio_s = 0;   // each radio's own first to last block
  int radios_seen = 0;         // radios whose blocks were seen
  bool files_same = false;     // every stored copy is the source, byte for byte
  double program_cpu_share = 0;    // CPU seconds per second over the phase
  double busiest_thread_share = 0;  // the program's busiest thread alone
  double simulator_cpu_share = 0;
  double mb_s(int transfers, size_t file_size) const {
    return seconds > 0 ? transfers * static_cast<double>(file_size) / seconds / 1e6 : 0;
  }
};

struct ParallelFigures {
  BatchRun sequential;  // --parallel 1 over 10 of 100 radios
  BatchRun parallel;    // --parallel 20 over all 100
  BatchRun all_599;     // --parallel 64 over 599
  BatchRun transfers_run, alone_run;
  TransferPhase transfers, alone;  // 16 radios with --parallel 16; one radio alone
  double speedup() const;          // sequential per radio / parallel per radio; 0 when either failed
};

constexpr int SPEEDUP_SEQUENTIAL_RADIOS = 10, SPEEDUP_RADIOS = 100, SPEEDUP_PARALLEL = 20;
constexpr int MOST_RADIOS = 599, MOST_PARALLEL = 64;
constexpr int TRANSFERS = 16;
constexpr size_t PARALLEL_SMALL_FILE = 32 * 1024;
constexpr size_t PARALLEL_LARGE_FILE = 4u << 20;

// Runs the three rows (each bounded in time; the simulator and the program
// are stopped on every way out) and prints what they measured.
ParallelFigures run_parallel_rows(const ParallelSetup& setup, WireCapture& capture, std::FILE* out);

}  // namespace orvex::bench
