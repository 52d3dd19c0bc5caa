#include "link/adapters.hpp"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "base/address_text.hpp"
#include "base/view.hpp"
#include "console/key_press.hpp"
#include "link/host_check.hpp"
#include "os/packet_capture.hpp"
#include "os/program_path.hpp"

namespace orvex {

namespace {

// Raw frames need privileges: say so in plain words once the driver's own
// message is out, and how this program gets them.
void explain_refusal(View& view, AdapterTable& table, long error) {
  if (error != EPERM || table.raw_access_hint_given) return;
  table.raw_access_hint_given = true;
  say(view, "Raw Ethernet access needs root or the CAP_NET_RAW capability.\n");
  say(view, "Install the orvexterm package, which gives it, or run as root: setcap cap_net_raw+ep %s\n",
      own_program_path("orvexterm").c_str());
}

// An adapter is usable when it opens for our frames.
void probe_adapter(AdapterChoice& choice, int id) {
  AdapterEntry& e = choice.table.entries[id];
  const int diagnostic_level = choice.config.diagnostic_level;
  View& view = choice.view;
  if (diagnostic_level >= 1) view.diagnostic("  Adapter " + std::to_string(id) + ": " + e.name);
  PacketCapture& capture = choice.capture;
  if (!capture.open(e.name)) {
    const long error = capture.last_error();
    say(view, "Unable to open the driver [%s], Error Code : %lx\n", e.name.c_str(), error);
    if (error == EPERM) choice.table.refused_raw_access = true;
    return;
  }
  e.usable = 1;
  ++choice.table.usable_count;
  if (diagnostic_level >= 1) view.diagnostic("    Usable Ethernet adapter");
}

// Loopback, interfaces that are down and other media are no adapters of ours.
bool adapter_kind(const InterfaceInfo& i) { return !i.loopback && i.up && i.ethernet; }

// An Ethernet interface that is down is the likeliest reason for a missing adapter.
void name_down_interface(View& view, const std::string& name) {
  say(view, "Interface %s is down: bring it up with `ip link set %s up`\n", name.c_str(), name.c_str());
}

}  // namespace

Failure find_adapters(AdapterChoice& choice) {
  host_check(choice.host, choice.config, choice.view);
  AdapterTable& table = choice.table;
  View& view = choice.view;
  const int diagnostic_level = choice.config.diagnostic_level;
  PacketCapture& capture = choice.capture;
  std::vector<InterfaceInfo> interfaces;
  if (!capture.list_interfaces(interfaces)) {
    say(view, "Error in PacketGetAdapterName - %d\n", static_cast<int>(capture.last_error()));
    return Failure::ADAPTERS_NOT_LISTED;
  }
  int stored = 0;
  for (const InterfaceInfo& i : interfaces) {
    if (!adapter_kind(i) || stored == MAX_ADAPTERS) {
      if (i.ethernet && !i.loopback && !i.up) table.down.push_back(i.name);
      if (diagnostic_level >= 1) view.diagnostic("  " + i.name + ": not an Ethernet adapter that is up");
      continue;
    }
    AdapterEntry& e = table.entries[stored++];
    e.name = i.name;
    e.mac = i.address;
    e.address_known = i.address_known;
  }
  table.adapter_count = stored > 0 ? stored : -1;
  if (diagnostic_level >= 1) view.diagnostic("We saw " + std::to_string(table.adapter_count) + " adapters");

  for (int id = 0; id < stored; ++id) probe_adapter(choice, id);
  // Once, after every adapter's refusal: the advice is the last word.
  if (table.refused_raw_access) explain_refusal(view, table, EPERM);

  if (diagnostic_level >= 1) view.diagnostic(std::to_string(table.usable_count) + " usable adapters");
  if (table.usable_count == 0) {
    // Adapters that refused us for lack of privileges are there: the advice
    // printed is the answer, and "none found" would contradict it.
    if (!table.raw_access_hint_given) {
      for (const std::string& name : table.down) name_down_interface(view, name);
      say(view, "Sorry, no ethernet adapters found! \nPlease check your configuration again\n");
    }
    view.flush();
    wait_for_key_press();
    return Failure::NO_USABLE_ADAPTER;
  }
  // Frames need the adapter's own address as their source.
  for (int id = 0; id < stored; ++id) {
    AdapterEntry& e = table.entries[id];
    if (e.usable && !e.address_known) {
      e.usable = 0;
      --table.usable_count;
    }
  }
  return Failure::NONE;
}

void list_adapters(const AdapterChoice& choice) {
  for (int id = 0; id < MAX_ADAPTERS; ++id) {
    const AdapterEntry& e = choice.table.entries[id];
    if (!e.usable) continue;
    say(choice.view, "---> Adapter Id:%d - MAC: %s [%s]\n", id, format_mac_text(e.mac).c_str(), e.name.c_str());
  }
}

int first_usable_adapter(const AdapterChoice& choice) {
  for (int id = 0; id < choice.table.adapter_count && id < MAX_ADAPTERS; ++id) {
    if (choice.table.entries[id].usable) return id;
  }
  return 0;
}

Failure open_adapter(AdapterChoice& choice, int id) {
  choice.io.close();
  if (id < 0 || id >= MAX_ADAPTERS || !choice.table.entries[id].usable) return Failure::INVALID_ADAPTER;
  const AdapterEntry& e = choice.table.entries[id];
  View& view = choice.view;
  say(view, "Opening %s [MAC %s] ...\n", e.name.c_str(), format_mac_text(e.mac).c_str());
  PacketCapture& capture = choice.capture;
  std::unique_ptr<CaptureHandle> adapter = capture.open(e.name);
  if (!adapter) {
    const long error = capture.last_error();
    say(view, "Error: Unable to open the driver.\n");
    say(view, "Make sure it has been installed properly. Error code : %lx\n", error);
    explain_refusal(view, choice.table, error);
    view.flush();
    wait_for_key_press();
    return Failure::ADAPTER_NOT_OPENED;
  }
  // -m gives the program another address than the adapter's.
  const MacAddress& override_mac = choice.config.local_mac_override;
  choice.config.local_mac = override_mac.is_zero() ? e.mac : override_mac;
  choice.io.attach(std::move(adapter));
  choice.io.accept_own_frames_only();
  return Failure::NONE;
}

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
  return true;
}

