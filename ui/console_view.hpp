// The program's view on the console: every event shown exactly as the program
// always printed it, the radio's bytes through the terminal's escape handling
// and into the capture file.
#pragma once

#include "base/view.hpp"
#include "console/radio_output.hpp"

namespace orvex {

class ConsoleView final : public View {
 public:
  explicit ConsoleView(const ConsoleKind& console) : console_(console), radio_output_(console) {}
  void radio_bytes(std::span<const uint8_t> bytes) override;
  void connected(int index) override;
  void progress(int64_t sent, int percent, bool done) override;
  void message(std::string_view text) override;
  void text8(std::string_view text) override;
  void diagnostic(std::string_view line) override;
  void flush() override;

  // The capture file is the radio output's: app/ opens and closes it there,
  // and the program's end flushes it.
  RadioOutput& radio_output() { return radio_output_; }

 private:
  const ConsoleKind console_;
  // Only the thread that dispatches frames shows the radio's bytes.
  RadioOutput radio_output_;
};

}  // namespace orvex
