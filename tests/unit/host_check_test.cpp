#include "link/host_check.hpp"

#include <gtest/gtest.h>

#include "link/host_state.hpp"
#include "tests/support/fake_platform.hpp"
#include "tests/support/test_state.hpp"

namespace orvex::test {
namespace {

class HostCheckTest : public OrvexTest {
 protected:
  FakeHostInfo host;
};

struct OsCase {
  uint32_t platform, major, minor, build;
  const char* name;
  int code;
};

TEST_F(HostCheckTest, VersionTableRowsAndBoundaries) {
  const OsCase cases[] = {
      {1, 4, 0, 950, "Windows 95", 1},
      {1, 4, 0, 1080, "Windows 95 SP1", 2},
      {1, 4, 0, 1081, "Windows 95 OSR2", 3},
      {1, 4, 0, 900, "unknown Windows version", 0},
      {1, 4, 10, 1998, "Windows 98", 4},
      {1, 4, 10, 2182, "Windows 98 SP1", 5},
      {1, 4, 10, 2183, "Windows 98 SE", 6},
      {1, 4, 10, (0x40u << 16) | 2183u, "Windows 98 SE", 6},  // only the low 16 bits count
      {1, 4, 90, 3000, "Windows ME", 7},
      {2, 3, 51, 1057, "Windows NT 3.51", 101},
      {2, 4, 0, 1381, "Windows NT 4", 102},
      {2, 5, 0, 2195, "Windows 2000", 103},
      {2, 5, 1, 2600, "Windows XP", 104},
      {2, 5, 2, 3790, "unknown Windows version", 0},
      {2, 6, 0, 6000, "unknown Windows version", 0},
      {3, 7, 3, 1, "Windows CE", 201},
  };
  for (const OsCase& c : cases) {
    host.record = VersionRecord{c.platform, c.major, c.minor, c.build, ""};
    std::string name;
    int code = -5;
    EXPECT_EQ(detect_os_version(name, code), 1) << c.name;
    EXPECT_EQ(name, c.name) << c.build;
    EXPECT_EQ(code, c.code) << c.name << " " << c.build;
  }
}

TEST_F(HostCheckTest, UnreadableVersionIsUnknownAndReported) {
  host.version_ok = false;
  std::string name = "x";
  int code = 7;
  EXPECT_EQ(detect_os_version(name, code), 0);
  EXPECT_EQ(name, "unknown Windows version");
  EXPECT_EQ(code, 0);
  const std::string out = capture_stdout([] { host_check(); });
  EXPECT_EQ(out,
            "\aUnable to detect Operation System version. Assuming Win9X environment.\n"
            " Local host is bench, running under unknown Windows version\n");
  EXPECT_EQ(host_state().nt_family, 0);
}

TEST_F(HostCheckTest, LinuxNamesItselfAndTakesTheWin9xPaths) {
  const std::string out = capture_stdout([] { host_check(); });
  EXPECT_EQ(out, " Local host is bench, running under Linux 6.1.0\n");
  EXPECT_EQ(host_state().nt_family, 0);
  EXPECT_EQ(host_state().os_code, 0);
  EXPECT_EQ(host_state().local_host_name, "bench");
  EXPECT_FALSE(is_nt_platform());
  EXPECT_FALSE(is_win9x_platform());
}

TEST_F(HostCheckTest, FamilyFollowsTheCode) {
  struct Case {
    VersionRecord record;
    int nt_family;
  };
  const Case cases[] = {
      {{2, 5, 1, 2600, ""}, 1},  // XP
      {{3, 4, 0, 0, ""}, 1},     // CE takes the NT paths
      {{2, 5, 2, 3790, ""}, 0},  // NT 5.2 has no row
      {{1, 4, 10, 2222, ""}, 0},
  };
  for (const Case& c : cases) {
    host_state().reset();
    host.record = c.record;
    capture_stdout([] { host_check(); });
    EXPECT_EQ(host_state().nt_family, c.nt_family) << c.record.major << "." << c.record.minor;
  }
}

TEST_F(HostCheckTest, LongComputerNameIsCut) {
  host.name = std::string(100, 'h');
  capture_stdout([] { host_check(); });
  EXPECT_EQ(host_state().local_host_name, std::string(79, 'h'));
}

TEST_F(HostCheckTest, NtThreeFiftyOneIsRefusedAfterTheHostLine) {
  TerminationCatcher catcher;
  host.record = VersionRecord{2, 3, 51, 1057, ""};
  int status = 0;
  const std::string out = capture_stdout([&] {
    try {
      host_check();
    } catch (const ProcessExit& e) {
      status = e.status;
    }
  });
  EXPECT_EQ(status, 255);
  EXPECT_EQ(out,
            " Local host is bench, running under Windows NT 3.51\n"
            "\aAn older WinNT version has been detected.\n"
            "You need WinNT v4.0 or newer to run this program\n");
}

}  // namespace
}  // namespace orvex::test
