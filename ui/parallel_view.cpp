#include "ui/parallel_view.hpp"

#include <algorithm>
#include <cstdio>

#include "console/shown_text.hpp"

namespace orvex {

namespace {

constexpr uint32_t DRAW_INTERVAL_MS = 250;
// A row one column short of the usual 80: a row that wrapped would throw the
// cursor arithmetic of every later redraw off.
constexpr size_t ROW_COLUMNS = 79;
constexpr size_t NAME_COLUMNS = 17;
constexpr size_t SERIAL_COLUMNS = 10;
constexpr int BAR_COLUMNS = 20;
// A radio that never ends its line must not grow a lane's buffer without end.
constexpr size_t LONGEST_LINE = 4096;
constexpr char ESC = 27;
constexpr std::string_view ERASE_LINE = "\x1b[2K";
constexpr std::string_view ERASE_BELOW = "\x1b[J";

// The line without the CR that went with its line end ("\r\n", and "\n\r",
// whose CR starts the next line).
std::string_view without_returns(std::string_view line) {
  while (!line.empty() && line.front() == '\r') line.remove_prefix(1);
  while (!line.empty() && line.back() == '\r') line.remove_suffix(1);
  return line;
}

bool blank(std::string_view line) { return line.find_first_not_of(" \t") == std::string_view::npos; }

std::string transfer_done_line(int64_t sent, int percent) {
  char line[96];
  std::snprintf(line, sizeof line, " [Transferring file %7lld bytes sent (%d%% completed)]", static_cast<long long>(sent),
                percent);
  return line;
}

}  // namespace

// One lane's connection reports here; everything goes on under the owner's lock.
class ParallelView::LaneView final : public View {
 public:
  LaneView(ParallelView& owner, int lane) : owner_(owner), lane_(lane) {}
  void radio_bytes(std::span<const uint8_t> bytes) override {
    std::lock_guard<std::mutex> lock(owner_.mutex_);
    owner_.lane_radio_bytes(lane_, bytes);
  }
  void connected(int index) override {
    std::lock_guard<std::mutex> lock(owner_.mutex_);
    owner_.lane_text(lane_, "Connection with device [" + std::to_string(index) +
                                "] established successfully. Press F1 for help\n");
  }
  void progress(int64_t sent, int percent, bool done) override {
    std::lock_guard<std::mutex> lock(owner_.mutex_);
    owner_.lane_progress(lane_, sent, percent, done);
  }
  void message(std::string_view text) override {
    std::lock_guard<std::mutex> lock(owner_.mutex_);
    owner_.lane_text(lane_, text);
  }
  void text8(std::string_view text) override {
    std::lock_guard<std::mutex> lock(owner_.mutex_);
    owner_.lane_text(lane_, text);
  }
  void diagnostic(std::string_view line) override {
    std::lock_guard<std::mutex> lock(owner_.mutex_);
    owner_.lane_diagnostic(lane_, line);
  }
  void flush() override {
    std::lock_guard<std::mutex> lock(owner_.mutex_);
    owner_.out_.flush();
  }

