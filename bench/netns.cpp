#include "bench/netns.hpp"

#include <fcntl.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <thread>
#include <utility>

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
    for (const auto& [ns, dev] : {std::pair{l.ns_a, l.dev_a}, std::pair{l.ns_b, l.dev_b}}) {
      steps.push_back("ip netns exec " + ns + " sysctl -qw net.ipv6.conf." + dev + ".disable_ipv6=1");
      steps.push_back("ip -n " + ns + " link set " + dev + " up");
    }
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

std::atomic<bool>& stop_flag() {
  static std::atomic<bool> stop{false};
  return stop;
}

bool pin_to_cpu(int cpu) {
  cpu_set_t set;
  CPU_ZERO(&set);
  CPU_SET(cpu, &set);
  return sched_setaffinity(0, sizeof set, &set) == 0;
}

std::vector<std::string> in_namespace_on_cpu(const std::string& ns, int cpu, std::vector<std::string> argv) {
  // Killed with the benchmark, should it be killed itself (setpriv --pdeathsig).
  std::vector<std::string> all = {"ip",  "netns", "exec",      ns, "setpriv", "--pdeathsig", "KILL",
                                  "taskset", "-c",    std::to_string(cpu)};
  all.insert(all.end(), argv.begin(), argv.end());
  return all;
}

namespace {

constexpr size_t MAX_CHILDREN = 16;
std::atomic<pid_t> g_children[MAX_CHILDREN];

void note_child(pid_t pid, pid_t replaced) {
  for (auto& slot : g_children) {
    pid_t expected = replaced;
    if (slot.compare_exchange_strong(expected, pid)) return;
  }
}

double now_s() { return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count(); }

}  // namespace

ChildProcess::ChildProcess(const std::vector<std::string>& argv, Output output, bool input_pipe) {
  int to_child[2] = {-1, -1}, from_child[2] = {-1, -1};
  if (input_pipe && pipe2(to_child, O_CLOEXEC) != 0) return;
  if (output == Output::pipe && pipe2(from_child, O_CLOEXEC) != 0) return;
  std::vector<std::string> copy = argv;
  std::vector<char*> raw;
  for (std::string& a : copy) raw.push_back(a.data());
  raw.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  if (input_pipe) {
    posix_spawn_file_actions_adddup2(&actions, to_child[0], STDIN_FILENO);
  } else {
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
  }
  if (output == Output::pipe) {
    posix_spawn_file_actions_adddup2(&actions, from_child[1], STDOUT_FILENO);
  } else {
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
  }
  if (output == Output::discard_all) posix_spawn_file_actions_adddup2(&actions, STDOUT_FILENO, STDERR_FILENO);
  if (posix_spawnp(&pid_, raw[0], &actions, nullptr, raw.data(), environ) != 0) pid_ = -1;
  posix_spawn_file_actions_destroy(&actions);
  if (input_pipe) {
    close(to_child[0]);
    in_ = to_child[1];
  }
  if (output == Output::pipe) {
    close(from_child[1]);
    out_ = from_child[0];
  }
  if (pid_ > 0) note_child(pid_, 0);
}

bool ChildProcess::running() { return pid_ > 0 && wait(0) < 0; }

bool ChildProcess::write_line(const std::string& line) {
  const std::string text = line + "\n";
  return in_ >= 0 && ::write(in_, text.data(), text.size()) == static_cast<ssize_t>(text.size());
}

bool ChildProcess::read_line(std::string& line, double timeout_s) {
  const double deadline = now_s() + timeout_s;
  for (;;) {
    const size_t end = pending_.find('\n');
    if (end != std::string::npos) {
      line = pending_.substr(0, end);
      pending_.erase(0, end + 1);
      return true;
    }
    const double left = deadline - now_s();
    if (out_ < 0 || left <= 0 || stop_flag().load()) return false;
    pollfd p{out_, POLLIN, 0};
    if (::poll(&p, 1, static_cast<int>(std::min(left, 0.1) * 1000) + 1) <= 0) continue;
    char chunk[4096];
    const ssize_t n = ::read(out_, chunk, sizeof chunk);
    if (n <= 0) return false;
    pending_.append(chunk, static_cast<size_t>(n));
  }
}

void ChildProcess::signal(int number) const {
  if (pid_ > 0 && status_ < 0) kill(pid_, number);
}

int ChildProcess::wait(double timeout_s) {
  if (pid_ <= 0) return -1;
  for (int i = 0; status_ < 0 && i <= static_cast<int>(timeout_s * 100); ++i) {
    int status = 0;
    if (wait4(pid_, &status, WNOHANG, &usage_) == pid_) {
      status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
      note_child(0, pid_);
      break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return status_;
}

void ChildProcess::stop() {
  if (in_ >= 0) close(in_);
  in_ = -1;
  if (pid_ > 0 && status_ < 0) {
    kill(pid_, SIGTERM);
    if (wait(2.0) < 0) {
      kill(pid_, SIGKILL);
      wait(5.0);
    }
  }
  if (out_ >= 0) close(out_);
  out_ = -1;
}

void ChildProcess::stop_all() {
  for (auto& slot : g_children) {
    const pid_t pid = slot.exchange(0);
    if (pid > 0) kill(pid, SIGKILL);
  }
}

std::string bench_directory() {
  std::error_code error;
  const auto self = std::filesystem::read_symlink("/proc/self/exe", error);
  return error ? std::string() : self.parent_path().string();
}

std::string build_directory() {
  const std::string dir = bench_directory();
  return dir.empty() ? dir : std::filesystem::path(dir).parent_path().string();
}

std::string SimulatorProcess::binary_path() { return build_directory() + "/orvex-radiosim"; }

SimulatorProcess::SimulatorProcess(const std::string& ns, int cpu, const std::vector<std::string>& args)
    : ChildProcess([&] {
        std::vector<std::string> argv = {binary_path()};
        argv.insert(argv.end(), args.begin(), args.end());
        return in_namespace_on_cpu(ns, cpu, argv);
      }()) {}

}  // namespace orvex::bench
