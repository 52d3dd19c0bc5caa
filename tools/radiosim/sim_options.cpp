#include "tools/radiosim/sim_options.hpp"

#include <cstdio>
#include <cstring>

#include "base/address_text.hpp"

namespace orvex::sim {

namespace {

constexpr uint32_t MAX_COUNT = 1000000;

// A whole number 1..MAX_COUNT written with digits only.
bool parse_count(const std::string& text, uint32_t& out) {
  if (text.empty() || text.size() > 7) return false;
  uint32_t v = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    v = v * 10 + static_cast<uint32_t>(c - '0');
  }
  if (v == 0 || v > MAX_COUNT) return false;
  out = v;
  return true;
}

bool valid_name(const std::string& name) {
  if (name.empty() || name.size() > MAX_RADIO_NAME) return false;
  for (char c : name) {
    const auto code = static_cast<unsigned char>(c);
    if (code < 33 || code > 126 || c == ',' || c == '/') return false;
  }
  return true;
}

bool valid_firmware(const std::string& text) {
  if (text.empty() || text.size() > MAX_FIRMWARE_TEXT) return false;
  for (char c : text) {
    const auto code = static_cast<unsigned char>(c);
    if (code < 32 || code > 126 || c == ',') return false;
  }
  return true;
}

std::string format(const char* fmt, const std::string& a, const std::string& b = {}) {
  char text[512];
  std::snprintf(text, sizeof text, fmt, a.c_str(), b.c_str());
  return text;
}

}  // namespace

RadioConfig default_radio(size_t index) {
  RadioConfig r;
  r.mac = MacAddress{
      {0x02, 0x7A, 0x41, 0x00, static_cast<uint8_t>((index >> 8) & 0xFF), static_cast<uint8_t>(index & 0xFF)}};
  r.name = "Radio-" + std::to_string(index);
  r.level = 2;
  r.firmware = "SIM-1.0";
  return r;
}

std::string parse_radio_items(const std::string& items, RadioConfig& radio) {
  size_t start = 0;
  while (start <= items.size()) {
    size_t end = items.find(',', start);
    if (end == std::string::npos) end = items.size();
    const std::string item = items.substr(start, end - start);
    start = end + 1;
    if (item.empty()) {
      if (end == items.size()) break;
      return "empty item in radio \"" + items + "\"";
    }
    const size_t eq = item.find('=');
    const std::string key = item.substr(0, eq);
    const bool has_value = eq != std::string::npos;
    const std::string value = has_value ? item.substr(eq + 1) : std::string();
    auto needs_value = [&]() { return has_value ? std::string() : format("%s needs a value (%s=...)", key, key); };
    auto no_value = [&]() { return has_value ? format("%s takes no value", key) : std::string(); };
    auto count = [&](uint32_t& field) {
      if (!has_value) return needs_value();
      if (!parse_count(value, field)) return format("%s=%s: expected a whole number from 1 to 1000000", key, value);
      return std::string();
    };
    auto percent = [&](uint32_t& field) {
      if (!has_value) return needs_value();
      if (!parse_count(value, field) || field > 100) return format("%s=%s: expected a percentage from 1 to 100", key, value);
      return std::string();
    };
    RadioFaults& f = radio.faults;
    std::string error;
    if (key == "mac") {
      if (!has_value) return needs_value();
      MacAddress mac;
      if (!parse_mac_text(value, mac)) return format("mac=%s: expected an address like 02:7A:41:00:00:01", value);
      if (mac.is_zero() || (mac.bytes[0] & 1) != 0) {
        return format("mac=%s: a radio needs a unicast address", value);
      }
      radio.mac = mac;
    } else if (key == "name") {
      if (!has_value) return needs_value();
      if (!valid_name(value)) {
        return format("name=%s: expected 1 to 46 printable characters without spaces, ',' or '/'", value);
      }
      radio.name = value;
    } else if (key == "level") {
      if (!has_value) return needs_value();
      if (value != "0" && value != "1" && value != "2") return format("level=%s: expected 0, 1 or 2", value);
      radio.level = static_cast<uint8_t>(value[0] - '0');
    } else if (key == "firmware") {
      if (!has_value) return needs_value();
      if (!valid_firmware(value)) return format("firmware=%s: expected 1 to 16 printable characters without ','", value);
      radio.firmware = value;
    } else if (key == "silent") {
      error = no_value();
      f.silent = true;
    } else if (key == "drop-every") {
      error = count(f.drop_every);
      if (error.empty() && f.drop_every < 2) error = "drop-every=1 would drop every frame; use silent";
    } else if (key == "no-empty-ack") {
      error = no_value();
      f.no_empty_ack = true;
    } else if (key == "refuse-connect") {
      f.refuse_connects = 1;
      if (has_value) error = count(f.refuse_connects);
    } else if (key == "refuse-download") {
      f.refuse_downloads = 1;
      if (has_value) error = count(f.refuse_downloads);
    } else if (key == "fail-store") {
      error = count(f.fail_stores);
    } else if (key == "fail-command") {
      error = count(f.fail_command);
    } else if (key == "restore-at") {
      error = count(f.restore_at);
    } else if (key == "error-at") {
      error = count(f.error_at);
    } else if (key == "escapes") {
      error = no_value();
      f.escapes = true;
    } else if (key == "print-during-transfer") {
      error = no_value();
      f.print_during_transfer = true;
    } else if (key == "block-delay") {
      error = count(f.block_delay_ms);
    } else if (key == "hold-last-ack") {
      error = count(f.hold_last_ack_ms);
    } else if (key == "loss-in") {
      error = percent(f.loss_in);
    } else if (key == "loss-out") {
      error = percent(f.loss_out);
    } else if (key == "duplicate") {
      error = percent(f.duplicate);
    } else if (key == "reorder") {
      error = percent(f.reorder);
    } else {
      return format("unknown radio item \"%s\"", key);
    }
    if (!error.empty()) return error;
  }
  return {};
}

