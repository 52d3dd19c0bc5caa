// How a batch run that works on several radios at once looks on the console.
// Each lane (one radio at a time, with its own connection) reports through a
// View of its own; the lanes' texts meet here and leave as whole lines. On a
// terminal one row per busy lane stays at the bottom and is redrawn in place,
// finished tries and the run's own messages scrolling above it; in a pipe or a
// file every line carries the name and serial number of its radio.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <span>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "base/clock.hpp"
#include "base/config.hpp"
#include "base/view.hpp"

namespace orvex {

// The radio a lane is at: what its row and its line prefix show.
struct LaneRadio {
  int node = 0;             // the radio's slot number, shown as %03d
  std::string name;         // the radio's name as received (8-bit text, not yet made safe)
  std::string serial_text;  // as the report shows it
  int tries = 0;            // this try's number (1 for the first)
};

class ParallelView {
 public:
  // Everything goes to `out`. `console.terminal` asks for the live rows,
  // otherwise plain lines. `radio_output_live`: on the terminal the radio's own
  // output lines scroll above the rows too (a command run wants them; an
  // update run does not).
  ParallelView(View& out, const ConsoleKind& console, Clock& clock, int lanes, bool radio_output_live);
  ~ParallelView();
  ParallelView(const ParallelView&) = delete;
  ParallelView& operator=(const ParallelView&) = delete;

  // The View lane `lane`'s connection reports through (0 <= lane < lanes).
  View& lane(int lane);
  void begin_radio(int lane, const LaneRadio& radio);
  // The lane's try is over: `done`, or failed with `error`.
  void end_radio(int lane, bool done, const std::string& error);
  // The run's own text (a pass message), shown as it is, above the rows.
  void message(std::string_view text);
  // Erases the rows and draws nothing more; what is queued is out. The caller
  // prints the report after this. Idempotent.
  void finish();

 private:
  class LaneView;
  struct Lane {
    LaneRadio radio;
    bool busy = false;     // between begin_radio and end_radio: it has a row
    std::string prefix;    // "NAME (SERIAL): "
    std::string text;      // the program's text since the last line end
    std::string output;    // the radio's output since the last line end
    int escape_left = 0;   // bytes of a radio escape sequence still to drop
    std::string step;      // the latest complete line of the program's text
    int percent = -1;      // the transfer's, or -1: no bar
    bool transferring = false;
  };

  // All below with mutex_ held.
  void lane_text(int lane, std::string_view text);
  void lane_radio_bytes(int lane, std::span<const uint8_t> bytes);
  void lane_progress(int lane, int64_t sent, int percent, bool done);
  void lane_diagnostic(int lane, std::string_view line);
  void text_line(int lane, std::string line);
  void radio_line(int lane, std::string line);
  void end_lines(int lane);
  void write_line(int lane, const std::string& line);  // a plain line with its radio's prefix
  void scroll(std::string line);
  std::string row(const Lane& lane) const;
  void draw(bool rows);
  void drawing();

  View& out_;
  const ConsoleKind console_;
  Clock& clock_;
  const bool live_;
  const bool radio_output_live_;
  std::mutex mutex_;
  std::condition_variable wake_;
  std::vector<Lane> lanes_;
  std::vector<std::unique_ptr<LaneView>> views_;
  std::vector<std::string> scrolled_;  // lines waiting to go out above the rows
  bool changed_ = false;
  bool finished_ = false;
  int rows_drawn_ = 0;
  std::thread drawer_;  // last: it starts once everything above is ready
};

}  // namespace orvex
