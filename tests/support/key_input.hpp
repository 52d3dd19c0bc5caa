// Keys for the terminal layer from a pipe: what a test "types" arrives as the
// terminal's input bytes, and closing the pipe ends the input.
#pragma once

#include <string>

namespace orvex::test {

class KeyPipe {
 public:
  KeyPipe();
  ~KeyPipe();
  KeyPipe(const KeyPipe&) = delete;
  KeyPipe& operator=(const KeyPipe&) = delete;

  void type(const std::string& bytes);
  // The end of the input, as at the end of a redirected standard input.
  void close_input();

 private:
  int read_fd_ = -1;
  int write_fd_ = -1;
};

}  // namespace orvex::test
