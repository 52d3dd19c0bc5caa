#include "batch/script_lines.hpp"

#include <charconv>
#include <cstdio>
#include <cstring>

#include "base/clock.hpp"
#include "base/view.hpp"

namespace orvex {

namespace {

// A delay's number is looked for in at most this many characters after "delay".
constexpr size_t DELAY_FIELD_CHARS = 32;
constexpr uint32_t DELAY_SLICE_MS = 100;

enum class ReadResult { LINE, END, ERROR };

// Reads at most MAX_INPUT_LINE characters, up to and including a line feed.
// A NUL byte inside a line is kept as data, so a line is never mistaken for the end.
ReadResult read_piece(std::FILE* file, uint8_t* buffer, int& length) {
  length = 0;
  while (length < MAX_INPUT_LINE) {
    int c = std::getc(file);
    if (c == EOF) break;
    buffer[length++] = static_cast<uint8_t>(c);
    if (c == '\n') break;
  }
  buffer[length] = 0;
  if (length > 0) return ReadResult::LINE;
  return std::ferror(file) != 0 ? ReadResult::ERROR : ReadResult::END;
}

}  // namespace

uint32_t delay_milliseconds(double seconds) {
  double ms = seconds * 1000.0;
  // A delay beyond the clock's range waits as long as the clock can.
  constexpr double LONGEST = 4294967295.0;
  if (ms >= LONGEST) return 0xFFFFFFFFu;
  return ms > 0 ? static_cast<uint32_t>(ms) : 0;
}

namespace {

bool run_delay(const ScriptContext& c, const char* after_word) {
  size_t available = strnlen(after_word, DELAY_FIELD_CHARS);
  size_t start = 0;
  while (start < available && after_word[start] == ' ') ++start;
  size_t end = start;
  while (end < available && after_word[end] != ' ' && after_word[end] != '\n' && after_word[end] != '\r') ++end;
  for (size_t i = start; i < end; ++i) {
    const char digit = after_word[i];
    if ((digit < '0' || digit > '9') && digit != '.') return false;  // for the radio
  }
  // Read as far as it makes a number: "1.2.3" waits 1.2 s; "" or "." is 0.
  double seconds = 0.0;
  std::from_chars(after_word + start, after_word + end, seconds);
  if (seconds == 0.0) return true;
  say(c.view, "delaying for %f secs...\n", seconds);
  c.view.flush();
  uint32_t remaining = delay_milliseconds(seconds);
  // Slept in slices so that a session being stopped is not held up by a long delay.
  while (remaining > 0 && !c.events.stopping_now()) {
    uint32_t slice = remaining < DELAY_SLICE_MS ? remaining : DELAY_SLICE_MS;
    c.events.clock.sleep_ms(slice);
    remaining -= slice;
  }
  return true;
}

}  // namespace

void LineReader::close() {
  if (file != nullptr) std::fclose(file);
  file = nullptr;
  line_number = 0;
}

LineRead read_line(const ScriptContext& c, LineReader& reader, const char* file_name, uint8_t* buffer, bool batch) {
  if (reader.file == nullptr) {
    reader.file = std::fopen(file_name, "r");
    if (reader.file == nullptr) {
      say(c.view, "Error: Unable to open input file [%s]\n\r", file_name);
      say(c.view, "Please verify the file exist and it is not corrupted.\n\r");
      return {.failure = Failure::FILE_NOT_READ};
    }
    reader.line_number = 0;
  }
  for (;;) {
    if (std::feof(reader.file) != 0) {
      reader.close();
      return {};
    }
    int length = 0;
    switch (read_piece(reader.file, buffer, length)) {
      case ReadResult::END:
        return {};  // the file stays open; the next call closes it
      case ReadResult::ERROR:
        say(c.view, "----- %s file %s at line %d.\n", "Error while reading from input", file_name, reader.line_number);
        say(c.view, "      Unable to proceed\n");
        reader.close();
        if (batch) return {.read_error = true};
        return {.failure = Failure::FILE_NOT_READ};
      case ReadResult::LINE:
        break;
    }
    ++reader.line_number;
    if (batch) return {.length = length};
    switch (run_script_line(c, reinterpret_cast<const char*>(buffer))) {
      case ScriptLine::FOR_RADIO: return {.length = length};
      case ScriptLine::EXIT: return {.failure = Failure::LOCAL_EXIT};
      case ScriptLine::CARRIED_OUT: break;
    }
  }
}

LineRead read_input_line(const ScriptContext& c, const Config& config, LineReader& reader, uint8_t* buffer) {
  return read_line(c, reader, config.input_file_name.c_str(), buffer, config.batch_run());
}

ScriptLine run_script_line(const ScriptContext& c, const char* line) {
  if (line[0] == '#') return ScriptLine::CARRIED_OUT;
  if (line[0] != '.') return ScriptLine::FOR_RADIO;
  if (const char* word = std::strstr(line, "delay")) {
    return run_delay(c, word + 5) ? ScriptLine::CARRIED_OUT : ScriptLine::FOR_RADIO;
  }
  return is_exit_line(line) ? ScriptLine::EXIT : ScriptLine::FOR_RADIO;
}

bool is_exit_line(const char* line) {
  // A line holding both words is a delay line.
  return line[0] == '.' && std::strstr(line, "delay") == nullptr && std::strstr(line, "exit") != nullptr;
}

}  // namespace orvex
