#include "app/driver.hpp"

#include "app/session_workers.hpp"
#include "base/terminate.hpp"
#include "batch/batch_runs.hpp"
#include "ui/help.hpp"
#include "app/options.hpp"
#include "base/settings.hpp"
#include "console/radio_output.hpp"
#include "ui/device_table.hpp"
#include "engine/discover.hpp"
#include "link/adapters.hpp"
#include "link/frame_io.hpp"
#include "engine/connect.hpp"
#include "engine/session_table.hpp"

namespace orvex {

namespace {

// The operator's choice (after the first one the whole table is printed
// first) and the connection to the chosen radio; a failed set-up ends the
// program.
void choose_and_connect(bool choose) {
  RunState& run = run_state();
  if (choose) {
    if (run.rows_during_discovery == 0) print_device_table();
    run.chosen_radio = choose_device();
    run.rows_during_discovery = 0;
  }
  if (connect_session(run.chosen_radio) == 0) terminate_app(TERM_CONTEXT_STARTUP, REASON_NO_CONNECTION);
}

}  // namespace

void prepare_run() {
  for (Session& s : session_table().entries) {
    s.state = SESSION_EMPTY;
    s.connect_time = 0;
    s.reply_buffer = nullptr;
  }
  const ProgramOptions& options = program_options();
  if (!options.local_mac_override.is_zero()) local_mac_address() = options.local_mac_override;
  if (!options.output_file_name.empty()) open_capture_file();
}

void shutdown_clean() {
  close_adapter();
  if (capture_state() == CAPTURE_ON) close_capture_file();
}

void run_program(int argc, char** argv) {
  const ProgramOptions& options = program_options();
  RunState& run = run_state();

  parse_options(argc, argv);
  print_banner();
  if (select_adapter() < 0) terminate_app(TERM_CONTEXT_STARTUP, REASON_INVALID_ADAPTER);
  prepare_run();

  if (run.rows_during_discovery != 0) print_device_table_header();
  run.numOfRadiosFound = discover_radios(print_device_row);
  if (run.numOfRadiosFound == 0) terminate_app(TERM_CONTEXT_STARTUP, REASON_NO_DEVICES);

  // The batch operations connect to each radio themselves.
  if (options.batch_mode == 0) choose_and_connect(true);

  for (;;) {
    run.new_session_requested = 0;
    run.restore_requested = 0;
    start_session_workers();
    if (options.update_all_mode != 0) {
      update_all_radios();
    } else if (options.command_run_mode != 0) {
      run_commands_on_all_radios();
    }
    wait_session_end();
    if (run.new_session_requested != 0) {
      choose_and_connect(true);  // the same table again, no new discovery
    } else if (run.restore_requested != 0) {
      choose_and_connect(false);  // the same radio again
    } else {
      break;
    }
  }

  shutdown_clean();
  exit_now(0);
}

}  // namespace orvex
