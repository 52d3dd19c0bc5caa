#include "app/session_operations.hpp"

#include "engine/dispatch.hpp"
#include "engine/epacket.hpp"
#include "engine/transfer.hpp"

namespace orvex {

namespace {
int receive(Engine& e, FrameView& frame) { return e.io.receive(frame); }
int dispatch(Engine& e, const FrameView& frame) { return dispatch_frame(e, frame); }
}  // namespace

SessionOperations real_session_operations() {
  return {send_data, receive, dispatch, transfer_step, disconnect_session, read_input_line};
}

}  // namespace orvex
