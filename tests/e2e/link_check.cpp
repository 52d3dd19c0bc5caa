// orvex-linkcheck: a small driver of the program's own link layer for the
// end-to-end tests. It opens the adapter the way the program does (libpcap,
// the one Ethernet adapter of its namespace), builds frames with the program's
// frame builder, and sends and receives them through frame input/output. It
// prints one line per frame so that a test can judge the exchange:
//   tx|rx pdu=N cid=N tseq=N rseq=N nbytes=N len=N src=MAC dst=MAC text="..."
// (the fields of a sent frame as read in the byte order its level implies)
//   identify name="..." level=N firmware="..." src=MAC
//
//   vlan tag=N                   (before the rx line of a tagged frame)
//
//   orvex-linkcheck [--vlan ID] discover [4|1024]        one request, answers for 2 s
//   orvex-linkcheck [--vlan ID] connect MAC LEVEL TEXT   connect, type TEXT, show the echo
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "base/terminate.hpp"
#include "base/address_text.hpp"
#include "base/settings.hpp"
#include "link/adapters.hpp"
#include "link/frame_io.hpp"
#include "base/byte_order.hpp"
#include "wire/frame.hpp"
#include "engine/session_frame.hpp"
#include "tools/radiosim/radio_frames.hpp"

namespace {

using namespace orvex;
using Clock = std::chrono::steady_clock;

// Received headers are big-endian; sent ones in the order of the session's
// level, so they are shown as the radio reads them.
void print_frame(const char* direction, std::span<const uint8_t> frame, bool big_endian = true) {
  const auto h = sim::read_radio_header(frame, big_endian);
  if (!h) return;
  const size_t shown = std::min<size_t>(h->nbytes, frame.size() - FRAME_HEADER_SIZE);
  std::printf("%s pdu=%u cid=%u tseq=%u rseq=%u nbytes=%u len=%zu src=%s dst=%s text=%s\n", direction,
              unsigned{h->pdu}, unsigned{h->cid}, h->tseq, h->rseq, h->nbytes, frame.size(),
              format_mac_text(h->source), format_mac_text(h->destination),
              sim::quoted_text(frame.subspan(FRAME_HEADER_SIZE, shown)).c_str());
  std::fflush(stdout);
}

// Builds the session's next frame with the program's builder and sends it.
bool send_from(Session& session, const uint8_t* payload, int size) {
  std::vector<uint8_t> frame(FRAME_BUFFER_SIZE);
  if (!build_frame(frame, session, payload, size)) return false;
  frame.resize(static_cast<size_t>(size) + FRAME_HEADER_SIZE);
  if (program_options().vlan_id != 0) {
    // Shown as the radio reads it once the tag is off.
    std::vector<uint8_t> shown(frame);
    int length = static_cast<int>(shown.size());
    strip_vlan_tag(shown, frame, length, program_options().vlan_id);
    shown.resize(static_cast<size_t>(length));
    std::printf("vlan tag=%d\n", program_options().vlan_id);
    print_frame("tx", shown, session.protocol_level >= 2);
  } else {
    print_frame("tx", frame, session.protocol_level >= 2);
  }
  return send_frame(frame) == static_cast<int>(frame.size());
}

// Frames for at most `ms`, each handed to `take` until it returns true.
// A tagged frame (kept only while a VLAN id is set) is shown without its tag.
template <typename F>
bool receive_for(int ms, F take) {
  std::vector<uint8_t> buffer(RX_SLOT_SIZE);
  std::vector<uint8_t> untagged(RX_SLOT_SIZE);
  const auto end = Clock::now() + std::chrono::milliseconds(ms);
  while (Clock::now() < end) {
    int n = receive_frame(buffer);
    if (n < 0) return false;
    if (vlan_tagged(std::span<const uint8_t>(buffer).first(static_cast<size_t>(n)), program_options().vlan_id)) {
      std::printf("vlan tag=%u\n", unsigned{get_be16(buffer.data() + OFFSET_LENGTH + 2)});
    }
    strip_vlan_tag(untagged, buffer, n, program_options().vlan_id);
    if (n < static_cast<int>(FRAME_HEADER_SIZE)) continue;
    const std::span<const uint8_t> frame(untagged.data(), static_cast<size_t>(n));
    print_frame("rx", frame);
    if (take(frame)) return true;
  }
  return false;
}

int discover(uint16_t code) {
  // The request goes from a transient session: broadcast, big-endian header.
  Session request;
  request.mac = MacAddress::broadcast();
  request.next_pdu = code;
  request.cid = 0x1357;
  request.protocol_level = 2;
  if (!send_from(request, nullptr, 0)) return 1;
  receive_for(2000, [](std::span<const uint8_t> frame) {
    const auto h = read_frame_header(frame);
    if (h->pdu != PDU_IDENTIFY_RESPONSE) return false;
    const auto r = read_discovery_response(frame.subspan(FRAME_HEADER_SIZE), h->nbytes);
    std::printf("identify name=\"%s\" level=%u firmware=\"%s\" src=%s\n", r.name.data(), unsigned{r.protocol_level},
                std::string(r.firmware.data(), strnlen(r.firmware.data(), r.firmware.size())).c_str(),
                format_mac_text(h->source));
    return false;
  });
  return 0;
}

int connect(const MacAddress& radio, uint8_t level, const std::string& text) {
  Session& s = session_table()[1];
  s.mac = radio;
  s.protocol_level = level;
  s.cid = 0x0B0E;
  s.state = SESSION_FOUND;
  s.next_pdu = PDU_CONNECT_REQUEST;
  s.tseq = 1;
  s.rseq = 0;
  const auto request = build_connect_request("linkcheck", level);
  if (!send_from(s, request.data(), static_cast<int>(request.size()))) return 1;
  s.tseq = 1;  // the request's own bytes are not counted

  std::string shown;
  bool typed = false;
  bool acknowledged = false;
  const bool done = receive_for(5000, [&](std::span<const uint8_t> frame) {
    const auto h = read_frame_header(frame);
    if (h->source != radio || h->cid != s.cid) return false;
    if (h->pdu == PDU_CONNECT_ACCEPT) {
      s.state = SESSION_CONNECTED;
    } else if (h->pdu == PDU_ACK && typed && h->rseq == s.tseq) {
      acknowledged = true;
    } else if (h->pdu == PDU_DATA) {
      s.state = SESSION_CONNECTED;
      const size_t n = std::min<size_t>(h->nbytes, frame.size() - FRAME_HEADER_SIZE);
      if (h->tseq == s.rseq && n > 0) {
        shown.append(reinterpret_cast<const char*>(frame.data() + FRAME_HEADER_SIZE), n);
        s.rseq = s.rseq + static_cast<uint32_t>(n);
      }
      s.next_pdu = PDU_ACK;
      send_from(s, nullptr, 0);
    }
    if (!typed && shown.find("> ") != std::string::npos) {
      typed = true;
      s.next_pdu = PDU_DATA;
      send_from(s, reinterpret_cast<const uint8_t*>(text.data()), static_cast<int>(text.size()));
      shown.clear();
    }
    return typed && acknowledged && shown.find(text) != std::string::npos;
  });
  std::printf("%s\n", done ? "echoed" : "no echo");
  return done ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc > 2 && std::strcmp(argv[1], "--vlan") == 0) {
    program_options().vlan_id = std::atoi(argv[2]);
    argc -= 2;
    argv += 2;
  }
  const std::string command = argc > 1 ? argv[1] : "";
  if (command == "discover" && argc <= 3) {
    const uint16_t code = argc == 3 ? static_cast<uint16_t>(std::atoi(argv[2])) : uint16_t{PDU_DISCOVERY_REQUEST};
    if (select_adapter() < 0) return 1;
    const int status = discover(code);
    close_adapter();
    return status;
  }
  MacAddress radio;
  if (command == "connect" && argc == 5 && parse_mac_text(argv[2], radio)) {
    if (select_adapter() < 0) return 1;
    const int status = connect(radio, static_cast<uint8_t>(std::atoi(argv[3])), argv[4]);
    close_adapter();
    return status;
  }
  std::fprintf(stderr, "usage: orvex-linkcheck [--vlan ID] discover [4|1024] | connect MAC LEVEL TEXT\n");
  return 2;
}
