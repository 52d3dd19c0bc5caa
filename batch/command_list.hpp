// The command file of a command run, read once before the first radio and kept
// for every pass.
#pragma once

#include <string>
#include <vector>

#include "base/failure.hpp"
#include "batch/script_lines.hpp"

namespace orvex {


constexpr int MAX_COMMAND_LINES = 128;

// Every line as read (at most 127 characters, line feed kept), script lines
// included: the run carries those out between the commands. Lines after the
// 128th are ignored with one warning. A file that cannot be opened is
// FILE_NOT_READ; a read error ends the list at the lines read so far. The
// reader is its own, so an interactive input file (-i) keeps its place.
struct CommandList {
  std::vector<std::string> lines;
  Failure failure = Failure::NONE;
};
CommandList read_command_list(const ScriptContext& c, const char* file_name);

}  // namespace orvex
