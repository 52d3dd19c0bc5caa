// A file served to the radio simulator over the real adapter layer, on a veth
// pair between two network namespaces that the test creates (names start with
// ox6) and removes again. The engine is driven directly. Needs root.
#include <fcntl.h>
#include <sched.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

#include "discovery/discover.hpp"
#include "link/adapters.hpp"
#include "link/frame_io.hpp"
#include "protocol/connect.hpp"
#include "protocol/dispatch.hpp"
#include "protocol/epacket.hpp"
#include "protocol/session_events.hpp"
#include "protocol/session_table.hpp"
#include "protocol/transfer.hpp"
#include "tests/support/engine_fixture.hpp"
#include "tests/support/test_state.hpp"

namespace orvex::test {
namespace {

int run_quietly(const std::string& command) { return std::system((command + " >/dev/null 2>&1").c_str()); }

// Two namespaces joined by one veth pair; removed again in every case.
struct VethPair {
  std::string suffix = std::to_string(getpid() % 1000000);
  std::string ns_program = "ox6p-" + suffix, ns_radio = "ox6r-" + suffix;
  std::string dev_program = "ox6p" + suffix, dev_radio = "ox6r" + suffix;
  bool created = false;

  VethPair() {
    remove();
    created = run_quietly("ip netns add " + ns_program) == 0 && run_quietly("ip netns add " + ns_radio) == 0 &&
              run_quietly("ip link add " + dev_program + " netns " + ns_program + " type veth peer name " +
                          dev_radio + " netns " + ns_radio) == 0 &&
              run_quietly("ip -n " + ns_program + " link set " + dev_program + " up") == 0 &&
              run_quietly("ip -n " + ns_radio + " link set " + dev_radio + " up") == 0;
    if (!created) remove();
  }
  ~VethPair() { remove(); }
  void remove() {
    run_quietly("ip netns del " + ns_program);
    run_quietly("ip netns del " + ns_radio);
  }
};

// Runs the radio simulator in the radio's namespace until destroyed.
class Simulator {
 public:
  Simulator(const VethPair& pair, const std::filesystem::path& store) {
    const std::filesystem::path binary =
        std::filesystem::read_symlink("/proc/self/exe").parent_path().parent_path() / "orvex-radiosim";
    if (!std::filesystem::exists(binary)) return;
    pid_ = fork();
    if (pid_ == 0) {
      const int null = open("/dev/null", O_WRONLY);
      if (null >= 0) {
        dup2(null, STDOUT_FILENO);
        dup2(null, STDERR_FILENO);
      }
      execlp("ip", "ip", "netns", "exec", pair.ns_radio.c_str(), binary.c_str(), "-i", pair.dev_radio.c_str(),
             "-s", store.c_str(), "-q", "-r", "mac=02:7A:41:00:00:01,name=Sim,level=2", static_cast<char*>(nullptr));
      _exit(127);
    }
  }
  ~Simulator() {
    if (pid_ <= 0) return;
    kill(pid_, SIGTERM);
    for (int i = 0; i < 50; ++i) {
      if (waitpid(pid_, nullptr, WNOHANG) == pid_) return;
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
  }
  Simulator(const Simulator&) = delete;
  Simulator& operator=(const Simulator&) = delete;
  bool running() const { return pid_ > 0; }

 private:
  pid_t pid_ = -1;
};

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

std::string read_all(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

class NetnsTransferTest : public OrvexTest {
 protected:
  void SetUp() override {
    if (geteuid() != 0) GTEST_SKIP() << "needs root for network namespaces and raw frames";
    OrvexTest::SetUp();
    reset_transfer_state();
    reset_dispatch_state();
    previous_ = std::filesystem::current_path();
    std::string pattern = (std::filesystem::temp_directory_path() / "orvex-veth-XXXXXX").string();
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    scratch_ = pattern;
    std::filesystem::current_path(scratch_);
    std::filesystem::create_directories(scratch_ / "store");
    if (isatty(STDIN_FILENO) != 0) {
      ASSERT_NE(std::freopen("/dev/null", "r", stdin), nullptr);
    }
  }
  void TearDown() override {
    if (scratch_.empty()) return;
    std::filesystem::current_path(previous_);
    std::error_code ignored;
    std::filesystem::remove_all(scratch_, ignored);
    reset_transfer_state();
    OrvexTest::TearDown();
  }

  std::filesystem::path previous_;
  std::filesystem::path scratch_;
};

TEST_F(NetnsTransferTest, TheRadioSimulatorDownloadsAFileThatArrivesByteIdentical) {
  TerminationCatcher catcher;
  VethPair pair;
  ASSERT_TRUE(pair.created) << "the veth pair could not be made";
  std::string content(300 * 1000 + 17, '\0');
  for (size_t i = 0; i < content.size(); ++i) content[i] = static_cast<char>((i * 131 + i / 977) & 0xFF);
  {
    std::ofstream out("fw", std::ios::binary);
    out.write(content.data(), static_cast<std::streamsize>(content.size()));
  }
  Simulator simulator(pair, scratch_ / "store");
  ASSERT_TRUE(simulator.running());
  std::this_thread::sleep_for(std::chrono::milliseconds(300));

  int adapter = -1;
  {
    InNamespace in(pair.ns_program);
    ASSERT_TRUE(in.entered());
    capture_stdout([&] { adapter = select_adapter(); });
  }
  ASSERT_GE(adapter, 0);

  int found = 0;
  capture_stdout([&] { found = discover_radios(); });
  ASSERT_EQ(found, 1);
  ASSERT_EQ(connect_session(1), 1);

  renew_session_events();
  const std::string printed = capture_stdout([&] {
    EngineThreads engine(1);
    const std::string command = "download fw fw.out\n";
    ASSERT_EQ(ESend(session_table()[1], reinterpret_cast<const uint8_t*>(command.data()),
                    static_cast<int>(command.size())),
              1);
    bool done = false;
    for (int i = 0; i < 30 && !done; ++i) done = session_events().transfer_done_event.wait(1000);
    EXPECT_TRUE(done);
    // The radio stores the file once its last block is in.
    const std::filesystem::path stored = scratch_ / "store" / "Sim" / "fw.out";
    for (int i = 0; i < 100 && read_all(stored).size() != content.size(); ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    EXPECT_TRUE(read_all(stored) == content) << "the stored file differs";
    engine.stop();
  });
  EXPECT_NE(printed.find("The requested file [fw] was opened successfully"), std::string::npos) << printed;
  EXPECT_NE(printed.find("(100% completed)]\n"), std::string::npos) << printed;
  close_adapter();
}

}  // namespace
}  // namespace orvex::test
