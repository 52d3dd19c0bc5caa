#include "app/session_operations.hpp"

#include "app/session_workers.hpp"
#include "ui/help.hpp"
#include "batch/script_lines.hpp"
#include "link/frame_io.hpp"
#include "engine/dispatch.hpp"
#include "engine/epacket.hpp"
#include "engine/transfer.hpp"

namespace orvex {

namespace {

constexpr SessionOperations REAL_OPERATIONS{
    ESend, receive_frame, dispatch_frame, transfer_step, disconnect_session, print_help, read_input_line,
    request_session_end,
};

SessionOperations g_operations = REAL_OPERATIONS;

}  // namespace

SessionOperations& session_operations() { return g_operations; }
void reset_session_operations() { g_operations = REAL_OPERATIONS; }

}  // namespace orvex
