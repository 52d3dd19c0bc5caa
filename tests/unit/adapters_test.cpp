#include "link/adapters.hpp"

#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdio>

#include "cmdline/address_text.hpp"
#include "app/terminate.hpp"
#include "cmdline/settings.hpp"
#include "link/frame_io.hpp"
#include "link/host_state.hpp"
#include "tests/support/fake_platform.hpp"
#include "tests/support/test_state.hpp"

namespace orvex::test {
namespace {

const MacAddress MAC_A = mac_of(0x00, 0x11, 0x22, 0x33, 0x44, 0x01);
const MacAddress MAC_B = mac_of(0x00, 0x11, 0x22, 0x33, 0x44, 0x02);
const MacAddress MAC_C = mac_of(0x00, 0x11, 0x22, 0x33, 0x44, 0x03);

const char* HOST_LINES =
    "Use this version of ORVEX only on Windows95 or WIndows98\n"
    " Local host is bench, running under Linux 6.1.0\n";

// Adapters of a Linux host: the status list holds the usable ones in order.
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

  // Names, and which of them are Ethernet; each Ethernet one gets the next
  // LANA number and address.
  void adapters(const std::vector<std::pair<std::string, bool>>& list) {
    std::vector<std::string> names;
    const MacAddress macs[] = {MAC_A, MAC_B, MAC_C};
    uint8_t lana = 0;
    for (const auto& [name, ethernet] : list) {
      names.push_back(name);
      library.adapter(name).link_type = ethernet ? MEDIUM_802_3 : 0x10304;
      if (ethernet) {
        network.lanas.push_back(lana);
        network.statuses[lana] = macs[lana];
        library.adapter(name).vendor = std::array<uint8_t, 3>{0x00, 0x11, 0x22};
        ++lana;
      }
    }
    library.set_names(names);
  }

