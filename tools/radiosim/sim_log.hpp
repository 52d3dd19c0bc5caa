// The simulator's output: events on standard output (unless quiet), and on
// request a log of every frame and event, each line stamped with the seconds
// since start.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

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

  void event(uint64_t now_ms, const std::string& text);
  void frame(uint64_t now_ms, const char* direction, const std::string& radio, const std::string& text);

 private:
  void write_line(std::FILE* to, uint64_t now_ms, const std::string& text);

  std::FILE* log_ = nullptr;
  bool own_log_ = false;
  bool quiet_ = false;
  uint64_t start_ms_ = 0;
};

}  // namespace orvex::sim
