// The radio simulator's side of the wire: one radio takes the records' frames
// as the simulator receives them (bits 3-7 of a record's flags let time pass
// first, in 100 ms steps), then its time-outs run out. The first byte gives its
// level (bits 0-1) and faults. Every frame it sends must be one a peer can read.
#include "tests/fuzz/fuzz_support.hpp"
#include "tools/radiosim/radio.hpp"
#include "tools/radiosim/radio_frames.hpp"

namespace orvex::fuzz {
namespace {

const MacAddress HOST{{0x02, 0, 0, 0, 0, 0x01}};

void check_sent(sim::RadioOutput& out) {
  for (const Bytes& f : out.frames) {
    const auto header = sim::read_radio_header(f, true);
    if (!header || f.size() > MAX_FRAME_SIZE || !sim::frame_payload(f, *header)) {
      finding("the radio sent a frame a peer cannot read: " + sim::describe_frame(f, true));
    }
  }
  out = {};
}

}  // namespace

std::vector<Bytes> seed_inputs() {
  const auto connect = build_connect_request("host", 2);
  const auto response = build_file_response({0, 1400});
  std::vector<Bytes> seeds;
  for (const int mode : {0x02, 0x00, 0x01, 0x06, 0x1A, 0x22, 0x42, 0x82}) {
    // The program's frames, in the byte order of the radio's level.
    const auto f = [mode](uint16_t pdu, std::string_view payload = {}) {
      return encoded({sim::default_radio(1).mac, HOST, pdu, 0x1234, 1, 0, (mode & 3) >= 2, 0}, payload);
    };
    const Bytes identify = encoded({MacAddress::broadcast(), HOST, PDU_DISCOVERY_REQUEST, 7, 0, 0, true, mode & 1});
    seeds.push_back(input(mode, 0, {identify, f(PDU_CONNECT_REQUEST, {reinterpret_cast<const char*>(connect.data()),
                                                                      connect.size()})}));
    const Bytes rest = input(0, PATCH_ALL | 0x08,
                             {f(PDU_ACK), f(PDU_DATA, "help\r"), f(PDU_DATA, "download fw.bin main.bin\r"), f(PDU_ACK),
                              f(PDU_FILE_RESPONSE, {reinterpret_cast<const char*>(response.data()), response.size()}),
                              f(PDU_FILE_DATA, std::string(1350, 'f')), f(PDU_FILE_DATA, std::string(50, 'f')),
                              f(PDU_DATA, "version\rlogout\r"), f(PDU_DISCONNECT)});
    seeds.back().insert(seeds.back().end(), rest.begin() + 1, rest.end());
  }
  return seeds;
}

}  // namespace orvex::fuzz

using namespace orvex;
using namespace orvex::fuzz;

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  prepare_process({});
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  sim::RadioConfig config = sim::default_radio(1);
  sim::RadioFaults& faults = config.faults;
  config.level = data[0] & 3;
  faults.escapes = faults.print_during_transfer = (data[0] & 0x04) != 0;
  faults.no_empty_ack = (data[0] & 0x08) != 0;
  faults.refuse_downloads = (data[0] >> 4) & 1;
  faults.restore_at = (data[0] & 0x20) != 0 ? 2 : 0, faults.fail_command = (data[0] & 0x20) != 0 ? 4 : 0;
  faults.error_at = (data[0] & 0x40) != 0 ? 3 : 0;
  faults.drop_every = (data[0] & 0x80) != 0 ? 5 : 0;
  // Downloads are kept in memory; one named "full" cannot be stored.
  sim::Radio r = sim::make_radio(
      config, [](const std::string&, const std::string& name, std::span<const uint8_t>) { return name != "full"; }, 0);
  sim::RadioOutput out;
  uint64_t now = 0;
  Records records{data + 1, data + size};
  uint8_t flags = 0;
  for (Bytes f; records.next(flags, f);) {
    now += (flags >> 3) * 100u;
    sim::handle_tick(r, now, out);
    remove_vlan_tag(f);
    patch_header(f, flags, r.cid, r.rseq, r.tseq, config.level >= 2);
    if (!sim::addressed_to(r, f) || !sim::read_radio_header(f, true)) continue;
    sim::describe_frame(f, config.level >= 2);
    sim::handle_frame(r, f, now, out);
    check_sent(out);
  }
  for (int i = 0; i < 20 && sim::next_deadline(r) != UINT64_MAX; ++i) {  // retransmissions, then the give-up
    now = std::max(now, sim::next_deadline(r));
    sim::handle_tick(r, now, out);
    check_sent(out);
  }
  return 0;
}
