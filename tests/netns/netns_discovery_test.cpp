// Discovery through the real adapter layer: the program's end of a veth pair in
// one network namespace, orvex-radiosim playing three radios on the other end
// in a second one. The namespaces (names start with ox5) are created and
// removed by the test. Needs root and the simulator beside the test programs.
#include <fcntl.h>
#include <sched.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "app/terminate.hpp"
#include "cmdline/settings.hpp"
#include "discovery/discover.hpp"
#include "link/adapters.hpp"
#include "link/frame_io.hpp"
#include "protocol/session_table.hpp"
#include "tests/support/test_state.hpp"

extern char** environ;

namespace orvex::test {
namespace {

int run_quietly(const std::string& command) { return std::system((command + " >/dev/null 2>&1").c_str()); }

// Two namespaces joined by one veth pair; names carry the process id.
struct Link {
  std::string suffix = std::to_string(getpid() % 1000000);
  std::string ns_program = "ox5p-" + suffix, ns_radios = "ox5r-" + suffix;
  std::string dev_program = "ox5p" + suffix, dev_radios = "ox5r" + suffix;

  bool create() {
    remove();
    const std::vector<std::string> steps = {
        "ip netns add " + ns_program,
        "ip netns add " + ns_radios,
        "ip link add " + dev_program + " netns " + ns_program + " type veth peer name " + dev_radios + " netns " +
            ns_radios,
        "ip -n " + ns_program + " link set " + dev_program + " up",
        "ip -n " + ns_radios + " link set " + dev_radios + " up",
    };
    for (const std::string& s : steps) {
      if (run_quietly(s) != 0) {
        remove();
        return false;
      }
    }
    return true;
  }
  void remove() {
    run_quietly("ip netns del " + ns_program);
    run_quietly("ip netns del " + ns_radios);
  }
  // Namespaces left by an earlier run that was killed (its process is gone).
  static void remove_stale() {
    std::error_code error;
    for (const auto& e : std::filesystem::directory_iterator("/run/netns", error)) {
      const std::string name = e.path().filename().string();
      if (name.size() < 6 || (name.rfind("ox5p-", 0) != 0 && name.rfind("ox5r-", 0) != 0)) continue;
      const std::string pid = name.substr(5);
      if (pid.find_first_not_of("0123456789") != std::string::npos) continue;
      if (!std::filesystem::exists("/proc/" + pid)) run_quietly("ip netns del " + name);
    }
  }
};

// The calling thread works in the namespace while the guard lives.
class InNamespace {
 public:
  explicit InNamespace(const std::string& ns) {
    home_ = open("/proc/self/ns/net", O_RDONLY | O_CLOEXEC);
    const int target = open(("/run/netns/" + ns).c_str(), O_RDONLY | O_CLOEXEC);
    entered_ = home_ >= 0 && target >= 0 && setns(target, CLONE_NEWNET) == 0;
    if (target >= 0) close(target);
  }
  ~InNamespace() {
    if (entered_) setns(home_, CLONE_NEWNET);
    if (home_ >= 0) close(home_);
  }
  InNamespace(const InNamespace&) = delete;
  InNamespace& operator=(const InNamespace&) = delete;
  bool entered() const { return entered_; }

