#include "tools/radiosim/radio_frames.hpp"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "base/address_text.hpp"
#include "base/byte_order.hpp"

namespace orvex::sim {

std::optional<RadioHeader> read_radio_header(std::span<const uint8_t> frame, bool big_endian) {
  const auto view = parse_frame(frame, UNTAGGED_ONLY, big_endian);
  if (!view) return std::nullopt;
  return view->header;
}

std::optional<std::span<const uint8_t>> frame_payload(std::span<const uint8_t> frame,
                                                      const RadioHeader& header) {
  const size_t available = frame.size() - std::min(frame.size(), FRAME_HEADER_SIZE);
  if (header.nbytes > MAX_PAYLOAD_SIZE || header.nbytes > available) return std::nullopt;
  return frame.subspan(FRAME_HEADER_SIZE, header.nbytes);
}

bool is_identify_request(const RadioHeader& big_endian_header) {
  return big_endian_header.pdu == PDU_IDENTIFY_REQUEST || big_endian_header.pdu == PDU_DISCOVERY_REQUEST;
}

std::vector<uint8_t> build_radio_frame(const MacAddress& destination, const MacAddress& source,
                                       uint16_t pdu, uint16_t cid, uint32_t tseq, uint32_t rseq,
                                       std::span<const uint8_t> payload) {
  // A radio writes its header big-endian whatever its level.
  OutgoingHeader h;
  h.destination = destination;
  h.source = source;
  h.pdu = pdu;
  h.cid = cid;
  h.tseq = tseq;
  h.rseq = rseq;
  int size = static_cast<int>(std::min(payload.size(), MAX_PAYLOAD_SIZE));
  std::vector<uint8_t> frame(FRAME_HEADER_SIZE + static_cast<size_t>(size));
  if (!encode_frame(frame, h, payload.data(), size)) frame.clear();
  return frame;
}

std::array<uint8_t, DISCOVERY_RESPONSE_SIZE> build_identify_response(const std::string& name,
                                                                      uint8_t level,
                                                                      const std::string& firmware,
                                                                      uint32_t uptime_hundredths) {
  std::array<uint8_t, DISCOVERY_RESPONSE_SIZE> out{};
  // The NUL must stay before the level byte.
  const size_t n = std::min(name.size(), PAYLOAD_NAME_FIELD - 1);
  std::memcpy(out.data(), name.data(), n);
  out[PAYLOAD_LEVEL_OFFSET] = level;
  put_le32(out.data() + PAYLOAD_UPTIME_OFFSET, uptime_hundredths);
  const size_t f = std::min(firmware.size(), out.size() - PAYLOAD_FIRMWARE_OFFSET);
  std::memcpy(out.data() + PAYLOAD_FIRMWARE_OFFSET, firmware.data(), f);
  return out;
}

std::string quoted_text(std::span<const uint8_t> bytes) {
  std::string out = "\"";
  for (const uint8_t c : bytes) {
    if (c >= 32 && c < 127 && c != '"' && c != '\\') {
      out += static_cast<char>(c);
    } else {
      char esc[8];
      std::snprintf(esc, sizeof esc, "\\x%02x", c);
      out += esc;
    }
  }
  return out + "\"";
}

const char* pdu_name(uint16_t pdu) {
  switch (pdu) {
    case PDU_QUIET_DATA: return "QUIET_DATA";
    case PDU_DATA: return "DATA";
    case PDU_ACK: return "ACK";
    case PDU_ERROR: return "ERROR";
    case PDU_IDENTIFY_REQUEST: return "IDENTIFY_REQUEST";
    case PDU_IDENTIFY_RESPONSE: return "IDENTIFY_RESPONSE";
    case PDU_CONNECT_REQUEST: return "CONNECT_REQUEST";
    case PDU_CONNECT_ACCEPT: return "CONNECT_ACCEPT";
    case PDU_DISCONNECT: return "DISCONNECT";
    case PDU_FILE_REQUEST: return "FILE_REQUEST";
    case PDU_FILE_RESPONSE: return "FILE_RESPONSE";
    case PDU_FILE_DATA: return "FILE_DATA";
    case PDU_STORED_DATA: return "STORED_DATA";
    case PDU_RESTORE: return "RESTORE";
    case PDU_DISCOVERY_REQUEST: return "DISCOVERY_REQUEST";
    default: return "?";
  }
}

std::string describe_frame(std::span<const uint8_t> frame, bool big_endian) {
  char text[256];
  const auto header = read_radio_header(frame, big_endian);
  if (!header) {
    std::snprintf(text, sizeof text, "not a protocol frame, %zu bytes", frame.size());
    return text;
  }
  // The discovery request is big-endian whatever the reader's order.
  const auto be = read_radio_header(frame, true);
  const RadioHeader& h = is_identify_request(*be) ? *be : *header;
  std::snprintf(text, sizeof text, "%s > %s PDU %u %s cid=%u tseq=%u rseq=%u n=%u len=%u",
                format_mac_text(h.source).c_str(), format_mac_text(h.destination).c_str(), unsigned{h.pdu},
                pdu_name(h.pdu), unsigned{h.cid}, h.tseq, h.rseq, h.nbytes, unsigned{h.length});
  std::string out = text;
  const size_t available = frame.size() - FRAME_HEADER_SIZE;
  const size_t shown = std::min({static_cast<size_t>(h.nbytes), available, size_t{48}});
  if (shown > 0) {
    out += " " + quoted_text(frame.subspan(FRAME_HEADER_SIZE, shown));
    if (shown < h.nbytes) out += "...";
  }
  return out;
}

}  // namespace orvex::sim
