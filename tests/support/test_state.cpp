#include "tests/support/test_state.hpp"

#include <atomic>
#include <cstdio>

#include "app/termination.hpp"
#include "base/clock.hpp"
#include "console/radio_output.hpp"
#include "os/terminal.hpp"

namespace orvex::test {

static std::atomic<int> g_session_end_requests{0};

void reset_process_state() {
  reset_terminal();
  close_capture_file();
  set_telling_exit_status(false);
  set_stopped_by_operator(false);
}

TerminationCatcher::TerminationCatcher() {
  g_session_end_requests = 0;
  termination_hooks().exit_process = [](int status) {
    std::fflush(stdout);
    throw ProcessExit{status};
  };
  termination_hooks().request_session_end = [] { ++g_session_end_requests; };
}

TerminationCatcher::TerminationCatcher(Connection& conn) : TerminationCatcher() {
  conn.request_session_end = [] { ++g_session_end_requests; };
}

TerminationCatcher::~TerminationCatcher() {
  termination_hooks().exit_process = nullptr;
  termination_hooks().request_session_end = nullptr;
}

int TerminationCatcher::session_end_requests() { return g_session_end_requests.load(); }

}  // namespace orvex::test
