#include "batch/report_file.hpp"

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
  // Written beside the file and renamed over it.
  const std::string part = config.report_file + ".part";
  std::FILE* file = std::fopen(part.c_str(), "w");
  bool written = file != nullptr && std::fwrite(text.data(), 1, text.size(), file) == text.size();
  if (file != nullptr) written = std::fclose(file) == 0 && written;
  if (written && std::rename(part.c_str(), config.report_file.c_str()) == 0) return;
  std::remove(part.c_str());
  std::printf("------ Error: report file [%s] could not be written.\n", config.report_file.c_str());
}

}  // namespace orvex
