// A scripted radio on the far end of an in-memory wire: it answers connect
// requests, acknowledges what the program sends, takes in served files block
// by block, and can be told to stay silent, print, or ask for files.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "cmdline/mac_address.hpp"

namespace orvex::test {

using PeerBytes = std::vector<uint8_t>;

// A frame as the program sent it, its header read in the order the radio's
// level implies.
struct PeerFrame {
  MacAddress destination;
  MacAddress source;
  uint16_t pdu = 0;
  uint16_t cid = 0;
  uint32_t tseq = 0;
  uint32_t rseq = 0;
  uint32_t nbytes = 0;
  PeerBytes payload;
};

PeerFrame decode_program_frame(const PeerBytes& frame, bool big_endian);

// A frame from `source` to `destination`, its header big-endian as every radio
// sends it; NBytes is the payload size unless `nbytes` says otherwise.
PeerBytes radio_frame(const MacAddress& source, const MacAddress& destination, uint16_t pdu, uint16_t cid,
                      uint32_t tseq, uint32_t rseq, const PeerBytes& payload = {},
                      std::optional<uint32_t> nbytes = std::nullopt);

PeerBytes text_bytes(const std::string& text);

class RadioPeer {
 public:
  enum class ConnectAnswer { Accept, Data, Silent };

  RadioPeer(const MacAddress& mac, uint8_t protocol_level) : mac_(mac), level_(protocol_level) {}

  // Puts a frame on the program's side of the wire (set by the test).
  std::function<void(const PeerBytes&)> deliver;
  // Every frame the program sends goes here.
  void on_program_frame(const PeerBytes& frame);

  // What the radio does.
  ConnectAnswer connect_answer = ConnectAnswer::Accept;
  bool acknowledge_files = true;          // file responses and blocks
  bool acknowledge_final_empty = true;    // the empty block that ends a file
  bool acknowledge_last_block = true;     // the block that completes a file
  std::string text_instead_of_last_ack;   // printed instead of the last acknowledgement
  std::string print_after_each_block;     // printed (before the acknowledgement) after each block
  std::deque<std::string> next_requests;  // asked for as soon as a file is complete

  // What the radio does on its own.
  void send_data(const std::string& text);
  void request_file(const std::string& name);
  void send_frame(uint16_t pdu, const PeerBytes& payload, bool counts);
  // A new connection with the program (another entry, a new identifier).
  void reset_connection(uint16_t new_cid, uint32_t new_tseq, uint32_t new_rseq);
  // The last frame the radio sent that carried bytes, sent again unchanged.
  void repeat_last_frame();

  // Waits (real time, bounded) until `done` holds; `done` runs under the lock.
  bool wait_for(const std::function<bool(const RadioPeer&)>& done,
                std::chrono::milliseconds limit = std::chrono::milliseconds(20000));

  // Observations (read them under wait_for or after the engine has stopped).
  struct Transfer {
    int32_t status = 0;
    int32_t size = 0;
    PeerBytes bytes;
    std::vector<uint32_t> blocks;  // FILE_DATA sizes in order, an empty end block included
    bool complete = false;
  };
  std::vector<Transfer> transfers;
  std::vector<PeerFrame> frames;       // every frame the program sent to this radio
  std::vector<uint64_t> connect_times; // fake-clock ms of each connect request
  int repeated_frames = 0;             // data frames that arrived a second time
  std::string shown;                   // terminal data and error texts the program sent
  uint16_t cid = 0;
  uint32_t tseq = 0;  // the radio's own sequence
  uint32_t rseq = 0;  // bytes accepted from the program

  // A copy of the observations, taken under the radio's lock.
  struct Snapshot {
    std::vector<Transfer> transfers;
    std::vector<PeerFrame> frames;
    std::vector<uint64_t> connect_times;
    int repeated_frames = 0;
    std::string shown;
    uint16_t cid = 0;
    uint32_t tseq = 0;
    uint32_t rseq = 0;
  };
  Snapshot snapshot() const;

  MacAddress mac() const { return mac_; }
  MacAddress program{};  // the program's address, learnt from its frames

 private:
  void acknowledge_locked();
  void send_locked(uint16_t pdu, const PeerBytes& payload, bool counts);
  void take_file_data_locked(const PeerFrame& f);

  MacAddress mac_;
  uint8_t level_;
  PeerBytes last_counted_;
  mutable std::mutex mutex_;
  std::condition_variable changed_;
};

}  // namespace orvex::test
