// Frames from the wire as the program receives them, in every state of a
// session: discovering, setting up a connection, then connected or in a file
// transfer (the transfer worker steps, and whenever it waits the receive worker
// dispatches a frame); at protocol levels 0, 1 and 2, with a VLAN or without.
// The first byte chooses (bits 0-1 the state, 2-3 the level, 4 a VLAN, 5 a
// batch run, 6 every diagnostic); records follow. A radio may only ever be
// served regular files below the working directory; every frame sent is whole.
#include <memory>
#include <optional>

#include "engine/connect.hpp"
#include "engine/discover.hpp"
#include "engine/dispatch.hpp"
#include "engine/engine.hpp"
#include "console/console.hpp"
#include "ui/console_view.hpp"
#include "engine/transfer.hpp"
#include "os/file_server.hpp"
#include "tests/fuzz/fuzz_support.hpp"
#include "ui/device_table.hpp"

namespace orvex::fuzz {
namespace {

constexpr int ENTRY = 1;
const MacAddress LOCAL{{0x02, 0, 0, 0, 0, 0x01}}, RADIO{{0x02, 0x7A, 0x42, 0, 0, 0x05}};
std::string g_work;

enum Scenario : uint8_t { CONNECTED, TRANSFERRING, DISCOVERING, SETTING_UP };

Bytes radio_frame(uint16_t pdu, std::string_view payload = {}, int vlan_id = 0) {
  return encoded({LOCAL, RADIO, pdu, 0x1234, 0, 0, true, vlan_id}, payload);
}

// The adapter: one frame a read, the harness's own frames first; a read with
// nothing left passes 300 ms. The files open are checked after a file request.
class Wire final : public CaptureHandle {
 public:
  Wire(Engine& e, Records records, std::vector<Bytes> first) : e_(e), records_(records), first_(std::move(first)) {}
  bool accept_destination(const MacAddress&) override { return true; }
  int send(std::span<const uint8_t> f) override {
    const size_t tag = f.size() > OFFSET_LENGTH + 1 && get_be16(&f[OFFSET_LENGTH]) == VLAN_TPID ? VLAN_TAG_SIZE : 0;
    if (f.size() < FRAME_HEADER_SIZE + tag || f.size() > MAX_FRAME_SIZE + tag ||
        get_be16(&f[OFFSET_LENGTH + tag]) != f.size() - tag) {
      finding("a frame sent that is not whole: " + std::to_string(f.size()) + " bytes");
    }
    return static_cast<int>(f.size());
  }
  int receive(int max_frames, const FrameSink& sink) override {
    if (asked_for_file_) check_open_files(*before, g_work, false);
    Bytes f;
    uint8_t flags = PATCH_ALL;
    if (max_frames <= 0 || (next_ == first_.size() && !records_.next(flags, f))) {
      e_.link.clock.sleep_ms(300);
      return 0;
    }
    if (next_ < first_.size()) f = first_[next_++];
    const Session& s = e_.sessions[ENTRY];
    patch_header(f, flags, s.cid, s.rseq, s.tseq, true);
    const auto pdu_at = [&f](size_t at) { return f.size() >= at + 18 && get_be16(&f[at]) == PDU_FILE_REQUEST; };
    asked_for_file_ = pdu_at(OFFSET_PDU) || pdu_at(OFFSET_PDU + VLAN_TAG_SIZE);
    if (asked_for_file_ && !before) before = open_files();
    sink(f);
    return 1;
  }
  bool left() const { return next_ < first_.size() || records_.left(); }
  std::optional<std::map<int, std::string>> before;  // the files open before the first file request

 private:
  Engine& e_;
  Records records_;
  std::vector<Bytes> first_;
  size_t next_ = 0;
  bool asked_for_file_ = false;
};

// One step of the receive worker.
void receive_one(Engine& e) {
  FrameView frame;
  if (e.link.io.receive(frame) > 0) dispatch_frame(e.connection, frame);
}

}  // namespace

std::vector<Bytes> seed_inputs() {
  const auto identity = build_discovery_response("Radio North", 1234, "FW 2.1");
  const std::string_view response(reinterpret_cast<const char*>(identity.data()), identity.size());
  std::vector<Bytes> seeds;
  for (const int mode : {0x00, 0x04, 0x08, 0x18, 0x20, 0x48}) {
    const auto f = [mode](uint16_t pdu, std::string_view payload = {}) {
      return radio_frame(pdu, payload, (mode & 0x10) != 0 ? 5 : 0);
    };
    const auto file = [&f](std::string_view name) { return f(PDU_FILE_REQUEST, name); };
    seeds.push_back(input(mode | CONNECTED, PATCH_ALL,
                          {f(PDU_DATA, "ok\r\n"), f(PDU_ACK), f(PDU_STORED_DATA, "s"), f(PDU_QUIET_DATA, "q"),
                           f(PDU_ERROR, "bad"), f(PDU_IDENTIFY_REQUEST), f(PDU_FILE_RESPONSE, std::string(24, '\0')),
                           f(PDU_RESTORE), f(PDU_DISCONNECT)}));
    seeds.push_back(input(mode | CONNECTED, PATCH_ALL,
                          {file("../above"), file("out"), file("pipe"), file("up/above"), file("passwd"), file("dir"),
                           file("tmp/../x"), file("flash/fw.bin")}));
    seeds.push_back(input(mode | TRANSFERRING, PATCH_ALL, {f(PDU_ACK), f(PDU_ACK), f(PDU_ACK), file("fw.bin")}));
    seeds.push_back(input(mode | DISCOVERING, 0, {f(PDU_IDENTIFY_RESPONSE, response), f(PDU_IDENTIFY_RESPONSE)}));
    seeds.push_back(input(mode | SETTING_UP, PATCH_ALL, {f(PDU_CONNECT_ACCEPT), f(PDU_DATA, "North> ")}));
  }
  return seeds;
}

}  // namespace orvex::fuzz

