// A file with the given bytes in the temporary directory, removed with the guard.
#pragma once

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <string_view>

namespace orvex::test {

struct TempFile {
  explicit TempFile(std::string_view contents)
      : path_(std::string(std::getenv("TMPDIR") ? std::getenv("TMPDIR") : "/tmp") + "/orvexXXXXXX") {
    if (const int fd = mkstemp(path_.data()); fd >= 0) close(fd);
    std::ofstream(path_, std::ios::binary) << contents;
  }
  ~TempFile() { std::remove(path_.c_str()); }
  const char* path() const { return path_.c_str(); }
  std::string path_;
};

}  // namespace orvex::test
