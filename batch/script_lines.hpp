// Lines of an input file (-i) or a command file (-x): read in pieces of at most
// 127 characters, with comment, delay and exit lines carried out locally.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

#include "base/config.hpp"
#include "base/failure.hpp"
#include "base/view.hpp"
#include "engine/session_events.hpp"

namespace orvex {


// Longest line handed out; callers' buffers hold at least this plus one byte.
constexpr int MAX_INPUT_LINE = 127;
constexpr int INPUT_LINE_BUFFER_SIZE = MAX_INPUT_LINE + 1;

// One reader of one file: closed at start, opened by the first read, closed
// again by the read after the end, after which it starts from the first line.
// The interactive input file and the command list of a command run each have
// their own, so neither disturbs the other's place.
struct LineReader {
  std::FILE* file = nullptr;
  int line_number = 0;

  LineReader() = default;
  LineReader(const LineReader&) = delete;
  LineReader& operator=(const LineReader&) = delete;
  ~LineReader() { close(); }
  void close();
};

// What a read gave: a line of `length` bytes, the end of the file (length 0),
// a read error in batch mode (the file closed; the caller decides), or the
// failure that ends the program: a file that cannot be opened or, outside
// batch mode, read (FILE_NOT_READ), or an exit line (LOCAL_EXIT).
struct LineRead {
  int length = 0;
  bool read_error = false;
  Failure failure = Failure::NONE;
};

// What reading and carrying out script lines touches: the view it reports
// through, and the session's events (a delay ends early when it stops).
struct ScriptContext {
  View& view;
  const SessionEvents& events;
};

// Reads the next line of `file_name` into `buffer` (NUL-terminated, at most
// MAX_INPUT_LINE bytes, line feed kept). When `batch` every line is handed out
// (the batch run carries script lines out itself); otherwise script lines are
// carried out and skipped.
LineRead read_line(const ScriptContext& c, LineReader& reader, const char* file_name, uint8_t* buffer, bool batch);

// The input file's next line: the file named by -i, in the way a batch run reads it.
LineRead read_input_line(const ScriptContext& c, const Config& config, LineReader& reader, uint8_t* buffer);

// What run_script_line made of a line: one for the radio, a comment or delay
// carried out here, or an exit line, which ends the program.
enum class ScriptLine { FOR_RADIO, CARRIED_OUT, EXIT };
ScriptLine run_script_line(const ScriptContext& c, const char* line);

// Whether `line` is an exit line.
bool is_exit_line(const char* line);

// A delay's length in whole ms, held within the clock's range.
uint32_t delay_milliseconds(double seconds);

}  // namespace orvex
