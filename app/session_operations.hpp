// What the session's threads call in the protocol layer and the script reader.
// The program uses the real operations; tests put in their own to hold a
// worker inside a call or to watch what it was given.
#pragma once

#include <cstdint>
#include <span>

#include "engine/session_table.hpp"

namespace orvex {

struct SessionOperations {
  int (*send)(Session& session, const uint8_t* payload, int payload_size);  // ESend
  int (*receive)(std::span<uint8_t> buffer);                                // receive_frame
  int (*dispatch)(const uint8_t* frame, int length);                        // dispatch_frame
  int (*transfer_step)(int index);
  void (*disconnect)(int index);         // disconnect_session
  void (*print_help)(int index);
  int (*read_input_line)(uint8_t* buffer);
  void (*request_end)();                 // request_session_end
};

SessionOperations& session_operations();
// Back to the real operations (tests).
void reset_session_operations();

}  // namespace orvex
