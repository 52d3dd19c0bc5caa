#include "bench/engine_session.hpp"

#include "bench/netns.hpp"
#include "engine/connect.hpp"
#include "engine/discover.hpp"
#include "engine/epacket.hpp"
#include "engine/session_table.hpp"
#include "link/adapters.hpp"

namespace orvex::bench {

std::string EngineSession::open(const std::string& ns) {
  InNamespace in(ns);
  if (!in.entered()) return "could not enter " + ns;
  AdapterChoice choice{config_, engine_.link.io, engine_.link.view, *capture_, *host_};
  if (select_adapter(choice).failure != Failure::NONE) return "no usable adapter in " + ns;
  return {};
}

int EngineSession::discover() {
  engine_.run.radios_found = discover_radios(engine_.link, engine_.sessions);
  return engine_.run.radios_found;
}

int EngineSession::entry_of(const MacAddress& mac) const {
  for (int i = 1; i < MAX_USER_SESSIONS; ++i) {
    if (engine_.sessions[i].state != SESSION_EMPTY && engine_.sessions[i].mac == mac) return i;
  }
  return -1;
}

std::string EngineSession::use(int entry) {
  if (running_ && entry == entry_) return {};
  if (running_) {
    workers_.request_end();
    workers_.wait_end();
    running_ = false;
  }
  engine_.connection.radio = entry;
  if (connect_session(engine_.connection, entry) != 1) return "the session did not open";
  workers_.start();
  running_ = true;
  entry_ = entry;
  return {};
}

bool EngineSession::type_line(const std::string& line) {
  if (!running_) return false;
  return send_data(engine_.connection, engine_.sessions[entry_], reinterpret_cast<const uint8_t*>(line.data()),
               static_cast<int>(line.size())).delivered;
}

bool EngineSession::wait_transfer_done(double timeout_s) {
  for (int i = 0; i < static_cast<int>(timeout_s * 10) && !stop_flag().load(); ++i) {
    if (engine_.connection.events.transfer_done_event.wait(100)) return true;
  }
  return false;
}

void EngineSession::stop() {
  if (running_) {
    workers_.request_end();
    workers_.wait_end();
    running_ = false;
  }
  engine_.link.io.close();
}

}  // namespace orvex::bench
