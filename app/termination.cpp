#include "app/termination.hpp"

#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <string>

#include "console/radio_output.hpp"
#include "engine/session_workers.hpp"
#include "os/terminal.hpp"

#ifdef ORVEX_COVERAGE
extern "C" void __gcov_dump(void);
#endif

namespace orvex {

namespace {

TerminationHooks g_hooks;

// The exit path reads them from any thread: they are process-wide.
std::atomic<bool> g_telling_exit_status{false};
std::atomic<bool> g_stopped_by_operator{false};
// The exit path asks the running session to end from wherever it is called.
std::atomic<SessionWorkers*> g_session_workers{nullptr};

void end_running_session() {
  if (SessionWorkers* w = g_session_workers.load()) w->request_end();
}

}  // namespace

void set_telling_exit_status(bool telling) { g_telling_exit_status.store(telling); }

void set_stopped_by_operator(bool stopped) { g_stopped_by_operator.store(stopped); }

int exit_status(int usual, int telling) {
  if (!g_telling_exit_status.load()) return usual;
  // The radios the stop left out failed, and a connection the stop cut was
  // lost: the stop is what the status tells.
  const bool cut_short = telling == EXIT_SOME_RADIOS_FAILED || telling == EXIT_CONNECTION_LOST;
  return cut_short && g_stopped_by_operator.load() ? EXIT_STOPPED_BY_OPERATOR : telling;
}

TerminationHooks& termination_hooks() { return g_hooks; }

void set_session_to_end(SessionWorkers* workers) {
  g_session_workers.store(workers);
  if (workers != nullptr && g_hooks.request_session_end == nullptr) {
    g_hooks.request_session_end = end_running_session;
  } else if (workers == nullptr && g_hooks.request_session_end == end_running_session) {
    g_hooks.request_session_end = nullptr;
  }
}

void exit_now(int status) {
  std::fflush(stdout);
  flush_capture_file();
  restore_terminal_at_exit();
  if (g_hooks.exit_process != nullptr) g_hooks.exit_process(status);
#ifdef ORVEX_COVERAGE
  // _exit skips the exit handlers, among them the one that writes the line counts.
  __gcov_dump();
#endif
  _exit(status);
}

void terminate_app(Failure failure) {
  std::fputs(failure_message(failure).c_str(), stdout);
  std::fflush(stdout);
  // Before any session has started, and between sessions, this asks nothing.
  if (g_hooks.request_session_end != nullptr) g_hooks.request_session_end();
  if (g_hooks.close_adapter != nullptr) g_hooks.close_adapter();
  exit_now(exit_status(usual_status(failure), telling_status(failure)));
}

}  // namespace orvex
