#include "batch/batch_runs.hpp"

#include <algorithm>
#include <cstdio>
#include <optional>
#include <vector>

#include "base/address_text.hpp"
#include "base/clock.hpp"
#include "base/view.hpp"
#include "batch/command_list.hpp"
#include "batch/parallel_runs.hpp"
#include "batch/report_file.hpp"
#include "batch/script_lines.hpp"
#include "console/shown_text.hpp"
#include "engine/connect.hpp"
#include "engine/dispatch.hpp"
#include "engine/connection.hpp"
#include "engine/epacket.hpp"
#include "engine/session_table.hpp"
#include "engine/transfer.hpp"

namespace orvex {

namespace {

// "download SRC DST\n": at most 9 + 127 + 1 + 63 + 1 characters and the NUL.
constexpr size_t COMMAND_TEXT_SIZE = 256;

// The radio's command line takes a command with its terminating zero byte.
// In a batch run a send never ends the program: it is delivered or not.
bool send_text(Connection& conn, int slot, const char* text, size_t length) {
  return send_data(conn, conn.sessions[slot], reinterpret_cast<const uint8_t*>(text), static_cast<int>(length + 1)).delivered;
}

bool stopped(const Connection& conn) { return conn.link.stop.requested(); }

// The operator's stop during a radio's try: whatever was set up with it (a
// connection, one on the way) is closed with a disconnect.
RadioAttempt stopped_at(Connection& conn, int slot) {
  disconnect_session(conn, slot);
  return {false, "stopped by the operator"};
}

// Connects to the radio after the pause every radio gets: nothing when it is
// connected, else how the try ended (a failed connection with its message; a
// stop in the pause leaves the radio untouched and not tried).
std::optional<RadioAttempt> reach_radio(Connection& conn, int slot) {
  conn.radio = slot;  // the session's workers follow it from now on
  if (!conn.link.stop.pause(RADIO_PAUSE_MS)) return RadioAttempt{.done = false, .error = {}, .not_tried = true};
  const int connected = connect_session(conn, slot);
  if (stopped(conn)) return stopped_at(conn, slot);
  if (connected == 0) {
    say(conn.view, "Connect to Radio: FAILED\n");
    return RadioAttempt{false, "connect failed"};
  }
  say(conn.view, "Connect to Radio: OK\n");
  return std::nullopt;
}

RadioAttempt update_step(Connection& conn, int slot, const void* context) {
  return update_one_radio(conn, slot, *static_cast<const UpdateAllRequest*>(context));
}

RadioAttempt command_step(Connection& conn, int slot, const void* context) {
  return run_commands_on_radio(conn, slot, *static_cast<const std::vector<std::string>*>(context));
}

// An exit line ends the program at once, as ever; the report and the exit
// status still tell the radios it left untried.
Failure end_at_exit_line(const Connection& conn, BatchKind kind, const BatchResult& result) {
  bool all_done = true;
  for (const BatchRadioResult& radio : result.radios) all_done = all_done && radio.outcome == OUTCOME_DONE;
  save_run_report(conn.link.config, conn.view, kind, result, all_done);
  return all_done ? Failure::LOCAL_EXIT : Failure::LOCAL_EXIT_RADIOS_FAILED;
}

// One radio at a time, or with --parallel several at once.
BatchResult run_passes(Connection& conn, BatchKind kind, int extra_passes, int64_t interval_ms, OneRadio one_radio,
                       const void* context) {
  if (conn.link.config.parallel > 1) {
    return run_parallel_passes(conn, kind, extra_passes, interval_ms, one_radio, context, conn.link.config.parallel);
  }
  return run_batch_passes(conn, kind, extra_passes, interval_ms, one_radio, context);
}

void finish_run(Connection& conn, BatchKind kind, const BatchResult& result) {
  conn.view.text8(format_batch_report(kind, result, conn.link.config.console));  // radio names in it are 8-bit text
  conn.view.flush();
  save_run_report(conn.link.config, conn.view, kind, result, !stopped(conn));
  end_session(conn);
}

}  // namespace

BatchResult run_batch_passes(Connection& conn, BatchKind kind, int extra_passes, int64_t interval_ms, OneRadio one_radio,
                             const void* context) {
  BatchResult result;
  result.interval_ms = interval_ms;
  result.radios = radios_taking_part(conn.sessions);
  result.taken_part = static_cast<int>(result.radios.size());
  save_run_report(conn.link.config, conn.view, kind, result, false);
  // The operator's stop, or an exit line, which ends the run at once.
  const auto ended = [&conn, &result] { return stopped(conn) || result.exit_line; };
  const auto try_radio = [&](BatchRadioResult& radio) {
    RadioAttempt attempt = one_radio(conn, radio.slot, context);
    if (attempt.not_tried) return;
    record_attempt(radio, std::move(attempt), result);
    if (!result.exit_line) save_run_report(conn.link.config, conn.view, kind, result, false);
  };
  for (BatchRadioResult& radio : result.radios) {
    if (ended()) break;
    try_radio(radio);
    if (radio.outcome != OUTCOME_DONE) ++result.failed;
  }
  result.tries = 1;
  for (int pass = 1; pass <= extra_passes && result.failed > 0 && !ended(); ++pass) {
    conn.view.message(format_pass_message(kind, result.failed, pass, interval_ms));
    conn.view.flush();
    if (!conn.link.stop.pause(static_cast<uint32_t>(interval_ms))) break;
    ++result.tries;
    for (BatchRadioResult& radio : result.radios) {
      if (radio.outcome != OUTCOME_FAILED || ended()) continue;
      try_radio(radio);
      if (radio.outcome == OUTCOME_DONE) --result.failed;
    }
  }
  if (stopped(conn)) {
    // Radios the stop left out count as not updated (the report file says "not tried").
    result.failed = static_cast<int>(std::ranges::count_if(
        result.radios, [](const BatchRadioResult& radio) { return radio.outcome != OUTCOME_DONE; }));
  }
  return result;
}

RadioAttempt update_one_radio(Connection& conn, int slot, const UpdateAllRequest& request) {
  say8(conn.view, "Updating radio %s ...\n",
       shown_text(conn.sessions[slot].name_text(), conn.link.config.console).c_str());
  conn.view.flush();
  if (std::optional<RadioAttempt> unreached = reach_radio(conn, slot)) return *unreached;

  char command[COMMAND_TEXT_SIZE];
  int length = std::snprintf(command, sizeof command, "download %s %s\n", request.source.c_str(),
                             request.destination.c_str());
  if (length < 0 || static_cast<size_t>(length) >= sizeof command) length = 0;
  // Only this radio's transfer may decide its outcome: an earlier radio's
  // late failure or end signal is dropped here.
  SessionEvents& events = conn.events;
  conn.transfer.transfer_failed = 0;
  conn.transfer.failure = TransferFailure::NONE;
  events.transfer_done_event.reset();
  // A stop from here on wakes the wait below (the session's stop sets the event).
  if (stopped(conn)) return stopped_at(conn, slot);
  send_text(conn, slot, command, static_cast<size_t>(length));  // its outcome shows in the transfer

  const bool ended = events.transfer_done_event.wait(DOWNLOAD_WAIT_MS);
  const bool paused = !stopped(conn) && conn.link.stop.pause(AFTER_DOWNLOAD_MS);
  // A transfer still running would go on into the next radio's wait.
  if (!ended || !paused) end_transfer_after_wait(conn, slot);
  if (!paused) return stopped_at(conn, slot);
  if (!ended || conn.transfer.transfer_failed != 0) {
    say(conn.view, "Download: FAILED\n");
    disconnect_session(conn, slot);
    if (!ended) return {false, "download timed out"};
    return {false, conn.transfer.failure == TransferFailure::FILE_CHANGED ? "file changed while served" : "download failed"};
  }
  say(conn.view, "Download: OK\n");

  switch (request.action) {
    case 2:
      length = std::snprintf(command, sizeof command, "sdp %s\n", request.destination.c_str());
      if (length < 0 || static_cast<size_t>(length) >= sizeof command) length = 0;
      if (send_text(conn, slot, command, static_cast<size_t>(length))) {
        if (!conn.link.stop.pause(RADIO_PAUSE_MS)) return stopped_at(conn, slot);
        say(conn.view, "Set Default Program: OK\n");
        disconnect_session(conn, slot);
        return {true, {}};
      }
      if (stopped(conn)) return stopped_at(conn, slot);
      say(conn.view, "Set Default Program: FAILED\n");
      disconnect_session(conn, slot);
      return {false, "set default program failed"};
    case 1:
      return {true, {}};  // left connected
    default:
      disconnect_session(conn, slot);
      return {true, {}};
  }
}

RadioAttempt run_commands_on_radio(Connection& conn, int slot, const std::vector<std::string>& commands) {
  say8(conn.view, "Executing commands on radio %s ...\n",
       shown_text(conn.sessions[slot].name_text(), conn.link.config.console).c_str());
  conn.view.flush();
  if (std::optional<RadioAttempt> unreached = reach_radio(conn, slot)) return *unreached;
  for (const std::string& line : commands) {
    if (stopped(conn)) return stopped_at(conn, slot);
    if (is_exit_line(line.c_str())) return {.done = true, .error = {}, .exit_line = true};  // the run ends, this radio done
    // Comments and delays (slept here, between two commands).
    if (run_script_line({conn.view, conn.events}, line.c_str()) != ScriptLine::FOR_RADIO) continue;
    if (!send_text(conn, slot, line.data(), line.size())) {
      if (stopped(conn)) return stopped_at(conn, slot);
      say(conn.view, "Execution of command [%s]  FAILED\n", line.c_str());
      disconnect_session(conn, slot);
      return {false, "command failed: " + line.substr(0, line.find_first_of("\r\n"))};
    }
    if (!conn.link.stop.pause(RADIO_PAUSE_MS)) return stopped_at(conn, slot);
    say(conn.view, "OK\n");
    conn.view.flush();
  }
  disconnect_session(conn, slot);
  return {true, {}};
}

bool update_all_radios(Connection& conn) {
  const UpdateAllRequest& request = conn.link.config.update;
  const BatchResult result = run_passes(conn, BatchKind::UPDATE_ALL, request.extra_passes, request.interval_ms,
                                        update_step, &request);
  finish_run(conn, BatchKind::UPDATE_ALL, result);
  return result.failed == 0;
}

void print_dry_run(const Link& link, const SessionTable& table) {
  const std::vector<BatchRadioResult> radios = radios_taking_part(table);
  say8(link.view, "\nDry run: the %s would reach %d radios; none is connected.\n",
       link.config.run_mode == RunMode::UPDATE_ALL ? "update run" : "command run", static_cast<int>(radios.size()));
  say8(link.view, " Node  %-17s  %-8s  MAC Address\n", "Name", "S/N");
  for (const BatchRadioResult& radio : radios) {
    say8(link.view, " %03d   %-17s  %-8s  %s\n", radio.slot, shown_text(radio.name, link.config.console).c_str(),
         radio.serial_text.c_str(), format_mac_text(radio.mac).c_str());
  }
  say8(link.view, "Dry run ended.\n");
  link.view.flush();
}

CommandRunEnd run_commands_on_all_radios(Connection& conn) {
  const CommandRunRequest& request = conn.link.config.command_run;
  // Read once, with a reader of its own: an input file (-i) keeps its place.
  const CommandList commands = read_command_list({conn.view, conn.events}, request.command_file.c_str());
  if (commands.failure != Failure::NONE) return {.all_done = false, .failure = commands.failure};
  const BatchResult result = run_passes(conn, BatchKind::COMMAND_RUN, request.extra_passes, request.interval_ms,
                                        command_step, &commands.lines);
  if (result.exit_line) return {.all_done = false, .failure = end_at_exit_line(conn, BatchKind::COMMAND_RUN, result)};
  finish_run(conn, BatchKind::COMMAND_RUN, result);
  return {.all_done = result.failed == 0, .failure = Failure::NONE};
}

}  // namespace orvex
