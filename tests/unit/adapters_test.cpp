// The adapter choice over the fake capture: which interfaces are adapters, -c, the operator's replies, and failures.
#include "link/adapters.hpp"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cctype>
#include <cstdio>
#include <filesystem>
#include <sstream>

#include "base/address_text.hpp"
#include "base/config.hpp"
#include "link/frame_io.hpp"
#include "tests/support/fake_platform.hpp"
#include "tests/support/test_state.hpp"

namespace orvex::test {
namespace {

// Interfaces as name[:flag]: L loopback, D down, Z without an address, a number the error its open fails with
// (R and a number: its second open); "!" an unreadable list. An address ends in the name's digit plus one.
struct Case { const char* interfaces; int option; const char* replies; std::string printed, opened;
              int id; Failure failure; const char* name = ""; };

// The choice made over the case's interfaces, options and replies: what it showed, chose and opened.
void expect_choice(RecordingView& view, const Case& c) {
  reset_process_state();
  FakeHostInfo host;
  FakePacketCapture capture;
  std::istringstream listed_interfaces(c.interfaces);
  for (std::string item; listed_interfaces >> item;) {
    const std::string name = item.substr(0, item.find(':'));
    const std::string flag = item.substr(std::min(item.size(), name.size() + 1));
    if (name == "!") { capture.fail_list = true, host.name_ok = false; continue; }
    const uint8_t last = static_cast<uint8_t>(name.back() - '0' + 1);
    InterfaceInfo& i = capture.add(name, flag == "Z" ? MacAddress{} : mac_of(0, 0x11, 0x22, 0x33, 0x44, last));
    i.loopback = flag == "L", i.up = flag != "D";
    if (!flag.empty() && std::isdigit(flag[0])) capture.open_errors[name] = std::stol(flag);
    if (flag.starts_with('R')) capture.reopen_errors[name] = std::stol(flag.substr(1));
  }
  Config options;
  options.adapter_number = c.option;
  options.adapter_name = c.name;
  view.clear();
  SystemClock clock;
  FrameIo io(options, view, clock);
  std::string replies = c.replies;
  std::FILE* reply = fmemopen(replies.data(), replies.size(), "r");
  AdapterChoice choice{options, io, view, capture, host, reply};
  const AdapterSelection chosen = select_adapter(choice);
  const std::string out = view.take_text();
  std::fclose(reply);
  std::string opened;
  for (const std::string& name : capture.opened) opened += (opened.empty() ? "" : " ") + name;
  EXPECT_EQ(std::tuple(out, chosen.id, chosen.failure, opened, io.attached()),
            std::tuple(c.printed, c.id, c.failure, c.opened, c.id >= 0)) << c.interfaces;
  EXPECT_TRUE(c.id < 0 || out.find(std::string("[MAC ") + format_mac_text(options.local_mac)) != out.npos);
  EXPECT_EQ(capture.accepted, c.id < 0 ? MacAddress{} : options.local_mac) << c.interfaces;
}

class AdapterChoiceTest : public OrvexTest {};

TEST_F(AdapterChoiceTest, InterfacesOptionAndReplies) {
  const std::string H = " Local host is bench, running under Linux 6.1.0\n", A = "---> Adapter Id:";
  const std::string L = " More than one ethernet adapters were found:\n" + A +
                        "0 - MAC: 00:11:22:33:44:01 [eth0]\n";
  const std::string P = "\nSelect the Id of the adapter you wish to open : ";
  const std::string I = "\nInvalid number. Does not correspond to an ethernet adapter. ";
  const std::string eth0 = "Opening eth0 [MAC 00:11:22:33:44:01] ...\n";
  const std::string eth1 = "Opening eth1 [MAC 00:11:22:33:44:02] ...\n", T = "Please check your configuration again\n";
  const std::string listed = H + L + A + "1 - MAC: 00:11:22:33:44:02 [eth1]\n";
  const std::string E = "\nNo adapter was chosen: standard input has ended.\nChoose one with -c; the adapters are: ";
  const std::string down = "Interface eth1 is down: bring it up with `ip link set eth1 up`\n";
  const char* two = "lo:L eth0 eth5:D eth1";  // neither loopback nor an interface that is down is an adapter
  const Failure ok = Failure::NONE, invalid = Failure::INVALID_ADAPTER, unchosen = Failure::ADAPTER_NOT_CHOSEN;
  const Case cases[] = {
      {"lo:L eth0", -1, "", H + eth0, "eth0 eth0", 0, ok},  // one adapter opens at once, loopback never probed
      // The Ids count only the adapters listed; -c takes them, a reply without a number tries Id 1.
      {two, 1, "", listed + eth1 + "Successfully opened adapter number 1\n", "eth0 eth1 eth1", 1, ok},
      {two, 2, "0\n", listed + "Failed to open adapter number 2\n" + P + eth0, "eth0 eth1 eth0", 0, ok},
      {two, -1, "abc\n", listed + P + eth1, "eth0 eth1 eth1", 1, ok},
      // -c with a name takes that adapter, and refuses a name no adapter has.
      {two, -1, "", H + eth1, "eth0 eth1 eth1", 1, ok, "eth1"},
      {"eth0", -1, "", H + "No adapter is named wlan9; the adapters are: eth0\n", "eth0", -1, invalid, "wlan9"},
      // An unattended run (no reply at all) opens none: -c must choose.
      {two, -1, "", listed + P + E + "eth0 eth1\n", "eth0 eth1", -1, unchosen},
      {two, -1, "7\n99999999999999999999\n 0 and more\n",
       listed + P + I + "Please try again\n" + P + I + "Please try again\n" + P + eth0, "eth0 eth1 eth0", 0, ok},
      // Nor does the input ending after a wrong Id try one.
      {"eth0 eth2:19 eth1", -1, "7\n", H + "Unable to open the driver [eth2], Error Code : 13\n" + L + A +
       "2 - MAC: 00:11:22:33:44:02 [eth1]\n" + P + I + "Please try again\n" + P + E + "eth0 eth1\n",
       "eth0 eth2 eth1", -1, unchosen},
      {"eth0:1 eth1:1", -1, "", H + "Unable to open the driver [eth0], Error Code : 1\nUnable to open the driver [eth1], "
       "Error Code : 1\nRaw Ethernet access needs root or the CAP_NET_RAW capability.\nInstall the orvexterm package, "
       "which gives it, or run as root: setcap cap_net_raw+ep " + std::filesystem::read_symlink("/proc/self/exe").string() +
       "\n", "eth0 eth1", -1, Failure::NO_USABLE_ADAPTER},  // adapters there are, refused: not "none found"
      // An interface that is down is named, asked for with -c or not.
      {"eth1:D", -1, "", H + down + "Sorry, no ethernet adapters found! \n" + T, "", -1, Failure::NO_USABLE_ADAPTER},
      {"eth0 eth1:D", -1, "", H + down, "eth0", -1, invalid, "eth1"},
      {"eth0:Z", -1, "", H + "Sorry, no ethernet adapters found!\nDid you install libpcap ?\n" + T, "eth0", -1, invalid},
      {"!", -1, "", " Local host is WinOS_0_???, running under Linux 6.1.0\nError in PacketGetAdapterName - 5\n", "",
       -1, Failure::ADAPTERS_NOT_LISTED},
      // The chosen adapter probed, and then not opened.
      {"eth0 eth1:R5", 1, "", listed + "Opening eth1 [MAC 00:11:22:33:44:02] ...\nError: Unable to open the driver.\n"
       "Make sure it has been installed properly. Error code : 5\n", "eth0 eth1 eth1", -1, Failure::ADAPTER_NOT_OPENED},
  };
  ASSERT_TRUE(isatty(STDIN_FILENO) == 0 || std::freopen("/dev/null", "r", stdin));  // fatal messages wait for no key
  for (const Case& c : cases) expect_choice(view, c);
}

TEST_F(AdapterChoiceTest, TheAddressGivenWithMIsTheOneTheKernelFilterTakes) {
  // -m: the program's address, which the kernel filter lets through, is the one given.
  FakeHostInfo host;
  FakePacketCapture capture;
  capture.add("eth0", mac_of(0, 0x11, 0x22, 0x33, 0x44, 1));
  Config options;
  options.local_mac_override = mac_of(2, 0, 0, 0, 0, 9);
  RecordingView quiet;
  FrameIo io(options, quiet, clock);
  AdapterChoice choice{options, io, quiet, capture, host, stdin};
  EXPECT_EQ(select_adapter(choice).id, 0);
  EXPECT_EQ(std::tuple(options.local_mac, capture.accepted), std::tuple(options.local_mac_override, options.local_mac_override));
}

TEST_F(AdapterChoiceTest, ListingGivesTheIdsOfTheChoice) {
  FakePacketCapture capture;
  capture.add("lo", mac_of(0, 0, 0, 0, 0, 0)).loopback = true;
  capture.add("eth0", mac_of(0, 0x11, 0x22, 0x33, 0x44, 1)).carrier = false;
  capture.add("eth9", MacAddress{});  // counted, never usable
  capture.add("eth1", mac_of(0, 0x11, 0x22, 0x33, 0x44, 2));
  EXPECT_EQ(print_adapter_list(capture, view), 2);
  EXPECT_EQ(view.take_text(), "0. eth0 [MAC 00:11:22:33:44:01] link down\n2. eth1 [MAC 00:11:22:33:44:02] link up\n");
  EXPECT_TRUE(capture.opened.empty());
}

}  // namespace
}  // namespace orvex::test
