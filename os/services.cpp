#include <atomic>

#include "os/host_info.hpp"
#include "os/packet_capture.hpp"

namespace orvex {

namespace {
// Set at start-up or by tests before any thread runs; atomics keep a late
// reader safe all the same.
std::atomic<PacketCapture*> g_packet_capture{nullptr};
std::atomic<HostInfo*> g_host_info{nullptr};
}  // namespace

PacketCapture& packet_capture() {
  PacketCapture* p = g_packet_capture.load();
  return p != nullptr ? *p : system_packet_capture();
}
void set_packet_capture(PacketCapture* capture) { g_packet_capture.store(capture); }

HostInfo& host_info() {
  HostInfo* p = g_host_info.load();
  return p != nullptr ? *p : system_host_info();
}
void set_host_info(HostInfo* info) { g_host_info.store(info); }

}  // namespace orvex