  void reply(const std::string& text) {
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
  FakePacketLibrary library;
  FakeHostNetwork network;
  std::FILE* reply_ = nullptr;
  std::unique_ptr<TerminationCatcher> catcher_;
};

TEST_F(AdapterChoiceTest, OneUsableAmongSeveralOpensDirectly) {
  adapters({{"lo", false}, {"eth0", true}, {"wlan-mon", false}});
  int result, status;
  const std::string out = run(result, status);
  EXPECT_EQ(result, 1);
  EXPECT_EQ(out, std::string(HOST_LINES) + "Opening eth0 [MAC 00:11:22:33:44:01] ...\n");
  EXPECT_EQ(local_mac_address(), MAC_A);
  EXPECT_TRUE(adapter_attached());
}

TEST_F(AdapterChoiceTest, TwoUsableListAndPrompt) {
  adapters({{"lo", false}, {"eth0", true}, {"eth1", true}});
  reply("2\n");
  int result, status;
  const std::string out = run(result, status);
  EXPECT_EQ(result, 2);
  EXPECT_EQ(out, std::string(HOST_LINES) +
                     " More than one ethernet adapters were found:\n"
                     "---> Adapter Id:1 - MAC: 00:11:22:33:44:01 [eth0]\n"
                     "---> Adapter Id:2 - MAC: 00:11:22:33:44:02 [eth1]\n"
                     "\nSelect the Id of the adapter you wish to open : "
                     "Opening eth1 [MAC 00:11:22:33:44:02] ...\n");
  EXPECT_EQ(local_mac_address(), MAC_B);
}

TEST_F(AdapterChoiceTest, AdapterOption) {
  struct Case {
    int option;
    const char* tail;
    int result;
  };
  const Case cases[] = {
      {2, "Opening eth1 [MAC 00:11:22:33:44:02] ...\nSuccessfully opened adapter number 2\n", 2},
      {0, "Failed to open adapter number 0\n"
          "\nSelect the Id of the adapter you wish to open : Opening eth0 [MAC 00:11:22:33:44:01] ...\n",
       1},
      {15, "Failed to open adapter number 15\n"
           "\nSelect the Id of the adapter you wish to open : Opening eth0 [MAC 00:11:22:33:44:01] ...\n",
       1},
  };
  for (const Case& c : cases) {
    reset_all_state();
    network.lanas.clear();
    network.statuses.clear();
    adapters({{"lo", false}, {"eth0", true}, {"eth1", true}});
    program_options().adapter_number = c.option;
    reply("1\n");
    int result, status;
    const std::string out = run(result, status);
    std::fclose(reply_);
    reply_ = nullptr;
    EXPECT_EQ(result, c.result) << c.option;
    const std::string list =
        " More than one ethernet adapters were found:\n"
        "---> Adapter Id:1 - MAC: 00:11:22:33:44:01 [eth0]\n"
        "---> Adapter Id:2 - MAC: 00:11:22:33:44:02 [eth1]\n";
    EXPECT_EQ(out, std::string(HOST_LINES) + list + c.tail) << c.option;
  }
}

TEST_F(AdapterChoiceTest, RepliesWithoutANumberTryIdOne) {
  adapters({{"lo", false}, {"eth0", true}, {"eth1", true}});
  reply("abc\n");
  int result, status;
  run(result, status);
  EXPECT_EQ(result, 1);
  EXPECT_EQ(local_mac_address(), MAC_A);
}

TEST_F(AdapterChoiceTest, InvalidRepliesPromptAgain) {
  adapters({{"lo", false}, {"eth0", true}, {"eth1", true}});
  reply("0\n99999999999999999999\n 2 and more\n");
  int result, status;
  const std::string out = run(result, status);
  EXPECT_EQ(result, 2);
  const std::string retry =
      "\nSelect the Id of the adapter you wish to open : "
      "\nInvalid number. Does not correspond to an ethernet adapter. Please try again\n";
  EXPECT_NE(out.find(retry + retry + "\nSelect the Id"), std::string::npos) << out;
}

TEST_F(AdapterChoiceTest, EndedInputMakesIdOneTheLastTry) {
  // Id 1 is not Ethernet, so the one try after the input ended fails.
  adapters({{"eth0", true}, {"lo", false}, {"eth1", true}});
  reply("7\n");
  int result, status;
  const std::string out = run(result, status);
  EXPECT_EQ(result, -1);
  EXPECT_NE(out.find("Please try again\n"
                     "\nSelect the Id of the adapter you wish to open : "
                     "\nInvalid number. Does not correspond to an ethernet adapter. "
                     "\nNo adapter was chosen: standard input has ended.\n"),
            std::string::npos)
      << out;
}

TEST_F(AdapterChoiceTest, EndedInputStillTriesIdOne) {
  adapters({{"eth0", true}, {"eth1", true}});
  reply("");
  int result, status;
  run(result, status);
  EXPECT_EQ(result, 1);
}

TEST_F(AdapterChoiceTest, WideNameListGivesTheSameNamesAndIds) {
  std::vector<std::string> names = {"lo", "eth0", "eth1"};
  for (bool wide : {false, true}) {
    reset_adapter_table();
    library.set_names(names, wide);
    std::array<uint8_t, ADAPTER_NAMES_SIZE> buffer{};
    uint32_t size = ADAPTER_NAMES_SIZE;
    ASSERT_TRUE(library.get_adapter_names(buffer, size));
    int count = 0;
    const std::string out = capture_stdout([&] { count = store_adapter_names(buffer, size); });
    EXPECT_EQ(out, wide ? "    PacketGetAdapterNames returned Unicode data\n" : "");
    EXPECT_EQ(count, 3);
    for (int i = 0; i < 3; ++i) EXPECT_EQ(adapter_table().entries[i].name, names[i]) << wide;
  }
}

TEST_F(AdapterChoiceTest, NamesAfterTheFifteenthAreIgnored) {
  std::vector<std::string> names;
  for (int i = 0; i < 20; ++i) names.push_back("veth" + std::to_string(i));
  library.set_names(names);
  std::array<uint8_t, ADAPTER_NAMES_SIZE> buffer{};
  uint32_t size = ADAPTER_NAMES_SIZE;
  library.get_adapter_names(buffer, size);
  EXPECT_EQ(store_adapter_names(buffer, size), 15);
  EXPECT_EQ(adapter_table().entries[14].name, "veth14");
}

TEST_F(AdapterChoiceTest, AdapterThatDoesNotOpenOrHasNoMediumIsNotUsable) {
  adapters({{"eth9", true}, {"eth8", true}, {"eth0", true}});
  library.adapter("eth9").opens = false;
  library.adapter("eth9").open_error = 19;
  library.adapter("eth8").net_type_ok = false;
  // The status list holds only the adapter that is usable.
  network.lanas = {0};
  int result, status;
  const std::string out = run(result, status);
  EXPECT_EQ(result, 2);
  EXPECT_NE(out.find("Unable to open the driver [eth9], Error Code : 13\n"), std::string::npos) << out;
  EXPECT_NE(out.find("Error in PacketGetNetType - "), std::string::npos);
  EXPECT_EQ(local_mac_address(), MAC_A);
}

TEST_F(AdapterChoiceTest, RefusedRawAccessIsExplainedOnce) {
  adapters({{"eth0", true}, {"eth1", true}});
  library.adapter("eth0").opens = false;
  library.adapter("eth0").open_error = 1;
  library.adapter("eth1").opens = false;
  library.adapter("eth1").open_error = 1;
  int result, status;
  const std::string out = run(result, status);
  EXPECT_EQ(status, 255);
  EXPECT_EQ(out, std::string(HOST_LINES) +
                     "Unable to open the driver [eth0], Error Code : 1\n"
                     "Raw Ethernet access needs root or the CAP_NET_RAW capability.\n"
                     "Unable to open the driver [eth1], Error Code : 1\n"
                     "Sorry, no ethernet adapters found! \nPlease check your configuration again\n");
}

TEST_F(AdapterChoiceTest, ChosenAdapterThatDoesNotOpenEndsTheProcess) {
  adapters({{"eth0", true}});
  int result, status;
  std::string out = capture_stdout([&] {
    ASSERT_EQ(find_adapters(), 1);
    library.adapter("eth0").opens = false;
    library.adapter("eth0").open_error = 1;
    try {
      open_adapter(0);
    } catch (const ProcessExit& e) {
      status = e.status;
    }
  });
  (void)result;
  EXPECT_EQ(status, 255);
  EXPECT_NE(out.find("Opening eth0 [MAC 00:11:22:33:44:01] ...\n"
                     "Error: Unable to open the driver.\n"
                     "Make sure it has been installed properly. Error code : 1\n"
                     "Raw Ethernet access needs root or the CAP_NET_RAW capability.\n"),
            std::string::npos)
      << out;
}

TEST_F(AdapterChoiceTest, UnreadableListEndsWithStatusZero) {
  library.fail_list = true;
  library.list_error = 12;
  int result, status;
  const std::string out = run(result, status);
  EXPECT_EQ(status, 0);
  EXPECT_EQ(out, std::string(HOST_LINES) + "Error in PacketGetAdapterName - 12\n");
}

TEST_F(AdapterChoiceTest, EveryLookupFailingEndsWithInvalidAdapter) {
  adapters({{"eth0", true}, {"eth1", true}});
  network.statuses.clear();
  int result, status;
  const std::string out = run(result, status);
  EXPECT_EQ(result, -1);
  EXPECT_EQ(out, std::string(HOST_LINES) +
                     "Debug: NCBASTAT returned 52\nDebug: NCBASTAT returned 52\n"
                     "Sorry, no ethernet adapters found!\nDid you install WinPCap ?\n"
                     "Please check your configuration again\n");
  // The driver then ends the program with reason -18.
  const std::string end = capture_stdout([&] {
    try {
      terminate_app(TERM_CONTEXT_STARTUP, REASON_INVALID_ADAPTER);
    } catch (const ProcessExit& e) {
      status = e.status;
    }
  });
  EXPECT_EQ(end, "Error: Invalid adapter\nTerminating application ...\n");
  EXPECT_EQ(status, 0);
}

TEST_F(AdapterChoiceTest, NtFamilyShowsDescriptions) {
  host.record = VersionRecord{2, 5, 1, 2600, ""};
  network.root = "Software\\Microsoft\\Windows NT\\CurrentVersion\\NetworkCards";
  network.add_card("1", "{AAA}", "Fast Card");
  network.add_card("2", "{BBB}", "Slow Card");
  network.devices["{AAA}"] = FakeDevice{0, 0, 0, {0, 0x11, 0x22, 0x33, 0x44, 0x01}, 0};
  network.devices["{BBB}"] = FakeDevice{0, 0, 0, {0, 0x11, 0x22, 0x33, 0x44, 0x02}, 0};
  library.set_names({"\\Device\\NPF_{BBB}", "\\Device\\NPF_{AAA}"});
  program_options().adapter_number = 1;
  int result, status;
  const std::string out = run(result, status);
  EXPECT_EQ(result, 1);
  EXPECT_EQ(out,
            "Use this version of ORVEX only on Windows95 or WIndows98\n"
            " Local host is bench, running under Windows XP\n"
            " More than one adapters were found:\n"
            "---> Adapter Id:0 - MAC: 00:11:22:33:44:02 [Slow Card]\n"
            "---> Adapter Id:1 - MAC: 00:11:22:33:44:01 [Fast Card]\n"
            "Opening Fast Card [MAC 00:11:22:33:44:01] ...\n"
            "Successfully opened adapter number 1\n");
}

}  // namespace
}  // namespace orvex::test
