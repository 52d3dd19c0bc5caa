// The input file (-i) as the session's input: one line at a time, and once it
// has ended with nobody to type, the end of standard input ends the session.
#pragma once

#include <cstdint>

#include "batch/script_lines.hpp"
#include "base/shared_field.hpp"
#include "engine/connection.hpp"
#include "engine/session_input.hpp"

namespace orvex {

class FileInput : public SessionInput {
 public:
  explicit FileInput(Connection& conn) : conn_(conn) {}
  void begin() override;
  // One line (BYTES); OVER when the file has ended; UNREADABLE when it could
  // not be read; FAILED for a file that cannot be opened (outside a batch run)
  // and an exit line. When the file has ended and standard input is not a
  // terminal, the end of standard input leaves as F3 does.
  InputRead read(uint8_t* buffer) override;
  void end() override {}
  void wake() override;

 private:
  InputRead end_of_file();

  Connection& conn_;
  LineReader lines_;  // its place holds from session to session
};

}  // namespace orvex