int print_adapter_list(PacketCapture& capture, View& view) {
  std::vector<InterfaceInfo> interfaces;
  if (!capture.list_interfaces(interfaces)) {
    say(view, "Error in PacketGetAdapterName - %d\n", static_cast<int>(capture.last_error()));
    return -1;
  }
  int id = 0;
  int listed = 0;
  for (const InterfaceInfo& i : interfaces) {
    if (!adapter_kind(i) || id == MAX_ADAPTERS) continue;
    const int this_id = id++;
    if (!i.address_known) continue;  // never usable: frames need its address
    say(view, "%d. %s [MAC %s] link %s\n", this_id, i.name.c_str(), format_mac_text(i.address).c_str(),
        i.carrier ? "up" : "down");
    ++listed;
  }
  if (listed == 0) say(view, "No usable Ethernet adapter was found.\n");
  return listed;
}

namespace {

// " name" for each usable adapter, in table order.
std::string usable_names(const AdapterChoice& choice) {
  std::string names;
  for (const AdapterEntry& e : choice.table.entries) {
    if (e.usable) names += " " + e.name;
  }
  return names;
}

// The adapter named with -c: its Id, or -1 (and the adapters there are) when
// no usable adapter has that name.
int named_adapter(const AdapterChoice& choice, const std::string& name) {
  for (int id = 0; id < MAX_ADAPTERS; ++id) {
    const AdapterEntry& e = choice.table.entries[id];
    if (e.usable && e.name == name) return id;
  }
  const std::vector<std::string>& down = choice.table.down;
  if (std::find(down.begin(), down.end(), name) != down.end()) {
    name_down_interface(choice.view, name);
    return -1;
  }
  say(choice.view, "No adapter is named %s; the adapters are:%s\n", name.c_str(), usable_names(choice).c_str());
  return -1;
}

}  // namespace

AdapterSelection select_adapter(AdapterChoice& choice) {
  if (const Failure failed = find_adapters(choice); failed != Failure::NONE) return {.id = -1, .failure = failed};
  View& view = choice.view;
  const int usable = choice.table.usable_count;
  const auto opened = [&choice](int id) -> AdapterSelection {
    const Failure failed = open_adapter(choice, id);
    return {.id = failed == Failure::NONE ? id : -1, .failure = failed};
  };
  if (usable == 0) {
    say(view, "Sorry, no ethernet adapters found!\n");
    say(view, "Did you install libpcap ?\n");
    say(view, "Please check your configuration again\n");
    return {.id = -1, .failure = Failure::INVALID_ADAPTER};
  }
  if (!choice.config.adapter_name.empty()) {
    const int id = named_adapter(choice, choice.config.adapter_name);
    if (id < 0) return {.id = -1, .failure = Failure::INVALID_ADAPTER};
    return opened(id);
  }
  if (usable == 1) {
    const int id = first_usable_adapter(choice);
    const AdapterSelection only = opened(id);
    if (only.failure == Failure::INVALID_ADAPTER) say(view, "Failed to open adapter %d\n", id);
    return only;
  }
  say(view, " More than one ethernet adapters were found:\n");
  list_adapters(choice);
  const int requested = choice.config.adapter_number;
  if (requested >= 0) {
    const AdapterSelection asked = opened(requested);
    if (asked.failure != Failure::INVALID_ADAPTER) {
      if (asked.failure == Failure::NONE) say(view, "Successfully opened adapter number %d\n", requested);
      return asked;
    }
    say(view, "Failed to open adapter number %d\n", requested);
  }
  std::FILE* input = choice.replies;
  for (;;) {
    int answer = 1;
    say(view, "\nSelect the Id of the adapter you wish to open : ");
    view.flush();
    // An unattended run has no operator to choose: guessing one could reach
    // the radios of another segment, so it ends naming what -c can take.
    const bool replied = read_adapter_reply(input, answer);
    if (replied) {
      const AdapterSelection typed = opened(answer);
      if (typed.failure != Failure::INVALID_ADAPTER) return typed;
      say(view, "\nInvalid number. ");
      say(view, "Does not correspond to an ethernet adapter. ");
    }
    if (!replied || std::feof(input)) {
      say(view, "\nNo adapter was chosen: standard input has ended.\nChoose one with -c; the adapters are:%s\n",
          usable_names(choice).c_str());
      return {.id = -1, .failure = Failure::ADAPTER_NOT_CHOSEN};
    }
    say(view, "Please try again\n");
  }
}

}  // namespace orvex
