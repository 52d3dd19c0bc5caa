// The transfer a user would pick instead: tftpd-hpa serving the same file to
// atftp with 1350-byte blocks, on the same link. The server runs in the
// foreground in the program's namespace, the client in the radio's; the pair
// gets IPv4 addresses of the benchmarking range (198.18.0.0/15) and fixed
// neighbour entries, so no ARP travels during a round. Debian's tftpd-hpa and
// atftp (bench/setup_tftp.sh installs them); without them the row is skipped.
#pragma once

#include <memory>
#include <string>

#include "bench/netns.hpp"

namespace orvex::bench {

class TftpRow {
 public:
  // An empty text when in.tftpd and atftp are there, else what is missing.
  static std::string missing();

  // Serves `dir` (which becomes the server's root) from ns_server; an empty
  // text when the server runs.
  std::string start(const std::string& ns_server, const std::string& dev_server, int server_cpu,
                    const std::string& ns_client, const std::string& dev_client, int client_cpu,
                    const std::string& dir);
  // Fetches `name` into `local`; an empty text on success.
  std::string fetch(const std::string& name, const std::string& local);
  void stop() { server_.reset(); }

 private:
  std::unique_ptr<ChildProcess> server_;
  std::string ns_client_;
  int client_cpu_ = 1;
};

}  // namespace orvex::bench
