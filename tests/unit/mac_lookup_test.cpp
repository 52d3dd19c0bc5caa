#include "link/mac_lookup.hpp"

#include <gtest/gtest.h>

#include "cmdline/settings.hpp"
#include "link/adapters.hpp"
#include "link/host_state.hpp"
#include "tests/support/fake_platform.hpp"
#include "tests/support/test_state.hpp"

namespace orvex::test {
namespace {

constexpr const char* NT_ROOT = "Software\\Microsoft\\Windows NT\\CurrentVersion\\NetworkCards";

class NtLookupTest : public OrvexTest {
 protected:
  void SetUp() override {
    OrvexTest::SetUp();
    host.record = VersionRecord{2, 5, 1, 2600, ""};
    host_state().nt_family = 1;
    network.root = NT_ROOT;
    program_options().diagnostic_level = 2;
  }
  int lookup(const std::string& name, MacAddress& mac, std::string& out) {
    adapter_table().entries[0].name = name;
    int found = -1;
    out = capture_stdout([&] { found = get_NT_MACaddr(0, mac); });
    return found;
  }

  FakeHostInfo host;
  FakeHostNetwork network;
};

TEST_F(NtLookupTest, FirstCardWhoseServiceNameOccursInTheAdapterNameDecides) {
  network.add_card("3", "{12", "Short Card");
  network.add_card("7", "{1234}", "Long Card");
  network.devices["{12"] = FakeDevice{0, 0, 0, {2, 0, 0, 0, 0, 0x12}, 0};
  network.devices["{1234}"] = FakeDevice{0, 0, 0, {2, 0, 0, 0, 0x12, 0x34}, 0};
  MacAddress mac;
  std::string out;
  EXPECT_EQ(lookup("\\Device\\NPF_{1234}", mac, out), 1);
  EXPECT_EQ(mac, mac_of(2, 0, 0, 0, 0, 0x12));
  EXPECT_EQ(adapter_table().entries[0].description, "Short Card");
  EXPECT_EQ(out,
            "    get_NT_MACaddr(0, ...) [\\Device\\NPF_{1234}]\n"
            "      [3] Short Card - Short Card\n        \\Device\\{12\n"
            "      Adapter name matched in registry\n");

  // With the short name failing, the later card is never tried.
  network.devices["{12"].address_error = 31;
  EXPECT_EQ(lookup("\\Device\\NPF_{1234}", mac, out), 0);
  EXPECT_NE(out.find("      Adapter name matched but failed to get MACaddr\n"), std::string::npos);
  EXPECT_EQ(network.queries.back().first, "{12");
}

TEST_F(NtLookupTest, TokenRingGetsNoAddressQuery) {
  network.add_card("1", "{1234}", "Ring");
  network.devices["{1234}"] = FakeDevice{0, MEDIUM_802_5, 0, {2, 0, 0, 0, 0x12, 0x34}, 0};
  MacAddress mac;
  std::string out;
  program_options().diagnostic_level = 0;
  EXPECT_EQ(lookup("\\Device\\NPF_{1234}", mac, out), 0);
  EXPECT_EQ(out, "Mac address: Query Not Supported By Application...\n");
  for (const auto& q : network.queries) {
    EXPECT_NE(q.second, OID_802_3_CURRENT_ADDRESS);
    EXPECT_NE(q.second, OID_WAN_CURRENT_ADDRESS);
  }
}

TEST_F(NtLookupTest, WanAddress) {
  network.add_card("1", "{W}", "Dial-up");
  network.devices["{W}"] = FakeDevice{0, MEDIUM_WAN, 0, {0x20, 0x41, 0x53, 0x59, 0x4E, 0xFF}, 0};
  MacAddress mac;
  std::string out;
  program_options().diagnostic_level = 0;
  EXPECT_EQ(lookup("NPF_{W}", mac, out), 1);
  EXPECT_EQ(out, ">Mac address = 20-41-53-59-4E-FF\n");
  network.devices["{W}"].address = {1, 2, 3};
  EXPECT_EQ(lookup("NPF_{W}", mac, out), 0);
  EXPECT_EQ(out, "DeviceIoControl returned an invalid count = 3\n");
}

TEST_F(NtLookupTest, FailedConnectionStatusFailsTheLookup) {
  network.add_card("1", "{1234}", "Card");
  network.devices["{1234}"] = FakeDevice{0, 0, 0, {2, 0, 0, 0, 0x12, 0x34}, 1167};
  MacAddress mac = mac_of(9, 9, 9, 9, 9, 9);
  std::string out;
  EXPECT_EQ(lookup("\\Device\\NPF_{1234}", mac, out), 0);
  EXPECT_EQ(mac, mac_of(9, 9, 9, 9, 9, 9));
  EXPECT_EQ(mac_lookup_state().mac_lookup_error, 1167);
}

TEST_F(NtLookupTest, ShortAddressAnswerFailsTheLookup) {
  network.add_card("1", "{1234}", "Card");
  network.devices["{1234}"] = FakeDevice{0, 0, 0, {2, 0, 0, 0}, 0};
  MacAddress mac;
  std::string out;
  EXPECT_EQ(lookup("\\Device\\NPF_{1234}", mac, out), 0);
}

class NetbiosLookupTest : public OrvexTest {
 protected:
  void usable(int id, const std::string& name, int ordinal, const MacAddress& mac = {}) {
    AdapterEntry& e = adapter_table().entries[id];
    e.name = name;
    e.usable = 1;
    e.netbios_ordinal = ordinal;
    e.mac = mac;
    adapter_table().adapter_count = std::max(adapter_table().adapter_count, id + 1);
  }
  FakeHostInfo host;
  FakeHostNetwork network;
  FakePacketLibrary library;
};

TEST_F(NetbiosLookupTest, OneAdapterTakesTheFirstLana) {
  network.lanas = {3, 5};
  network.statuses[3] = mac_of(0, 1, 2, 3, 4, 5);
  network.statuses[5] = mac_of(0, 1, 2, 3, 4, 6);
  usable(0, "eth0", 0);
  MacAddress mac;
  std::string out = capture_stdout([&] { EXPECT_EQ(get_NetBIOS_MACaddr(0, mac), 1); });
  EXPECT_EQ(mac, mac_of(0, 1, 2, 3, 4, 5));
  EXPECT_EQ(out, "");
  program_options().diagnostic_level = 1;
  out = capture_stdout([&] { get_NetBIOS_MACaddr(0, mac); });
  EXPECT_EQ(out, "Debug: Netbios found 2 adapters:  3 5\n");
}

TEST_F(NetbiosLookupTest, FailuresPrintTheirCodes) {
  network.lanas = {3};
  usable(0, "eth0", 0);
  MacAddress mac;
  network.enum_code = 9;
  EXPECT_EQ(capture_stdout([&] { EXPECT_EQ(get_NetBIOS_MACaddr(0, mac), 0); }),
            "Debug: NCBENUM  returned 9\n");
  network.enum_code = 0;
  network.reset_codes[3] = 0x23;
  EXPECT_EQ(capture_stdout([&] { EXPECT_EQ(get_NetBIOS_MACaddr(0, mac), 0); }),
            "Debug: NCBRESET on adapter 0 lana_num 3\nDebug: NCBRESET returned 35\n");
  network.reset_codes.clear();
  EXPECT_EQ(capture_stdout([&] { EXPECT_EQ(get_NetBIOS_MACaddr(0, mac), 0); }),
            "Debug: NCBASTAT returned 52\n");
  // An ordinal beyond the list has no status to take.
  network.statuses[3] = mac_of(0, 1, 2, 3, 4, 5);
  usable(0, "eth0", 1);
  EXPECT_EQ(get_NetBIOS_MACaddr(0, mac), 0);
}

TEST_F(NetbiosLookupTest, TwoVendorsInReverseOrderAreSwapped) {
  const MacAddress intel = mac_of(0x00, 0xA0, 0xC9, 1, 2, 3);
  const MacAddress realtek = mac_of(0x52, 0x54, 0x00, 4, 5, 6);
  // The status list has the adapters in the other order.
  network.lanas = {0, 1};
  network.statuses[0] = realtek;
  network.statuses[1] = intel;
  usable(0, "eth0", 0);
  usable(1, "eth1", 1);
  library.adapter("eth0").vendor = std::array<uint8_t, 3>{0x00, 0xA0, 0xC9};
  library.adapter("eth1").vendor = std::array<uint8_t, 3>{0x52, 0x54, 0x00};
  for (int id : {0, 1}) ASSERT_EQ(get_NetBIOS_MACaddr(id, adapter_table().entries[id].mac), 1);
  EXPECT_EQ(adapter_table().entries[0].mac, realtek);
  check_adapter_vendors();
  EXPECT_EQ(adapter_table().entries[0].mac, intel);
  EXPECT_EQ(adapter_table().entries[1].mac, realtek);
  EXPECT_EQ(adapter_table().entries[0].vendor, (std::array<uint8_t, 3>{0x00, 0xA0, 0xC9}));
}

TEST_F(NetbiosLookupTest, UnknownVendorNeverTakesAnUnresolvedAddress) {
  const MacAddress realtek = mac_of(0x52, 0x54, 0x00, 4, 5, 6);
  usable(0, "eth0", 0, realtek);  // vendor request fails
  usable(1, "eth1", 1, mac_of(0x00, 0xA0, 0xC9, 1, 2, 3));
  library.adapter("eth1").vendor = std::array<uint8_t, 3>{0x52, 0x54, 0x00};  // mismatch
  adapter_table().entries[2].name = "eth2";  // not usable, no address
  adapter_table().adapter_count = 3;
  check_adapter_vendors();
  EXPECT_EQ(adapter_table().entries[0].vendor, (std::array<uint8_t, 3>{0, 0, 0}));
  EXPECT_EQ(adapter_table().entries[0].mac, realtek);
}

}  // namespace
}  // namespace orvex::test