 private:
  ParallelView& owner_;
  const int lane_;
};

ParallelView::ParallelView(View& out, const ConsoleKind& console, Clock& clock, int lanes, bool radio_output_live)
    : out_(out), console_(console), clock_(clock), live_(console.terminal), radio_output_live_(radio_output_live),
      lanes_(static_cast<size_t>(std::max(lanes, 0))) {
  for (int i = 0; i < lanes; ++i) views_.push_back(std::make_unique<LaneView>(*this, i));
  if (live_) drawer_ = std::thread(&ParallelView::drawing, this);
}

ParallelView::~ParallelView() { finish(); }

View& ParallelView::lane(int lane) { return *views_.at(static_cast<size_t>(lane)); }

void ParallelView::begin_radio(int lane, const LaneRadio& radio) {
  std::lock_guard<std::mutex> lock(mutex_);
  Lane& l = lanes_.at(static_cast<size_t>(lane));
  end_lines(lane);  // what the radio before left unended is its own
  l.radio = radio;
  l.busy = true;
  l.prefix = shown_text(radio.name, console_) + " (" + shown_text(radio.serial_text, console_) + "): ";
  l.escape_left = 0;
  l.step.clear();
  l.percent = -1;
  l.transferring = false;
  changed_ = true;
}

void ParallelView::end_radio(int lane, bool done, const std::string& error) {
  std::lock_guard<std::mutex> lock(mutex_);
  Lane& l = lanes_.at(static_cast<size_t>(lane));
  end_lines(lane);
  l.busy = false;
  changed_ = true;
  // A pipe or a file has had the step lines, which tell the outcome already.
  if (!live_) return;
  scroll(l.prefix + (done ? "OK" : "FAILED: " + shown_text(error, console_)) + " (try " +
         std::to_string(l.radio.tries) + ")");
}

void ParallelView::message(std::string_view text) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (!live_) {
    out_.message(text);
    return;
  }
  while (!text.empty()) {
    const size_t end = text.find('\n');
    scroll(std::string(without_returns(text.substr(0, end))));
    text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
  }
}

void ParallelView::finish() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (finished_) return;
    finished_ = true;
  }
  wake_.notify_all();
  if (drawer_.joinable()) drawer_.join();
  std::lock_guard<std::mutex> lock(mutex_);
  for (size_t i = 0; i < lanes_.size(); ++i) end_lines(static_cast<int>(i));
  // The last scrolled lines out, the rows gone: the report starts on a clean line.
  if (live_ && (rows_drawn_ > 0 || !scrolled_.empty())) draw(false);
  scrolled_.clear();
  out_.flush();
}

void ParallelView::lane_text(int lane, std::string_view text) {
  Lane& l = lanes_[static_cast<size_t>(lane)];
  for (const char c : text) {
    if (c == '\n' || l.text.size() >= LONGEST_LINE) {
      text_line(lane, std::move(l.text));
      l.text.clear();
    }
    if (c != '\n') l.text += c;
  }
}

void ParallelView::lane_radio_bytes(int lane, std::span<const uint8_t> bytes) {
  Lane& l = lanes_[static_cast<size_t>(lane)];
  for (const uint8_t byte : bytes) {
    const char c = static_cast<char>(byte);
    // The radio's escape sequences are ESC and two bytes more, and may run on
    // into the next frame; between lines they have nothing to move or erase.
    if (l.escape_left > 0) {
      --l.escape_left;
      continue;
    }
    if (c == ESC) {
      l.escape_left = 2;
      continue;
    }
    if (c == '\0') continue;  // would end the text shown_text looks at
    if (c == '\n' || l.output.size() >= LONGEST_LINE) {
      radio_line(lane, std::move(l.output));
      l.output.clear();
    }
    if (c != '\n') l.output += c;
  }
}

void ParallelView::lane_progress(int lane, int64_t sent, int percent, bool done) {
  Lane& l = lanes_[static_cast<size_t>(lane)];
  if (!live_) {
    // Only the line that ends the transfer: the updates before it overwrite
    // each other on a terminal and would be hundreds of lines here.
    if (done) write_line(lane, transfer_done_line(sent, percent));
    return;
  }
  const int shown = std::clamp(done ? 100 : percent, 0, 100);
  // The step that started the transfer ("The requested file [...] was opened
  // successfully") would show as its first words beside the bar; a later
  // step line replaces this one.
  if (!l.transferring && !done) l.step = "Downloading";
  if (shown != l.percent) changed_ = true;
  l.percent = shown;
  l.transferring = !done;
}

void ParallelView::lane_diagnostic(int lane, std::string_view line) {
  if (!live_) {
    write_line(lane, std::string(line));
    return;
  }
  // Asked for with -d: on the terminal they scroll like the radio's output.
  scroll(lanes_[static_cast<size_t>(lane)].prefix + shown_text(line, console_));
}

