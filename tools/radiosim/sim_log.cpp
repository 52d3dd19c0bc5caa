#include "tools/radiosim/sim_log.hpp"

#include <cerrno>
#include <cstring>

#include "tools/radiosim/radio_frames.hpp"

namespace orvex::sim {

SimLog::~SimLog() {
  if (own_log_ && log_ != nullptr) std::fclose(log_);
}

bool SimLog::open(const std::string& file, bool quiet, uint64_t start_ms, std::string& error) {
  quiet_ = quiet;
  start_ms_ = start_ms;
  if (file.empty()) return true;
  if (file == "-") {
    log_ = stdout;
    return true;
  }
  log_ = std::fopen(file.c_str(), "w");
  if (log_ == nullptr) {
    error = "cannot write the log \"" + file + "\": " + std::strerror(errno);
    return false;
  }
  own_log_ = true;
  // Line by line, so that a test reads a complete log at any moment.
  std::setvbuf(log_, nullptr, _IOLBF, 0);
  return true;
}

void SimLog::write_line(std::FILE* to, uint64_t now_ms, const std::string& text) {
  const uint64_t t = now_ms - start_ms_;
  std::fprintf(to, "%5llu.%03llu %s\n", static_cast<unsigned long long>(t / 1000),
               static_cast<unsigned long long>(t % 1000), text.c_str());
  std::fflush(to);
}

void SimLog::write_event(uint64_t now_ms, const std::string& text) {
  if (log_ != nullptr) write_line(log_, now_ms, text);
  if (!quiet_ && log_ != stdout) write_line(stdout, now_ms, text);
}

void SimLog::release() {
  held_ = false;
  for (const HeldLine& line : held_lines_) {
    if (line.frame.empty()) {
      write_event(line.now_ms, line.text);
    } else {
      write_line(log_, line.now_ms, line.text + " " + describe_frame(line.frame, line.big_endian));
    }
  }
  held_lines_.clear();
}

void SimLog::event(uint64_t now_ms, const std::string& text) {
  if (held_) {
    held_lines_.push_back(HeldLine{now_ms, text, {}, false});
  } else {
    write_event(now_ms, text);
  }
}

void SimLog::frame(uint64_t now_ms, const char* direction, const std::string& radio, std::span<const uint8_t> frame,
                   bool big_endian) {
  if (log_ == nullptr) return;
  std::string text = std::string(direction) + " " + radio;
  if (held_) {
    held_lines_.push_back(HeldLine{now_ms, std::move(text), {frame.begin(), frame.end()}, big_endian});
  } else {
    write_line(log_, now_ms, text + " " + describe_frame(frame, big_endian));
  }
}

}  // namespace orvex::sim