using namespace orvex;
using namespace orvex::fuzz;

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  // The radio may ask for anything; fw.bin, flash/fw.bin and dir/inner are its to have.
  g_work = prepare_process({{"above", "secret"}, {"work/dir", "/"}, {"work/flash", "/"}, {"work/dir/inner", "i"},
                            {"work/fw.bin", std::string(3000, 'f')}, {"work/flash/fw.bin", "f"}, {"work/pipe", "|"},
                            {"work/out", "->../above"}, {"work/up", "->.."}, {"work/passwd", "->/etc/passwd"}});
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const uint8_t mode = data[0];
  const auto scenario = static_cast<Scenario>(mode & 3);
  Config config;
  config.local_mac = LOCAL, config.local_host_name = "fuzz host", config.version_text = "ORVEX 03.05";
  config.vlan_id = (mode & 0x10) != 0 ? 5 : 0;
  config.list_filter_active = (mode & 0x20) != 0;
  config.run_mode = (mode & 0x20) != 0 ? RunMode::UPDATE_ALL : RunMode::INTERACTIVE;
  config.radio_list[0] = MacAddress{{0xFF, 0xFF, 0xFF, 0, 0, 0x05}};
  config.diagnostic_level = (mode & 0x40) != 0 ? 4 : 0;
  config.console = console_of_process();
  static ConsoleView view{config.console};  // shown as on the terminal: the escape handling is fuzzed too
  FuzzClock clock;
  WorkingDirectoryFiles files;  // the program's own: what it opens is checked below
  Fresh<Engine> fresh(config, view, clock, files);
  Engine& e = fresh.object;
  clock.stops(e.connection.events.stopping);
  Session& s = e.sessions[ENTRY];
  if (scenario != DISCOVERING) {
    s.mac = RADIO, s.protocol_level = static_cast<uint8_t>(std::min((mode >> 2) & 3, 2)), s.state = SESSION_FOUND;
    s.set_name("North", 5);
  }
  // Connected through the program's own set-up, answered with an accept.
  std::vector<Bytes> first;
  if (scenario <= TRANSFERRING) first.push_back(radio_frame(PDU_CONNECT_ACCEPT, {}, config.vlan_id));
  const char* const served = s.protocol_level == 0 ? "flash/fw.bin" : "fw.bin";
  if (scenario == TRANSFERRING) first.push_back(radio_frame(PDU_FILE_REQUEST, served, config.vlan_id));
  auto adapter = std::make_unique<Wire>(e, Records{data + 1, data + size}, first);
  Wire& wire = *adapter;
  e.link.io.attach(std::move(adapter));
  if (scenario == DISCOVERING) {
    discover_radios(e.link, e.sessions,
                    [&config](const Session& entry, int index) { print_device_row(config.console, entry, index); });
  } else if (connect_session(e.connection, ENTRY) == 1) {
    clock.while_waiting = [&e] { receive_one(e); };
    // A failure would end the program there.
    while (wire.left() && !e.connection.events.stopping_now() && transfer_step(e.connection) == Failure::NONE) {
    }
  }
  if (e.connection.transfer.block.length < 0 || e.connection.transfer.block.length > static_cast<int32_t>(MAX_PAYLOAD_SIZE)) {
    finding("a block of " + std::to_string(e.connection.transfer.block.length) + " bytes");
  }
  if (!wire.before) return 0;
  check_open_files(*wire.before, g_work, false);
  for (Session& other : e.sessions.entries) {
    if (other.send_file != nullptr) abandon_transfer(e.connection, other);
  }
  check_open_files(*wire.before, g_work, true);
  return 0;
}
