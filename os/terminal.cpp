#include "os/terminal.hpp"

#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <pthread.h>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <iterator>
#include <mutex>

#ifdef ORVEX_COVERAGE
extern "C" void __gcov_dump(void);
#endif

namespace orvex {

namespace {

// The terminal is the process's: the signal handlers and the exit path give
// its settings back from any thread, so its state is process-wide and every
// flag a restore reads is lock-free. Each variable says what on that path
// needs it.

// The restore flushes unread keys from it, from a signal handler too.
std::atomic<int> g_input_fd{STDIN_FILENO};

// The wake pipe: a byte in it means "stop reading". Created once, kept.
// Written by wake_terminal_reader, which a signal handler may call.
std::atomic<int> g_wake_read{-1};
std::atomic<int> g_wake_write{-1};
// The pipe is made by whichever thread reads or wakes first.
std::once_flag g_wake_once;

// The settings saved before raw mode. Written before g_saved_valid is set and
// only read after it is seen set, so the signal handler reads a whole record.
struct termios g_saved_settings {};
// Where the saved settings go back to, from a signal handler too.
std::atomic<int> g_saved_fd{-1};
// Whether there are settings to give back: the restore's first question.
std::atomic<bool> g_saved_valid{false};
// Raw mode's nesting, which decides when g_saved_valid is set and cleared;
// enter/leave from the keyboard thread and tests.
std::mutex g_raw_mutex;
int g_raw_depth = 0;

// What the console services changed, for the restore to give back on the way out.
std::atomic<bool> g_colours_changed{false};
std::atomic<bool> g_title_pushed{false};

// The window's size before the program first resized it, as the sequence that
// asks for it again: made when noted, so that a signal handler only writes it.
char g_window_size_back[32] = {};
// Its length, set once the sequence is whole.
std::atomic<size_t> g_window_size_back_length{0};
// The size in use is looked up the first time only.
std::atomic<bool> g_window_size_noted{false};
// Whether the restore asks for that size again.
std::atomic<bool> g_window_resized{false};

static_assert(std::atomic<bool>::is_always_lock_free && std::atomic<int>::is_always_lock_free &&
                  std::atomic<size_t>::is_always_lock_free,
              "a signal handler restores the terminal");

// Default colours back (OSC 110/111), attributes off, saved title back.
constexpr char COLOUR_RESET[] = "\x1b]110\x07\x1b]111\x07\x1b[0m";
constexpr char TITLE_POP[] = "\x1b[23;0t";

void make_wake_pipe() {
  int fds[2];
  if (pipe2(fds, O_CLOEXEC | O_NONBLOCK) == 0) {
    g_wake_read.store(fds[0]);
    g_wake_write.store(fds[1]);
  }
}

bool wake_pending(int wake_fd) {
  if (wake_fd < 0) return false;
  pollfd p{wake_fd, POLLIN, 0};
  return poll(&p, 1, 0) > 0 && (p.revents & POLLIN) != 0;
}

}  // namespace

int terminal_input_fd() { return g_input_fd.load(); }
void set_terminal_input_fd(int fd) { g_input_fd.store(fd); }

int read_terminal_byte(int timeout_ms) {
  std::call_once(g_wake_once, make_wake_pipe);
  const int fd = g_input_fd.load();
  const int wake_fd = g_wake_read.load();
  pollfd fds[2] = {{wake_fd, POLLIN, 0}, {fd, POLLIN, 0}};
  for (;;) {
    const int ready = poll(fds, 2, timeout_ms < 0 ? -1 : timeout_ms);
    if (ready < 0) {
      if (errno == EINTR) continue;
      return TERMINAL_ERROR;
    }
    if ((fds[0].revents & POLLIN) != 0) return TERMINAL_STOPPED;
    if (ready == 0) return TERMINAL_TIMEOUT;
    // No input at all (standard input closed) is input that has ended.
    if ((fds[1].revents & POLLNVAL) != 0) return TERMINAL_END;
    unsigned char byte = 0;
    const ssize_t got = read(fd, &byte, 1);
    if (got == 1) return byte;
    if (got == 0) return TERMINAL_END;
    if (errno == EINTR || errno == EAGAIN) continue;
    // A terminal that went away reports EIO: its input has ended.
    if (errno == EIO) return TERMINAL_END;
    return TERMINAL_ERROR;
  }
}

void wake_terminal_reader() {
  std::call_once(g_wake_once, make_wake_pipe);
  const int fd = g_wake_write.load();
  if (fd < 0) return;
  const char byte = 1;
  // A full pipe already wakes the reader.
  [[maybe_unused]] const ssize_t n = write(fd, &byte, 1);
}

void clear_terminal_wake() {
  std::call_once(g_wake_once, make_wake_pipe);
  const int fd = g_wake_read.load();
  char sink[64];
  while (fd >= 0 && wake_pending(fd) && read(fd, sink, sizeof sink) > 0) {
  }
}

void enter_raw_mode() {
  std::lock_guard<std::mutex> lock(g_raw_mutex);
  if (g_raw_depth++ > 0) return;
  const int fd = g_input_fd.load();
  struct termios settings {};
  if (!isatty(fd) || tcgetattr(fd, &settings) != 0) return;
  g_saved_settings = settings;
  g_saved_fd.store(fd);
  g_saved_valid.store(true, std::memory_order_release);
  settings.c_lflag &= static_cast<tcflag_t>(~(ECHO | ECHONL | ICANON | ISIG | IEXTEN));
  settings.c_iflag &= static_cast<tcflag_t>(~(IXON | IXOFF | ICRNL | INLCR | IGNCR | BRKINT | ISTRIP | PARMRK));
  settings.c_cc[VMIN] = 1;
  settings.c_cc[VTIME] = 0;
  tcsetattr(fd, TCSANOW, &settings);
}

void leave_raw_mode() {
  std::lock_guard<std::mutex> lock(g_raw_mutex);
  if (g_raw_depth == 0 || --g_raw_depth > 0) return;
  if (g_saved_valid.exchange(false, std::memory_order_acq_rel)) {
    tcsetattr(g_saved_fd.load(), TCSANOW, &g_saved_settings);
  }
}

bool raw_mode_active() { return g_saved_valid.load(std::memory_order_acquire); }

void note_window_resized() {
  if (!g_window_size_noted.exchange(true)) {
    winsize size{};
    if (ioctl(STDOUT_FILENO, TIOCGWINSZ, &size) != 0 || size.ws_row == 0 || size.ws_col == 0) return;
    const int n = std::snprintf(g_window_size_back, sizeof g_window_size_back, "\x1b[8;%u;%ut",
                                static_cast<unsigned>(size.ws_row), static_cast<unsigned>(size.ws_col));
    if (n <= 0 || static_cast<size_t>(n) >= sizeof g_window_size_back) return;
    g_window_size_back_length.store(static_cast<size_t>(n));
  }
  if (g_window_size_back_length.load() > 0) g_window_resized.store(true);
}

void note_colours_changed() {
  g_colours_changed.store(true);
}

bool note_title_pushed() {
  return !g_title_pushed.exchange(true);
}

void write_terminal_output(const char* bytes, size_t length) {
  while (length > 0) {
    const ssize_t n = write(STDOUT_FILENO, bytes, length);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;
    bytes += n;
    length -= static_cast<size_t>(n);
  }
}

void restore_terminal() {
  // Settings stay saved: raw mode left by its owner later restores the same.
  if (g_saved_valid.load(std::memory_order_acquire)) {
    tcsetattr(g_saved_fd.load(), TCSANOW, &g_saved_settings);
  }
  if (g_colours_changed.exchange(false)) write_terminal_output(COLOUR_RESET, sizeof COLOUR_RESET - 1);
  if (g_title_pushed.exchange(false)) write_terminal_output(TITLE_POP, sizeof TITLE_POP - 1);
  if (g_window_resized.exchange(false)) write_terminal_output(g_window_size_back, g_window_size_back_length.load());
  // Keys typed ahead and never read would go to the shell next, which would
  // run them as a command line. Only the foreground may touch the terminal:
  // from the background tcflush would stop the process (SIGTTOU).
  const int fd = g_input_fd.load();
  const pid_t foreground = tcgetpgrp(fd);
  if (foreground >= 0 && foreground == getpgrp()) tcflush(fd, TCIFLUSH);
}

void restore_terminal_at_exit() {
  std::fflush(stdout);
  restore_terminal();
}

void reset_terminal() {
  std::lock_guard<std::mutex> lock(g_raw_mutex);
  if (g_saved_valid.exchange(false)) tcsetattr(g_saved_fd.load(), TCSANOW, &g_saved_settings);
  g_raw_depth = 0;
  g_colours_changed.store(false);
  g_title_pushed.store(false);
  g_window_resized.store(false);
  g_window_size_noted.store(false);
  g_window_size_back_length.store(0);
  clear_terminal_wake();
}

namespace {

// The signals that end the program its normal way (the connected radio told,
// the adapter closed) once a thread waits for them, and those after which the
// process can only give the terminal back and go.
constexpr int EXIT_SIGNALS[] = {SIGINT, SIGTERM, SIGHUP, SIGPIPE};
constexpr int CRASH_SIGNALS[] = {SIGSEGV, SIGBUS, SIGABRT, SIGQUIT};

// Signal dispositions are the process's: the guard installs them once.
std::atomic<bool> g_guard_installed{false};
// The exit signal handler writes the signal into this pipe for the waiting thread.
std::atomic<int> g_signal_write{-1};
// The exit signal handler tells the first exit signal from a second one by it.
std::atomic<int> g_exit_signal{0};
// The terminate handler hands an uncaught exception on to it after restoring.
std::terminate_handler g_previous_terminate = nullptr;
// The crash handler gives each crash signal back what it did before the guard:
// the default action, or a sanitizer's report, which the signal raised again
// then still reaches.
struct sigaction g_crash_previous[std::size(CRASH_SIGNALS)] {};

static_assert(std::atomic<bool>::is_always_lock_free && std::atomic<int>::is_always_lock_free,
              "the signal handler needs lock-free flags");

// Async-signal-safe: the signal's default action back, and the signal raised.
[[noreturn]] void raise_by_default(int sig) {
  struct sigaction action {};
  action.sa_handler = SIG_DFL;
  sigemptyset(&action.sa_mask);
  sigaction(sig, &action, nullptr);
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, sig);
  pthread_sigmask(SIG_UNBLOCK, &set, nullptr);
  raise(sig);
  _exit(128 + sig);
}

void exit_signal(int sig) {
  if (g_signal_write.load() >= 0) {
    int none = 0;
    if (g_exit_signal.compare_exchange_strong(none, sig)) {
      const char byte = static_cast<char>(sig);
      const int saved_errno = errno;  // the interrupted code's
      const bool handed_on = write(g_signal_write.load(), &byte, 1) == 1;
      errno = saved_errno;
      if (handed_on) return;
    } else if (sig == SIGPIPE) {
      return;  // already on the way out: the write that met no reader just fails
    }
  }
  // No thread to take the program out yet, or a second signal while it does.
  end_by_signal(sig);
}

void crash_signal(int sig) {
  restore_terminal();
  for (size_t i = 0; i < std::size(CRASH_SIGNALS); ++i) {
    if (CRASH_SIGNALS[i] == sig) sigaction(sig, &g_crash_previous[i], nullptr);
  }
  raise(sig);
}

[[noreturn]] void terminate_with_restore() {
  restore_terminal();
#ifdef ORVEX_COVERAGE
  // The default handler aborts, which writes no line counts.
  __gcov_dump();
#endif
  if (g_previous_terminate != nullptr) g_previous_terminate();
  std::abort();
}

}  // namespace

