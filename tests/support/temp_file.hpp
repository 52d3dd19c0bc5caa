// A file with the given bytes in the test's temporary directory, removed when
// the guard goes.
#pragma once

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

namespace orvex::test {

class TempFile {
 public:
  explicit TempFile(std::string_view contents) {
    std::string pattern = std::string(std::getenv("TMPDIR") ? std::getenv("TMPDIR") : "/tmp") + "/orvexXXXXXX";
    int fd = mkstemp(pattern.data());
    if (fd >= 0) {
      size_t done = 0;
      while (done < contents.size()) {
        ssize_t n = ::write(fd, contents.data() + done, contents.size() - done);
        if (n <= 0) break;
        done += static_cast<size_t>(n);
      }
      ::close(fd);
    }
    path_ = pattern;
  }
  ~TempFile() { std::remove(path_.c_str()); }
  TempFile(const TempFile&) = delete;
  TempFile& operator=(const TempFile&) = delete;

  const char* path() const { return path_.c_str(); }

 private:
  std::string path_;
};

}  // namespace orvex::test