ParseResult parse_sim_options(int argc, const char* const* argv) {
  ParseResult result;
  SimOptions& o = result.options;
  std::vector<std::string> radio_texts;
  auto fail = [&](std::string text) {
    result.ok = false;
    result.error = std::move(text);
    return result;
  };
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    std::string name = arg;
    std::string value;
    bool inline_value = false;
    if (arg.rfind("--", 0) == 0) {
      const size_t eq = arg.find('=');
      if (eq != std::string::npos) {
        name = arg.substr(0, eq);
        value = arg.substr(eq + 1);
        inline_value = true;
      }
    }
    auto take_value = [&](std::string& out) {
      if (inline_value) {
        out = value;
        return true;
      }
      if (i + 1 >= argc) return false;
      out = argv[++i];
      return true;
    };
    if (name == "-h" || name == "--help") {
      result.help = true;
      return result;
    }
    if (name == "--version") {
      result.version = true;
      return result;
    }
    if (name == "-q" || name == "--quiet" || name == "--burst") {
      if (inline_value) return fail(name + " takes no value");
      (name == "--burst" ? o.burst : o.quiet) = true;
      continue;
    }
    std::string* target = nullptr;
    std::string items;
    std::string vlan;
    std::string seed;
    if (name == "-i" || name == "--interface") {
      target = &o.interface_name;
    } else if (name == "-s" || name == "--store") {
      target = &o.store_dir;
    } else if (name == "-l" || name == "--log") {
      target = &o.log_file;
    } else if (name == "-r" || name == "--radio") {
      target = &items;
    } else if (name == "--vlan") {
      target = &vlan;
    } else if (name == "--seed") {
      target = &seed;
    } else {
      return fail("unknown option \"" + arg + "\"");
    }
    if (!take_value(*target)) return fail(name + " needs a value");
    if (target->empty()) return fail(name + " needs a non-empty value");
    if (target == &items) radio_texts.push_back(items);
    if (target == &vlan) {
      uint32_t id = 0;
      if (!parse_count(vlan, id) || id > 4094) return fail("--vlan " + vlan + ": expected a VLAN id from 1 to 4094");
      o.vlan_id = static_cast<uint16_t>(id);
    }
    if (target == &seed && !parse_count(seed, o.seed)) return fail("--seed " + seed + ": expected a whole number from 1 to 1000000");
  }
  if (o.interface_name.empty()) return fail("no interface given (-i IFACE)");
  if (o.interface_name.size() >= 16) return fail("interface name \"" + o.interface_name + "\" is too long");
  if (radio_texts.size() > MAX_RADIOS) return fail("at most " + std::to_string(MAX_RADIOS) + " radios");
  if (radio_texts.empty()) radio_texts.emplace_back();
  for (size_t n = 0; n < radio_texts.size(); ++n) {
    RadioConfig radio = default_radio(n + 1);
    const std::string error = parse_radio_items(radio_texts[n], radio);
    if (!error.empty()) return fail("radio " + std::to_string(n + 1) + ": " + error);
    for (const RadioConfig& other : o.radios) {
      if (other.mac == radio.mac) {
        return fail("radio " + std::to_string(n + 1) + ": address " + format_mac_text(radio.mac) +
                    " is already taken by " + other.name);
      }
      if (other.name == radio.name) {
        return fail("radio " + std::to_string(n + 1) + ": name " + radio.name + " is already taken");
      }
    }
    o.radios.push_back(radio);
  }
  result.ok = true;
  return result;
}

