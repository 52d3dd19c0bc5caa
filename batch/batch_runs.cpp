#include "batch/batch_runs.hpp"

#include <algorithm>
#include <cstdio>
#include <optional>
#include <vector>

#include "base/address_text.hpp"
#include "base/clock.hpp"
#include "base/view.hpp"
#include "batch/command_list.hpp"
#include "batch/report_file.hpp"
#include "batch/script_lines.hpp"
#include "console/shown_text.hpp"
#include "engine/connect.hpp"
#include "engine/dispatch.hpp"
#include "engine/engine.hpp"
#include "engine/epacket.hpp"
#include "engine/session_table.hpp"
#include "engine/transfer.hpp"

namespace orvex {

namespace {

// "download SRC DST\n": at most 9 + 127 + 1 + 63 + 1 characters and the NUL.
constexpr size_t COMMAND_TEXT_SIZE = 256;

// The radio's command line takes a command with its terminating zero byte.
// In a batch run a send never ends the program: it is delivered or not.
bool send_text(Engine& e, int slot, const char* text, size_t length) {
  return send_data(e, e.sessions[slot], reinterpret_cast<const uint8_t*>(text), static_cast<int>(length + 1)).delivered;
}

bool stopped(const Engine& e) { return e.run.batch_stop.requested(); }

// The operator's stop during a radio's try: whatever was set up with it (a
// connection, one on the way) is closed with a disconnect.
RadioAttempt stopped_at(Engine& e, int slot) {
  disconnect_session(e, slot);
  return {false, "stopped by the operator"};
}

// Connects to the radio after the pause every radio gets: nothing when it is
// connected, else how the try ended (a failed connection with its message; a
// stop in the pause leaves the radio untouched and not tried).
std::optional<RadioAttempt> reach_radio(Engine& e, int slot) {
  e.run.chosen_radio = slot;
  if (!e.run.batch_stop.pause(RADIO_PAUSE_MS)) return RadioAttempt{.done = false, .error = {}, .not_tried = true};
  const int connected = connect_session(e, slot);
  if (stopped(e)) return stopped_at(e, slot);
  if (connected == 0) {
    say(e.view, "Connect to Radio: FAILED\n");
    return RadioAttempt{false, "connect failed"};
  }
  say(e.view, "Connect to Radio: OK\n");
  return std::nullopt;
}

RadioAttempt update_step(Engine& e, int slot, const void* context) {
  return update_one_radio(e, slot, *static_cast<const UpdateAllRequest*>(context));
}

RadioAttempt command_step(Engine& e, int slot, const void* context) {
  return run_commands_on_radio(e, slot, *static_cast<const std::vector<std::string>*>(context));
}

// An exit line ends the program at once, as ever; the report and the exit
// status still tell the radios it left untried.
Failure end_at_exit_line(const Engine& e, BatchKind kind, const BatchResult& result) {
  bool all_done = true;
  for (const BatchRadioResult& radio : result.radios) all_done = all_done && radio.outcome == OUTCOME_DONE;
  save_run_report(e.config, e.view, kind, result, all_done);
  return all_done ? Failure::LOCAL_EXIT : Failure::LOCAL_EXIT_RADIOS_FAILED;
}

void finish_run(Engine& e, BatchKind kind, const BatchResult& result) {
  e.view.text8(format_batch_report(kind, result));  // radio names in it are 8-bit text
  e.view.flush();
  save_run_report(e.config, e.view, kind, result, !stopped(e));
  end_session(e);
}

}  // namespace

BatchResult run_batch_passes(Engine& e, BatchKind kind, int extra_passes, int64_t interval_ms, OneRadio one_radio,
                             const void* context) {
  BatchResult result;
  result.interval_ms = interval_ms;
  result.radios = radios_taking_part(e.sessions);
  result.taken_part = static_cast<int>(result.radios.size());
  save_run_report(e.config, e.view, kind, result, false);
  // The operator's stop, or an exit line, which ends the run at once.
  const auto ended = [&e, &result] { return stopped(e) || result.exit_line; };
  const auto try_radio = [&](BatchRadioResult& radio) {
    RadioAttempt attempt = one_radio(e, radio.slot, context);
    if (attempt.not_tried) return;
    ++radio.tries;
    radio.outcome = attempt.done ? OUTCOME_DONE : OUTCOME_FAILED;
    // An error a later try overcame is no longer the radio's state: counted only.
    if (attempt.done) {
      radio.last_error.clear();
    } else {
      ++radio.errors;
      radio.last_error = std::move(attempt.error);
    }
    result.exit_line = attempt.exit_line;
    if (!result.exit_line) save_run_report(e.config, e.view, kind, result, false);
  };
  for (BatchRadioResult& radio : result.radios) {
    if (ended()) break;
    try_radio(radio);
    if (radio.outcome != OUTCOME_DONE) ++result.failed;
  }
  result.tries = 1;
  for (int pass = 1; pass <= extra_passes && result.failed > 0 && !ended(); ++pass) {
    e.view.message(format_pass_message(kind, result.failed, pass, interval_ms));
    e.view.flush();
    if (!e.run.batch_stop.pause(static_cast<uint32_t>(interval_ms))) break;
    ++result.tries;
    for (BatchRadioResult& radio : result.radios) {
      if (radio.outcome != OUTCOME_FAILED || ended()) continue;
      try_radio(radio);
      if (radio.outcome == OUTCOME_DONE) --result.failed;
    }
  }
  if (stopped(e)) {
    // Radios the stop left out count as not updated (the report file says "not tried").
    result.failed = static_cast<int>(std::ranges::count_if(
        result.radios, [](const BatchRadioResult& radio) { return radio.outcome != OUTCOME_DONE; }));
  }
  return result;
}

RadioAttempt update_one_radio(Engine& e, int slot, const UpdateAllRequest& request) {
  say8(e.view, "Updating radio %s ...\n", shown_text(e.sessions[slot].name_text()).c_str());
  e.view.flush();
  if (std::optional<RadioAttempt> unreached = reach_radio(e, slot)) return *unreached;

  char command[COMMAND_TEXT_SIZE];
  int length = std::snprintf(command, sizeof command, "download %s %s\n", request.source.c_str(),
                             request.destination.c_str());
  if (length < 0 || static_cast<size_t>(length) >= sizeof command) length = 0;
  // Only this radio's transfer may decide its outcome: an earlier radio's
  // late failure or end signal is dropped here.
  SessionEvents& events = e.events;
  e.transfer.transfer_failed = 0;
  e.transfer.failure = TransferFailure::NONE;
  events.transfer_done_event.reset();
  // A stop from here on wakes the wait below (the session's stop sets the event).
  if (stopped(e)) return stopped_at(e, slot);
  send_text(e, slot, command, static_cast<size_t>(length));  // its outcome shows in the transfer

  const bool ended = events.transfer_done_event.wait(DOWNLOAD_WAIT_MS);
  const bool paused = !stopped(e) && e.run.batch_stop.pause(AFTER_DOWNLOAD_MS);
  // A transfer still running would go on into the next radio's wait.
  if (!ended || !paused) end_transfer_after_wait(e, slot);
  if (!paused) return stopped_at(e, slot);
  if (!ended || e.transfer.transfer_failed != 0) {
    say(e.view, "Download: FAILED\n");
    disconnect_session(e, slot);
    if (!ended) return {false, "download timed out"};
    return {false, e.transfer.failure == TransferFailure::FILE_CHANGED ? "file changed while served" : "download failed"};
  }
  say(e.view, "Download: OK\n");

  switch (request.action) {
    case 2:
      length = std::snprintf(command, sizeof command, "sdp %s\n", request.destination.c_str());
      if (length < 0 || static_cast<size_t>(length) >= sizeof command) length = 0;
      if (send_text(e, slot, command, static_cast<size_t>(length))) {
        if (!e.run.batch_stop.pause(RADIO_PAUSE_MS)) return stopped_at(e, slot);
        say(e.view, "Set Default Program: OK\n");
        disconnect_session(e, slot);
        return {true, {}};
      }
      if (stopped(e)) return stopped_at(e, slot);
      say(e.view, "Set Default Program: FAILED\n");
      disconnect_session(e, slot);
      return {false, "set default program failed"};
    case 1:
      return {true, {}};  // left connected
    default:
      disconnect_session(e, slot);
      return {true, {}};
  }
}

RadioAttempt run_commands_on_radio(Engine& e, int slot, const std::vector<std::string>& commands) {
  say8(e.view, "Executing commands on radio %s ...\n", shown_text(e.sessions[slot].name_text()).c_str());
  e.view.flush();
  if (std::optional<RadioAttempt> unreached = reach_radio(e, slot)) return *unreached;
  for (const std::string& line : commands) {
    if (stopped(e)) return stopped_at(e, slot);
    if (is_exit_line(line.c_str())) return {.done = true, .error = {}, .exit_line = true};  // the run ends, this radio done
    // Comments and delays (slept here, between two commands).
    if (run_script_line({e.view, e.events}, line.c_str()) != ScriptLine::FOR_RADIO) continue;
    if (!send_text(e, slot, line.data(), line.size())) {
      if (stopped(e)) return stopped_at(e, slot);
      say(e.view, "Execution of command [%s]  FAILED\n", line.c_str());
      disconnect_session(e, slot);
      return {false, "command failed: " + line.substr(0, line.find_first_of("\r\n"))};
    }
    if (!e.run.batch_stop.pause(RADIO_PAUSE_MS)) return stopped_at(e, slot);
    say(e.view, "OK\n");
    e.view.flush();
  }
  disconnect_session(e, slot);
  return {true, {}};
}

bool update_all_radios(Engine& e) {
  const UpdateAllRequest& request = e.config.update;
  const BatchResult result = run_batch_passes(e, BatchKind::UPDATE_ALL, request.extra_passes, request.interval_ms,
                                              update_step, &request);
  finish_run(e, BatchKind::UPDATE_ALL, result);
  return result.failed == 0;
}

void print_dry_run(const Engine& e) {
  const std::vector<BatchRadioResult> radios = radios_taking_part(e.sessions);
  say8(e.view, "\nDry run: the %s would reach %d radios; none is connected.\n",
       e.config.run_mode == RunMode::UPDATE_ALL ? "update run" : "command run", static_cast<int>(radios.size()));
  say8(e.view, " Node  %-17s  %-8s  MAC Address\n", "Name", "S/N");
  for (const BatchRadioResult& radio : radios) {
    say8(e.view, " %03d   %-17s  %-8s  %s\n", radio.slot, shown_text(radio.name).c_str(), radio.serial_text.c_str(),
         format_mac_text(radio.mac));
  }
  say8(e.view, "Dry run ended.\n");
  e.view.flush();
}

CommandRunEnd run_commands_on_all_radios(Engine& e) {
  const CommandRunRequest& request = e.config.command_run;
  // Read once, with a reader of its own: an input file (-i) keeps its place.
  const CommandList commands = read_command_list({e.view, e.events}, request.command_file.c_str());
  if (commands.failure != Failure::NONE) return {.all_done = false, .failure = commands.failure};
  const BatchResult result = run_batch_passes(e, BatchKind::COMMAND_RUN, request.extra_passes, request.interval_ms,
                                              command_step, &commands.lines);
  if (result.exit_line) return {.all_done = false, .failure = end_at_exit_line(e, BatchKind::COMMAND_RUN, result)};
  finish_run(e, BatchKind::COMMAND_RUN, result);
  return {.all_done = result.failed == 0, .failure = Failure::NONE};
}

}  // namespace orvex
