#include "engine/discover.hpp"

#include <array>
#include <cstdio>
#include <cstring>
#include <span>
#include <vector>

#include "base/byte_order.hpp"
#include "base/clock.hpp"
#include "engine/engine.hpp"
#include "engine/epacket.hpp"
#include "engine/session_table.hpp"
#include "link/frame_io.hpp"
#include "os/random_source.hpp"
#include "wire/frame.hpp"

namespace orvex {

namespace {

constexpr size_t MAX_LENGTH_FIELD = 1500;
constexpr size_t LLC_PDU_OFFSET = 8;
constexpr size_t LLC_NBYTES_OFFSET = 22;
constexpr size_t LLC_PAYLOAD_OFFSET = 26;
constexpr int64_t LAST_REQUEST_SECOND = 2;   // requests at seconds 0, 1 and 2
constexpr int64_t LISTEN_SECONDS = 4;
constexpr uint32_t FAILED_RECEIVE_PAUSE_MS = 100;

bool passes_radio_list(const Engine& e, const MacAddress& source) {
  const Config& options = e.config;
  return options.list_filter_active == 0 || radio_list_contains(options.radio_list, source);
}

bool already_recorded(Engine& e, const MacAddress& source) {
  SessionTable& table = e.sessions;
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

int accept_discovery_response(Engine& e, const uint8_t* frame, int length, int& count, RadioFound on_found) {
  if (frame == nullptr || length < static_cast<int>(FRAME_HEADER_SIZE)) return -1;
  const std::span<const uint8_t> bytes(frame, static_cast<size_t>(length));
  const int cur_session = count + 1;

  if (MacAddress::from(frame + OFFSET_DESTINATION) != e.config.local_mac) return -1;

  size_t llc = OFFSET_SNAP;
  if (get_be16(frame + OFFSET_LENGTH) == VLAN_TPID) {
    std::printf("Saw VLAN tag %u\n", static_cast<unsigned>(get_be16(frame + OFFSET_LENGTH + 2)));
    if (get_be16(frame + OFFSET_LENGTH + VLAN_TAG_SIZE) > MAX_LENGTH_FIELD) return -1;
    llc += VLAN_TAG_SIZE;
  } else if (get_be16(frame + OFFSET_LENGTH) > MAX_LENGTH_FIELD) {
    return -1;
  }
  // A tagged frame needs four bytes more than the untagged minimum.
  if (bytes.size() < llc + LLC_PAYLOAD_OFFSET) return -1;
  if (std::memcmp(frame + llc, SNAP_HEADER.data(), SNAP_HEADER.size()) != 0) return -1;

  // Responses are read in network order whatever the radio's level; their
  // identifiers and sequence numbers are not matched to the request.
  if (get_be16(frame + llc + LLC_PDU_OFFSET) != PDU_IDENTIFY_RESPONSE) return 0;
  const uint32_t nbytes = get_be32(frame + llc + LLC_NBYTES_OFFSET);
  const MacAddress source = MacAddress::from(frame + OFFSET_SOURCE);

  if (!passes_radio_list(e, source)) return 0;
  // The first response of a radio wins; later ones change nothing.
  if (already_recorded(e, source)) return 0;
  // Entry 0 never holds a radio, so a full table has 599.
  if (cur_session >= MAX_USER_SESSIONS) return 0;

  const DiscoveryResponse response = read_discovery_response(bytes.subspan(llc + LLC_PAYLOAD_OFFSET), nbytes);
  record_radio(e.sessions[cur_session], source, response);
  ++count;
  if (e.run.rows_during_discovery != 0 && on_found != nullptr) on_found(e, cur_session);
  return count;
}

int discover_radios(Engine& e, RadioFound on_found) {
  std::vector<uint8_t> buffer(RX_SLOT_SIZE);

  Clock& c = clock();
  int count = 0;
  int64_t t_now = c.wall_seconds();
  std::printf("\nDiscovery of local devices in progress ...\n");

  Session request = discovery_request();
  send_discovery_request(e, request);
  const int64_t t_start = c.wall_seconds();
  int64_t t_last_send = t_start;

  for (;;) {
    for (;;) {
      const int n = e.io.receive(buffer);
      // A receive failure does not end discovery; a short pause keeps a
      // failing adapter from spinning the loop until the time is up.
      if (n < 0) c.sleep_ms(FAILED_RECEIVE_PAUSE_MS);
      if (n <= 0 || n > static_cast<int>(MAX_FRAME_SIZE)) break;
      if (n >= static_cast<int>(FRAME_HEADER_SIZE)) accept_discovery_response(e, buffer.data(), n, count, on_found);
      if (c.wall_seconds() != t_now) break;
    }
    t_now = c.wall_seconds();
    if (t_now != t_last_send && t_now - t_start <= LAST_REQUEST_SECOND) {
      send_discovery_request(e, request);
      t_last_send = c.wall_seconds();
    }
    if (t_now - t_start >= LISTEN_SECONDS) break;
  }
  std::fflush(stdout);
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

void send_discovery_request(Engine& e, Session& request) {
  // No payload, sent once each time without waiting for an acknowledgement.
  ESend(e, request, nullptr, 0);
}

int new_connection_id() {
  // From the kernel's random source: an identifier another station cannot
  // foresee, also for runs started in the same second.
  std::array<uint8_t, 2> bytes{};
  if (!system_random_bytes(bytes)) {
    // No random source at all (a broken system): the monotonic clock at
    // least differs from one set-up to the next.
    const uint64_t ms = clock().now_ms();
    put_be16(bytes.data(), static_cast<uint16_t>(ms ^ (ms >> 16)));
  }
  return static_cast<int>(get_be16(bytes.data()) & 0x7FFF);
}

}  // namespace orvex
