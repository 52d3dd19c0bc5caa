#include "batch/batch_report.hpp"

#include <cstdio>

#include "base/address_text.hpp"
#include "console/json_text.hpp"
#include "console/shown_text.hpp"

namespace orvex {

namespace {

struct ReportTexts {
  const char* title;
  const char* successes;
  const char* failures;
  const char* success_list;
  const char* failure_list;
};

constexpr ReportTexts UPDATE_TEXTS{
    " Radio Update Report:\n",
    " Radios updated successfully: %d\n",
    " Radios not updated: %d\n",
    "Radios Updated successfully (radio name/serial number)\n\n",
    "Radios Not updated successfully (radio name/serial number)\n\n",
};

constexpr ReportTexts COMMAND_RUN_TEXTS{
    " Radio Commands Execute Report:\n",
    " Commands executed successfully on %d radios.\n",
    " One or more commands failed on %d radios\n",
    "Radios with successful execution of radio commands (radio name/serial number)\n\n",
    "Radios with failed command execution (radio name/serial number)\n\n",
};

constexpr const char* DOUBLE_RULE = "=============================================================================";
constexpr const char* SINGLE_RULE = "-----------------------------------------------------------------------------";

template <typename... Args>
void append(std::string& out, const char* format, Args... args) {
  int length = std::snprintf(nullptr, 0, format, args...);
  if (length <= 0) return;
  std::string piece(static_cast<size_t>(length) + 1, '\0');
  std::snprintf(piece.data(), piece.size(), format, args...);
  piece.resize(static_cast<size_t>(length));
  out += piece;
}

// The radios updated (`done`) or the others: failed, or left out by a stopped run.
void append_radios(std::string& out, const BatchResult& result, bool done, const ConsoleKind& console) {
  for (const BatchRadioResult& radio : result.radios) {
    if ((radio.outcome == OUTCOME_DONE) == done) {
      append(out, "%16s %s\n", shown_text(radio.name, console).c_str(), radio.serial_text.c_str());
    }
  }
}

}  // namespace

std::string format_pass_message(BatchKind kind, int failed, int pass, int64_t interval_ms) {
  std::string out;
  if (kind == BatchKind::UPDATE_ALL) {
    append(out, "%d radios  not updated after %d pass\n", failed, pass);
  } else {
    append(out, "At %d radios one or more commands failed after %d pass\n", failed, pass);
  }
  append(out, "Waiting %ld secs for the next pass ...\n", static_cast<long>(interval_ms / 1000));
  return out;
}

std::string format_batch_report(BatchKind kind, const BatchResult& result, const ConsoleKind& console) {
  const ReportTexts& texts = kind == BatchKind::UPDATE_ALL ? UPDATE_TEXTS : COMMAND_RUN_TEXTS;
  std::string out;
  append(out, "\n%s\n", DOUBLE_RULE);
  out += texts.title;
  append(out, texts.successes, result.taken_part - result.failed);
  append(out, texts.failures, result.failed);
  append(out, " Number of tries: %d\n", result.tries);
  if (result.tries > 1) {
    append(out, " Time interval between tries (in millisecs): %ld\n", static_cast<long>(result.interval_ms));
  }
  append(out, "%s\n\n", SINGLE_RULE);
  out += "Detailed list:\n";
  append(out, "%s\n", SINGLE_RULE);
  if (result.taken_part - result.failed > 0) {
    out += texts.success_list;
    append_radios(out, result, true, console);
  }
  if (result.failed > 0) {
    append(out, "%s\n", SINGLE_RULE);
    out += texts.failure_list;
    append_radios(out, result, false, console);
  }
  append(out, "\n%s\n\n", DOUBLE_RULE);
  return out;
}

std::vector<BatchRadioResult> radios_taking_part(const SessionTable& sessions) {
  std::vector<BatchRadioResult> radios;
  for (int slot = 0; slot < MAX_USER_SESSIONS; ++slot) {
    const Session& session = sessions[slot];
    if (session.state == SESSION_EMPTY) continue;
    BatchRadioResult radio;
    radio.name = session.name_text();
    radio.serial_text = format_serial_text(session.mac);
    radio.slot = slot;
    radio.mac = session.mac;
    radios.push_back(std::move(radio));
  }
  return radios;
}

std::string format_report_lines(BatchKind kind, const BatchResult& result, bool complete) {
  static constexpr const char* RESULTS[] = {"failed", "ok", "not tried"};
  std::string out;
  int counts[3] = {};
  for (const BatchRadioResult& radio : result.radios) {
    const uint8_t outcome = radio.outcome <= OUTCOME_NOT_TRIED ? radio.outcome : OUTCOME_NOT_TRIED;
    ++counts[outcome];
    out += "{\"serial\":" + json_string(radio.serial_text) + ",\"name\":" + json_string(radio.name) +
           ",\"mac\":" + json_string(format_mac_text(radio.mac)) + ",\"result\":\"" + RESULTS[outcome] +
           "\",\"tries\":" + std::to_string(radio.tries) + ",\"errors\":" + std::to_string(radio.errors) +
           ",\"last_error\":" + (radio.last_error.empty() ? "null" : json_string(radio.last_error)) + "}\n";
  }
  append(out, "{\"totals\":{\"run\":\"%s\",\"radios\":%d,\"ok\":%d,\"failed\":%d,\"not_tried\":%d,"
              "\"passes\":%d,\"complete\":%s}}\n",
         kind == BatchKind::UPDATE_ALL ? "update" : "commands", static_cast<int>(result.radios.size()),
         counts[OUTCOME_DONE], counts[OUTCOME_FAILED], counts[OUTCOME_NOT_TRIED], result.tries,
         complete ? "true" : "false");
  return out;
}

}  // namespace orvex