void install_exit_guard() {
  if (g_guard_installed.exchange(true)) return;
  std::atexit(restore_terminal_at_exit);
  g_previous_terminate = std::set_terminate(terminate_with_restore);
  struct sigaction action {};
  action.sa_handler = exit_signal;
  // Not blocked in the handler, so that raising it again ends the process by it.
  action.sa_flags = SA_NODEFER;
  sigemptyset(&action.sa_mask);
  for (int sig : EXIT_SIGNALS) sigaction(sig, &action, nullptr);
  action.sa_handler = crash_signal;
  for (size_t i = 0; i < std::size(CRASH_SIGNALS); ++i) sigaction(CRASH_SIGNALS[i], &action, &g_crash_previous[i]);
}

int route_exit_signals() {
  int fds[2];
  if (g_signal_write.load() >= 0 || pipe2(fds, O_CLOEXEC) != 0) return -1;
  g_signal_write.store(fds[1]);
  install_exit_guard();
  return fds[0];
}

int wait_exit_signal(int fd) {
  unsigned char byte = 0;
  for (;;) {
    const ssize_t got = read(fd, &byte, 1);
    if (got == 1) return byte;
    if (got < 0 && errno == EINTR) continue;
    return -1;
  }
}

void end_by_signal(int sig) {
  restore_terminal();
#ifdef ORVEX_COVERAGE
  // Ended by the signal, the process never writes its line counts at exit.
  __gcov_dump();
#endif
  // The process ends as the signal would have ended it.
  raise_by_default(sig);
}

}  // namespace orvex
