#include "batch/report_file.hpp"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

namespace orvex {

namespace {

bool write_all(int fd, const std::string& text) {
  size_t done = 0;
  while (done < text.size()) {
    const ssize_t n = write(fd, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

// A reader that went away must not end the run: the write fails instead of
// raising SIGPIPE, which is taken back before it is let through again.
bool write_to_pipe(int fd, const std::string& text) {
  sigset_t pipe_signal, before;
  sigemptyset(&pipe_signal);
  sigaddset(&pipe_signal, SIGPIPE);
  pthread_sigmask(SIG_BLOCK, &pipe_signal, &before);
  const bool written = write_all(fd, text);
  const timespec now{};
  if (!written && errno == EPIPE) sigtimedwait(&pipe_signal, nullptr, &now);
  pthread_sigmask(SIG_SETMASK, &before, nullptr);
  return written;
}

// A file that is not a regular one (/dev/null, a pipe, a symbolic link) is
// written where it is: a rename would replace it.
bool write_in_place(const std::string& path, const std::string& text) {
  const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
  if (fd < 0) return false;
  const bool written = write_all(fd, text);
  return close(fd) == 0 && written;
}

// Written beside the file and renamed over it. The .part is made afresh
// (O_EXCL, O_NOFOLLOW): a link left there is never written through, only
// removed. A new file gets 0666 less the umask, as any file the program makes.
bool replace_file(const std::string& path, const std::string& text, const struct stat* old) {
  const std::string part = path + ".part";
  constexpr int FLAGS = O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC;
  int fd = open(part.c_str(), FLAGS, 0666);
  if (fd < 0 && errno == EEXIST && unlink(part.c_str()) == 0) fd = open(part.c_str(), FLAGS, 0666);
  if (fd < 0) return false;
  bool written = (old == nullptr || fchmod(fd, old->st_mode & 07777) == 0) && write_all(fd, text) && fsync(fd) == 0;
  written = close(fd) == 0 && written;
  if (written && std::rename(part.c_str(), path.c_str()) == 0) return true;
  unlink(part.c_str());
  return false;
}

}  // namespace

ReportOpening open_report_file(Config& config) {
  // Not waiting for a pipe's reader: without one the run would hang before any
  // radio is reached, and its report could go nowhere.
  const int fd = open(config.report_file.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_NONBLOCK | O_CLOEXEC, 0666);
  if (fd < 0) return errno == ENXIO ? ReportOpening::PIPE_WITHOUT_READER : ReportOpening::NOT_WRITABLE;
  struct stat status {};
  if (fstat(fd, &status) == 0 && S_ISFIFO(status.st_mode)) {
    // Kept: opened again for each report it could wait for ever once the reader
    // is gone, and closed between reports the reader would take the close for the end.
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    config.report_pipe = fd;
  } else {
    close(fd);
  }
  return ReportOpening::WRITABLE;
}

void save_run_report(const Config& config, View& view, BatchKind kind, const BatchResult& result, bool complete) {
  if (config.report_file.empty()) return;
  const std::string text = format_report_lines(kind, result, complete);
  const std::string& path = config.report_file;
  struct stat status {};
  const bool exists = lstat(path.c_str(), &status) == 0;
  bool written = false;
  if (config.report_pipe >= 0) {
    written = write_to_pipe(config.report_pipe, text);
  } else if (exists && !S_ISREG(status.st_mode)) {
    written = write_in_place(path, text);
  } else {
    written = replace_file(path, text, exists ? &status : nullptr);
  }
  if (!written) say(view, "------ Error: report file [%s] could not be written.\n", path.c_str());
}

}  // namespace orvex
