#include "batch/report_file.hpp"

#include <sys/stat.h>

#include <cstdio>

namespace orvex {

bool report_file_writable(const std::string& path) {
  std::FILE* file = std::fopen(path.c_str(), "a");
  if (file == nullptr) return false;
  std::fclose(file);
  return true;
}

void save_run_report(const Config& config, BatchKind kind, const BatchResult& result, bool complete) {
  if (config.report_file.empty()) return;
  const std::string text = format_report_lines(kind, result, complete);
  const std::string& path = config.report_file;
  // A regular file is written beside itself and renamed over; anything else
  // (/dev/null, a pipe, a symbolic link) is written where it is: a rename would
  // replace it.
  struct stat status {};
  const bool in_place = lstat(path.c_str(), &status) == 0 && !S_ISREG(status.st_mode);
  const std::string part = in_place ? path : path + ".part";
  std::FILE* file = std::fopen(part.c_str(), "w");
  bool written = file != nullptr && std::fwrite(text.data(), 1, text.size(), file) == text.size();
  if (file != nullptr) written = std::fclose(file) == 0 && written;
  if (written && (in_place || std::rename(part.c_str(), path.c_str()) == 0)) return;
  if (!in_place) std::remove(part.c_str());
  std::printf("------ Error: report file [%s] could not be written.\n", path.c_str());
}

}  // namespace orvex
