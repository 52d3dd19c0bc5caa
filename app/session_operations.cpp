#include "app/session_operations.hpp"

#include "engine/dispatch.hpp"
#include "engine/epacket.hpp"
#include "engine/transfer.hpp"
#include "ui/help.hpp"

namespace orvex {

namespace {
int receive(Engine& e, std::span<uint8_t> buffer) { return e.io.receive(buffer); }
}  // namespace

SessionOperations real_session_operations() {
  return {ESend, receive, dispatch_frame, transfer_step, disconnect_session, print_help, read_input_line};
}

}  // namespace orvex
