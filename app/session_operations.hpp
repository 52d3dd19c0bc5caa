// What the session's threads call in the protocol engine and the script
// reader. The program uses the real operations; tests put in their own to hold
// a worker inside a call or to watch what it was given.
#pragma once

#include <cstdint>
#include <span>

#include "base/failure.hpp"
#include "batch/script_lines.hpp"
#include "engine/engine.hpp"
#include "engine/epacket.hpp"

namespace orvex {

struct SessionOperations {
  SendResult (*send)(Engine& e, Session& session, const uint8_t* payload, int payload_size);  // send_data
  int (*receive)(Engine& e, FrameView& frame);                // FrameIo::receive
  int (*dispatch)(Engine& e, const FrameView& frame);         // dispatch_frame
  Failure (*transfer_step)(Engine& e, int index);
  void (*disconnect)(Engine& e, int index);  // disconnect_session
  LineRead (*read_input_line)(Engine& e, LineReader& reader, uint8_t* buffer);
};

SessionOperations real_session_operations();

}  // namespace orvex
