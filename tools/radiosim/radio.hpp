// One simulated radio: its link state, its reliable sender, its command line
// and its file download. Driven by received frames and by time; it hands the
// frames to send and the log lines to its caller, so it can run without a
// network.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <span>
#include <string>
#include <vector>

#include "base/mac_address.hpp"
#include "engine/transfer.hpp"
#include "tools/radiosim/line_editor.hpp"
#include "tools/radiosim/sim_options.hpp"

namespace orvex::sim {

constexpr uint64_t RETRY_TIMEOUT_MS = 300;  // first wait for an acknowledgement
constexpr int MAX_TRANSMISSIONS = 12;       // then the session is given up
constexpr uint64_t DOWNLOAD_IDLE_MS = 60000;
constexpr size_t OUTPUT_CHUNK = 512;        // most text bytes in one data frame
constexpr size_t FILE_BLOCK_SIZE = static_cast<size_t>(orvex::FILE_BLOCK_SIZE);  // the program's block size
constexpr uint32_t MAX_DOWNLOAD_SIZE = 64u << 20;

// What the radio wants done after an event: frames to put on the wire, in
// order, and lines for the log.
struct RadioOutput {
  std::vector<std::vector<uint8_t>> frames;
  std::vector<std::string> events;
};

// Stores a downloaded file; false when it could not be written.
using FileStore =
    std::function<bool(const std::string& radio_name, const std::string& file_name, std::span<const uint8_t> data)>;

enum class LinkState { idle, connected };

// Something the radio will send once the frame before it was acknowledged.
struct OutItem {
  uint16_t pdu = 0;
  std::vector<uint8_t> payload;
};

// The one frame in flight that waits for the peer's acknowledgement.
struct PendingSend {
  bool active = false;
  std::vector<uint8_t> frame;
  uint32_t ack_target = 0;  // the peer's RSEQ that covers it
  uint64_t due_ms = 0;
  uint64_t timeout_ms = 0;
  int transmissions = 0;
};

struct Download {
  bool active = false;     // requested, response not yet taken
  bool receiving = false;  // response taken, blocks arriving
  std::string source;
  std::string destination;
  uint32_t expected = 0;
  std::vector<uint8_t> data;
  uint32_t blocks = 0;
  bool cut_short = false;  // the host went on with something else: logged once
  uint64_t last_activity_ms = 0;
};

struct Radio {
  RadioConfig config;
  FileStore store;
  uint64_t start_ms = 0;  // for the uptime in identify responses

  LinkState state = LinkState::idle;
  MacAddress peer{};
  uint16_t cid = 0;
  uint32_t tseq = 0;  // next byte this radio sends
  uint32_t rseq = 0;  // next byte expected from the peer
  PendingSend pending;
  std::deque<OutItem> queue;
  LineEditor editor;
  bool hung = false;  // a failing command: nothing more is taken on this connection
  bool command_failed = false;  // the failing command fails once; a retry gets through
  Download download;
  // An acknowledgement of file data kept back on purpose (block-delay,
  // hold-last-ack): it goes out at ack_due_ms; until then the radio sends
  // nothing on the connection and takes no data.
  bool ack_deferred = false;
  bool ack_held_last = false;  // kept back by hold-last-ack: its release is logged
  uint64_t ack_due_ms = 0;

  // Counters that the faults count against, kept over all connections.
  uint64_t frames_addressed = 0;
  uint32_t commands = 0;
  uint32_t connects_refused = 0;
  uint16_t refused_cid = 0;  // of the last set-up left unanswered: its repeats are too
  MacAddress refused_peer{};
  uint32_t downloads_refused = 0;
  uint32_t stores_failed = 0;
};

Radio make_radio(const RadioConfig& config, FileStore store, uint64_t now_ms);

// True when the frame is for this radio: its own address or broadcast.
bool addressed_to(const Radio& radio, std::span<const uint8_t> frame);

// Handles one received frame (any frame; those not for the radio are ignored).
void handle_frame(Radio& radio, std::span<const uint8_t> frame, uint64_t now_ms, RadioOutput& out);

// Retransmissions and time-outs due at `now_ms`.
void handle_tick(Radio& radio, uint64_t now_ms, RadioOutput& out);

// The next time handle_tick has something to do; UINT64_MAX when nothing waits.
uint64_t next_deadline(const Radio& radio);

// The radio's prompt, e.g. "North> ".
std::string prompt_text(const Radio& radio);

}  // namespace orvex::sim
