// The one key press awaited at a fatal start-up message: it never hangs when
// there is no terminal to press a key on, or the terminal has gone.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include "console/key_press.hpp"
#include "os/terminal.hpp"
#include "tests/support/test_state.hpp"

namespace orvex {
namespace {

class KeyPressTest : public test::OrvexTest {
 protected:
  void TearDown() override {
    set_terminal_input_fd(STDIN_FILENO);
    OrvexTest::TearDown();
  }
};

// A pseudo-terminal pair: the slave stands for the operator's terminal.
struct Pty {
  int master = posix_openpt(O_RDWR | O_NOCTTY);
  int slave = -1;
  Pty() {
    if (master >= 0 && grantpt(master) == 0 && unlockpt(master) == 0) slave = open(ptsname(master), O_RDWR | O_NOCTTY);
  }
  ~Pty() {
    if (slave >= 0) close(slave);
    if (master >= 0) close(master);
  }
};

TEST_F(KeyPressTest, ReturnsAtOnceWithoutATerminal) {
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);  // input from a pipe that never delivers a byte
  set_terminal_input_fd(fds[0]);
  wait_for_key_press();
  close(fds[0]);
  close(fds[1]);
}

TEST_F(KeyPressTest, TakesOneKeyOrTheTerminalsEnd) {
  for (const bool hang_up : {false, true}) {
    Pty pty;
    ASSERT_GE(pty.slave, 0);
    set_terminal_input_fd(pty.slave);
    if (hang_up) {
      close(pty.master);
      pty.master = -1;
    } else {
      ASSERT_EQ(write(pty.master, "k", 1), 1);
    }
    wait_for_key_press();
    EXPECT_FALSE(raw_mode_active());
  }
}

}  // namespace
}  // namespace orvex
