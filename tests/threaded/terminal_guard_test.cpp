// The terminal comes back as it was, whichever way the program ends. The test
// runs this same binary as a child on a pseudo-terminal: the child starts a
// session (raw keys, changed colours and title) and ends it one way or
// another; the parent compares the terminal's settings before and after and
// reads what the child wrote to it.
#include <gtest/gtest.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <span>
#include <string>
#include <thread>

#include "app/session_operations.hpp"
#include "app/session_workers.hpp"
#include "base/terminate.hpp"
#include "base/settings.hpp"
#include "console/console.hpp"
#include "os/terminal.hpp"
#include "engine/session_events.hpp"
#include "engine/session_table.hpp"

namespace orvex {
namespace {

constexpr char SCENARIO_VARIABLE[] = "OX7_PTY_SCENARIO";
constexpr char COLOUR_RESET[] = "\x1b]110\x07\x1b]111\x07\x1b[0m";
constexpr char TITLE_POP[] = "\x1b[23;0t";

int quiet_receive(std::span<uint8_t>) {
  for (int i = 0; i < 10 && !session_stopping(); ++i) usleep(10'000);
  return 0;
}

// The child: a session on the terminal, ended as the scenario says.
[[noreturn]] void run_child(const std::string& scenario) {
  session_operations().receive = quiet_receive;
  run_state().chosen_radio = 0;
  session_table()[0].state = SESSION_CONNECTED;
  set_console_title("OrvexTerm test");
  set_black_on_white();
  start_session_workers();
  for (int i = 0; i < 500 && !raw_mode_active(); ++i) usleep(2'000);
  std::printf(raw_mode_active() ? "READY\n" : "NOT RAW\n");
  std::fflush(stdout);
  if (scenario == "reason") {
    std::thread([] {
      usleep(500'000);
      terminate_app(-1, REASON_RECEIVE_THREAD_FAILED);
    }).detach();
  }
  wait_session_end();  // F3 from the parent ends it ("normal")
  std::printf("SESSION ENDED\n");
  std::exit(0);
}

// Runs only in the child, which selects it by name.
TEST(DISABLED_TerminalGuardChild, Run) {
  const char* scenario = std::getenv(SCENARIO_VARIABLE);
  if (scenario != nullptr) run_child(scenario);
}

struct ChildRun {
  struct termios before {};
  struct termios during {};
  struct termios after {};
  std::string output;
  int status = -1;
  bool finished = false;
};

// Reads what the child wrote until `until` appears or `ms` pass.
bool read_until(int master, std::string& output, const std::string& until, int ms) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  while (until.empty() || output.find(until) == std::string::npos) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) return until.empty();
    pollfd p{master, POLLIN, 0};
    if (poll(&p, 1, static_cast<int>(left.count())) <= 0) continue;
    char buf[512];
    const ssize_t n = read(master, buf, sizeof buf);
    if (n <= 0) return false;
    output.append(buf, static_cast<size_t>(n));
  }
  return true;
}

ChildRun run_scenario(const std::string& scenario) {
  ChildRun run;
  int master = -1;
  int slave = -1;
  if (openpty(&master, &slave, nullptr, nullptr, nullptr) != 0) {
    ADD_FAILURE() << "openpty";
    return run;
  }
  tcgetattr(slave, &run.before);
  const pid_t pid = fork();
  if (pid == 0) {
    setsid();
    ioctl(slave, TIOCSCTTY, 0);
    dup2(slave, STDIN_FILENO);
    dup2(slave, STDOUT_FILENO);
    dup2(slave, STDERR_FILENO);
    close(master);
    close(slave);
    setenv(SCENARIO_VARIABLE, scenario.c_str(), 1);
    execl("/proc/self/exe", "orvex_pty_child", "--gtest_also_run_disabled_tests",
          "--gtest_filter=DISABLED_TerminalGuardChild.Run", static_cast<char*>(nullptr));
    _exit(127);
  }
  if (read_until(master, run.output, "READY", 10'000)) {
    usleep(50'000);
    tcgetattr(slave, &run.during);
    if (scenario == "normal") {
      const char f3[] = "\x1bOR";
      [[maybe_unused]] ssize_t n = write(master, f3, sizeof f3 - 1);
    } else if (scenario == "sigterm") {
      kill(pid, SIGTERM);
    }
  }
  // Bounded wait for the child, reading its output meanwhile.
  for (int i = 0; i < 500 && !run.finished; ++i) {
    read_until(master, run.output, "", 20);
    run.finished = waitpid(pid, &run.status, WNOHANG) == pid;
  }
  if (!run.finished) {
    kill(pid, SIGKILL);
    waitpid(pid, &run.status, 0);
  }
  read_until(master, run.output, "", 50);
  tcgetattr(slave, &run.after);
  close(master);
  close(slave);
  return run;
}

bool same_settings(const struct termios& a, const struct termios& b) {
  return a.c_iflag == b.c_iflag && a.c_oflag == b.c_oflag && a.c_cflag == b.c_cflag &&
         a.c_lflag == b.c_lflag && std::memcmp(a.c_cc, b.c_cc, sizeof a.c_cc) == 0;
}

// The colours were changed, and the last colour sequence the terminal saw
// gives its own defaults back; the saved title comes back too.
void expect_colours_given_back(const std::string& output) {
  const size_t set = output.rfind("\x1b]10;#000000");
  const size_t reset = output.rfind(COLOUR_RESET);
  ASSERT_NE(set, std::string::npos) << output;
  ASSERT_NE(reset, std::string::npos) << output;
  EXPECT_LT(set, reset);
  EXPECT_EQ(output.find("\x1b]1", reset + sizeof COLOUR_RESET - 1), std::string::npos) << output;  // nothing set after
  EXPECT_NE(output.find(TITLE_POP), std::string::npos);
}

void expect_raw_then_restored(const ChildRun& run) {
  ASSERT_TRUE(run.finished) << run.output;
  EXPECT_EQ(run.during.c_lflag & (ECHO | ICANON | ISIG), 0u) << "raw while keys are read";
  EXPECT_NE(run.before.c_lflag & (ECHO | ICANON | ISIG), 0u);
  EXPECT_TRUE(same_settings(run.before, run.after));
  expect_colours_given_back(run.output);
}

TEST(TerminalGuard, NormalEndGivesTheTerminalBack) {
  const ChildRun run = run_scenario("normal");
  expect_raw_then_restored(run);
  EXPECT_TRUE(WIFEXITED(run.status) && WEXITSTATUS(run.status) == 0);
  EXPECT_NE(run.output.find("SESSION ENDED"), std::string::npos);
}

TEST(TerminalGuard, AReasonCodeFromAnotherThreadGivesTheTerminalBack) {
  const ChildRun run = run_scenario("reason");
  expect_raw_then_restored(run);
  EXPECT_TRUE(WIFEXITED(run.status) && WEXITSTATUS(run.status) == 0);
  EXPECT_NE(run.output.find("Error: Receive thread failed"), std::string::npos);
}

TEST(TerminalGuard, SigtermGivesTheTerminalBack) {
  const ChildRun run = run_scenario("sigterm");
  expect_raw_then_restored(run);
  // Ended by the signal; where a sanitizer holds signals back in the handler,
  // by the handler's own exit with the shell's code for it.
  const bool by_signal = WIFSIGNALED(run.status) && WTERMSIG(run.status) == SIGTERM;
  const bool by_exit = WIFEXITED(run.status) && WEXITSTATUS(run.status) == 128 + SIGTERM;
  EXPECT_TRUE(by_signal || by_exit) << run.status << run.output;
}

}  // namespace
}  // namespace orvex
