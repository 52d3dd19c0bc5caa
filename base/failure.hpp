// Why the program ends before its work is done. Code below app/ returns a
// Failure instead of ending the process; app/ alone prints its message and
// ends with its exit status.
#pragma once

#include <string>

namespace orvex {

enum class Failure {
  NONE,
  UNABLE_TO_SEND,            // a frame never acknowledged outside a batch run
  RECEIVE_THREAD_FAILED,
  READ_THREAD_FAILED,
  NO_CONNECTION,             // the chosen radio did not accept the connection
  NO_DEVICES,                // discovery found no radio
  INVALID_ADAPTER,           // no usable adapter has the name or Id given
  ADAPTER_NOT_CHOSEN,        // standard input ended before the operator chose
  ADAPTERS_NOT_LISTED,       // the interfaces could not be listed
  NO_USABLE_ADAPTER,
  ADAPTER_NOT_OPENED,        // the chosen adapter did not open
  TRANSFER_IDLE,             // no frame during a transfer for too long
  LOCAL_EXIT,                // an exit line in an input or command file
  LOCAL_EXIT_RADIOS_FAILED,  // the same, in a command run that left radios not done
  INVALID_CHOICE,            // the operator's answer names no radio
  REQUEST_REFUSED,           // a -u or -x request invalid or not confirmed
  FILE_NOT_OPENED,           // the -i or -o file named on the command line
  FILE_NOT_READ,             // a radio list, input or command file
  BAD_USAGE,                 // options that cannot be run as given
  REPORT_NOT_WRITABLE,
  BROKEN_LIMIT,              // an internal limit was broken (the code that found it said which)
};

// With --exit-status the process's exit status tells how the run went.
constexpr int EXIT_DONE = 0;
constexpr int EXIT_SOME_RADIOS_FAILED = 1;
constexpr int EXIT_BAD_ARGUMENTS = 2;
constexpr int EXIT_NO_ADAPTER_OR_RADIO = 3;
constexpr int EXIT_CONNECTION_LOST = 4;
constexpr int EXIT_STOPPED_BY_OPERATOR = 5;

// What the program prints as `failure` ends it; empty when the code that
// failed has said everything already.
std::string failure_message(Failure failure);
// The exit status without --exit-status (what the program always gave), and
// the one that tells with it.
int usual_status(Failure failure);
int telling_status(Failure failure);

}  // namespace orvex
