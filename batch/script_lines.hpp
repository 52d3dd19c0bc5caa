// Lines of an input file (-i) or a command file (-x): read in pieces of at most
// 127 characters, with comment, delay and exit lines carried out locally.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

namespace orvex {

struct Engine;

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

// Reads the next line of `file_name` into `buffer` (NUL-terminated, at most
// MAX_INPUT_LINE bytes, line feed kept). Returns its length, 0 at the end of the
// file, -1 after a read error when `batch`. When `batch` every line is handed
// out (the batch run carries script lines out itself); otherwise script lines
// are carried out and skipped. A file that cannot be opened, or a read error
// outside batch, ends the program.
int read_line(Engine& e, LineReader& reader, const char* file_name, uint8_t* buffer, bool batch);

// The input file's next line: the file named by -i, in the way batch_mode says.
int read_input_line(Engine& e, LineReader& reader, uint8_t* buffer);

// Carries out a comment, ".delay N" or ".exit" line and returns 1; returns 0
// for a line meant for the radio.
int run_script_line(Engine& e, const char* line);

// Whether `line` is an exit line: run_script_line would end the program on it.
bool is_exit_line(const char* line);

// A delay's length in whole ms, held within the clock's range.
uint32_t delay_milliseconds(double seconds);

}  // namespace orvex
