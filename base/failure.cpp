#include "base/failure.hpp"

#include <exception>
#include <iterator>

namespace orvex {

namespace {

struct FailureRow {
  Failure failure;
  const char* reason;  // the message's first line, or nullptr for the numbered form
  int code;            // the number of the numbered form; 0: no message at all
  int usual_status;
  int telling_status;
};

constexpr FailureRow FAILURES[] = {
    {Failure::NONE, nullptr, 0, 0, EXIT_DONE},
    {Failure::UNABLE_TO_SEND, "Error: Unable to send data", -25, 0, EXIT_CONNECTION_LOST},
    {Failure::RECEIVE_THREAD_FAILED, "Error: Receive thread failed", -24, 0, EXIT_CONNECTION_LOST},
    {Failure::READ_THREAD_FAILED, "Error: Read thread failed", -22, 0, EXIT_CONNECTION_LOST},
    {Failure::NO_CONNECTION, "Unable to establish connection with the radio", -21, 0, EXIT_CONNECTION_LOST},
    {Failure::NO_DEVICES, "Sorry, no devices found", -20, 0, EXIT_NO_ADAPTER_OR_RADIO},
    {Failure::INVALID_ADAPTER, "Error: Invalid adapter", -18, 0, EXIT_NO_ADAPTER_OR_RADIO},
    // Nothing chose the adapter: the command line must (-c).
    {Failure::ADAPTER_NOT_CHOSEN, "Error: Invalid adapter", -18, 0, EXIT_BAD_ARGUMENTS},
    {Failure::ADAPTERS_NOT_LISTED, nullptr, 0, 0, EXIT_NO_ADAPTER_OR_RADIO},
    {Failure::NO_USABLE_ADAPTER, nullptr, 0, 255, EXIT_NO_ADAPTER_OR_RADIO},
    {Failure::ADAPTER_NOT_OPENED, nullptr, 0, 255, EXIT_NO_ADAPTER_OR_RADIO},
    {Failure::TRANSFER_IDLE, nullptr, -3, 0, EXIT_CONNECTION_LOST},
    {Failure::LOCAL_EXIT, "Local command exit executed ...\n", 29, 0, EXIT_DONE},
    {Failure::LOCAL_EXIT_RADIOS_FAILED, "Local command exit executed ...\n", 29, 0, EXIT_SOME_RADIOS_FAILED},
    {Failure::INVALID_CHOICE, nullptr, -7, 0, EXIT_BAD_ARGUMENTS},
    {Failure::REQUEST_REFUSED, nullptr, -8, 0, EXIT_BAD_ARGUMENTS},
    {Failure::FILE_NOT_OPENED, nullptr, -29, 0, EXIT_BAD_ARGUMENTS},
    {Failure::FILE_NOT_READ, nullptr, -83, 0, EXIT_BAD_ARGUMENTS},
    {Failure::BAD_USAGE, nullptr, 0, 255, EXIT_BAD_ARGUMENTS},  // 255: -1 as the process sees it
    {Failure::REPORT_NOT_WRITABLE, nullptr, 0, 0, EXIT_BAD_ARGUMENTS},
    {Failure::BROKEN_LIMIT, nullptr, 0, 3, 3},
};

constexpr bool rows_in_order() {
  for (size_t i = 0; i < std::size(FAILURES); ++i) {
    if (FAILURES[i].failure != static_cast<Failure>(i)) return false;
  }
  return FAILURES[std::size(FAILURES) - 1].failure == Failure::BROKEN_LIMIT;
}
static_assert(rows_in_order(), "one row per Failure, in the enum's order");

const FailureRow& row(Failure failure) { return FAILURES[static_cast<size_t>(failure)]; }

}  // namespace

std::string failure_message(Failure failure) {
  const FailureRow& r = row(failure);
  if (r.reason != nullptr) return std::string(r.reason) + "\nTerminating application ...\n";
  if (r.code == 0) return {};
  return "\nTerminating application with error code:" + std::to_string(r.code) + "\n\n";
}

int usual_status(Failure failure) { return row(failure).usual_status; }

int telling_status(Failure failure) { return row(failure).telling_status; }

}  // namespace orvex
