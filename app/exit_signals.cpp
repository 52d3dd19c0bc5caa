#include "app/exit_signals.hpp"

#include <fcntl.h>
#include <pthread.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <exception>
#include <iterator>

#include "os/terminal.hpp"

#ifdef ORVEX_COVERAGE
extern "C" void __gcov_dump(void);
#endif

namespace orvex {

namespace {

// The signals that end the program its normal way (the connected radio told,
// the adapter closed) once a thread waits for them, and those after which the
// process can only give the terminal back and go.
constexpr int EXIT_SIGNALS[] = {SIGINT, SIGTERM, SIGHUP, SIGPIPE};
constexpr int CRASH_SIGNALS[] = {SIGSEGV, SIGBUS, SIGABRT, SIGQUIT};

// The signal handlers read these: they are process-wide, and lock-free.
std::atomic<bool> g_guard_installed{false};
// The exit signals' pipe to the waiting thread, and the first signal sent on it.
std::atomic<int> g_signal_read{-1};
std::atomic<int> g_signal_write{-1};
std::atomic<int> g_exit_signal{0};
std::terminate_handler g_previous_terminate = nullptr;

// What a crash signal did before the guard: the default action, or a
// sanitizer's report, which the signal raised again then still reaches.
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

void fatal_signal(int sig) {
  restore_terminal();
#ifdef ORVEX_COVERAGE
  // Ended by the signal, the process never writes its line counts at exit.
  __gcov_dump();
#endif
  // The process ends as the signal would have ended it.
  raise_by_default(sig);
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
  fatal_signal(sig);
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

void route_exit_signals() {
  int fds[2];
  if (g_signal_write.load() >= 0 || pipe2(fds, O_CLOEXEC) != 0) return;
  g_signal_read.store(fds[0]);
  g_signal_write.store(fds[1]);
  install_exit_guard();
}

int wait_exit_signal() {
  unsigned char byte = 0;
  for (;;) {
    const ssize_t got = read(g_signal_read.load(), &byte, 1);
    if (got == 1) return byte;
    if (got < 0 && errno == EINTR) continue;
    return -1;
  }
}

void end_by_signal(int sig) {
  restore_terminal();
#ifdef ORVEX_COVERAGE
  __gcov_dump();
#endif
  raise_by_default(sig);
}

}  // namespace orvex
