// The -u and -x batch requests: their arguments checked and confirmed while the
// options are processed.
#pragma once

#include <cstdint>
#include <string>

#include "base/config.hpp"
#include "base/view.hpp"
#include "os/file_server.hpp"

namespace orvex {

constexpr size_t MAX_UPDATE_SOURCE_LENGTH = 127;
constexpr size_t MAX_UPDATE_DESTINATION_LENGTH = 63;
constexpr size_t MAX_COMMAND_FILE_LENGTH = 127;
constexpr size_t MAX_NUMBER_FIELD_LENGTH = 7;    // action and pass fields
constexpr size_t INTERVAL_FIELD_CHARS = 16;      // of the last field only these are read
constexpr int MAX_EXTRA_PASSES = 16;
constexpr int64_t MAX_PASS_INTERVAL_MS = 3600000;

// Where the operator's answer to a confirmation comes from: one character, EOF
// at the end of input (standard input when none is given).
using AnswerReader = int (*)();

// Checks "srcfile#dstfile#action#retry_count#retry_interval" (the source must
// be one `files` serves), shows the confirmation and asks for it unless -f was
// given. True when valid and confirmed; then the batch flags are set.
bool parse_update_all(Config& config, View& view, FileServer& files, const std::string& argument,
                      AnswerReader reader = nullptr);

// The same for "cmdfile#retry_cnt#retry_interval".
bool parse_command_run(Config& config, View& view, const std::string& argument, AnswerReader reader = nullptr);

}  // namespace orvex
