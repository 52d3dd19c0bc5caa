#include "tests/support/engine_fixture.hpp"

#include <unistd.h>

#include <array>
#include <cstdio>
#include <cstdlib>
#include <fstream>

#include "base/terminate.hpp"
#include "base/settings.hpp"
#include "link/frame_io.hpp"
#include "base/host_state.hpp"
#include "engine/connect.hpp"
#include "engine/dispatch.hpp"
#include "wire/frame.hpp"
#include "engine/session_events.hpp"
#include "engine/session_table.hpp"
#include "engine/transfer.hpp"

namespace orvex::test {

EngineThreads::EngineThreads(int transfer_index) {
  renew_session_events();
  set_receive_worker_running(true);
  receive_ = std::thread([this] {
    std::array<uint8_t, RX_SLOT_SIZE> buffer{};
    while (!stop_.load()) {
      const int n = receive_frame(buffer);
      if (n >= static_cast<int>(FRAME_HEADER_SIZE)) dispatch_frame(buffer.data(), n);
    }
  });
  transfer_ = std::thread([transfer_index] { run_transfer_worker(transfer_index); });
}

void EngineThreads::stop() {
  if (!receive_.joinable()) return;
  stop_.store(true);
  wake_all_for_stop();
  interrupt_receive_wait(true);  // a receive ends at once, whatever the clock does
  receive_.join();
  transfer_.join();
  interrupt_receive_wait(false);
  set_receive_worker_running(false);
}

namespace {
// The engine must never end the process inside a test: say so loudly.
[[noreturn]] void unexpected_exit(int status) {
  std::fprintf(stderr, "the engine tried to end the process with status %d\n", status);
  std::abort();
}
}  // namespace

void EngineTest::SetUp() {
  reset_all_state();
  termination_hooks().exit_process = unexpected_exit;
  reset_transfer_state();
  reset_dispatch_state();
  set_receive_worker_running(false);
  clock_ = std::make_unique<ScopedFakeClock>(grace_ms_);
  local_mac_address() = LOCAL_MAC;
  host_state().local_host_name = "bench host";
  run_state().version_text = "OrvexTerm 1.0";
  auto owned = std::make_unique<FakePacketAdapter>();
  owned->real_wait = std::chrono::microseconds(2000);
  wire = owned.get();
  attach_adapter(std::move(owned));

  previous_directory = std::filesystem::current_path();
  std::string pattern = (std::filesystem::temp_directory_path() / "orvex-transfer-XXXXXX").string();
  ASSERT_NE(mkdtemp(pattern.data()), nullptr);
  scratch = pattern;
  std::filesystem::current_path(scratch);
}

void EngineTest::TearDown() {
  stop_engine();
  for (Session& s : session_table().entries) {
    if (s.send_file != nullptr) std::fclose(s.send_file);
    s.send_file = nullptr;
  }
  if (wire != nullptr) wire->on_send = nullptr;
  reset_all_state();
  reset_transfer_state();
  reset_dispatch_state();
  clock_.reset();
  std::filesystem::current_path(previous_directory);
  std::error_code ignored;
  std::filesystem::remove_all(scratch, ignored);
}

void EngineTest::add_radio(uint8_t level) {
  radio = std::make_unique<RadioPeer>(RADIO_MAC, level);
  radio->program = LOCAL_MAC;
  radio->cid = RADIO_CID;
  FakePacketAdapter* w = wire;
  radio->deliver = [w](const PeerBytes& frame) { w->deliver(frame); };
  RadioPeer* r = radio.get();
  wire->on_send = [r](const Bytes& frame) { r->on_program_frame(frame); };
  Session& s = session_table()[RADIO_ENTRY];
  if (s.send_file != nullptr) std::fclose(s.send_file);
  s = Session{};
  s.mac = RADIO_MAC;
  s.set_name("radio", 5);
  s.protocol_level = level;
  s.cid = RADIO_CID;
  s.next_pdu = PDU_CONNECT_REQUEST;
  s.state = SESSION_FOUND;
}

void EngineTest::connect_radio(uint8_t level) {
  add_radio(level);
  Session& s = session_table()[RADIO_ENTRY];
  s.tseq = 1;
  s.rseq = 0;
  s.reply_buffer = connection_globals().reply_buffer.data();
  s.next_pdu = PDU_DATA;
  s.state = SESSION_CONNECTED;
  connection_globals().active_session = RADIO_ENTRY;
  connection_globals().session_established = 1;
  reset_dispatch_state();  // as an establishment does
  radio->tseq = 0;
  radio->rseq = 1;
}

void EngineTest::start_engine(int transfer_index) { engine = std::make_unique<EngineThreads>(transfer_index); }

void EngineTest::stop_engine() {
  if (engine) engine->stop();
  engine.reset();
}

std::string EngineTest::write_file(const std::string& name, size_t size) {
  std::string content(size, '\0');
  uint32_t x = static_cast<uint32_t>(size) * 2654435761u + 1;
  for (size_t i = 0; i < size; ++i) {
    x = x * 1103515245u + 12345u;
    content[i] = static_cast<char>(x >> 16);
  }
  const std::filesystem::path path(name);
  if (path.has_parent_path()) std::filesystem::create_directories(path.parent_path());
  std::ofstream out(name, std::ios::binary);
  out.write(content.data(), static_cast<std::streamsize>(content.size()));
  return content;
}

std::vector<PeerFrame> EngineTest::sent_frames(bool big_endian) const {
  std::vector<PeerFrame> out;
  for (const Bytes& f : wire->sent()) out.push_back(decode_program_frame(f, big_endian));
  return out;
}

}  // namespace orvex::test
