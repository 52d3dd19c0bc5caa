#include "tools/radiosim/radio_commands.hpp"

#include <algorithm>
#include <vector>

#include "base/byte_order.hpp"
#include "tools/radiosim/radio_link.hpp"
#include "wire/frame.hpp"

namespace orvex::sim {

namespace {

std::string trim(const std::string& text) {
  const size_t first = text.find_first_not_of(' ');
  if (first == std::string::npos) return {};
  const size_t last = text.find_last_not_of(' ');
  return text.substr(first, last - first + 1);
}

std::vector<std::string> split_words(const std::string& text) {
  std::vector<std::string> words;
  size_t at = 0;
  while (at < text.size()) {
    const size_t start = text.find_first_not_of(' ', at);
    if (start == std::string::npos) break;
    size_t end = text.find(' ', start);
    if (end == std::string::npos) end = text.size();
    words.push_back(text.substr(start, end - start));
    at = end;
  }
  return words;
}

void start_download(Radio& r, const std::string& source, const std::string& destination, uint64_t now_ms,
                    RadioOutput& out) {
  if (r.download.active) {
    queue_text(r, "A download is already running\r\n" + prompt_text(r));
    return;
  }
  const std::string stored = destination.substr(destination.find_last_of('/') + 1);
  if (stored.empty() || stored == "." || stored == "..") {
    queue_text(r, "Invalid destination name: " + destination + "\r\n" + prompt_text(r));
    return;
  }
  const std::string requested = r.config.level == 0 ? "tmp/" + source : source;
  if (requested.size() > 127) {
    queue_text(r, "Source name too long\r\n" + prompt_text(r));
    return;
  }
  r.download = Download{};
  r.download.active = true;
  r.download.source = source;
  r.download.destination = stored;
  r.download.last_activity_ms = now_ms;
  note(out, r, "download: requesting \"" + requested + "\"");
  queue_pdu(r, PDU_FILE_REQUEST, std::vector<uint8_t>(requested.begin(), requested.end()));
}

}  // namespace

void end_download(Radio& r, const std::string& text) {
  r.download = Download{};
  queue_text(r, text + prompt_text(r));
}

namespace {

void finish_download(Radio& r, RadioOutput& out) {
  Download& d = r.download;
  const std::string lead = r.config.faults.print_during_transfer ? "\r\n" : "";
  if (d.data.size() != d.expected) {
    note(out, r, printf_text("download: %s ended after %zu of %u bytes", d.source.c_str(), d.data.size(), d.expected));
    end_download(r, lead + printf_text("Download of %s failed: %zu of %u bytes received\r\n", d.source.c_str(),
                                       d.data.size(), d.expected));
    return;
  }
  const bool stored = r.store && r.store(r.config.name, d.destination, d.data);
  if (!stored) {
    note(out, r, "download: could not store " + d.destination);
    end_download(r, lead + "Download of " + d.source + " failed: could not store " + d.destination + "\r\n");
    return;
  }
  note(out, r, printf_text("download: stored %s (%u bytes in %u blocks)", d.destination.c_str(), d.expected, d.blocks));
  end_download(r, lead + printf_text("Download complete: %u bytes stored as %s\r\n", d.expected, d.destination.c_str()));
}

void answer_line(Radio& r, const std::string& typed, uint64_t now_ms, RadioOutput& out) {
  const std::string line = trim(typed);
  if (line.empty()) {
    queue_text(r, prompt_text(r));
    return;
  }
  const uint32_t number = ++r.commands;
  note(out, r, printf_text("command %u: %s", number, line.c_str()));
  const RadioFaults& f = r.config.faults;
  if (f.restore_at == number) {
    note(out, r, "asks for a restore");
    queue_pdu(r, PDU_RESTORE, {});
    return;
  }
  if (f.error_at == number) {
    note(out, r, "answers with an error PDU");
    const std::string text = "Command failed: " + line;
    std::vector<uint8_t> payload(text.begin(), text.end());
    payload.push_back(0);
    queue_pdu(r, PDU_ERROR, std::move(payload));
    queue_text(r, prompt_text(r));
    return;
  }
  const auto words = split_words(line);
  const std::string& command = words[0];
  std::string answer;
  if (command == "download") {
    if (words.size() == 3) {
      start_download(r, words[1], words[2], now_ms, out);
      return;
    }
    answer = "Usage: download SRC DST\r\n";
  } else if (command == "sdp") {
    answer = words.size() == 2 ? "OK\r\n" : "Usage: sdp NAME\r\n";
  } else if (command == "logout") {
    queue_text(r, answer_prefix(r) + "Bye\r\n");
    queue_pdu(r, PDU_DISCONNECT, {});
    return;
  } else if (command == "help") {
    answer = "Commands: download SRC DST, sdp NAME, version, help, logout\r\n";
  } else if (command == "version") {
    answer = printf_text("%s firmware %s, protocol level %u\r\n", r.config.name.c_str(), r.config.firmware.c_str(),
                         unsigned{r.config.level});
  } else {
    answer = "Unknown command: " + command + "\r\n";
  }
  queue_text(r, answer_prefix(r) + answer + prompt_text(r));
}

}  // namespace

void take_typed_bytes(Radio& r, std::span<const uint8_t> bytes, uint64_t now_ms, RadioOutput& out) {
  std::string echo;
  std::string completed;
  for (uint8_t byte : bytes) {
    const EditEvent event = edit_byte(r.editor, byte, echo, completed);
    if (event == EditEvent::none) continue;
    queue_text(r, echo);
    echo.clear();
    if (event == EditEvent::line) {
      answer_line(r, completed, now_ms, out);
    } else {
      queue_text(r, prompt_text(r));
    }
    if (r.state != LinkState::connected) return;
  }
  queue_text(r, echo);
}

void take_file_response(Radio& r, std::span<const uint8_t> payload, RadioOutput& out) {
  Download& d = r.download;
  if (!d.active || d.receiving) {
    note(out, r, "file response without a request: acknowledged");
    send_ack(r, out);
    return;
  }
  // The program writes the status and size little-endian whatever the level.
  const bool complete = payload.size() >= 8;
  const auto status = complete ? static_cast<int32_t>(get_le32(payload.data())) : -1;
  const auto size = complete ? static_cast<int32_t>(get_le32(payload.data() + 4)) : -1;
  if (status != 0) {
    send_ack(r, out);
    note(out, r, printf_text("download: %s refused by the host (status %d)", d.source.c_str(), status));
    end_download(r, printf_text("Download of %s failed: not available on the host (status %d)\r\n",
                                d.source.c_str(), status));
    return;
  }
  if (size < 0 || static_cast<uint32_t>(size) > MAX_DOWNLOAD_SIZE) {
    send_error(r, "File too large", out);
    note(out, r, printf_text("download: %s announced with %d bytes: refused", d.source.c_str(), size));
    end_download(r, "Download of " + d.source + " failed: file too large\r\n");
    return;
  }
  if (r.downloads_refused < r.config.faults.refuse_downloads) {
    ++r.downloads_refused;
    send_error(r, "Download refused", out);
    note(out, r, "download: " + d.source + " refused on purpose");
    end_download(r, "Download of " + d.source + " refused\r\n");
    return;
  }
  d.receiving = true;
  d.expected = static_cast<uint32_t>(size);
  d.data.reserve(d.expected);
  send_ack(r, out);
  note(out, r, printf_text("download: %s, %u bytes", d.source.c_str(), d.expected));
  if (r.config.faults.print_during_transfer) {
    queue_text(r, printf_text("Receiving %s (%u bytes) ", d.source.c_str(), d.expected));
  }
}

namespace {

// Acknowledges file data now, or later as block-delay and hold-last-ack ask;
// `completes`: the data reached the announced size.
void ack_file_data(Radio& r, bool completes, uint64_t now_ms, RadioOutput& out) {
  const RadioFaults& f = r.config.faults;
  uint32_t wait = f.block_delay_ms;
  if (completes && f.hold_last_ack_ms != 0) {
    wait = std::max(wait, f.hold_last_ack_ms);
    r.ack_held_last = true;
    note(out, r, printf_text("acknowledgement of the last bytes held back for %u ms", wait));
  }
  if (wait == 0) {
    send_ack(r, out);
    return;
  }
  r.ack_deferred = true;
  r.ack_due_ms = now_ms + wait;
}

}  // namespace

void take_file_block(Radio& r, std::span<const uint8_t> block, uint64_t now_ms, RadioOutput& out) {
  Download& d = r.download;
  if (!d.receiving) {
    note(out, r, "file data without a download: acknowledged");
    send_ack(r, out);
    return;
  }
  if (d.data.size() + block.size() > d.expected) {
    send_error(r, "File longer than announced", out);
    note(out, r, "download: " + d.source + " is longer than announced");
    end_download(r, "Download of " + d.source + " failed: file longer than announced\r\n");
    return;
  }
  d.data.insert(d.data.end(), block.begin(), block.end());
  ++d.blocks;
  const bool last = d.data.size() == d.expected && d.expected % FILE_BLOCK_SIZE != 0;
  if (last && r.stores_failed < r.config.faults.fail_stores) {
    // The whole file came, but it cannot be kept: the last block is answered with an error.
    ++r.stores_failed;
    send_error(r, "Could not store " + d.destination, out);
    note(out, r, "download: " + d.source + " not stored on purpose");
    end_download(r, "Download of " + d.source + " failed: could not store " + d.destination + "\r\n");
    return;
  }
  ack_file_data(r, d.data.size() == d.expected, now_ms, out);
  if (r.config.faults.print_during_transfer) queue_text(r, "#");
  // A file whose size is a multiple of the block size ends with an empty block.
  if (last) finish_download(r, out);
}

void take_empty_block(Radio& r, RadioOutput& out) {
  if (r.ack_deferred) {
    note(out, r, "empty block: its acknowledgement waits for the one held back");
  } else if (r.config.faults.no_empty_ack) {
    note(out, r, "empty block not acknowledged on purpose");
  } else {
    send_ack(r, out);
  }
  if (r.download.receiving) finish_download(r, out);
}

}  // namespace orvex::sim
