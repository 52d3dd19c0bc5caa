#include "app/driver.hpp"

#include <limits.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

#include "app/exit_signals.hpp"
#include "app/options.hpp"
#include "app/operator_input.hpp"
#include "app/termination.hpp"
#include "batch/batch_runs.hpp"
#include "console/console.hpp"
#include "console/cp437.hpp"
#include "console/radio_output.hpp"
#include "console/shown_text.hpp"
#include "engine/connect.hpp"
#include "engine/discover.hpp"
#include "ui/console_view.hpp"
#include "engine/epacket.hpp"
#include "engine/session_workers.hpp"
#include "link/adapters.hpp"
#include "os/packet_capture.hpp"
#include "os/terminal.hpp"
#include "ui/device_table.hpp"
#include "ui/help.hpp"

namespace orvex {

namespace {

// The operator's choice (after the first one the whole table is printed
// first) and the connection to the chosen radio; an invalid choice or a
// failed set-up ends the program.
void choose_and_connect(Engine& e, Termination& termination, bool choose) {
  RunState& run = e.run;
  if (choose) {
    if (run.rows_during_discovery == 0) print_device_table(e.link.config.console, e.sessions);
    const DeviceChoice chosen = choose_device(e.sessions, run.radios_found, e.link.config);
    if (chosen.failure != Failure::NONE) termination.terminate_app(chosen.failure);
    e.connection.radio = chosen.index;
    run.rows_during_discovery = 0;
  }
  if (connect_session(e.connection, e.connection.radio) == 0) termination.terminate_app(Failure::NO_CONNECTION);
}

// No radio answered: the message says so, and then which adapter was used and
// whether its link is up, so that a pulled cable or a wrong adapter shows at once.
[[noreturn]] void end_with_no_radios(Engine& e, PacketCapture& capture, RadioOutput& output, Termination& termination,
                                     const std::string& adapter) {
  std::string text = failure_message(Failure::NO_DEVICES);
  const char* link = "unknown";
  std::vector<InterfaceInfo> interfaces;
  if (capture.list_interfaces(interfaces)) {
    for (const InterfaceInfo& i : interfaces) {
      if (i.name == adapter) link = i.carrier ? "up" : "down";
    }
  }
  text.insert(text.find('\n') + 1, "Adapter used: " + adapter + ", link " + link + "\n");
  std::fputs(text.c_str(), stdout);
  shutdown_clean(e.link.io, output);
  const Failure none = Failure::NO_DEVICES;
  termination.exit_now(termination.exit_status(usual_status(none), telling_status(none)));
}

// SIGINT, SIGTERM, SIGHUP and SIGPIPE (the reader of the output gone): the
// connected radio is told with a disconnect (which closes its entry, so no
// frame of the connection follows it), then the terminal is given back and the
// process ends by the signal. The adapter stays open until then: closed here,
// it would fail the receive worker's read, whose own way out could end the
// process first, with another status.
void watch_exit_signals(Engine& e) {
  handle_exit_signals([&e] {
    const auto disconnect_if_open = [&e](Connection& conn, int index) {
      if (!SessionTable::valid_index(index)) return;
      const int32_t state = e.sessions[index].state;
      if (state == SESSION_CONNECTED || state == SESSION_TRANSFER) disconnect_session(conn, index);
    };
    disconnect_if_open(e.connection, e.connection.radio.load());
    // A parallel run's connections, each told by its own.
    for (int i = 0; i < MAX_USER_SESSIONS; ++i) {
      if (Connection* owner = e.link.owners[static_cast<size_t>(i)].load()) disconnect_if_open(*owner, i);
    }
  });
}

// Which folder a radio's file requests are answered from, for -d.
void tell_served_folder(const Config& config) {
  if (config.diagnostic_level == 0) return;
  char folder[PATH_MAX];
  if (getcwd(folder, sizeof folder) == nullptr) return;
  console_printf(config.console, "d:Files are served from %s\n", shown_text(folder, config.console).c_str());
  std::fflush(stdout);
}

}  // namespace

void prepare_run(SessionTable& table, const Config& options, RadioOutput& output, Termination& termination) {
  for (Session& s : table.entries) {
    s.state = SESSION_EMPTY;
    s.connect_time = 0;
    s.reply_buffer = nullptr;
  }
  // The adapter's opening set the local address (-m included) before this.
  if (options.output_file_name.empty()) return;
  if (const Failure failed = output.open_capture_file(options); failed != Failure::NONE) {
    termination.terminate_app(failed);
  }
}

void shutdown_clean(FrameIo& io, RadioOutput& output) {
  io.close();
  output.close_capture_file();
}

void run_program(const PlatformServices& platform, Termination& termination, int argc, char** argv) {
  // Every way out gives the terminal back, whatever ends the program.
  install_exit_guard();
  // Made once for the run and never destroyed: the process ends by exit_now.
  auto* config = new Config;
  config->console = console_of_process();
  auto* view = new ConsoleView(config->console);
  RadioOutput& output = view->radio_output();
  termination.set_capture(&output);
  auto* clock = new SystemClock;
  parse_options(*config, *view, platform.capture, platform.files, termination, argc, argv);
  print_banner(*config, *clock);
  Engine& e = *new Engine(*config, *view, *clock, platform.files);
  termination.close_adapter = [&e] { e.link.io.close(); };
  watch_exit_signals(e);
  RunState& run = e.run;

  AdapterChoice adapters{*config, e.link.io, *view, platform.capture, platform.host};
  const AdapterSelection adapter = select_adapter(adapters);
  if (adapter.failure != Failure::NONE) termination.terminate_app(adapter.failure);
  prepare_run(e.sessions, e.link.config, output, termination);

  if (run.rows_during_discovery != 0) print_device_table_header(config->console);
  const auto print_row = [config](const Session& s, int index) { print_device_row(config->console, s, index); };
  run.radios_found = discover_radios(e.link, e.sessions, run.rows_during_discovery != 0 ? print_row : RadioFound{});
  if (run.radios_found == 0) end_with_no_radios(e, platform.capture, output, termination, adapters.table.entries[adapter.id].name);

  if (config->dry_run) {
    print_dry_run(e.link, e.sessions);
    shutdown_clean(e.link.io, output);
    termination.exit_now(termination.exit_status(EXIT_DONE, EXIT_DONE));
  }
  // The batch operations connect to each radio themselves.
  if (!config->batch_run()) choose_and_connect(e, termination, true);

  // A worker's failure ends the program, and the program's end asks their session to end.
  auto* workers = new SessionWorkers(e, *new OperatorInput(e.connection, termination),
                                     [&termination](Failure failure) { termination.terminate_app(failure); });
  termination.set_session_to_end(workers);
  bool all_radios_done = true;
  for (;;) {
    run.new_session_requested = 0;
    e.connection.restore_requested = 0;
    tell_served_folder(e.link.config);
    workers->start();
    if (config->run_mode == RunMode::UPDATE_ALL) {
      all_radios_done = update_all_radios(e.connection) && all_radios_done;
    } else if (config->run_mode == RunMode::COMMAND_RUN) {
      const CommandRunEnd ran = run_commands_on_all_radios(e.connection);
      if (ran.failure != Failure::NONE) termination.terminate_app(ran.failure);
      all_radios_done = ran.all_done && all_radios_done;
    }
    workers->wait_end();
    if (run.new_session_requested != 0) {
      choose_and_connect(e, termination, true);  // the same table again, no new discovery
    } else if (e.connection.restore_requested != 0) {
      choose_and_connect(e, termination, false);  // the same radio again
    } else {
      break;
    }
  }

  shutdown_clean(e.link.io, output);
  termination.exit_now(termination.exit_status(EXIT_DONE, all_radios_done ? EXIT_DONE : EXIT_SOME_RADIOS_FAILED));
}

}  // namespace orvex
