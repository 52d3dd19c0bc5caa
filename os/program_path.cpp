#include "os/program_path.hpp"

#include <unistd.h>

#include <climits>

namespace orvex {

std::string own_program_path(const char* fallback) {
  char path[PATH_MAX];
  const ssize_t length = ::readlink("/proc/self/exe", path, sizeof path);
  // A path that filled the buffer may have been cut.
  if (length <= 0 || static_cast<size_t>(length) >= sizeof path) return fallback;
  return std::string(path, static_cast<size_t>(length));
}

}  // namespace orvex
