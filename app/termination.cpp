#include "app/termination.hpp"

#include <unistd.h>

#include <cstdio>
#include <string>

#include "console/radio_output.hpp"
#include "engine/session_workers.hpp"
#include "os/terminal.hpp"

#ifdef ORVEX_COVERAGE
extern "C" void __gcov_dump(void);
#endif

namespace orvex {

int Termination::exit_status(int usual, int telling) const {
  if (!telling_.load()) return usual;
  // The radios the stop left out failed, and a connection the stop cut was
  // lost: the stop is what the status tells.
  const bool cut_short = telling == EXIT_SOME_RADIOS_FAILED || telling == EXIT_CONNECTION_LOST;
  return cut_short && stopped_by_operator_.load() ? EXIT_STOPPED_BY_OPERATOR : telling;
}

void Termination::exit_now(int status) {
  std::fflush(stdout);
  if (RadioOutput* output = capture_.load()) output->flush_capture_file();
  restore_terminal_at_exit();
  if (exit_process) exit_process(status);
#ifdef ORVEX_COVERAGE
  // _exit skips the exit handlers, among them the one that writes the line counts.
  __gcov_dump();
#endif
  _exit(status);
}

void Termination::terminate_app(Failure failure) {
  std::fputs(failure_message(failure).c_str(), stdout);
  std::fflush(stdout);
  // Before any session has started, and between sessions, this asks nothing.
  if (request_session_end) {
    request_session_end();
  } else if (SessionWorkers* workers = session_.load()) {
    workers->request_end();
  }
  if (close_adapter) close_adapter();
  exit_now(exit_status(usual_status(failure), telling_status(failure)));
}

}  // namespace orvex
