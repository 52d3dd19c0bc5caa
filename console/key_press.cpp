#include "console/key_press.hpp"

#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

namespace orvex {

void wait_for_key_press() {
  std::fflush(stdout);
  if (isatty(STDIN_FILENO) == 0) return;
  termios saved{};
  if (tcgetattr(STDIN_FILENO, &saved) != 0) return;
  termios raw = saved;
  // Ctrl-C counts as the key press, so no signal ends the process while the
  // terminal is without echo.
  raw.c_lflag &= static_cast<tcflag_t>(~(ICANON | ECHO | ISIG));
  raw.c_cc[VMIN] = 1;
  raw.c_cc[VTIME] = 0;
  if (tcsetattr(STDIN_FILENO, TCSANOW, &raw) != 0) return;
  unsigned char byte = 0;
  ssize_t got;
  do {
    got = read(STDIN_FILENO, &byte, 1);
  } while (got < 0 && errno == EINTR);
  tcsetattr(STDIN_FILENO, TCSANOW, &saved);
}

}  // namespace orvex
