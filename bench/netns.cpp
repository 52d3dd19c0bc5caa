#include "bench/netns.hpp"

#include <fcntl.h>
#include <sched.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <thread>

#include "base/address_text.hpp"

extern char** environ;

namespace orvex::bench {

int run_quietly(const std::string& command) { return std::system((command + " >/dev/null 2>&1").c_str()); }

bool NamespaceSet::create() {
  remove();
  if (geteuid() != 0) return false;
  std::vector<std::string> steps;
  for (const std::string& ns : namespaces_) steps.push_back("ip netns add " + ns);
  for (const VethLink& l : links_) {
    steps.push_back("ip link add " + l.dev_a + " netns " + l.ns_a + " type veth peer name " + l.dev_b + " netns " +
                    l.ns_b);
    steps.push_back("ip -n " + l.ns_a + " link set " + l.dev_a + " up");
    steps.push_back("ip -n " + l.ns_b + " link set " + l.dev_b + " up");
  }
  for (const std::string& s : steps) {
    if (run_quietly(s) != 0) {
      remove();
      return false;
    }
  }
  return true;
}

void NamespaceSet::remove() {
  for (const std::string& ns : namespaces_) run_quietly("ip netns del " + ns);
}

void NamespaceSet::remove_stale(const std::vector<std::string>& prefixes) {
  std::error_code error;
  for (const auto& e : std::filesystem::directory_iterator("/run/netns", error)) {
    const std::string name = e.path().filename().string();
    for (const std::string& prefix : prefixes) {
      if (name.size() <= prefix.size() || name.rfind(prefix, 0) != 0) continue;
      const std::string pid = name.substr(prefix.size());
      if (pid.find_first_not_of("0123456789") != std::string::npos) continue;
      if (!std::filesystem::exists("/proc/" + pid)) run_quietly("ip netns del " + name);
    }
  }
}

MacAddress interface_address(const std::string& ns, const std::string& dev) {
  std::string out;
  if (FILE* p = popen(("ip -n " + ns + " -o link show " + dev).c_str(), "r")) {
    char buf[512];
    while (std::fgets(buf, sizeof buf, p) != nullptr) out += buf;
    pclose(p);
  }
  const size_t at = out.find("link/ether ");
  MacAddress mac;
  if (at != std::string::npos) {
    std::string text = out.substr(at + 11, 17);
    std::transform(text.begin(), text.end(), text.begin(), ::toupper);
    parse_mac_text(text, mac);
  }
  return mac;
}

InNamespace::InNamespace(const std::string& ns) {
  home_ = open("/proc/self/ns/net", O_RDONLY | O_CLOEXEC);
  const int target = open(("/run/netns/" + ns).c_str(), O_RDONLY | O_CLOEXEC);
  entered_ = home_ >= 0 && target >= 0 && setns(target, CLONE_NEWNET) == 0;
  if (target >= 0) close(target);
}

InNamespace::~InNamespace() {
  if (entered_) setns(home_, CLONE_NEWNET);
  if (home_ >= 0) close(home_);
}

std::string SimulatorProcess::binary_path() {
  std::error_code error;
  const auto self = std::filesystem::read_symlink("/proc/self/exe", error);
  if (error) return {};
  return (self.parent_path().parent_path() / "orvex-radiosim").string();
}

SimulatorProcess::SimulatorProcess(const std::string& ns, const std::vector<std::string>& args) {
  const std::string binary = binary_path();
  if (binary.empty() || !std::filesystem::exists(binary)) return;
  std::vector<std::string> argv = {"ip", "netns", "exec", ns, binary};
  argv.insert(argv.end(), args.begin(), args.end());
  std::vector<char*> raw;
  for (std::string& a : argv) raw.push_back(a.data());
  raw.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
  if (posix_spawnp(&pid_, "ip", &actions, nullptr, raw.data(), environ) != 0) pid_ = -1;
  posix_spawn_file_actions_destroy(&actions);
}

SimulatorProcess::~SimulatorProcess() {
  if (pid_ <= 0) return;
  kill(pid_, SIGTERM);
  for (int i = 0; i < 200; ++i) {  // at most two seconds
    if (waitpid(pid_, nullptr, WNOHANG) == pid_) return;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  kill(pid_, SIGKILL);
  waitpid(pid_, nullptr, 0);
}

bool SimulatorProcess::running() const { return pid_ > 0 && waitpid(pid_, nullptr, WNOHANG) == 0; }

}  // namespace orvex::bench
