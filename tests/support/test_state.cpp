#include "tests/support/test_state.hpp"

#include <cstdio>

#include "app/termination.hpp"
#include "os/terminal.hpp"

namespace orvex::test {

void reset_process_state() { reset_terminal(); }

TerminationCatcher::TerminationCatcher(Termination& termination, Connection* conn)
    : termination_(termination), conn_(conn) {
  termination_.exit_process = [](int status) {
    std::fflush(stdout);
    throw ProcessExit{status};
  };
  termination_.request_session_end = [this] { ++session_end_requests_; };
  if (conn_ != nullptr) conn_->request_session_end = [this] { ++session_end_requests_; };
}

TerminationCatcher::~TerminationCatcher() {
  termination_.exit_process = nullptr;
  termination_.request_session_end = nullptr;
  if (conn_ != nullptr) conn_->request_session_end = nullptr;
}

}  // namespace orvex::test
