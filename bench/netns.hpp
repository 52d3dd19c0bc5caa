// Network namespaces and veth pairs for the tests on a real link, created with
// iproute2 and removed again in every case (needs root), and the radio
// simulator run inside one of them.
#pragma once

#include <sys/resource.h>
#include <sys/types.h>

#include <atomic>
#include <string>
#include <vector>

#include "base/mac_address.hpp"

namespace orvex::bench {

// Runs a shell command with its output discarded; its exit status.
int run_quietly(const std::string& command);

// A veth pair: one end in each of two namespaces.
struct VethLink {
  std::string ns_a, dev_a, ns_b, dev_b;
};

// Namespaces and the veth pairs between them, all up; removed on destruction.
// Names should carry the process id so parallel runs never collide.
class NamespaceSet {
 public:
  NamespaceSet(std::vector<std::string> namespaces, std::vector<VethLink> links)
      : namespaces_(std::move(namespaces)), links_(std::move(links)) {}
  ~NamespaceSet() { remove(); }
  NamespaceSet(const NamespaceSet&) = delete;
  NamespaceSet& operator=(const NamespaceSet&) = delete;

  // False (with nothing left behind) when not root or a step fails. IPv6 is
  // off on the pair, so that nothing but what is measured travels.
  bool create();
  void remove();

  // Removes namespaces named `prefix` + process id left by a killed run.
  static void remove_stale(const std::vector<std::string>& prefixes);

 private:
  std::vector<std::string> namespaces_;
  std::vector<VethLink> links_;
};

// The address `ip link` shows for the interface.
MacAddress interface_address(const std::string& ns, const std::string& dev);

// Runs the calling thread in a namespace for the guard's lifetime. Sockets
// made meanwhile stay in that namespace.
class InNamespace {
 public:
  explicit InNamespace(const std::string& ns);
  ~InNamespace();
  InNamespace(const InNamespace&) = delete;
  InNamespace& operator=(const InNamespace&) = delete;
  bool entered() const { return entered_; }

 private:
  int home_ = -1;
  bool entered_ = false;
};

// Set by the benchmark's signal handler: every wait of the benchmark ends early.
std::atomic<bool>& stop_flag();

// Ties the calling thread to one CPU; false when the CPU is not there.
bool pin_to_cpu(int cpu);

// The command line that runs `argv` in namespace `ns` tied to `cpu`, ended by
// SIGKILL when the benchmark dies (iproute2, util-linux's setpriv and taskset;
// each execs the next, so the process id stays the program's).
std::vector<std::string> in_namespace_on_cpu(const std::string& ns, int cpu, std::vector<std::string> argv);

// A program the benchmark started, with its standard input and output as pipes
// (or reading nothing and its output discarded); stopped on destruction with SIGTERM, then SIGKILL.
// The ids of all running ones are kept so that an exit from anywhere can stop
// them before the namespaces go.
class ChildProcess {
 public:
  enum class Output { discard, pipe, discard_all };  // the last: standard error too
  explicit ChildProcess(const std::vector<std::string>& argv, Output output = Output::discard,
                        bool input_pipe = false);
  ~ChildProcess() { stop(); }
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  bool running();
  pid_t pid() const { return pid_; }
  bool write_line(const std::string& line);
  // The next line of its output without the line end; false when none came
  // within `timeout_s` or the output ended.
  bool read_line(std::string& line, double timeout_s);
  void signal(int number) const;
  // Waits at most `timeout_s` for the end; its exit status, or -1.
  int wait(double timeout_s);
  void stop();
  // What it used (wait4: CPU times, ru_maxrss), once it has ended.
  const rusage& usage() const { return usage_; }

  static void stop_all();  // for the exit path only

 private:
  pid_t pid_ = -1;
  int status_ = -1;
  rusage usage_{};
  int in_ = -1, out_ = -1;
  std::string pending_;
};

// The directory of the benchmark's own executable, and the build directory
// above it where orvexterm and orvex-radiosim are.
std::string bench_directory();
std::string build_directory();

// orvex-radiosim in a namespace, tied to `cpu`, its output discarded.
class SimulatorProcess : public ChildProcess {
 public:
  SimulatorProcess(const std::string& ns, int cpu, const std::vector<std::string>& args);
  static std::string binary_path();
};

}  // namespace orvex::bench
