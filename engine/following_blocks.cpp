#include "engine/following_blocks.hpp"

#include <cstddef>
#include <cstring>
#include <mutex>

#include "base/clock.hpp"
#include "engine/connection.hpp"
#include "engine/session_frame.hpp"
#include "engine/session_table.hpp"
#include "wire/frame.hpp"

namespace orvex {

bool send_following_block(Connection& conn, int index, const uint8_t* payload, int size) {
  FollowingBlocks& f = conn.following;
  // Held while the block leaves: the waiting send may not end in between, or
  // the block would be sent with nobody to repeat it.
  std::lock_guard<std::mutex> lock(f.mutex);
  if (f.waiting_entry != index || !SessionTable::valid_index(index)) return false;
  Session& session = conn.sessions[index];
  int payload_size = size;
  {
    std::lock_guard<std::mutex> building(build_lock(conn.link, index));
    if (closed_to_sending(session.state, session.cid) || held_by_stop(conn.link, PDU_FILE_DATA)) return false;
    if (!build_frame(f.frame, session, conn.link.config, PDU_FILE_DATA, payload, payload_size, build_trace(conn.link))) return false;
    f.size = payload_size + static_cast<int>(FRAME_HEADER_SIZE);
    ++f.sent;
    f.newest_acknowledged = false;
    f.sent_at_ms = conn.link.clock.now_ms();
    conn.link.io.send(std::span<const uint8_t>(f.frame.data(), static_cast<size_t>(f.size)));
  }
  return true;
}

void note_file_acknowledgement(FollowingBlocks& f) {
  std::lock_guard<std::mutex> lock(f.mutex);
  f.newest_acknowledged = true;
}


void allow_following(FollowingBlocks& f, int index, uint64_t& seen) {
  std::lock_guard<std::mutex> lock(f.mutex);
  f.waiting_entry = index;
  f.newest_acknowledged = false;
  seen = f.sent;
}

void end_following(FollowingBlocks& f) {
  std::lock_guard<std::mutex> lock(f.mutex);
  f.waiting_entry = -1;
}

Following take_following(FollowingBlocks& f, uint64_t& seen, std::span<uint8_t> frame, int& frame_size,
                         uint64_t& sent_at_ms) {
  std::lock_guard<std::mutex> lock(f.mutex);
  const bool newer = f.sent != seen;
  if (newer) {
    seen = f.sent;
    std::memcpy(frame.data(), f.frame.data(), static_cast<size_t>(f.size));
    frame_size = f.size;
    sent_at_ms = f.sent_at_ms;
  }
  if (f.newest_acknowledged) {
    // The wait ends here: a block sent behind it now would have nobody to
    // repeat it. The dispatcher hands such a block to the worker instead.
    f.waiting_entry = -1;
    return Following::ALL_ACKNOWLEDGED;
  }
  return newer ? Following::BLOCK_IN_FLIGHT : Following::NOTHING_NEW;
}

}  // namespace orvex
