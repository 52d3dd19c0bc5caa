#include "os/random_source.hpp"

#include <fcntl.h>
#include <sys/random.h>
#include <unistd.h>

#include <cerrno>

namespace orvex {

namespace {

constexpr int READ_TRIES = 8;  // a signal may cut a read short

bool fill(std::span<uint8_t> out, bool from_call, int fd) {
  size_t filled = 0;
  for (int tries = 0; filled < out.size() && tries < READ_TRIES; ++tries) {
    const ssize_t n = from_call ? getrandom(out.data() + filled, out.size() - filled, 0)
                                : ::read(fd, out.data() + filled, out.size() - filled);
    if (n > 0) {
      filled += static_cast<size_t>(n);
    } else if (n == 0 || errno != EINTR) {
      return false;
    }
  }
  return filled == out.size();
}

}  // namespace

bool system_random_bytes(std::span<uint8_t> out) {
  if (fill(out, true, -1)) return true;
  if (errno != ENOSYS) return false;
  const int fd = ::open("/dev/urandom", O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  const bool ok = fill(out, false, fd);
  ::close(fd);
  return ok;
}

}  // namespace orvex
