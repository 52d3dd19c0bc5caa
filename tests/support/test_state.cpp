#include "tests/support/test_state.hpp"

#include <atomic>
#include <cstdio>

#include "engine/key_ring.hpp"
#include "app/session_operations.hpp"
#include "app/session_workers.hpp"
#include "base/clock.hpp"
#include "base/host_state.hpp"
#include "base/settings.hpp"
#include "base/terminate.hpp"
#include "batch/batch_requests.hpp"
#include "batch/radio_list.hpp"
#include "batch/script_lines.hpp"
#include "console/console.hpp"
#include "console/cp437.hpp"
#include "console/keys.hpp"
#include "console/radio_output.hpp"
#include "engine/dispatch.hpp"
#include "engine/session_events.hpp"
#include "engine/transfer.hpp"
#include "link/adapters.hpp"
#include "link/frame_io.hpp"
#include "os/terminal.hpp"

namespace orvex::test {

static std::atomic<int> g_session_end_requests{0};

void reset_all_state() {
  reset_session_workers();  // first: the workers use everything else
  reset_session_operations();
  reset_key_ring();
  reset_key_reader();
  reset_terminal();
  reset_console();
  set_console_utf8(false);
  reset_settings();
  reset_radio_list();
  reset_input_reader();
  reset_batch_requests();
  for (Session& s : session_table().entries) {
    if (s.send_file != nullptr) std::fclose(s.send_file);
  }
  reset_session_table();
  reset_transfer_state();
  reset_dispatch_state();
  reset_radio_output();
  reset_frame_io();
  renew_session_events();
  host_state().reset();
  reset_adapter_table();
  set_console_output_available(false);
  set_clock(nullptr);
}

TerminationCatcher::TerminationCatcher() {
  g_session_end_requests = 0;
  termination_hooks().exit_process = [](int status) {
    std::fflush(stdout);
    throw ProcessExit{status};
  };
  termination_hooks().request_session_end = [] { ++g_session_end_requests; };
}

TerminationCatcher::~TerminationCatcher() {
  termination_hooks().exit_process = nullptr;
  termination_hooks().request_session_end = nullptr;
}

int TerminationCatcher::session_end_requests() { return g_session_end_requests.load(); }

}  // namespace orvex::test
