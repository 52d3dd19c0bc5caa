// The simulator's output: events on standard output (unless quiet), and on
// request a log of every frame and event, each line stamped with the seconds
// since start.
#pragma once

#include <cstdint>
#include <cstdio>
#include <span>
#include <string>
#include <vector>

namespace orvex::sim {

class SimLog {
 public:
  SimLog() = default;
  ~SimLog();
  SimLog(const SimLog&) = delete;
  SimLog& operator=(const SimLog&) = delete;

  // `file`: empty for no frame log, "-" for standard output.
  bool open(const std::string& file, bool quiet, uint64_t start_ms, std::string& error);
  bool frames_wanted() const { return log_ != nullptr; }

  // While held, lines are kept in memory, frames not yet put in words, and
  // written by release(): a burst of frames leaves without a write or the
  // describing of a frame between two of them.
  void hold() { held_ = true; }
  void release();

  void event(uint64_t now_ms, const std::string& text);
  void frame(uint64_t now_ms, const char* direction, const std::string& radio, std::span<const uint8_t> frame,
             bool big_endian);

 private:
  void write_line(std::FILE* to, uint64_t now_ms, const std::string& text);
  void write_event(uint64_t now_ms, const std::string& text);

  std::FILE* log_ = nullptr;
  bool own_log_ = false;
  bool quiet_ = false;
  uint64_t start_ms_ = 0;
  struct HeldLine {
    uint64_t now_ms;
    std::string text;             // an event, or a frame's direction and radio
    std::vector<uint8_t> frame;   // empty for an event
    bool big_endian;
  };
  bool held_ = false;
  std::vector<HeldLine> held_lines_;
};

}  // namespace orvex::sim
