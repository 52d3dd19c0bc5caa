#include "batch/batch_requests.hpp"

#include <cstdio>
#include <string_view>

#include "base/config.hpp"
#include "base/number_text.hpp"
#include "base/view.hpp"
#include "engine/transfer.hpp"

namespace orvex {

namespace {


int read_standard_input() { return std::getchar(); }

// The text up to the next "#" from `from`; npos when there is none.
size_t next_separator(const std::string& text, size_t from) { return text.find('#', from); }

// A field that reads as 0 is accepted only when it is written "0".
bool numeric_field(std::string_view field, int64_t value) { return value != 0 || field == "0"; }

bool confirmed(const Config& config, View& view, AnswerReader reader) {
  // A dry run changes nothing: there is nothing to confirm.
  if (config.confirm_without_prompt != 0 || config.dry_run) return true;
  say(view, "\nProceed? (Y/N):");
  view.flush();
  int answer = (reader != nullptr ? reader : read_standard_input)();
  return answer == 'Y' || answer == 'y';
}

}  // namespace


bool parse_update_all(Config& config, View& view, FileServer& files, const std::string& argument,
                      AnswerReader reader) {
  UpdateAllRequest& update = config.update;
  const char* whole = argument.c_str();
  size_t first = next_separator(argument, 0);
  if (first == std::string::npos || first > MAX_UPDATE_SOURCE_LENGTH) {
    say(view, "Invalid Source for Update All Radios argument [%s]\n", whole);
    return false;
  }
  size_t second = next_separator(argument, first + 1);
  if (second == std::string::npos || second - first - 1 > MAX_UPDATE_DESTINATION_LENGTH) {
    say(view, "Invalid Destination for Update All Radios argument [%s]\n", whole);
    return false;
  }
  size_t third = next_separator(argument, second + 1);
  if (third == std::string::npos) {
    say(view, "Invalid Action for Update All Radios argument [%s]\n", whole);
    return false;
  }
  std::string action_field = argument.substr(second + 1, third - second - 1);
  int64_t action = action_field.size() > MAX_NUMBER_FIELD_LENGTH ? 0 : read_decimal(action_field);
  if (action < 1 || action > 3) {
    say(view, "Invalid Action for Update All Radios argument [%s]\n", action_field.c_str());
    say(view, "Should be either 1,2 or 3\n");
    return false;
  }
  size_t fourth = next_separator(argument, third + 1);
  if (fourth == std::string::npos) {
    say(view, "Invalid # of Tries for Update All Radios argument [%s]\n", whole);
    return false;
  }
  std::string passes_field = argument.substr(third + 1, fourth - third - 1);
  int64_t passes = read_decimal(passes_field);
  if (!numeric_field(passes_field, passes)) {
    say(view, "Invalid # of Tries for Update All Radios argument [%s]\n", passes_field.c_str());
    say(view, "Should be a numeric value\n");
    return false;
  }
  if (passes < 0 || passes > MAX_EXTRA_PASSES || passes_field.size() > MAX_NUMBER_FIELD_LENGTH) {
    say(view, "Invalid # of Tries for Update All Radios argument [%s]\n", whole);
    say(view, "Should be between 0 and 16\n");
    return false;
  }
  std::string interval_field = argument.substr(fourth + 1, INTERVAL_FIELD_CHARS);
  int64_t interval = read_decimal(interval_field);
  if (!numeric_field(interval_field, interval)) {
    say(view, "Invalid Interval for Update All Radios argument [%s]\n", interval_field.c_str());
    say(view, "Should be a numeric value\n");
    return false;
  }
  // Taken as unsigned, so a negative interval is above the limit too.
  if (interval < 0 || interval > MAX_PASS_INTERVAL_MS) {
    say(view, "Invalid Interval for Update All Radios argument [%s]\n", whole);
    say(view, "Should be between 0 and 3600000\n");
    return false;
  }
  const std::string source = argument.substr(0, first);
  // The radios fetch the file from here: a run without it would only fail radio after radio.
  if (!servable_file(files, source.c_str())) {
    say(view, "Invalid Source for Update All Radios argument [%s]\n", source.c_str());
    say(view, "Should be a readable file in the working directory\n");
    return false;
  }
  update.source = source;
  update.destination = argument.substr(first + 1, second - first - 1);
  update.action = static_cast<int>(action);
  update.extra_passes = static_cast<int>(passes);
  update.interval_ms = static_cast<uint32_t>(interval);
  say(view,
      "\a\n You are about to update Arbor network with the following parameters:            \n Source "
      "file:%s            \n Destination file:%s            \n Action:%d            \n Additional number of "
      "tries:%d            \n Interval between additional tries:%ld\n",
      update.source.c_str(), update.destination.c_str(), update.action, update.extra_passes,
      static_cast<long>(update.interval_ms));
  if (!confirmed(config, view, reader)) return false;
  config.run_mode = RunMode::UPDATE_ALL;
  return true;
}

bool parse_command_run(Config& config, View& view, const std::string& argument, AnswerReader reader) {
  CommandRunRequest& run = config.command_run;
  const char* whole = argument.c_str();
  size_t first = next_separator(argument, 0);
  if (first == std::string::npos || first > MAX_COMMAND_FILE_LENGTH) {
    say(view, "Invalid commands filename argument [%s]\n", whole);
    return false;
  }
  size_t second = next_separator(argument, first + 1);
  if (second == std::string::npos) {
    say(view, "Invalid # of Tries argument [%s]\n", whole);
    return false;
  }
  std::string passes_field = argument.substr(first + 1, second - first - 1);
  int64_t passes = read_decimal(passes_field);
  if (!numeric_field(passes_field, passes)) {
    say(view, "Invalid # of Tries argument [%s]\n", passes_field.c_str());
    say(view, "Should be a numeric value\n");
    return false;
  }
  if (passes < 0 || passes > MAX_EXTRA_PASSES || passes_field.size() > MAX_NUMBER_FIELD_LENGTH) {
    say(view, "Invalid # of Tries argument [%s]\n", whole);
    say(view, "Should be between 0 and 16\n");
    return false;
  }
  std::string interval_field = argument.substr(second + 1, INTERVAL_FIELD_CHARS);
  int64_t interval = read_decimal(interval_field);
  if (!numeric_field(interval_field, interval)) {
    say(view, "Invalid interval-between-tries argument [%s]\n", interval_field.c_str());
    say(view, "Should be a numeric value\n");
    return false;
  }
  if (interval < 0 || interval > MAX_PASS_INTERVAL_MS) {
    say(view, "Invalid interval-between-tries argument [%s]\n", whole);
    say(view, "Should be between 0 and 3600000\n");
    return false;
  }
  run.command_file = argument.substr(0, first);
  run.extra_passes = static_cast<int>(passes);
  run.interval_ms = static_cast<int>(interval);
  say(view,
      "\a\n You are about to execute radio commands in batch mode the following parameters:            \n "
      "Source commands filename:%s            \n Additional number of tries:%d            \n Interval between "
      "additional tries (millisecs):%d\n",
      run.command_file.c_str(), run.extra_passes, run.interval_ms);
  if (!confirmed(config, view, reader)) return false;
  config.run_mode = RunMode::COMMAND_RUN;
  return true;
}

}  // namespace orvex
