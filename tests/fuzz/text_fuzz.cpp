// Text the program reads from outside: the command line (arguments split at
// NUL bytes), the lines of an input file (-i) or a command file (-x), a radio
// list file (-n). The first byte chooses: 0, 1, 2 or 3 (modulo 4).
#include "app/options.hpp"
#include "batch/command_list.hpp"
#include "batch/radio_list.hpp"
#include "batch/script_lines.hpp"
#include "engine/engine.hpp"
#include "console/console.hpp"
#include "os/file_server.hpp"
#include "os/pcap_capture.hpp"
#include "ui/console_view.hpp"
#include "tests/fuzz/fuzz_support.hpp"

namespace orvex::fuzz {
namespace {

// "/" is made "_": the files named stay in the scratch directory (a report
// file is created wherever it is named, and is removed again).
void parse_arguments(std::string text) {
  std::replace(text.begin(), text.end(), '/', '_');
  std::vector<std::string> words{"orvexterm"}, created;
  for (size_t at = 0; at <= text.size(); at = std::min(text.find('\0', at), text.size()) + 1) {
    words.push_back(text.substr(at, text.find('\0', at) - at));
  }
  std::vector<char*> argv;
  std::error_code unusable;  // a name too long for the system, say
  for (std::string& word : words) {
    const bool report = argv.size() > 1 && std::string(argv.back()) == "--report";
    if (report && !std::filesystem::exists(word, unusable)) created.push_back(word);
    argv.push_back(word.data());
  }
  Config config;
  config.console = console_of_process();
  static ConsoleView view{config.console};
  // The host's services, as the program has them: -D lists the interfaces, -u looks for its file.
  const auto capture = make_pcap_capture();
  WorkingDirectoryFiles files;
  Termination termination;
  termination.exit_process = [](int status) { throw ProcessExit{status}; };
  try {
    parse_options(config, view, *capture, files, termination, static_cast<int>(argv.size()), argv.data());
  } catch (const ProcessExit&) {
  }
  for (const std::string& name : created) std::filesystem::remove(name, unusable);
}

}  // namespace

std::vector<Bytes> seed_inputs() {
  using namespace std::string_literals;  // the texts hold NUL bytes
  std::vector<std::string> texts = {
      "\0-h"s, "\0-d\0-d\0-c\0eth1\0-r\0North"s, "\0-c\0002\0-m\00002:7A:42:00:00:05\0-v\00012"s,
      "\0-f\0-u\0fw.bin#main.bin#2#1#1000"s, "\0-u\0fw.bin#main.bin#9#1#1"s, "\0-u"s,
      "\0-f\0-x\0commands.txt#2#500\0--report\0r.jsonl"s, "\0-x\0commands.txt#-1#x"s,
      "\0-n\0radios.txt\0-i\0commands.txt\0-o\0out.cap"s, "\0--exit-status\0-i\0missing"s,
      "\0-l\00050\0-b\0-a\0bad\0-q"s, "\0-n\0missing\0--report"s,
      "\3" "123\n  456 tail\n"s, "\3" "12345678901234567\nabc\n"s, "\3" "1\n2\n3\n4\n5\n6\n7\n8\n9\n10\n11\n"s};
  for (const char* kind : {"\1", "\2"}) {
    for (const std::string& lines : {"version\n# note\nhelp\n"s, ".delay 1.5\nsdp main.bin\n"s,
                                     ".delay 99999999999\n"s, ".delay x\r\n.exit\n"s, std::string(300, 'a')}) {
      texts.push_back(kind + lines);
    }
  }
  std::vector<Bytes> seeds;
  for (const std::string& text : texts) seeds.emplace_back(text.begin(), text.end());
  return seeds;
}

}  // namespace orvex::fuzz

using namespace orvex;
using namespace orvex::fuzz;

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  prepare_process({{"work/fw.bin", "firmware"}, {"work/radios.txt", "5\n"}, {"work/commands.txt", "version\n"}});
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const std::string text(reinterpret_cast<const char*>(data) + 1, size - 1);
  if (data[0] % 4 == 0) {
    parse_arguments(text);
    return 0;
  }
  Config config;
  config.console = console_of_process();
  static ConsoleView view{config.console};  // shown as on the terminal: the escape handling is fuzzed too
  FuzzClock clock;
  WorkingDirectoryFiles files;
  Fresh<Engine> fresh(config, view, clock, files);
  Engine& e = fresh.object;
  clock.stops(e.connection.events.stopping);
  std::ofstream(data[0] % 4 == 3 ? "list.txt" : "lines.txt", std::ios::binary | std::ios::trunc) << text;
  if (data[0] % 4 == 1) {  // the input file: its script lines are carried out as they are read
    config.input_file_name = "lines.txt";
    LineReader reader;
    uint8_t line[INPUT_LINE_BUFFER_SIZE];
    for (size_t lines = 0; lines <= size; ++lines) {  // a line takes a byte at least
      if (read_input_line({e.link.view, e.connection.events}, e.link.config, reader, line).length <= 0) break;  // the end, or what ends the program
    }
  } else if (data[0] % 4 == 2) {  // the command file: read whole, then each line carried out in turn
    for (const std::string& line : read_command_list({e.link.view, e.connection.events}, "lines.txt").lines) {
      if (run_script_line({e.link.view, e.connection.events}, line.c_str()) == ScriptLine::EXIT) break;
    }
  } else {
    load_radio_list(config, view, "list.txt");
  }
  return 0;
}
