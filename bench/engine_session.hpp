// The program's transfer path as it runs in the program: the engine (frame
// input and output over libpcap, receive dispatch, file transfer, reliable
// send) driven by the program's own session workers, here inside the
// benchmark's process so that its threads can be placed and timed. One
// discovery finds the radios of the segment; a session goes to one of them at
// a time, as the program's F4 would switch.
#pragma once

#include <memory>
#include <string>

#include "app/operator_input.hpp"
#include "app/termination.hpp"
#include "base/config.hpp"
#include "console/console.hpp"
#include "engine/engine.hpp"
#include "engine/session_workers.hpp"
#include "os/file_server.hpp"
#include "os/host_info.hpp"
#include "os/pcap_capture.hpp"
#include "ui/console_view.hpp"

namespace orvex::bench {

class EngineSession {
 public:
  EngineSession() { termination_.set_session_to_end(&workers_); }
  ~EngineSession() {
    stop();
    termination_.set_session_to_end(nullptr);
  }
  EngineSession(const EngineSession&) = delete;
  EngineSession& operator=(const EngineSession&) = delete;

  // Opens the adapter of namespace `ns` (its only interface); an empty text
  // when done.
  std::string open(const std::string& ns);
  // Discovery as the program runs it: the number of radios listed.
  int discover();
  // The table entry of the radio with this address; -1 when not listed.
  int entry_of(const MacAddress& mac) const;
  // Connects to the entry and runs the session workers for it (ending the
  // session before, if any); an empty text when the session is open.
  std::string use(int entry);
  // Types a line to the radio of the session; false when not acknowledged.
  bool type_line(const std::string& line);
  // Waits at most `timeout_s` for the end of a file transfer.
  bool wait_transfer_done(double timeout_s);
  void stop();

  const SessionTable& sessions() const { return engine_.sessions; }
  // How a worker's failure ends the process (its exit_process may be put in).
  Termination& termination() { return termination_; }

 private:
  const std::unique_ptr<PacketCapture> capture_ = make_pcap_capture();
  const std::unique_ptr<HostInfo> host_ = make_host_info();
  WorkingDirectoryFiles files_;
  Termination termination_;
  Config config_;
  ConsoleView view_{console_of_process()};
  SystemClock clock_;
  Engine engine_{config_, view_, clock_, files_};
  OperatorInput input_{engine_.connection, termination_};
  SessionWorkers workers_{engine_, input_, [this](Failure failure) { termination_.terminate_app(failure); }};
  bool running_ = false;
  int entry_ = -1;
};

}  // namespace orvex::bench
