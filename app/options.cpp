#include "app/options.hpp"

#include <cstdio>
#include <cstring>
#include <string>

#include "app/termination.hpp"
#include "base/address_text.hpp"
#include "base/number_text.hpp"
#include "base/view.hpp"
#include "batch/batch_requests.hpp"
#include "batch/radio_list.hpp"
#include "batch/report_file.hpp"
#include "console/console.hpp"
#include "console/cp437.hpp"
#include "link/adapters.hpp"
#include "os/terminal.hpp"
#include "ui/help.hpp"

namespace orvex {

namespace {

// Texts given on the command line that are evaluated after the last argument.
struct PendingOptions {
  bool input_given = false;
  bool list_given = false;
  bool update_given = false;
  bool command_run_given = false;
  bool mac_given = false;
  bool vlan_given = false;
  std::string list_file_name;
  std::string update_text;
  std::string command_run_text;
  std::string mac_text;
  std::string vlan_text;
  bool parallel_given = false;
  std::string parallel_text;
};

bool needs_parameter(char option) { return std::strchr("cilmnoPRruvx", option) != nullptr; }

bool known_option(char option) { return option != '\0' && std::strchr("abcDdfhilmnoPRruvx", option) != nullptr; }

// Stores an option's text when it fits its bound; a longer text is refused
// whole (a cut file name could name another file) and the option ignored.
bool bounded_text(const char* argument, const char* text, size_t bound, std::string& target) {
  if (std::strlen(text) > bound) {
    std::printf("Parameter of argument %s is too long - ignoring\n", argument);
    return false;
  }
  target = text;
  return true;
}

// The terminal's own resize request (80 columns); never a shell command.
void request_console_lines(const Config& options, int lines) {
  if (lines <= 0 || !options.console.terminal) return;
  note_window_resized();  // the user's size comes back on the way out
  std::printf("\x1b[8;%d;80t", lines);
  std::fflush(stdout);
}

[[noreturn]] void batch_usage_exit(Termination& termination, char option) {
  if (option == 'u') {
    std::printf("-u is Update all radios\n");
    std::printf("-u srcfile#dstfile#action#retry_count#retry_interval\n");
    std::printf("as in: -u tdd_ram.bz#tdd_0825#1#2#2\n");
    std::printf("action: 1: load-and-sdp - 3: load-only\n");
  } else {
    std::printf("-x is eXecute command file on all radios\n");
    std::printf("-x cmdfile#retry_cnt#retry_interval\n");
  }
  termination.terminate_app(Failure::BAD_USAGE);
}

[[noreturn]] void refuse_batch_request(Termination& termination) {
  std::printf("\aError: Either wrong arguments or user cancelation. Terminating application ...\n");
  termination.terminate_app(Failure::REQUEST_REFUSED);
}

constexpr char EXIT_STATUS_OPTION[] = "--exit-status";
constexpr char REPORT_OPTION[] = "--report";
constexpr char LIST_ADAPTERS_OPTION[] = "--list-adapters";

// -D: for scripts and the -c completion; no adapter is opened, no frame sent.
[[noreturn]] void list_adapters_and_exit(PacketCapture& capture, View& view, Termination& termination) {
  const int listed = print_adapter_list(capture, view);
  termination.exit_now(termination.exit_status(0, listed > 0 ? EXIT_DONE : EXIT_NO_ADAPTER_OR_RADIO));
}

constexpr char HELP_OPTION[] = "--help";
constexpr char VERSION_OPTION[] = "--version";
constexpr char DRY_RUN_OPTION[] = "--dry-run";
constexpr char PARALLEL_OPTION[] = "--parallel";
constexpr int MAX_PARALLEL = 64;

// The number of radios at once: 1 to MAX_PARALLEL in plain decimal digits, or
// 0 for anything else.
int parallel_count(const std::string& text) {
  if (text.empty() || text.size() > 2) return 0;
  int value = 0;
  for (const char c : text) {
    if (c < '0' || c > '9') return 0;
    value = value * 10 + (c - '0');
  }
  return value >= 1 && value <= MAX_PARALLEL ? value : 0;
}

[[noreturn]] void print_help_and_exit(const Config& options, Termination& termination) {
  const std::string box = help_text();
  console_write(options.console, box.data(), box.size());
  termination.exit_now(0);
}

// A long option read as single letters could do something else: refused whole,
// before an adapter is opened.
[[noreturn]] void refuse_long_option(Termination& termination, const char* argument) {
  std::printf("Unknown option %s - terminating\n%s", argument, usage_line());
  termination.terminate_app(Failure::BAD_USAGE);
}

bool names_interface(const char* parameter) {
  const char* p = parameter;
  while (*p == ' ' || *p == '\t') ++p;
  return *p != '\0' && *p != '-' && *p != '+' && (*p < '0' || *p > '9');
}

void act_on_option(Config& options, View& view, PacketCapture& capture, Termination& termination, char option,
                   const char* argument,
                   const char* parameter, PendingOptions& pending) {
  switch (option) {
    case 'a':
      break;
    case 'b':
      set_black_on_white(options);
      break;
    case 'c':
      // A number counts the adapters listed; anything else names an interface.
      if (names_interface(parameter)) {
        options.adapter_name = parameter;
      } else {
        options.adapter_number = read_decimal_int(parameter);
      }
      break;
    case 'D':
      list_adapters_and_exit(capture, view, termination);
    case 'd':
      options.diagnostic_level = options.diagnostic_level + 1;
      break;
    case 'f':
      options.confirm_without_prompt = 1;
      break;
    case 'h':
      print_help_and_exit(options, termination);
    case 'i':
      if (bounded_text(argument, parameter, MAX_FILE_NAME_LENGTH, options.input_file_name)) {
        pending.input_given = true;
      }
      break;
    case 'l': {
      std::string lines;
      if (bounded_text(argument, parameter, MAX_LINES_OPTION_LENGTH, lines)) {
        request_console_lines(options, read_decimal_int(lines));
      }
      break;
    }
    case 'm':
      if (bounded_text(argument, parameter, MAX_MAC_OPTION_LENGTH, pending.mac_text)) pending.mac_given = true;
      break;
    case 'n':
      if (bounded_text(argument, parameter, MAX_SHORT_TEXT_LENGTH, pending.list_file_name)) {
        pending.list_given = true;
      }
      break;
    case 'o':
      bounded_text(argument, parameter, MAX_FILE_NAME_LENGTH, options.output_file_name);
      break;
    case 'P':
      pending.parallel_text = parameter;
      pending.parallel_given = true;
      break;
    case 'r':
    case 'R':
      options.chosen_radio_text = parameter;
      options.chosen_radio_given = true;
      break;
    case 'u':
      // The fields are bounded by the argument checks.
      pending.update_text = parameter;
      pending.update_given = true;
      break;
    case 'v':
      if (bounded_text(argument, parameter, MAX_VLAN_OPTION_LENGTH, pending.vlan_text)) pending.vlan_given = true;
      break;
    case 'x':
      pending.command_run_text = parameter;
      pending.command_run_given = true;
      break;
    default:
      break;
  }
}

void evaluate_after_loop(Config& options, View& view, FileServer& files, Termination& termination,
                         const PendingOptions& pending) {
  if (pending.input_given) {
    std::FILE* file = std::fopen(options.input_file_name.c_str(), "r");
    if (file == nullptr) {
      std::printf("------ Error: input file [%s] does not exist.\n", options.input_file_name.c_str());
      termination.terminate_app(Failure::FILE_NOT_OPENED);
    }
    std::fclose(file);
    options.input_source = INPUT_FILE;
  }
  if (pending.list_given) {
    const Failure unread = load_radio_list(options, view, pending.list_file_name.c_str());
    if (unread != Failure::NONE) termination.terminate_app(unread);
  }
  // Before -u asks its question: a dry run has nothing to confirm.
  if (options.dry_run && !pending.update_given && !pending.command_run_given) {
    std::printf("Option --dry-run needs -u or -x - terminating\n%s", usage_line());
    termination.terminate_app(Failure::BAD_USAGE);
  }
  if (pending.parallel_given) {
    const int lanes = parallel_count(pending.parallel_text);
    if (lanes == 0) {
      std::printf("Option --parallel needs a number from 1 to %d - terminating\n%s", MAX_PARALLEL, usage_line());
      termination.terminate_app(Failure::BAD_USAGE);
    }
    if (!pending.update_given && !pending.command_run_given) {
      std::printf("Option --parallel needs -u or -x - terminating\n%s", usage_line());
      termination.terminate_app(Failure::BAD_USAGE);
    }
    // The capture file takes one radio's output as it comes; several radios'
    // at once would be mixed past reading. Their lines, each after its radio's
    // name, are what a parallel run prints.
    if (lanes > 1 && !options.output_file_name.empty()) {
      std::printf("Options --parallel and -o cannot be used together - terminating\n%s", usage_line());
      termination.terminate_app(Failure::BAD_USAGE);
    }
    options.parallel = lanes;
  }
  if (pending.update_given && !parse_update_all(options, view, files, pending.update_text)) {
    refuse_batch_request(termination);
  }
  if (pending.command_run_given && !parse_command_run(options, view, pending.command_run_text)) {
    refuse_batch_request(termination);
  }
  // Found before any radio is contacted, not after the run.
  if (!options.report_file.empty()) {
    const ReportOpening opened = open_report_file(options);
    if (opened != ReportOpening::WRITABLE) {
      std::printf(opened == ReportOpening::PIPE_WITHOUT_READER
                      ? "------ Error: report file [%s] is a pipe that nothing reads.\n"
                      : "------ Error: report file [%s] cannot be written.\n",
                  options.report_file.c_str());
      termination.terminate_app(Failure::REPORT_NOT_WRITABLE);
    }
    // The totals from the start: a run that never reaches a radio (none found,
    // no adapter) still leaves a report that says so.
    if (options.run_mode == RunMode::UPDATE_ALL || options.run_mode == RunMode::COMMAND_RUN) {
      save_run_report(options, view, options.run_mode == RunMode::UPDATE_ALL ? BatchKind::UPDATE_ALL : BatchKind::COMMAND_RUN,
                      BatchResult{}, false);
    }
  }
  if (pending.mac_given) {
    MacAddress mac;
    if (parse_mac_text(pending.mac_text, mac)) {
      options.local_mac_override = mac;
      std::printf("\nUsing as local MAC address: %s\n", format_mac_text(mac).c_str());
    }
  }
  // The frame builder inserts the tag (0x8100, vlan_id) whenever vlan_id is not 0.
  if (pending.vlan_given) options.vlan_id = read_decimal_int(pending.vlan_text);
  std::printf("end of processing arguments ...\n");
}

}  // namespace

void parse_options(Config& options, View& view, PacketCapture& capture, FileServer& files, Termination& termination,
                   int argc, char** argv) {
  // Known before anything can end the program, wherever it stands.
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], EXIT_STATUS_OPTION) == 0) termination.set_telling_exit_status(true);
  }
  options.list_filter_active = 0;
  if (argc <= 1) return;

  options.input_file_name.clear();
  options.output_file_name.clear();
  options.run_mode = RunMode::INTERACTIVE;
  options.confirm_without_prompt = 0;

  PendingOptions pending;
  for (int i = 1; i < argc; ++i) {
    const char* argument = argv[i];
    if (std::strcmp(argument, EXIT_STATUS_OPTION) == 0) continue;
    if (std::strcmp(argument, LIST_ADAPTERS_OPTION) == 0) list_adapters_and_exit(capture, view, termination);
    if (std::strcmp(argument, REPORT_OPTION) == 0) {
      if (i == argc - 1) {
        std::printf("missing parameter for argument %s -ignoring\n", argument);
      } else {
        bounded_text(argument, argv[++i], MAX_FILE_NAME_LENGTH, options.report_file);
      }
      continue;
    }
    if (std::strcmp(argument, PARALLEL_OPTION) == 0) {
      if (i == argc - 1) {
        pending.parallel_text.clear();  // refused below, with the bounds
      } else {
        pending.parallel_text = argv[++i];
      }
      pending.parallel_given = true;
      continue;
    }
    if (std::strcmp(argument, DRY_RUN_OPTION) == 0) {
      options.dry_run = true;
      continue;
    }
    if (std::strcmp(argument, HELP_OPTION) == 0) print_help_and_exit(options, termination);
    if (std::strcmp(argument, VERSION_OPTION) == 0) {
      std::fputs(version_line("orvexterm").c_str(), stdout);
      termination.exit_now(0);
    }
    if (argument[0] == '-' && argument[1] == '-' && argument[2] != '\0') refuse_long_option(termination, argument);
    if (argument[0] != '-' || !known_option(argument[1])) {
      std::printf("Bad argument %s - ignoring\n", argument);
      continue;
    }
    const char option = argument[1];
    const char* parameter = nullptr;
    if (needs_parameter(option)) {
      if (i == argc - 1) {
        if (option == 'u' || option == 'x') batch_usage_exit(termination, option);
        std::printf("missing parameter for argument %s -ignoring\n", argument);
        continue;
      }
      parameter = argv[++i];
    }
    act_on_option(options, view, capture, termination, option, argument, parameter, pending);
  }
  evaluate_after_loop(options, view, files, termination, pending);
}

}  // namespace orvex