 private:
  int home_ = -1;
  bool entered_ = false;
};

// The simulator is built beside the directory of the test programs.
std::string simulator_path() {
  std::error_code error;
  const auto self = std::filesystem::read_symlink("/proc/self/exe", error);
  if (error) return {};
  return (self.parent_path().parent_path() / "orvex-radiosim").string();
}

// orvex-radiosim started in a namespace; stopped by its process id.
class Simulator {
 public:
  Simulator(const std::string& ns, const std::vector<std::string>& args) {
    std::vector<std::string> argv = {"ip", "netns", "exec", ns, simulator_path()};
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
  ~Simulator() {
    if (pid_ <= 0) return;
    kill(pid_, SIGTERM);
    for (int i = 0; i < 200; ++i) {  // at most two seconds
      if (waitpid(pid_, nullptr, WNOHANG) == pid_) return;
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
  }
  Simulator(const Simulator&) = delete;
  Simulator& operator=(const Simulator&) = delete;
  bool running() const { return pid_ > 0 && waitpid(pid_, nullptr, WNOHANG) == 0; }

 private:
  pid_t pid_ = -1;
};

Link* g_link = nullptr;
bool g_created = false;

class NetnsDiscoveryTest : public OrvexTest {
 protected:
  static void SetUpTestSuite() {
    g_link = new Link;
    if (geteuid() == 0) Link::remove_stale();
    g_created = geteuid() == 0 && std::filesystem::exists(simulator_path()) && g_link->create();
  }
  static void TearDownTestSuite() {
    if (g_created) g_link->remove();
    delete g_link;
    g_link = nullptr;
  }
  void SetUp() override {
    if (!g_created) GTEST_SKIP() << "needs root, iproute2 and orvex-radiosim beside the test programs";
    OrvexTest::SetUp();
    catcher_ = std::make_unique<TerminationCatcher>();
  }
  void TearDown() override {
    if (!g_created) return;
    catcher_.reset();
    OrvexTest::TearDown();
  }
  std::unique_ptr<TerminationCatcher> catcher_;
};

TEST_F(NetnsDiscoveryTest, FindsTheSimulatedRadiosAndPrintsTheirRows) {
  Simulator radios(g_link->ns_radios, {"-i", g_link->dev_radios, "-q",
                                       "-r", "mac=02:7A:41:00:00:11,name=North,level=2,firmware=OR-2.4.1",
                                       "-r", "mac=02:7A:41:00:01:00,name=Quarry-level-one,level=1",
                                       "-r", "mac=02:7A:41:01:00:00,name=Old,level=0"});
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  ASSERT_TRUE(radios.running());

  InNamespace in(g_link->ns_program);
  ASSERT_TRUE(in.entered());
  std::string opened;
  int id = -100;
  opened = capture_stdout([&] { id = select_adapter(); });
  ASSERT_GE(id, 0) << opened;

  int found = 0;
  const std::string out = capture_stdout([&] { found = discover_radios(); });
  close_adapter();
  ASSERT_EQ(found, 3) << out;

  const std::string headline = "\nDiscovery of local devices in progress ...\n";
  ASSERT_EQ(out.rfind(headline, 0), 0u) << out;
  // The radios answer in an order of their own: each row is checked with the
  // node number its radio was given.
  struct Expected {
    MacAddress mac;
    const char* row;  // %03d: the node number
    uint8_t level;
  };
  const Expected radios_expected[] = {
      {{{0x02, 0x7A, 0x41, 0x00, 0x00, 0x11}},
       "\xFE %03d  \xFE North             \xFE 02:7A:41:00:00:11 \xFE 17 \xFE OR-2.4.1        \n", 2},
      {{{0x02, 0x7A, 0x41, 0x00, 0x01, 0x00}},
       "\xFE %03d  \xFE Quarry-level-one  \xFE 02:7A:41:00:01:00 \xFE 256 \xFE                 \n", 1},
      {{{0x02, 0x7A, 0x41, 0x01, 0x00, 0x00}},
       "\xFE %03d  \xFE Old               \xFE 02:7A:41:01:00:00 \xFE 65536 \xFE                 \n", 0},
  };
  std::string rows;
  for (int index = 1; index <= 3; ++index) {
    const Session& s = session_table()[index];
    bool known = false;
    for (const Expected& e : radios_expected) {
      if (s.mac != e.mac) continue;
      known = true;
      char row[160];
      std::snprintf(row, sizeof row, e.row, index);
      rows += row;
      EXPECT_EQ(s.protocol_level, e.level);
      EXPECT_EQ(s.state, SESSION_FOUND);
    }
    EXPECT_TRUE(known) << "entry " << index;
  }
  EXPECT_EQ(out, headline + rows);
  EXPECT_EQ(session_table()[0].state, SESSION_EMPTY);
  EXPECT_EQ(session_table()[4].state, SESSION_EMPTY);
}

}  // namespace
}  // namespace orvex::test
