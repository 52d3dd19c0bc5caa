#include "engine/discover.hpp"

#include <array>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <span>
#include <vector>

#include "base/byte_order.hpp"
#include "base/clock.hpp"
#include "engine/link.hpp"
#include "engine/epacket.hpp"
#include "engine/session_table.hpp"
#include "link/frame_io.hpp"
#include "os/random_source.hpp"
#include "wire/frame.hpp"

namespace orvex {

namespace {

constexpr int64_t LAST_REQUEST_SECOND = 2;   // requests at seconds 0, 1 and 2
constexpr int64_t LISTEN_SECONDS = 4;
constexpr uint32_t FAILED_RECEIVE_PAUSE_MS = 100;

bool passes_radio_list(const Config& options, const MacAddress& source) {
  return options.list_filter_active == 0 || radio_list_contains(options.radio_list, source);
}

bool already_recorded(const SessionTable& table, const MacAddress& source) {
  for (int i = 1; i < MAX_USER_SESSIONS; ++i) {
    if (table[i].state != SESSION_EMPTY && table[i].mac == source) return true;
  }
  return false;
}

void record_radio(Session& entry, const MacAddress& source, const DiscoveryResponse& response) {
  static constexpr char UNKNOWN_NAME[] = "Unknown name";
  entry.mac = source;
  entry.cid = static_cast<uint16_t>(new_connection_id());
  entry.next_pdu = PDU_CONNECT_REQUEST;
  entry.tseq = 0;
  entry.rseq = 0;
  entry.last_nbytes = 0;
  if (response.has_name) {
    entry.set_name(response.name.data(), response.name_length);
  } else {
    entry.set_name(UNKNOWN_NAME, sizeof UNKNOWN_NAME - 1);
  }
  entry.protocol_level = response.protocol_level;
  entry.firmware = response.firmware;
  entry.state = SESSION_FOUND;  // last: publishes the fields above
}

}  // namespace

int accept_discovery_response(const Link& link, SessionTable& table, const FrameView& frame, int& count, RadioFound on_found) {
  const int cur_session = count + 1;
  if (frame.header.destination != link.config.local_mac) return -1;
  if (frame.tagged) say(link.view, "Saw VLAN tag %u\n", static_cast<unsigned>(frame.tag_control));

  // Responses are read in network order whatever the radio's level; their
  // identifiers and sequence numbers are not matched to the request.
  if (frame.header.pdu != PDU_IDENTIFY_RESPONSE) return 0;
  const MacAddress& source = frame.header.source;

  if (!passes_radio_list(link.config, source)) return 0;
  // The first response of a radio wins; later ones change nothing.
  if (already_recorded(table, source)) return 0;
  // Entry 0 never holds a radio, so a full table has 599.
  if (cur_session >= MAX_USER_SESSIONS) return 0;

  const DiscoveryResponse response = read_discovery_response(frame.payload, frame.header.nbytes);
  record_radio(table[cur_session], source, response);
  ++count;
  if (on_found != nullptr) on_found(table[cur_session], cur_session);
  return count;
}

int accept_discovery_response(const Link& link, SessionTable& table, const uint8_t* bytes, int length, int& count, RadioFound on_found) {
  if (bytes == nullptr || length <= 0) return -1;
  const auto frame = parse_frame(std::span<const uint8_t>(bytes, static_cast<size_t>(length)), ANY_VLAN);
  return frame ? accept_discovery_response(link, table, *frame, count, on_found) : -1;
}

int discover_radios(Link& link, SessionTable& table, RadioFound on_found) {

  Clock& c = link.clock;
  int count = 0;
  int64_t t_now = c.wall_seconds();
  link.view.message("\nDiscovery of local devices in progress ...\n");

  Session request = discovery_request();
  send_discovery_request(link, request);
  const int64_t t_start = c.wall_seconds();
  int64_t t_last_send = t_start;

  for (;;) {
    for (;;) {
      FrameView frame;
      const int n = link.io.receive(frame);
      // A receive failure does not end discovery; a short pause keeps a
      // failing adapter from spinning the loop until the time is up.
      if (n < 0) c.sleep_ms(FAILED_RECEIVE_PAUSE_MS);
      if (n <= 0) break;
      accept_discovery_response(link, table, frame, count, on_found);
      if (c.wall_seconds() != t_now) break;
    }
    t_now = c.wall_seconds();
    if (t_now != t_last_send && t_now - t_start <= LAST_REQUEST_SECOND) {
      send_discovery_request(link, request);
      t_last_send = c.wall_seconds();
    }
    if (t_now - t_start >= LISTEN_SECONDS) break;
  }
  link.view.flush();
  return count;
}

Session discovery_request() {
  // Not an entry of the table: a broadcast, big-endian identify request.
  Session request;
  request.state = SESSION_EMPTY;
  request.mac = MacAddress::broadcast();
  request.next_pdu = PDU_DISCOVERY_REQUEST;
  request.cid = static_cast<uint16_t>(new_connection_id());
  request.protocol_level = 2;
  return request;
}

void send_discovery_request(Link& link, Session& request) {
  // No payload, sent once each time without waiting for an acknowledgement.
  send_once(link, request, -1, PDU_DISCOVERY_REQUEST, nullptr, 0);
}

int new_connection_id() {
  // From the kernel's random source: an identifier another station cannot
  // foresee, also for runs started in the same second.
  std::array<uint8_t, 2> bytes{};
  if (!system_random_bytes(bytes)) {
    // No random source at all (a broken system): the monotonic clock at
    // least differs from one set-up to the next.
    const auto ms = static_cast<uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count() / 1000000);
    put_be16(bytes.data(), static_cast<uint16_t>(ms ^ (ms >> 16)));
  }
  return static_cast<int>(get_be16(bytes.data()) & 0x7FFF);
}

}  // namespace orvex
