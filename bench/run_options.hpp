// What one run of orvex-bench-transfer measures (its command line), and the
// lock that keeps two runs from overlapping: microsecond figures taken while
// another run loads the same CPUs mean nothing.
#pragma once

#include <string>

namespace orvex::bench {

// The groups of a run; a run without --only takes all but parallel (minutes
// of update runs of its own: only when named).
enum Group : unsigned {
  GROUP_TRANSFER = 1u << 0,  // the raw rows, the program's rows, the TFTP row
  GROUP_KEYS = 1u << 1,      // typed keys and their echo, the typing session
  GROUP_FLOOD = 1u << 2,     // a transfer on a flooded segment
  GROUP_SCALE = 1u << 3,     // discovery of 1000 radios
  GROUP_BATCH = 1u << 4,     // the update run's overhead
  ALL_GROUPS = (1u << 5) - 1,
  GROUP_PARALLEL = 1u << 5,  // update runs with --parallel

};

struct RunOptions {
  unsigned groups = ALL_GROUPS;
  long file_mib = 4;
  bool help = false;
  std::string error;  // a wrong command line: shown with the usage, status 2
};

RunOptions parse_run_options(int argc, char** argv);
std::string usage_text(const char* program);
// The names of the groups in `groups`, in the order they run.
std::string group_names(unsigned groups);

// An exclusive lock on a file under /run, held until the process ends; the
// file names the holder's process id.
class RunLock {
 public:
  static constexpr const char* PATH = "/run/orvex-bench.lock";
  RunLock() = default;
  ~RunLock();
  RunLock(const RunLock&) = delete;
  RunLock& operator=(const RunLock&) = delete;

  // Never waits: an empty text when taken, else why not.
  std::string take();

 private:
  int fd_ = -1;
};

}  // namespace orvex::bench
