// The one table of radios: discovery fills it, and the same entry then holds the
// state of the connection to that radio.
#pragma once

#include <array>
#include <cstdint>
#include <cstdio>

#include "base/mac_address.hpp"
#include "base/shared_field.hpp"

namespace orvex {

constexpr int MAX_USER_SESSIONS = 600;
constexpr uint16_t CID_NONE = 0xFFFF;    // not part of the current connection
constexpr uint16_t CID_CLOSED = 0xFFFE;  // closed by close_session
constexpr size_t SESSION_NAME_SIZE = 64;
constexpr size_t SESSION_FIRMWARE_SIZE = 16;
constexpr size_t REPLY_BUFFER_SIZE = 1514;

enum SessionState : int32_t {
  SESSION_EMPTY = 0,
  SESSION_FOUND = 3,
  SESSION_CONNECTED = 4,
  SESSION_TRANSFER = 5,
  SESSION_CLOSED = 7,
};

// Fields that several threads touch are SharedField (whole-field atomic). The
// plain fields are written before the state that publishes them.
struct Session {
  SharedField<int32_t> state{SESSION_EMPTY};
  MacAddress mac{};
  // The radio's name as received, 64 bytes, not terminated when it fills them
  // all; name_text() gives the terminated copy that is shown and matched.
  std::array<char, SESSION_NAME_SIZE> name{};
  std::array<char, SESSION_NAME_SIZE + 1> name_terminated{};
  SharedField<uint8_t> protocol_level{0};
  SharedField<int64_t> connect_time{0};
  std::FILE* send_file = nullptr;
  std::FILE* download_file = nullptr;
  SharedField<int32_t> bytes_sent{0};
  SharedField<int32_t> bytes_received{0};
  SharedField<uint8_t*> reply_buffer{nullptr};
  SharedField<uint16_t> next_pdu{0};
  SharedField<uint16_t> cid{0};
  SharedField<uint32_t> tseq{0};
  SharedField<uint32_t> rseq{0};
  SharedField<uint32_t> ack_mark_peer_rseq{0};
  SharedField<uint32_t> ack_mark_rseq{0};
  SharedField<uint32_t> last_nbytes{0};
  std::array<char, SESSION_FIRMWARE_SIZE> firmware{};

  // Stores a name of at most 64 bytes (up to its NUL) and keeps a terminated copy.
  void set_name(const char* text, size_t max_bytes);
  const char* name_text() const { return name_terminated.data(); }
};

struct SessionTable {
  std::array<Session, MAX_USER_SESSIONS> entries{};

  Session& operator[](int index) { return entries[static_cast<size_t>(index)]; }
  const Session& operator[](int index) const { return entries[static_cast<size_t>(index)]; }
  static bool valid_index(int index) { return index >= 0 && index < MAX_USER_SESSIONS; }
};

// Marks an entry closed: its identifier no longer matches any frame, and its
// next frame can only be the connection request of a new set-up.
void close_session(SessionTable& table, int index);

// The index of `session` in `table`, or -1 for a record outside it.
int entry_of(const SessionTable& table, const Session& session);

// True for an entry whose radio has left or that was set aside by a set-up to
// another radio (its state, or one of the two markers as identifier): nothing
// may be sent from it. A set-up gives it a state and identifier first.
bool closed_to_sending(int32_t state, uint16_t cid);

}  // namespace orvex
