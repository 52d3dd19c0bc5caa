// The keyboard step: what each key does, from the bytes a terminal sends.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "app/session_operations.hpp"
#include "base/settings.hpp"
#include "console/console.hpp"
#include "app/keyboard_input.hpp"
#include "base/host_state.hpp"
#include "tests/support/key_input.hpp"
#include "tests/support/test_state.hpp"

namespace orvex {
namespace {

using test::capture_stdout;

std::vector<int> g_disconnected;
std::vector<int> g_help_shown;
int g_end_requests = 0;

class KeyboardInputTest : public test::OrvexTest {
 protected:
  void SetUp() override {
    OrvexTest::SetUp();
    g_disconnected.clear();
    g_help_shown.clear();
    g_end_requests = 0;
    session_operations().request_end = [] { ++g_end_requests; };
    session_operations().disconnect = [](int index) { g_disconnected.push_back(index); };
    session_operations().print_help = [](int index) { g_help_shown.push_back(index); };
    run_state().chosen_radio = 4;
  }
  // Bytes returned by successive calls until one returns 0 or less.
  std::vector<int> read_all(int limit = 20) {
    std::vector<int> got;
    uint8_t b = 0;
    for (int i = 0; i < limit; ++i) {
      const int n = read_keyboard_input(&b);
      if (n <= 0) {
        got.push_back(-100 + n);
        break;
      }
      got.push_back(b);
    }
    return got;
  }
  test::KeyPipe keys;
  test::TerminationCatcher catcher;
};

constexpr int ENDED = -100;

TEST_F(KeyboardInputTest, F2StepsTheDiagnosticLevelDownOneAtATime) {
  program_options().diagnostic_level = 2;  // -d -d
  keys.type("\x1bOQ\x1bOQ\x1b[12~");
  keys.close_input();
  const std::string out = capture_stdout([&] { EXPECT_EQ(read_all(), std::vector<int>{ENDED}); });
  EXPECT_EQ(out,
            "[Show Diagnostic Messages = OFF]\n"
            "[Show Diagnostic Messages = OFF]\n"
            "[Show Diagnostic Messages = ON]\n");
  EXPECT_EQ(program_options().diagnostic_level.load(), 1);
}

TEST_F(KeyboardInputTest, LocalKeysGoOnAndEditingKeysSendTheirBytes) {
  host_state().nt_family = 0;
  set_console_output_available(false);
  // F1, F5, F6, Alt+x, F8; then Insert, Page Up, Page Down, Ctrl+C, Up, Delete.
  keys.type("\x1bOP\x1b[15~\x1b[17~\x1bx\x1b[19~" "\x1b[2~\x1b[5~\x1b[6~\x03\x1b[A\x1b[3~");
  keys.close_input();
  EXPECT_EQ(read_all(), (std::vector<int>{0, 0, 0, 3, 0x10, 0x04, ENDED}));
  EXPECT_EQ(g_help_shown, std::vector<int>{4});
  EXPECT_EQ(colour_toggle_flag(), 0);
  EXPECT_TRUE(g_disconnected.empty());
  EXPECT_EQ(g_end_requests, 0);
}

TEST_F(KeyboardInputTest, EscDisconnectsAndEndsTheInteractiveSessionOnly) {
  keys.type("a\x1b");
  EXPECT_EQ(read_all(), (std::vector<int>{'a', ENDED}));
  EXPECT_EQ(g_disconnected, std::vector<int>{4});
  EXPECT_EQ(g_end_requests, 1);
  EXPECT_EQ(run_state().new_session_requested.load(), 0);

  program_options().batch_mode = 1;  // a batch run is not ended by the keyboard's end
  keys.type("\x1b");
  EXPECT_EQ(read_all(), std::vector<int>{ENDED});
  EXPECT_EQ(g_end_requests, 1);
}

TEST_F(KeyboardInputTest, F3AndF4DisconnectAndEndTheSession) {
  keys.type("\x1bOR");
  EXPECT_EQ(read_all(), std::vector<int>{ENDED});
  EXPECT_EQ(run_state().new_session_requested.load(), 0);
  keys.type("\x1bOS");
  EXPECT_EQ(read_all(), std::vector<int>{ENDED});
  EXPECT_EQ(run_state().new_session_requested.load(), 1);
  EXPECT_EQ(g_disconnected, (std::vector<int>{4, 4}));
  EXPECT_EQ(g_end_requests, 2);
}

TEST_F(KeyboardInputTest, APendingRestoreEndsInputAtTheNextKeyWhichIsDropped) {
  run_state().restore_requested = 1;
  keys.type("q");
  EXPECT_EQ(read_all(), std::vector<int>{ENDED});
  EXPECT_TRUE(g_disconnected.empty());
}

TEST_F(KeyboardInputTest, InputFileLinesComeFromTheScriptReader) {
  program_options().input_source = INPUT_FILE;
  session_operations().read_input_line = [](uint8_t* buffer) {
    buffer[0] = 'l';
    buffer[1] = '\r';
    return 2;
  };
  uint8_t buffer[256];
  EXPECT_EQ(read_input(buffer, 256), 2);
  EXPECT_EQ(buffer[0], 'l');
}

}  // namespace
}  // namespace orvex
