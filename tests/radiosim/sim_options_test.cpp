// The simulator's command line: what a user may write and the plain error for
// what is refused.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "base/address_text.hpp"
#include "tools/radiosim/sim_options.hpp"

namespace orvex::sim {
namespace {

ParseResult parse(std::vector<std::string> args) {
  args.insert(args.begin(), "orvex-radiosim");
  std::vector<const char*> argv;
  for (const auto& a : args) argv.push_back(a.c_str());
  return parse_sim_options(static_cast<int>(argv.size()), argv.data());
}

TEST(SimOptions, DefaultsGiveOneLevelTwoRadio) {
  const auto r = parse({"-i", "veth1"});
  ASSERT_TRUE(r.ok) << r.error;
  EXPECT_EQ(r.options.interface_name, "veth1");
  EXPECT_EQ(r.options.store_dir, ".");
  EXPECT_TRUE(r.options.log_file.empty());
  ASSERT_EQ(r.options.radios.size(), 1u);
  const RadioConfig& radio = r.options.radios[0];
  EXPECT_STREQ(format_mac_text(radio.mac), "02:7A:41:00:00:01");
  EXPECT_EQ(radio.name, "Radio-1");
  EXPECT_EQ(radio.level, 2);
  EXPECT_EQ(radio.firmware, "SIM-1.0");
}

TEST(SimOptions, EveryRadioItemAndLongForms) {
  const auto r = parse({"--interface=ox0", "--store", "/tmp", "--log=-", "--quiet",
                        "--radio",
                        "mac=02:7a:41:00:00:33,name=Old-Quarry,level=0,firmware=OR 0.8.3,silent,"
                        "drop-every=5,no-empty-ack,refuse-download=2,fail-command=3,restore-at=4,error-at=6,"
                        "escapes,print-during-transfer",
                        "-r", "level=1,refuse-download"});
  ASSERT_TRUE(r.ok) << r.error;
  EXPECT_EQ(r.options.log_file, "-");
  EXPECT_TRUE(r.options.quiet);
  EXPECT_EQ(r.options.vlan_id, 0);
  ASSERT_EQ(r.options.radios.size(), 2u);
  const RadioConfig& a = r.options.radios[0];
  EXPECT_STREQ(format_mac_text(a.mac), "02:7A:41:00:00:33");
  EXPECT_EQ(a.name, "Old-Quarry");
  EXPECT_EQ(a.level, 0);
  EXPECT_EQ(a.firmware, "OR 0.8.3");
  EXPECT_TRUE(a.faults.silent);
  EXPECT_EQ(a.faults.drop_every, 5u);
  EXPECT_TRUE(a.faults.no_empty_ack);
  EXPECT_EQ(a.faults.refuse_downloads, 2u);
  EXPECT_EQ(a.faults.fail_command, 3u);
  EXPECT_EQ(a.faults.restore_at, 4u);
  EXPECT_EQ(a.faults.error_at, 6u);
  EXPECT_TRUE(a.faults.escapes);
  EXPECT_TRUE(a.faults.print_during_transfer);
  // The second radio takes the defaults of its position.
  const RadioConfig& b = r.options.radios[1];
  EXPECT_STREQ(format_mac_text(b.mac), "02:7A:41:00:00:02");
  EXPECT_EQ(b.name, "Radio-2");
  EXPECT_EQ(b.level, 1);
  EXPECT_EQ(b.faults.refuse_downloads, 1u);
}

TEST(SimOptions, VlanId) {
  EXPECT_EQ(parse({"-i", "x", "--vlan", "4094"}).options.vlan_id, 4094);
  EXPECT_EQ(parse({"-i", "x", "--vlan=5"}).options.vlan_id, 5);
  for (const char* bad : {"0", "4095", "x", "-1"}) {
    EXPECT_EQ(parse({"-i", "x", "--vlan", bad}).error,
              std::string("--vlan ") + bad + ": expected a VLAN id from 1 to 4094");
  }
}

TEST(SimOptions, HelpWinsOverEverythingElse) {
  EXPECT_TRUE(parse({"--bogus", "-h"}).help == false);  // the unknown option is met first
  EXPECT_TRUE(parse({"-i", "x", "--help"}).help);
  EXPECT_NE(std::string(usage_text()).find("drop-every=N"), std::string::npos);
}

struct Refusal {
  std::vector<std::string> args;
  const char* error;
};

TEST(SimOptions, RefusesWithAPlainReason) {
  const std::vector<Refusal> cases = {
      {{}, "no interface given (-i IFACE)"},
      {{"-i"}, "-i needs a value"},
      {{"-i", ""}, "-i needs a non-empty value"},
      {{"-i", "a-very-long-interface"}, "interface name \"a-very-long-interface\" is too long"},
      {{"-i", "x", "-z"}, "unknown option \"-z\" (try --help)"},
      {{"-i", "x", "--quiet=1"}, "--quiet takes no value"},
      {{"-i", "x", "-r", "level=3"}, "radio 1: level=3: expected 0, 1 or 2"},
      {{"-i", "x", "-r", "level"}, "radio 1: level needs a value (level=...)"},
      {{"-i", "x", "-r", "mac=02:7A:41:00:00"}, "radio 1: mac=02:7A:41:00:00: expected an address like 02:7A:41:00:00:01"},
      {{"-i", "x", "-r", "mac=03:00:00:00:00:01"}, "radio 1: mac=03:00:00:00:00:01: a radio needs a unicast address"},
      {{"-i", "x", "-r", "mac=00:00:00:00:00:00"}, "radio 1: mac=00:00:00:00:00:00: a radio needs a unicast address"},
      {{"-i", "x", "-r", "name=two words"},
       "radio 1: name=two words: expected 1 to 46 printable characters without spaces, ',' or '/'"},
      {{"-i", "x", "-r", "name=a/b"},
       "radio 1: name=a/b: expected 1 to 46 printable characters without spaces, ',' or '/'"},
      {{"-i", "x", "-r", "name=" + std::string(47, 'n')},
       "radio 1: name=nnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnn: expected 1 to 46 printable characters "
       "without spaces, ',' or '/'"},
      {{"-i", "x", "-r", "firmware=12345678901234567"},
       "radio 1: firmware=12345678901234567: expected 1 to 16 printable characters without ','"},
      {{"-i", "x", "-r", "drop-every=1"}, "radio 1: drop-every=1 would drop every frame; use silent"},
      {{"-i", "x", "-r", "drop-every=x"}, "radio 1: drop-every=x: expected a whole number from 1 to 1000000"},
      {{"-i", "x", "-r", "fail-command=0"}, "radio 1: fail-command=0: expected a whole number from 1 to 1000000"},
      {{"-i", "x", "-r", "error-at=-1"}, "radio 1: error-at=-1: expected a whole number from 1 to 1000000"},
      {{"-i", "x", "-r", "silent=yes"}, "radio 1: silent takes no value"},
      {{"-i", "x", "-r", "colour=red"}, "radio 1: unknown radio item \"colour\" (see --help)"},
      {{"-i", "x", "-r", "name=a,,level=1"}, "radio 1: empty item in radio \"name=a,,level=1\""},
      {{"-i", "x", "-r", "name=a", "-r", "name=a"}, "radio 2: name a is already taken"},
      {{"-i", "x", "-r", "mac=02:00:00:00:00:09", "-r", "name=b,mac=02:00:00:00:00:09"},
       "radio 2: address 02:00:00:00:00:09 is already taken by Radio-1"},
  };
  for (const auto& c : cases) {
    const auto r = parse(c.args);
    EXPECT_FALSE(r.ok);
    EXPECT_FALSE(r.help);
    EXPECT_EQ(r.error, c.error);
  }
}

TEST(SimOptions, AtMostSixtyFourRadios) {
  std::vector<std::string> args = {"-i", "x"};
  for (int i = 1; i <= 65; ++i) {
    args.push_back("-r");
    args.push_back("name=r" + std::to_string(i) + ",mac=02:00:00:00:01:" + (i < 16 ? "0" : "") +
                   [&] { char t[4]; std::snprintf(t, sizeof t, "%X", i); return std::string(t); }());
  }
  EXPECT_EQ(parse(args).error, "at most 64 radios");
  args.resize(args.size() - 2);
  EXPECT_TRUE(parse(args).ok) << parse(args).error;
}

}  // namespace
}  // namespace orvex::sim
