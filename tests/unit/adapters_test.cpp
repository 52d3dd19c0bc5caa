#include "link/adapters.hpp"

#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdio>

#include "base/settings.hpp"
#include "link/frame_io.hpp"
#include "tests/support/fake_platform.hpp"
#include "tests/support/test_state.hpp"

namespace orvex::test {
namespace {

const MacAddress MAC_A = mac_of(0x00, 0x11, 0x22, 0x33, 0x44, 0x01);
const MacAddress MAC_B = mac_of(0x00, 0x11, 0x22, 0x33, 0x44, 0x02);

const char* HOST_LINE = " Local host is bench, running under Linux 6.1.0\n";
const char* LIST =
    " More than one ethernet adapters were found:\n"
    "---> Adapter Id:0 - MAC: 00:11:22:33:44:01 [eth0]\n"
    "---> Adapter Id:1 - MAC: 00:11:22:33:44:02 [eth1]\n";
const char* PROMPT = "\nSelect the Id of the adapter you wish to open : ";

class AdapterChoiceTest : public OrvexTest {
 protected:
  void SetUp() override {
    OrvexTest::SetUp();
    catcher_ = std::make_unique<TerminationCatcher>();
    // A fatal message waits for a key on a terminal; tests never wait.
    if (isatty(STDIN_FILENO) != 0) {
      ASSERT_NE(std::freopen("/dev/null", "r", stdin), nullptr);
    }
  }
  void TearDown() override {
    if (reply_ != nullptr) std::fclose(reply_);
    catcher_.reset();
    OrvexTest::TearDown();
  }

  // Loopback first and an interface that is down: neither is an adapter.
  void two_adapters() {
    capture.add("lo", mac_of(0, 0, 0, 0, 0, 0)).loopback = true;
    capture.add("eth0", MAC_A);
    capture.add("eth5", mac_of(0, 0x11, 0x22, 0x33, 0x44, 0x05)).up = false;
    capture.add("eth1", MAC_B);
  }

  void reply(const std::string& text) {
    if (reply_ != nullptr) std::fclose(reply_);
    reply_ = fmemopen(nullptr, 256, "w+");
    std::fputs(text.c_str(), reply_);
    std::rewind(reply_);
    set_adapter_reply_input(reply_);
  }

  // Runs select_adapter; the process status when it ended the process.
  std::string run(int& result, int& exit_status) {
    result = -100;
    exit_status = -100;
    return capture_stdout([&] {
      try {
        result = select_adapter();
      } catch (const ProcessExit& e) {
        exit_status = e.status;
      }
    });
  }

  FakeHostInfo host;
  FakePacketCapture capture;
  std::FILE* reply_ = nullptr;
  std::unique_ptr<TerminationCatcher> catcher_;
};

TEST_F(AdapterChoiceTest, OneUsableOpensDirectlyAndLoopbackIsNeverProbed) {
  capture.add("lo", mac_of(0, 0, 0, 0, 0, 0)).loopback = true;
  capture.add("eth0", MAC_A);
  int result, status;
  const std::string out = run(result, status);
  EXPECT_EQ(result, 0);
  EXPECT_EQ(out, std::string(HOST_LINE) + "Opening eth0 [MAC 00:11:22:33:44:01] ...\n");
  EXPECT_EQ(local_mac_address(), MAC_A);
  EXPECT_TRUE(adapter_attached());
  EXPECT_EQ(capture.opened, (std::vector<std::string>{"eth0", "eth0"}));
}

// The Ids count only the adapters listed; -c takes them, and a reply without
// a number tries Id 1.
TEST_F(AdapterChoiceTest, ChoiceByOptionAndReply) {
  struct Case {
    int option;
    const char* replies;
    const char* tail;
    int result;
  };
  const Case cases[] = {
      {1, "", "Opening eth1 [MAC 00:11:22:33:44:02] ...\nSuccessfully opened adapter number 1\n", 1},
      {2, "0\n", "Failed to open adapter number 2\n%sOpening eth0 [MAC 00:11:22:33:44:01] ...\n", 0},
      {-1, "abc\n", "%sOpening eth1 [MAC 00:11:22:33:44:02] ...\n", 1},
      {-1, "", "%sOpening eth1 [MAC 00:11:22:33:44:02] ...\n", 1},
      {-1, "7\n99999999999999999999\n 0 and more\n",
       "%s\nInvalid number. Does not correspond to an ethernet adapter. Please try again\n"
       "%s\nInvalid number. Does not correspond to an ethernet adapter. Please try again\n"
       "%sOpening eth0 [MAC 00:11:22:33:44:01] ...\n",
       0},
  };
  for (const Case& c : cases) {
    reset_all_state();
    two_adapters();
    program_options().adapter_number = c.option;
    reply(c.replies);
    int result, status;
    const std::string out = run(result, status);
    capture.interfaces.clear();
    std::string tail = c.tail;
    for (size_t at; (at = tail.find("%s")) != std::string::npos;) tail.replace(at, 2, PROMPT);
    EXPECT_EQ(result, c.result) << c.replies;
    EXPECT_EQ(out, std::string(HOST_LINE) + LIST + tail) << c.replies;
  }
}

TEST_F(AdapterChoiceTest, EndedInputMakesIdOneTheLastTry) {
  // Id 1 did not open, so the one try after the input ended fails.
  capture.add("eth0", MAC_A);
  capture.add("eth2", mac_of(0, 0x11, 0x22, 0x33, 0x44, 0x09));
  capture.add("eth1", MAC_B);
  capture.open_errors["eth2"] = 19;
  reply("7\n");
  int result, status;
  const std::string out = run(result, status);
  EXPECT_EQ(result, -1);
  EXPECT_NE(out.find("Unable to open the driver [eth2], Error Code : 13\n"), std::string::npos) << out;
  EXPECT_NE(out.find(std::string("Please try again\n") + PROMPT +
                     "\nInvalid number. Does not correspond to an ethernet adapter. "
                     "\nNo adapter was chosen: standard input has ended.\n"),
            std::string::npos)
      << out;
}

TEST_F(AdapterChoiceTest, RefusedRawAccessIsExplainedOnce) {
  capture.add("eth0", MAC_A);
  capture.add("eth1", MAC_B);
  capture.open_errors = {{"eth0", 1}, {"eth1", 1}};
  int result, status;
  const std::string out = run(result, status);
  EXPECT_EQ(status, 255);
  EXPECT_EQ(out, std::string(HOST_LINE) +
                     "Unable to open the driver [eth0], Error Code : 1\n"
                     "Raw Ethernet access needs root or the CAP_NET_RAW capability.\n"
                     "Unable to open the driver [eth1], Error Code : 1\n"
                     "Sorry, no ethernet adapters found! \nPlease check your configuration again\n");
}

TEST_F(AdapterChoiceTest, NoAddressAndUnreadableList) {
  capture.add("eth0", mac_of(0, 0, 0, 0, 0, 0));
  int result, status;
  std::string out = run(result, status);
  EXPECT_EQ(result, -1);
  EXPECT_EQ(out, std::string(HOST_LINE) +
                     "Sorry, no ethernet adapters found!\nDid you install libpcap ?\n"
                     "Please check your configuration again\n");
  reset_all_state();
  capture.fail_list = true;
  host.name_ok = false;
  out = run(result, status);
  EXPECT_EQ(status, 0);
  EXPECT_EQ(out, " Local host is WinOS_0_???, running under Linux 6.1.0\nError in PacketGetAdapterName - 5\n");
}

}  // namespace
}  // namespace orvex::test
