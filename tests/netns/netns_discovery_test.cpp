// Discovery through the real adapter layer: the program's end of a veth pair in
// one network namespace, orvex-radiosim playing three radios on the other end
// in a second one. The namespaces (names start with oxcd and oxce) are created and
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
#include "tests/support/netns.hpp"
#include "tests/support/test_state.hpp"

namespace orvex::test {
namespace {

// Two namespaces joined by one veth pair; names carry the process id.
struct Link {
  std::string suffix = std::to_string(getpid() % 1000000);
  std::string ns_program = "oxcd-" + suffix, ns_radios = "oxce-" + suffix;
  std::string dev_program = "oxcd" + suffix, dev_radios = "oxce" + suffix;
  NamespaceSet set{{ns_program, ns_radios}, {{ns_program, dev_program, ns_radios, dev_radios}}};
};

Link* g_link = nullptr;
bool g_created = false;

class NetnsDiscoveryTest : public OrvexTest {
 protected:
  static void SetUpTestSuite() {
    g_link = new Link;
    if (geteuid() == 0) NamespaceSet::remove_stale({"oxcd-", "oxce-"});
    g_created = std::filesystem::exists(SimulatorProcess::binary_path()) && g_link->set.create();
  }
  static void TearDownTestSuite() {
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
  SimulatorProcess radios(g_link->ns_radios, {"-i", g_link->dev_radios, "-q",
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