void ParallelView::text_line(int lane, std::string line) {
  const std::string_view shown = without_returns(line);
  if (blank(shown)) return;
  Lane& l = lanes_[static_cast<size_t>(lane)];
  if (!live_) {
    write_line(lane, std::string(shown));
    return;
  }
  std::string step = shown_text(shown, console_);
  if (step != l.step) changed_ = true;
  l.step = std::move(step);
  // A step after the transfer ended takes its bar away.
  if (!l.transferring && l.percent >= 0) {
    l.percent = -1;
    changed_ = true;
  }
}

void ParallelView::radio_line(int lane, std::string line) {
  if (live_ && !radio_output_live_) return;
  const std::string shown = shown_text(without_returns(line), console_);
  if (blank(shown)) return;
  if (!live_) {
    write_line(lane, shown);
    return;
  }
  scroll(lanes_[static_cast<size_t>(lane)].prefix + shown);
}

void ParallelView::end_lines(int lane) {
  Lane& l = lanes_[static_cast<size_t>(lane)];
  if (!l.text.empty()) text_line(lane, std::move(l.text));
  if (!l.output.empty()) radio_line(lane, std::move(l.output));
  l.text.clear();
  l.output.clear();
  l.escape_left = 0;
}

void ParallelView::write_line(int lane, const std::string& line) {
  // One write a line: the other lanes' lines go before or after it, never into it.
  out_.text8(lanes_[static_cast<size_t>(lane)].prefix + line + "\n");
}

void ParallelView::scroll(std::string line) {
  if (finished_) return;  // the report is being printed: nothing more is drawn
  scrolled_.push_back(std::move(line));
  changed_ = true;
}

std::string ParallelView::row(const Lane& lane) const {
  const std::string name = shown_text(lane.radio.name, console_).substr(0, NAME_COLUMNS);
  const std::string serial = shown_text(lane.radio.serial_text, console_).substr(0, SERIAL_COLUMNS);
  char head[64];
  std::snprintf(head, sizeof head, "%03d %-17s %-8s ", lane.radio.node % 1000, name.c_str(), serial.c_str());
  std::string tail;
  if (lane.percent >= 0) {
    const int filled = lane.percent * BAR_COLUMNS / 100;
    char percent[16];
    std::snprintf(percent, sizeof percent, " %3d%%", lane.percent);
    tail = " [" + std::string(static_cast<size_t>(filled), '#') +
           std::string(static_cast<size_t>(BAR_COLUMNS - filled), '-') + "]" + percent;
  }
  tail += " try " + std::to_string(lane.radio.tries);
  const size_t room = ROW_COLUMNS - std::min(ROW_COLUMNS, std::string_view(head).size() + tail.size());
  std::string step = lane.step.substr(0, room);
  step.resize(room, ' ');  // the bars and tries of all rows in one column
  return (head + step + tail).substr(0, ROW_COLUMNS);
}

void ParallelView::draw(bool rows) {
  std::string screen;
  if (rows_drawn_ > 0) screen += "\r\x1b[" + std::to_string(rows_drawn_) + "A";
  for (const std::string& line : scrolled_) screen.append(ERASE_LINE).append(line).append("\n");
  int drawn = 0;
  for (const Lane& lane : lanes_) {
    if (!rows || !lane.busy) continue;
    screen.append(ERASE_LINE).append(row(lane)).append("\n");
    ++drawn;
  }
  screen.append(ERASE_BELOW);
  out_.text8(screen);
  out_.flush();
  scrolled_.clear();
  rows_drawn_ = drawn;
  changed_ = false;
}

void ParallelView::drawing() {
  std::unique_lock<std::mutex> lock(mutex_);
  while (!finished_) {
    clock_.wait_for(wake_, lock, DRAW_INTERVAL_MS, [this] { return finished_; });
    if (!finished_ && changed_) draw(true);
  }
}

}  // namespace orvex
