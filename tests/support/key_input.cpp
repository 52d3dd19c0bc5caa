#include "tests/support/key_input.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <stdexcept>

#include "os/terminal.hpp"

namespace orvex::test {

KeyPipe::KeyPipe() {
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) throw std::runtime_error("pipe");
  read_fd_ = fds[0];
  write_fd_ = fds[1];
  set_terminal_input_fd(read_fd_);
}

KeyPipe::~KeyPipe() {
  set_terminal_input_fd(STDIN_FILENO);
  close_input();
  close(read_fd_);
}

void KeyPipe::type(const std::string& bytes) {
  size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = write(write_fd_, bytes.data() + done, bytes.size() - done);
    if (n <= 0) throw std::runtime_error("write");
    done += static_cast<size_t>(n);
  }
}

void KeyPipe::close_input() {
  if (write_fd_ >= 0) close(write_fd_);
  write_fd_ = -1;
}

}  // namespace orvex::test
