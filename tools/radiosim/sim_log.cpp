#include "tools/radiosim/sim_log.hpp"

#include <cerrno>
#include <cstring>

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

void SimLog::event(uint64_t now_ms, const std::string& text) {
  if (log_ != nullptr) write_line(log_, now_ms, text);
  if (!quiet_ && log_ != stdout) write_line(stdout, now_ms, text);
}

void SimLog::frame(uint64_t now_ms, const char* direction, const std::string& radio, const std::string& text) {
  if (log_ != nullptr) write_line(log_, now_ms, std::string(direction) + " " + radio + " " + text);
}

}  // namespace orvex::sim
