// The -u and -x batch requests: their arguments checked and confirmed while the
// options are processed.
#pragma once

#include <cstdint>
#include <string>

namespace orvex {

constexpr size_t MAX_UPDATE_SOURCE_LENGTH = 127;
constexpr size_t MAX_UPDATE_DESTINATION_LENGTH = 63;
constexpr size_t MAX_COMMAND_FILE_LENGTH = 127;
constexpr size_t MAX_NUMBER_FIELD_LENGTH = 7;    // action and pass fields
constexpr size_t INTERVAL_FIELD_CHARS = 16;      // of the last field only these are read
constexpr int MAX_EXTRA_PASSES = 16;
constexpr int64_t MAX_PASS_INTERVAL_MS = 3600000;

struct UpdateAllRequest {
  std::string source;
  std::string destination;
  int action = 0;       // 1 stay connected, 2 also set default program, 3 disconnect
  int extra_passes = 0;
  uint32_t interval_ms = 0;
};

struct CommandRunRequest {
  std::string command_file;
  int extra_passes = 0;
  int interval_ms = 0;
};

UpdateAllRequest& update_all_request();
CommandRunRequest& command_run_request();

// Checks "srcfile#dstfile#action#retry_count#retry_interval", prints the
// confirmation and asks for it unless -f was given. True when valid and
// confirmed; then the batch flags are set and chosen_radio is -1.
bool parse_update_all(const std::string& argument);

// The same for "cmdfile#retry_cnt#retry_interval".
bool parse_command_run(const std::string& argument);

// Where the operator's answer comes from: one character, EOF at the end of
// input (standard input by default; tests install their own, nullptr restores).
using AnswerReader = int (*)();
void set_answer_reader(AnswerReader reader);

// Both requests back to empty (tests).
void reset_batch_requests();

}  // namespace orvex
