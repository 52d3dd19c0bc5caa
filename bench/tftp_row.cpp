#include "bench/tftp_row.hpp"

#include <chrono>
#include <thread>

#include "base/address_text.hpp"

namespace orvex::bench {

namespace {

constexpr char SERVER_IP[] = "198.18.0.1";
constexpr char CLIENT_IP[] = "198.18.0.2";
constexpr double FETCH_LIMIT_S = 60;

bool on_path(const std::string& name) { return run_quietly("command -v " + name) == 0; }

std::string mac_text(const std::string& ns, const std::string& dev) {
  return format_mac_text(interface_address(ns, dev));
}

}  // namespace

std::string TftpRow::missing() {
  std::string text;
  if (!on_path("in.tftpd")) text += "in.tftpd (tftpd-hpa) ";
  if (!on_path("atftp")) text += "atftp ";
  return text.empty() ? text : text + "not installed (bench/setup_tftp.sh installs them)";
}

std::string TftpRow::start(const std::string& ns_server, const std::string& dev_server, int server_cpu,
                           const std::string& ns_client, const std::string& dev_client, int client_cpu,
                           const std::string& dir) {
  ns_client_ = ns_client;
  client_cpu_ = client_cpu;
  const std::string steps[] = {
      "ip -n " + ns_server + " addr add " + SERVER_IP + "/24 dev " + dev_server,
      "ip -n " + ns_client + " addr add " + CLIENT_IP + "/24 dev " + dev_client,
      "ip -n " + ns_server + " neigh replace " + CLIENT_IP + " lladdr " + mac_text(ns_client, dev_client) +
          " dev " + dev_server + " nud permanent",
      "ip -n " + ns_client + " neigh replace " + SERVER_IP + " lladdr " + mac_text(ns_server, dev_server) +
          " dev " + dev_client + " nud permanent",
  };
  for (const std::string& s : steps) {
    if (run_quietly(s) != 0) return "could not set up: " + s;
  }
  server_ = std::make_unique<ChildProcess>(in_namespace_on_cpu(
      ns_server, server_cpu,
      // As root (in its own namespace and root directory): a change of user
      // would drop the signal that ends it with the benchmark.
      {"in.tftpd", "-L", "-s", dir, "-a", std::string(SERVER_IP) + ":69", "-B", "1350", "-u", "root"}));
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  if (!server_->running()) return "in.tftpd did not start";
  return {};
}

std::string TftpRow::fetch(const std::string& name, const std::string& local) {
  if (!server_ || !server_->running()) return "in.tftpd is not running";
  ChildProcess client(in_namespace_on_cpu(
      ns_client_, client_cpu_, {"atftp", "--option", "blksize 1350", "-g", "-r", name, "-l", local, SERVER_IP}),
      ChildProcess::Output::discard_all);  // it reports the block size it got
  int status = -1;
  for (int i = 0; i < static_cast<int>(FETCH_LIMIT_S * 10) && status < 0 && !stop_flag().load(); ++i) {
    status = client.wait(0.1);
  }
  if (status < 0) return "atftp did not finish";
  return status == 0 ? std::string() : "atftp failed (exit status " + std::to_string(status) + ")";
}

}  // namespace orvex::bench
