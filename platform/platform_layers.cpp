#include <atomic>

#include "platform/host_info.hpp"
#include "platform/host_network.hpp"
#include "platform/packet_library.hpp"

namespace orvex {

namespace {
// Set at start-up or by tests before any thread runs; atomics keep a late
// reader safe all the same.
std::atomic<PacketLibrary*> g_packet_library{nullptr};
std::atomic<HostInfo*> g_host_info{nullptr};
std::atomic<HostNetwork*> g_host_network{nullptr};
}  // namespace

PacketLibrary& packet_library() {
  PacketLibrary* p = g_packet_library.load();
  return p != nullptr ? *p : system_packet_library();
}
void set_packet_library(PacketLibrary* library) { g_packet_library.store(library); }

HostInfo& host_info() {
  HostInfo* p = g_host_info.load();
  return p != nullptr ? *p : system_host_info();
}
void set_host_info(HostInfo* info) { g_host_info.store(info); }

HostNetwork& host_network() {
  HostNetwork* p = g_host_network.load();
  return p != nullptr ? *p : system_host_network();
}
void set_host_network(HostNetwork* network) { g_host_network.store(network); }

}  // namespace orvex
