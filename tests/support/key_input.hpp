// Keys for the terminal layer from a pipe: what a test types arrives as the
// terminal's input bytes, and closing the pipe ends the input.
#pragma once

#include <fcntl.h>
#include <unistd.h>

#include <stdexcept>
#include <string>

#include "os/terminal.hpp"

namespace orvex::test {

class KeyPipe {
 public:
  KeyPipe() {
    if (pipe2(fds_, O_CLOEXEC) != 0) throw std::runtime_error("pipe");
    set_terminal_input_fd(fds_[0]);
  }
  ~KeyPipe() {
    set_terminal_input_fd(STDIN_FILENO);
    close_input();
    ::close(fds_[0]);
  }
  void type(const std::string& bytes) {
    const ssize_t n = ::write(fds_[1], bytes.data(), bytes.size());
    if (n != static_cast<ssize_t>(bytes.size())) throw std::runtime_error("write");
  }
  // The end of the input, as at the end of a redirected standard input.
  void close_input() {
    if (fds_[1] >= 0) ::close(fds_[1]);
    fds_[1] = -1;
  }

 private:
  int fds_[2] = {-1, -1};
};

}  // namespace orvex::test
