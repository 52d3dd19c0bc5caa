// Network namespaces and veth pairs for the tests on a real link, created with
// iproute2 and removed again in every case (needs root), and the radio
// simulator run inside one of them.
#pragma once

#include <sys/types.h>

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

  // False (with nothing left behind) when not root or a step fails.
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

// orvex-radiosim (built beside the directory of the test programs) started
// in a namespace with its standard output discarded; stopped on destruction.
class SimulatorProcess {
 public:
  SimulatorProcess(const std::string& ns, const std::vector<std::string>& args);
  ~SimulatorProcess();
  SimulatorProcess(const SimulatorProcess&) = delete;
  SimulatorProcess& operator=(const SimulatorProcess&) = delete;
  bool running() const;

  static std::string binary_path();

 private:
  pid_t pid_ = -1;
};

}  // namespace orvex::bench
