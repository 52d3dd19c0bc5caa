// What the program reports while it runs. The link, the engine and the batch
// code say what happened through a View; ui/ decides how it looks (on the
// terminal exactly as it always has) and tests keep the events. Nothing below
// ui/ writes to standard output itself.
#pragma once

#include <cstdarg>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

namespace orvex {

class View {
 public:
  View() = default;
  View(const View&) = delete;
  View& operator=(const View&) = delete;
  virtual ~View() = default;

  // The connected radio's bytes of one frame, as they came (the view handles
  // their escape sequences and the capture file); shown in one write.
  virtual void radio_bytes(std::span<const uint8_t> bytes) = 0;
  // The radio of session `index` accepted the connection.
  virtual void connected(int index) = 0;
  // A served file's progress: `sent` bytes, `percent` of the whole; `done` for
  // the line that ends it.
  virtual void progress(int64_t sent, int percent, bool done) = 0;
  // Text of the program's own, exactly as shown, line ends included. Text that
  // another station controls is made safe before it gets here.
  virtual void message(std::string_view text) = 0;
  // The same for text of 8-bit bytes in the radio's character set (file
  // names, error texts): the view shows it in the console's.
  virtual void text8(std::string_view text) = 0;
  // A diagnostic or trace line, without its line end; the caller has checked
  // the diagnostic level that asks for it.
  virtual void diagnostic(std::string_view line) = 0;
  // Everything reported so far is on its way out (before the process ends or
  // another program takes the terminal).
  virtual void flush() = 0;
};

// Formats like printf and hands the result to view.message / view.text8.
void say(View& view, const char* format, ...) __attribute__((format(printf, 2, 3)));
void say8(View& view, const char* format, ...) __attribute__((format(printf, 2, 3)));
std::string format_text(const char* format, va_list args);

}  // namespace orvex