const char* usage_text() {
  return R"(Usage: orvex-radiosim -i IFACE [options] [-r RADIO]...

Plays one or more radios on an Ethernet interface: they answer discovery,
accept connections from OrvexTerm, echo what is typed and answer a small
command line:
  download SRC DST   fetch SRC from the program and store it as DIR/NAME/DST
                     (a level-0 radio asks for tmp/SRC)
  sdp NAME           make NAME the default program (answers OK)
  version, help      show the radio's firmware, list the commands
  logout             end the session with a disconnect
Needs root or CAP_NET_RAW (raw frames, promiscuous mode).

Options:
  -i, --interface IFACE  the interface to play the radios on (required)
  -r, --radio RADIO      one radio; repeat for more, up to 1000 (default: one)
  -s, --store DIR        downloads go to DIR/NAME/DST (default: .)
  -l, --log FILE         log every frame and event to FILE ("-": standard output)
      --vlan ID          send every frame with an 802.1Q tag of ID (1 to 4094);
                         frames are taken tagged or not
      --seed N           seed of the link faults below (1 to 1000000, default 1):
                         the same seed and the same frames give the same faults
      --burst            build all the radios' answers to a frame first, then
                         send them back to back and log them after (a
                         discovery request is answered by every radio within
                         a few milliseconds)
  -q, --quiet            print only errors on standard output
  -h, --help             show this text
      --version          show the version and build

RADIO is a comma-separated list of items:
  mac=02:7A:41:00:00:01  the radio's address (default 02:7A:41:00:HH:LL, N in
                         the last two bytes, for radio N)
  name=NAME              1 to 46 printable characters, no spaces, ',' or '/'
                         (default Radio-N)
  level=0|1|2            protocol level (default 2)
  firmware=TEXT          1 to 16 characters, no ',' (default SIM-1.0)
Faults:
  silent                 answer nothing at all
  drop-every=N           lose every N-th frame addressed to the radio (N >= 2)
  no-empty-ack           do not acknowledge the empty last block of a file
  refuse-connect[=N]     leave the first N connection set-ups unanswered
                         (default 1); the repeats of a set-up's request (the
                         same connection id) too, the next set-up is answered
  refuse-download[=N]    refuse the first N downloads (default 1) with an error PDU
  fail-store=N           receive the first N downloads whole, then answer their
                         last block with an error PDU instead of storing them
  fail-command=N         never acknowledge the frame that ends the N-th command
  restore-at=N           answer the N-th command with a restore request
  error-at=N             answer the N-th command with an error PDU
  escapes                begin every answer with cursor and erase sequences
  print-during-transfer  print while a file is being received
  block-delay=MS         acknowledge each file block MS milliseconds late
  hold-last-ack=MS       acknowledge the last bytes of a file (and its empty
                         last block) MS milliseconds late, once: repetitions
                         meanwhile are not acknowledged
Link faults, drawn at random for each frame (PCT: 1 to 100 percent):
  loss-in=PCT            lose frames sent to the radio (identify requests too)
  loss-out=PCT           lose frames the radio sends (identify responses too)
  duplicate=PCT          deliver frames twice, either way
  reorder=PCT            hold frames back until the next one in the same
                         direction has passed (at most 400 ms), either way

Example:
  orvex-radiosim -i veth1 -s /tmp/radios \
    -r name=North,level=2,firmware=OR-2.4.1 \
    -r mac=02:7A:41:00:00:22,name=Quarry,level=0,drop-every=7 \
    -r name=Lossy,loss-in=10,loss-out=10,duplicate=2 --seed 7
)";
}

}  // namespace orvex::sim
