// Everything one run of the program holds: the link, the session table, the
// connection to the radio of the moment, and what the driver decides between
// sessions. Only the program driver, the session runner and the operator's
// commands are given the whole of it; every other function takes its part.
#pragma once

#include "base/clock.hpp"
#include "base/config.hpp"
#include "base/view.hpp"
#include "engine/connection.hpp"
#include "engine/link.hpp"
#include "engine/run_state.hpp"
#include "engine/session_table.hpp"
#include "os/file_server.hpp"

namespace orvex {

struct Engine {
  Engine(Config& c, View& v, Clock& k, FileServer& f) : link(c, v, k), connection(link, sessions, f) {}
  Engine(const Engine&) = delete;
  Engine& operator=(const Engine&) = delete;

  Link link;
  SessionTable sessions;
  Connection connection;
  RunState run;
};

}  // namespace orvex
