// A file served to the radio simulator over the real adapter layer, on a veth
// pair between two network namespaces that the test creates (names start with
// oxc) and removes again. The engine is driven directly. Needs root.
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
#include "tests/support/netns.hpp"
#include "tests/support/test_state.hpp"

namespace orvex::test {
namespace {

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
  const std::string suffix = std::to_string(getpid() % 1000000);
  const std::string ns_program = "oxcp-" + suffix, ns_radio = "oxcr-" + suffix;
  const std::string dev_program = "oxcp" + suffix, dev_radio = "oxcr" + suffix;
  NamespaceSet pair({ns_program, ns_radio}, {{ns_program, dev_program, ns_radio, dev_radio}});
  ASSERT_TRUE(pair.create()) << "the veth pair could not be made";
  std::string content(300 * 1000 + 17, '\0');
  for (size_t i = 0; i < content.size(); ++i) content[i] = static_cast<char>((i * 131 + i / 977) & 0xFF);
  {
    std::ofstream out("fw", std::ios::binary);
    out.write(content.data(), static_cast<std::streamsize>(content.size()));
  }
  SimulatorProcess simulator(ns_radio, {"-i", dev_radio, "-s", (scratch_ / "store").string(), "-q", "-r",
                                        "mac=02:7A:41:00:00:01,name=Sim,level=2"});
  ASSERT_TRUE(simulator.running());
  std::this_thread::sleep_for(std::chrono::milliseconds(300));

  int adapter = -1;
  {
    InNamespace in(ns_program);
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
