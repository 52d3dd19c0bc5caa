// Scripted radios on the in-memory wire. WireRadio attaches the wire as the
// program's adapter and records every frame the program sends with the virtual
// time it left at, for tests that answer from a script; RadioPeer answers
// connect requests, acknowledges what the program sends, takes in served files
// block by block, and can be told to stay silent, print, or ask for files.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "base/mac_address.hpp"
#include "wire/frame.hpp"
#include "tests/support/fake_packet_adapter.hpp"

namespace orvex::test {

using PeerBytes = Bytes;

// A frame as the program sent it, its header read in the order the radio's
// level implies (an 802.1Q tag removed first).
struct PeerFrame : FrameHeader {
  Bytes bytes;         // as sent, tag included
  uint64_t at_ms = 0;  // virtual process time of the send
  bool tagged = false;
  PeerBytes payload;  // as many bytes as NBytes says and the frame holds
};

PeerFrame decode_program_frame(const PeerBytes& frame, bool big_endian);

// A frame from `source` to `destination`, its header big-endian as every radio
// sends it; NBytes is the payload size unless `nbytes` says otherwise.
PeerBytes peer_frame(const MacAddress& source, const MacAddress& destination, uint16_t pdu, uint16_t cid,
                     uint32_t tseq, uint32_t rseq, std::span<const uint8_t> payload = {},
                     std::optional<uint32_t> nbytes = std::nullopt);
// The same frame with an 802.1Q tag carrying `tag_control` inserted at byte 12.
Bytes with_vlan_tag(const Bytes& frame, uint16_t tag_control);

PeerBytes text_bytes(const std::string& text);

// What a radio tells about itself when asked.
struct RadioProfile {
  MacAddress mac;
  std::string name;            // written as is (a NUL follows when it fits)
  uint8_t protocol_level = 2;  // byte 47
  std::string firmware;        // bytes 56..71
  uint32_t nbytes = DISCOVERY_RESPONSE_SIZE;  // 0 gives an empty response
};

// The identify response of `radio` addressed to `to` (72 payload bytes, or
// fewer when nbytes says so).
Bytes identify_response_frame(const RadioProfile& radio, const MacAddress& to);

// The wire attached as the program's adapter, recording what the program sends
// (headers read big-endian).
class WireRadio {
 public:
  WireRadio();
  // Detaches the adapter, which calls back into this radio.
  ~WireRadio();
  WireRadio(const WireRadio&) = delete;
  WireRadio& operator=(const WireRadio&) = delete;

  FakePacketAdapter& adapter() { return *adapter_; }
  std::vector<PeerFrame> sent() const;
  std::vector<PeerFrame> sent_with_pdu(uint16_t pdu) const;

  // Called on the sending thread for every frame, after it was recorded.
  std::function<void(const PeerFrame&)> on_frame;

  // The program receives these frames together in its next read.
  void deliver(const std::vector<Bytes>& frames) { adapter_->deliver(frames); }
  void deliver(const Bytes& frame) { adapter_->deliver(frame); }

 private:
  FakePacketAdapter* adapter_;  // owned by the adapter layer once attached
  mutable std::mutex mutex_;
  std::vector<PeerFrame> sent_;
};

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
