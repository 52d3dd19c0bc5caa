#include "link/adapters.hpp"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>

#include "app/terminate.hpp"
#include "cmdline/address_text.hpp"
#include "cmdline/settings.hpp"
#include "console/key_press.hpp"
#include "link/frame_io.hpp"
#include "link/host_check.hpp"
#include "link/host_state.hpp"
#include "link/mac_lookup.hpp"
#include "platform/packet_library.hpp"
#include "protocol/byte_order.hpp"

namespace orvex {

namespace {

constexpr size_t NARROWED_UNITS_MAX = ADAPTER_NAMES_SIZE / 2;
constexpr uint32_t NO_MEDIUM = 0xFFFFFFFFu;

AdapterTable g_table;
std::FILE* g_reply_input = nullptr;

int diagnostic_level() { return program_options().diagnostic_level; }
bool nt_family() { return host_state().nt_family != 0; }

const char* shown_name(const AdapterEntry& e) {
  return nt_family() ? e.description.c_str() : e.name.c_str();
}

// Raw frames need privileges: say so in plain words once the driver's own
// message is out.
void explain_refusal(long error) {
  if (error != EPERM || g_table.raw_access_hint_given) return;
  g_table.raw_access_hint_given = true;
  std::printf("Raw Ethernet access needs root or the CAP_NET_RAW capability.\n");
}

void probe_adapter(int id) {
  AdapterEntry& e = g_table.entries[id];
  PacketLibrary& library = packet_library();
  if (diagnostic_level() >= 1) std::printf("  Adapter %i: %s\n", id, e.name.c_str());
  std::unique_ptr<OpenedAdapter> adapter = library.open(e.name);
  if (!adapter) {
    const long error = library.last_error();
    std::printf("Unable to open the driver [%s], Error Code : %lx\n", e.name.c_str(), error);
    explain_refusal(error);
    return;
  }
  if (diagnostic_level() >= 1) std::printf("    opened, handle = %08x\n", adapter->handle_value());
  // An adapter whose medium cannot be read is not taken for Ethernet.
  LinkType type{NO_MEDIUM, 0};
  errno = 0;
  if (!adapter->get_net_type(type)) {
    std::printf("Error in PacketGetNetType - %d\n", errno);
    type.link_type = NO_MEDIUM;
  }
  if (diagnostic_level() >= 1) {
    std::printf("    type %d (0x%08X) speed %d\n", static_cast<int>(type.link_type), type.link_type,
                static_cast<int>(type.link_speed));
  }
  if (type.link_type == MEDIUM_802_3) {
    e.usable = 1;
    ++g_table.usable_count;
    if (diagnostic_level() >= 1) std::printf("    Usable Ethernet adapter\n");
  } else {
    e.usable = 0;
    if (diagnostic_level() >= 1) std::printf("    Not an Ethernet adapter\n");
  }
}

}  // namespace

AdapterTable& adapter_table() { return g_table; }

void reset_adapter_table() {
  g_table = AdapterTable{};
  g_reply_input = nullptr;
}

int store_adapter_names(std::span<uint8_t> buffer, uint32_t reported_size) {
  const size_t size = buffer.size();
  // Three small 16-bit units at the start mean 16-bit characters.
  if (size >= 6 && get_le16(buffer.data()) < 255 && get_le16(buffer.data() + 2) < 255 &&
      get_le16(buffer.data() + 4) < 255) {
    std::printf("    PacketGetAdapterNames returned Unicode data\n");
    size_t i = 0;
    const size_t units = std::min<size_t>(NARROWED_UNITS_MAX, size / 2);
    while (i < reported_size && i < units) {
      buffer[i] = buffer[2 * i];
      ++i;
    }
    if (i < size) buffer[i] = 0;
    if (i + 1 < size) buffer[i + 1] = 0;
  }
  size_t pos = 0;
  int stored = 0;
  while (pos < size && buffer[pos] != 0 && stored < MAX_ADAPTERS) {
    const auto* start = reinterpret_cast<const char*>(buffer.data() + pos);
    const size_t length = strnlen(start, size - pos);
    g_table.entries[stored++].name.assign(start, length);
    g_table.adapter_count = stored;
    pos += length + 1;
  }
  return g_table.adapter_count;
}

int find_adapters() {
  host_check();
  PacketLibrary& library = packet_library();
  std::array<uint8_t, ADAPTER_NAMES_SIZE> names{};
  uint32_t size = ADAPTER_NAMES_SIZE;
  if (!library.get_adapter_names(names, size)) {
    std::printf("Error in PacketGetAdapterName - %d\n", static_cast<int>(library.last_error()));
    exit_now(0);
  }
  store_adapter_names(names, size);
  if (diagnostic_level() >= 1) std::printf("We saw %d adapters\n", g_table.adapter_count);

  for (int id = 0; id < g_table.adapter_count; ++id) probe_adapter(id);

  if (diagnostic_level() >= 1) std::printf("%d usable adapters\n", g_table.usable_count);
  if (g_table.usable_count == 0) {
    std::printf("Sorry, no ethernet adapters found! \nPlease check your configuration again\n");
    wait_for_key_press();
    exit_now(255);
  }

  int resolved = 0;
  for (int id = 0; id < g_table.adapter_count; ++id) {
    AdapterEntry& e = g_table.entries[id];
    if (!e.usable) continue;
    e.netbios_ordinal = resolved;
    const int found = nt_family() ? get_NT_MACaddr(id, e.mac) : get_NetBIOS_MACaddr(id, e.mac);
    if (found != 0) {
      ++resolved;
    } else {
      e.usable = 0;
      --g_table.usable_count;
    }
  }
  if (!nt_family()) check_adapter_vendors();
  return g_table.usable_count;
}

void list_adapters() {
  for (int id = 0; id < MAX_ADAPTERS; ++id) {
    const AdapterEntry& e = g_table.entries[id];
    if (!e.usable) continue;
    std::printf("---> Adapter Id:%d - MAC: %s [%s]\n", id, format_mac_text(e.mac), shown_name(e));
  }
}

int first_usable_adapter() {
  for (int id = 0; id < g_table.adapter_count && id < MAX_ADAPTERS; ++id) {
    if (g_table.entries[id].usable) return id;
  }
  return 0;
}

int open_adapter(int id) {
  close_adapter();
  if (id < 0 || id >= MAX_ADAPTERS || !g_table.entries[id].usable) return 0;
  const AdapterEntry& e = g_table.entries[id];
  std::printf("Opening %s [MAC %s] ...\n", shown_name(e), format_mac_text(e.mac));
  PacketLibrary& library = packet_library();
  std::unique_ptr<OpenedAdapter> adapter = library.open(e.name);
  if (!adapter) {
    const long error = library.last_error();
    std::printf("Error: Unable to open the driver.\n");
    std::printf("Make sure it has been installed properly. Error code : %lx\n", error);
    explain_refusal(error);
    wait_for_key_press();
    exit_now(255);
  }
  local_mac_address() = e.mac;
  attach_adapter(std::move(adapter));
  termination_hooks().close_adapter = [] { close_adapter(); };
  return 1;
}

void set_adapter_reply_input(std::FILE* input) { g_reply_input = input; }

bool read_adapter_reply(std::FILE* input, int& answer) {
  char line[256];
  if (std::fgets(line, sizeof line, input) == nullptr) return false;
  const bool whole_line = std::strchr(line, '\n') != nullptr;
  // The rest of an overlong reply is discarded.
  if (!whole_line) {
    int c;
    while ((c = std::fgetc(input)) != EOF && c != '\n') {
    }
  }
  const char* p = line;
  while (*p == ' ' || *p == '\t') ++p;
  char* end = nullptr;
  errno = 0;
  const long value = std::strtol(p, &end, 10);
  if (end != p) answer = (errno == ERANGE || value > INT_MAX || value < INT_MIN) ? -1 : static_cast<int>(value);
  return !std::feof(input);
}

int select_adapter() {
  std::printf("Use this version of ORVEX only on Windows95 or WIndows98\n");
  const int usable = find_adapters();
  if (usable == 0) {
    std::printf("Sorry, no ethernet adapters found!\n");
    std::printf("Did you install WinPCap ?\n");
    std::printf("Please check your configuration again\n");
    return -1;
  }
  if (usable == 1) {
    const int id = first_usable_adapter();
    if (open_adapter(id) == 0) {
      std::printf("Failed to open adapter %d\n", id);
      return -2;
    }
    return id;
  }
  std::printf(nt_family() ? "%cMore than one adapters were found:\n"
                          : "%cMore than one ethernet adapters were found:\n",
              ' ');
  list_adapters();
  const int requested = program_options().adapter_number;
  if (requested >= 0) {
    if (open_adapter(requested) != 0) {
      std::printf("Successfully opened adapter number %d\n", requested);
      return requested;
    }
    std::printf("Failed to open adapter number %d\n", requested);
  }
  std::FILE* input = g_reply_input != nullptr ? g_reply_input : stdin;
  for (;;) {
    int answer = 1;
    std::printf("\nSelect the Id of the adapter you wish to open : ");
    std::fflush(stdout);
    const bool more_input = read_adapter_reply(input, answer);
    if (open_adapter(answer) != 0) return answer;
    std::printf("\nInvalid number. ");
    std::printf("Does not correspond to an ethernet adapter. ");
    // No further reply can come: end instead of asking for ever.
    if (!more_input) {
      std::printf("\nNo adapter was chosen: standard input has ended.\n");
      return -1;
    }
    std::printf("Please try again\n");
  }
}

}  // namespace orvex
