#include "engine/operator_commands.hpp"

#include "engine/epacket.hpp"
#include "engine/session_table.hpp"

namespace orvex {

namespace {

void disconnect_the_radio(Engine& e) {
  const int index = e.connection.radio.load();
  if (SessionTable::valid_index(index)) disconnect_session(e.connection, index);
}

}  // namespace

Failure run_operator_command(Engine& e, OperatorCommand command) {
  switch (command) {
    case OperatorCommand::PROMPT_AGAIN: {
      const int index = e.connection.radio.load();
      if (!SessionTable::valid_index(index)) return Failure::NONE;
      Session& session = e.sessions[index];
      if (session.state != SESSION_CONNECTED || e.link.config.input_source != INPUT_KEYBOARD) return Failure::NONE;
      const uint8_t carriage_return = 0x0D;
      return send_data(e.connection, session, &carriage_return, 1).failure;
    }
    case OperatorCommand::LEAVE: disconnect_the_radio(e); break;
    case OperatorCommand::CHOOSE_ANOTHER:
      disconnect_the_radio(e);
      e.run.new_session_requested.store(1);
      break;
    case OperatorCommand::STOP_BATCH: e.link.stop.request(); break;
  }
  return Failure::NONE;
}

}  // namespace orvex
