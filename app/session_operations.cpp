#include "app/session_operations.hpp"

#include "app/session_workers.hpp"
#include "cmdline/help.hpp"
#include "cmdline/script_lines.hpp"
#include "link/frame_io.hpp"

namespace orvex {

namespace {

// Stand-ins for the operations whose modules are not part of this build yet:
// nothing goes out, nothing is read.
int no_send(Session&, const uint8_t*, int payload_size) { return payload_size; }
int no_dispatch(const uint8_t*, int) { return 0; }
int no_transfer_step(int) { return 1; }
void no_disconnect(int) {}

constexpr SessionOperations REAL_OPERATIONS{
    no_send, receive_frame, no_dispatch, no_transfer_step, no_disconnect, print_help, read_input_line,
    request_session_end,
};

SessionOperations g_operations = REAL_OPERATIONS;

}  // namespace

SessionOperations& session_operations() { return g_operations; }
void reset_session_operations() { g_operations = REAL_OPERATIONS; }

}  // namespace orvex
