// One connection to a radio over the link: which entry of the session table
// it is, the hand-offs between the session's threads, the receive side's
// duplicate memory and held control frame, the transfer in progress with the
// blocks that follow a waiting send, and the typed bytes on their way.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <functional>

#include "base/event.hpp"
#include "base/shared_field.hpp"
#include "engine/duplicate_memory.hpp"
#include "engine/following_state.hpp"
#include "engine/key_ring.hpp"
#include "engine/link.hpp"
#include "engine/session_events.hpp"
#include "engine/session_table.hpp"
#include "engine/transfer_state.hpp"
#include "os/file_server.hpp"
#include "wire/frame.hpp"

namespace orvex {

// A control frame (disconnect, restore, error report, file response) that came
// a little ahead of the radio's bytes received: the radio's output before it
// was lost. Acted on when those bytes arrive and rseq reaches its TSEQ; only
// the dispatching thread touches it.
struct HeldControlFrame {
  bool held = false;
  FrameHeader header;
  uint32_t nbytes = 0;
  std::array<uint8_t, MAX_PAYLOAD_SIZE> payload{};
};

struct Connection {
  Connection(Link& l, SessionTable& t, FileServer& f) : Connection(l, t, f, l.view) {}
  // A connection of a parallel run reports through a view of its own.
  Connection(Link& l, SessionTable& t, FileServer& f, View& v)
      : link(l), sessions(t), files(f), view(v), events(l.clock), established(l.clock) {}
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;

  Link& link;              // the frames go over it
  SessionTable& sessions;  // the entries the connection's frames are matched to
  FileServer& files;       // opens the files the radio asks for
  View& view;              // where what happens on this connection is told
  // The radio the connection serves, which the session's workers follow: the
  // operator's choice, or the radio a batch run is at (from before its pause
  // and set-up); -1 before the first.
  SharedField<int> radio{-1};
  SharedField<int> active_session{0};       // the entry last established
  SharedField<int> session_established{0};  // cleared by a disconnect
  std::array<uint8_t, REPLY_BUFFER_SIZE> reply_buffer{};  // shared by every established entry
  SessionEvents events;
  AutoResetEvent established;  // signalled each time an entry is established
  DuplicateMemory duplicates;
  HeldControlFrame held_control;
  TransferState transfer;
  FollowingBlocks following;
  KeyRing keys;  // typed bytes, keyboard worker -> send worker
  // The radio asked for a restore: the session ends at the operator's key.
  SharedField<int> restore_requested{0};
  // Ends the session (the session runner installs it while it runs).
  std::function<void()> request_session_end;
};

}  // namespace orvex
