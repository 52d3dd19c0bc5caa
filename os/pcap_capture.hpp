// The host's packet capture, over libpcap.
#pragma once

#include <memory>

#include "os/packet_capture.hpp"

namespace orvex {

// Made once by main, and handed to what lists or opens interfaces.
std::unique_ptr<PacketCapture> make_pcap_capture();

}  // namespace orvex
