// What the program reads, one row a case: options (their numbers and addresses too), -u/-x texts, the radio list,
// script lines, file-name prefixes, the device choice and keys; and the radio's output on screen and on file.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <future>
#include <iterator>
#include <memory>

#include "app/options.hpp"
#include "base/address_text.hpp"
#include "base/config.hpp"
#include "batch/batch_report.hpp"
#include "batch/batch_requests.hpp"
#include "batch/radio_list.hpp"
#include "batch/report_file.hpp"
#include "batch/script_lines.hpp"
#include "console/console.hpp"
#include "console/cp437.hpp"
#include "console/keys.hpp"
#include "console/radio_output.hpp"
#include "console/shown_text.hpp"
#include "engine/engine.hpp"
#include "engine/transfer.hpp"
#include "tests/support/fake_clock.hpp"
#include "tests/support/fake_platform.hpp"
#include "ui/console_view.hpp"
#include "tests/support/temp_file.hpp"
#include "tests/support/test_state.hpp"
#include "tools/scan/scan_output.hpp"
#include "ui/console_view.hpp"
#include "ui/device_table.hpp"
#include "ui/help.hpp"

namespace orvex::test {
namespace {

struct Ran { std::string out; std::optional<int> status; };  // status: set when the call ended the program
// `body` is given the program's end, which it may call.
template <typename F>
Ran run(F&& body) {
  Ran r;
  Termination termination;
  TerminationCatcher catcher{termination};
  r.out = capture_stdout([&] { try { body(termination); } catch (const ProcessExit& e) { r.status = e.status; } });
  return r;
}

// The settings that differ from their start values, the radio list's serial numbers and batch requests included.
std::string settings(const Config& o) {
  const UpdateAllRequest& u = o.update;
  const CommandRunRequest& x = o.command_run;
  const RadioList& list_entries = o.radio_list;
  std::string s, list;
  auto add = [&](bool set, const std::string& text) { s += set ? (s.empty() ? "" : " ") + text : ""; };
  auto n = [](auto number) { return std::to_string(number); };
  for (size_t i = 0; i < list_entries.size() && !list_entries[i].is_zero(); ++i) {
    list += (i > 0 ? "," : "") + n(serial_number(list_entries[i]));
  }
  add(o.adapter_number != -1, "c" + n(o.adapter_number)), add(!o.adapter_name.empty(), "c" + o.adapter_name);
  add(o.confirm_without_prompt != 0, "f");
  add(o.diagnostic_level.load() != 0, "d" + n(o.diagnostic_level.load())), add(o.input_source == INPUT_FILE, "i");
  add(!o.local_mac_override.is_zero(), std::string("m") + format_mac_text(o.local_mac_override));
  add(o.list_filter_active != 0, "n" + list), add(!o.output_file_name.empty(), "o" + o.output_file_name);
  add(o.chosen_radio_given, "r" + o.chosen_radio_text), add(o.vlan_id != 0, "v" + n(o.vlan_id));
  add(o.run_mode == RunMode::UPDATE_ALL,
      "u" + u.source + "#" + u.destination + "#" + n(u.action) + "#" + n(u.extra_passes) + "#" + n(u.interval_ms));
  add(o.run_mode == RunMode::COMMAND_RUN, "x" + x.command_file + "#" + n(x.extra_passes) + "#" + n(x.interval_ms));
  add(!o.report_file.empty(), "report " + o.report_file), add(o.dry_run, "dry");
  add(o.parallel != 1, "P" + n(o.parallel));
  return s;
}

class Text : public OrvexTest {};

// Options, the -u/-x texts and the radio list file (-n). "@text" stands for a file holding the text, an @ in what
// is printed for its name; "?" for a printed text not looked at here.
struct ArgsCase { std::vector<std::string> args; std::string printed, settings = ""; std::optional<int> status = {}; };
const std::string END = "end of processing arguments ...\n", T = "\nTerminating application with error code:";
const std::string REFUSED = "\aError: Either wrong arguments or user cancelation. Terminating application ...\n" + T;

// While alive, the working directory is a scratch folder holding "a", "fw.bin" and a folder "dir" (-u serves its
// source from the working directory). A folder of its own: the tests run as processes side by side.
struct ScratchDirectory {
  ScratchDirectory() {
    std::filesystem::create_directories(scratch / "dir");
    std::filesystem::current_path(scratch);
    std::ofstream("a") << "x";
    std::ofstream("fw.bin") << "x";
  }
  ~ScratchDirectory() {
    std::filesystem::current_path(home);
    std::filesystem::remove_all(scratch);
  }
  const std::filesystem::path home = std::filesystem::current_path();
  const std::filesystem::path scratch = [] {
    std::string dir = testing::TempDir() + "orvex_unit_cwd_XXXXXX";
    return std::filesystem::path(mkdtemp(dir.data()) != nullptr ? dir : testing::TempDir() + "orvex_unit_cwd");
  }();
};

// Each case parsed afresh in a scratch directory; the case's arguments name it on failure.
template <size_t N>
void expect_parsed(ArgsCase (&cases)[N]) {
  ScratchDirectory here;
  for (ArgsCase& c : cases) {
    reset_process_state();
    Config options;
    options.console.terminal = true;
    std::vector<std::unique_ptr<TempFile>> files;
    std::vector<char*> argv = {const_cast<char*>("orvexterm")};
    for (std::string& a : c.args) {
      if (a[0] == '@') files.push_back(std::make_unique<TempFile>(a.substr(1))), a = files.back()->path();
      argv.push_back(a.data());
    }
    const std::string file = files.empty() ? "" : files.back()->path_;
    for (size_t at = c.printed.find('@'); at != std::string::npos; at = c.printed.find('@', at + file.size())) {
      c.printed.replace(at, 1, file);
    }
    ConsoleView console{options.console};  // what the options' own lines and the reports through the view make on the terminal
    FakePacketCapture capture;
    WorkingDirectoryFiles served;
    const Ran r = run([&](Termination& end) {
      parse_options(options, console, capture, served, end, static_cast<int>(argv.size()), argv.data());
    });
    EXPECT_EQ(std::tuple(c.printed == "?" ? "?" : r.out, settings(options), r.status),
              std::tuple(c.printed, c.settings, c.status)) << testing::PrintToString(c.args);
  }
}

TEST_F(Text, CommandLineOptions) {
  const std::string M = "\nUsing as local MAC address: 02:7A:42:00:2C:12\n", m = "m02:7A:42:00:2C:12";
  const std::string help = help_text(), huge(1000, '7'), o259(259, 'o');
  auto too_long = [](const char* o) { return "Parameter of argument " + std::string(o) + " is too long - ignoring\n"; };
  ArgsCase cases[] = {
      {{}, ""}, {{"-l", "0"}, END}, {{"-l", "50"}, "\x1b[8;50;80t" + END}, {{"-l", "40; reboot"}, "\x1b[8;40;80t" + END},
      {{"-d", "-", "-rx"}, "Bad argument - - ignoring\nmissing parameter for argument -rx -ignoring\n" + END, "d1"},
      {{"-d", "-o", "out.txt", "-u"}, "-u is Update all radios\n-u srcfile#dstfile#action#retry_count#retry_interval\n"
       "as in: -u tdd_ram.bz#tdd_0825#1#2#2\naction: 1: load-and-sdp - 3: load-only\n", "d1 oout.txt", 255},
      {{"-f", "-x"}, "-x is eXecute command file on all radios\n-x cmdfile#retry_cnt#retry_interval\n", "f", 255},
      {{"--exit-status", "-x"}, "-x is eXecute command file on all radios\n-x cmdfile#retry_cnt#retry_interval\n", "",
       2},  // --exit-status tells bad arguments by status 2
      {{"-hx", "-u"}, help, "", 0}, {{"-a", "-h", "-i", "/no/in.txt", "-u", "bad"}, help, "", 0},  // -h stops at once
      {{"-d", "--help", "--xyz"}, help, "d1", 0}, {{"--version", "-h"}, version_line("orvexterm"), "", 0},
      {{"-d", "--xyz", "-h"}, "Unknown option --xyz - terminating\n" + std::string(usage_line()), "d1", 255},
      {{"--report=r", "--exit-status"}, "Unknown option --report=r - terminating\n" + std::string(usage_line()), "", 2},
      {{"--", "-Z", "-d"}, "Bad argument -- - ignoring\nBad argument -Z - ignoring\n" + END, "d1"},
      {{"--exit-status", "--dry-run", "-d"}, "Option --dry-run needs -u or -x - terminating\n" + std::string(usage_line()),
       "d1 dry", 2},
      {{"-u", "a#b#2#1#0", "--dry-run"}, "?", "ua#b#2#1#0 dry"},  // nothing changes: no question asked
      {{"-f", "--parallel", "64", "-u", "a#b#2#1#0"}, "?", "f ua#b#2#1#0 P64"}, {{"-f", "-P", "1", "-x", "a#0#0"}, "?", "f xa#0#0"},
      {{"-f", "-x", "a#0#0", "-P", "7", "--parallel", "12"}, "?", "f xa#0#0 P12"},  // the later one holds
      {{"-o", "out.txt", "-P", "2", "-x", "a#0#0", "-f"},
       "Options --parallel and -o cannot be used together - terminating\n" + std::string(usage_line()), "f oout.txt", 255},
      {{"--exit-status", "-P", "4"}, "Option --parallel needs -u or -x - terminating\n" + std::string(usage_line()), "", 2},
      {{"-f", "-u", "a#b#2#1#0", "--parallel", "65"},
       "Option --parallel needs a number from 1 to 64 - terminating\n" + std::string(usage_line()), "f", 255},
      {{"-f", "-u", "a#b#2#1#0", "-P", "0"}, "?", "f", 255}, {{"-f", "-u", "a#b#2#1#0", "-P", "4x"}, "?", "f", 255},
      {{"-f", "-u", "a#b#2#1#0", "-P", "+4"}, "?", "f", 255}, {{"-f", "-u", "a#b#2#1#0", "--parallel"}, "?", "f", 255},
      {{"-o", "-d", "-c", "-3", "-r", "11282", "-v", "5", "-m", "02:7a:42:00:2c:12"}, M + END,
       "c-3 " + m + " o-d r11282 v5"},  // a parameter is taken whatever it looks like
      {{"-d", "-d", "-c", "eth1", "-v", "x", "-REFUSED", "a", "-REFUSED", "b", "-f"}, END, "ceth1 f d2 rb"},
      {{"-c", " \t-17x"}, END, "c-17"}, {{"-c", "+5"}, END, "c5"}, {{"-c", "- 3"}, END, "c0"},
      {{"-c", "-99999999999"}, END, "c-2147483648"}, {{"-v", "123456789012345678901234567890"}, END, "v2147483647"},
      {{"-m", "02:7A:42:00:2C:12"}, M + END, m}, {{"-m", "027A42002C12:::::"}, M + END, m},  // colons anywhere
      {{"-m", ":::::027a42002c12"}, M + END, m}, {{"-m", "02-7A-42-00-2C-12"}, END}, {{"-m", "02:7A:42:00:2C:1"}, END},
      {{"-m", "02:7A:42:00:2C:123"}, END}, {{"-m", "027A42002C12::::G"}, END}, {{"-m", ""}, END},
      {{"-m", "027A42002C1::::::"}, END}, {{"-m", "027A42002C12A::::"}, END},  // 11 and 13 digits
      {{"-o", "keep.txt", "-o", o259 + "o"}, too_long("-o") + END, "okeep.txt"},  // refused whole, never cut
      {{"-m", huge, "-v", huge, "-i", huge, "-n", huge, "-l", huge},
       too_long("-m") + too_long("-v") + too_long("-i") + too_long("-n") + too_long("-l") + END},
      {{"-r", huge}, END, "r" + huge}, {{"-o", o259, "-v", std::string(62, '0') + "9"}, END, "o" + o259 + " v9"},
      {{"-i", "@show\n", "-n", "@11282\n"}, END, "i n11282"},
      {{"--report", "run.jsonl", "-d"}, END, "d1 report run.jsonl"},
      {{"-d", "--report"}, "missing parameter for argument --report -ignoring\n" + END, "d1"},
      {{"--report", "dir"}, "------ Error: report file [dir] cannot be written.\n", "report dir", 0},
      {{"-i", "/no/in", "-n", "@1\n"}, "------ Error: input file [/no/in] does not exist.\n" + T + "-29\n\n", "", 0},
      {{"-n", "/no/list"}, "Error: Unable to open radio list file [/no/list]\n\rPlease verify the file exist and it "
       "is not corrupted.\n\r" + T + "-83\n\n", "", 0},
  };
  expect_parsed(cases);
  ScratchDirectory here;
  static int answer;  // without -f the operator confirms: "(Y/N):" and Y or y
  for (int typed : {int('Y'), int('y'), int('n'), int('\n'), EOF}) {
    answer = typed;
    EXPECT_EQ(parse_update_all(config, view, files, "fw#tmp#2#3#1500", [] { return answer; }),
              typed == 'Y' || typed == 'y');
    const std::string asked = view.take_text();
    EXPECT_EQ(asked.substr(asked.size() - 6), "(Y/N):");
  }
}

// A refused -u or -x text: the field named, why, and the text shown when it is not the whole text.
TEST_F(Text, UpdateAndCommandRunTexts) {
  auto U = [&](const std::string& text, const char* field, const char* why = "", const char* shown = nullptr) {
    return ArgsCase{{"-u", text}, "Invalid " + std::string(field) + " for Update All Radios argument [" +
                                  (shown ? shown : text) + "]\n" + why + REFUSED + "-8\n\n", "", 0};
  };
  auto X = [&](const std::string& text, const char* field, const char* why = "", const char* shown = nullptr) {
    return ArgsCase{{"-x", text}, "Invalid " + std::string(field) + " argument [" + (shown ? shown : text) + "]\n" + why +
                                  REFUSED + "-8\n\n", "", 0};
  };
  const char *action = "Should be either 1,2 or 3\n", *numeric = "Should be a numeric value\n";
  const char *tries = "Should be between 0 and 16\n", *time = "Should be between 0 and 3600000\n";
  const std::string s(128, 's'), d64 = "a#" + std::string(64, 'd') + "#1#1#0";
  ArgsCase cases[] = {
      U("gone#b#1#1#0", "Source", "Should be a readable file in the working directory\n", "gone"),
      U("dir#b#1#1#0", "Source", "Should be a readable file in the working directory\n", "dir"),
      U("fw", "Source"), U("fw#fl", "Destination"), U("fw#fl#1", "Action"), U(s + "#b#1#1#0", "Source"),
      U(d64, "Destination"), U("a#b#0#1#0", "Action", action, "0"), U("a#b#4#1#0", "Action", action, "4"),
      U("a#b#00000001#1#0", "Action", action, "00000001"), U("a#b#1#2", "# of Tries"),
      U("a#b#1#00#0", "# of Tries", numeric, "00"), U("a#b#1#17#0", "# of Tries", tries),
      U("a#b#1#-1#0", "# of Tries", tries), U("a#b#1#00000002#0", "# of Tries", tries),
      U("a#b#1#1#", "Interval", numeric, ""), U("a#b#1#1#soon", "Interval", numeric, "soon"),
      U("a#b#1#1#-5", "Interval", time), U("a#b#1#1#3600001", "Interval", time),
      {{"-f", "-u", "a#b#1#2x#0"}, "?", "f ua#b#1#2#0"}, {{"-f", "-u", "a#b#3#16#3600000"}, "?", "f ua#b#3#16#3600000"},
      {{"-f", "-u", "a#b#2#0#0000000000000005999"}, "?", "f ua#b#2#0#5"},  // 16 characters of the interval count
      X("cmds.txt", "commands filename"), X(s + "#1#0", "commands filename"), X("c#1", "# of Tries"),
      X("c#00#0", "# of Tries", numeric, "00"), X("c#17#0", "# of Tries", tries),
      X("c#1#", "interval-between-tries", numeric, ""), X("c#1#-1", "interval-between-tries", time),
      {{"-f", "-x", "cmds.txt#2x#1500"}, "?", "f xcmds.txt#2#1500"},
  };
  expect_parsed(cases);
}

TEST_F(Text, RadioListFiles) {
  auto N = [&](const std::string& text, const std::string& serials, bool refused = false) {
    const std::string warning = "Warning: line # 1 of @ file does not contain a valid serial number (" + text + ")\n";
    return ArgsCase{{"-n", "@" + text}, (refused ? warning : "") + END, "n" + serials};
  };
  const std::string ones(127, '1');
  std::string twelve = "@", full = "@";
  for (int i = 101; i <= 112; ++i) twelve += std::to_string(i) + "\n";
  for (int i = 0; i < 32768; ++i) full += "1\n";  // as long as a list may be
  auto over_ten = [](const std::string& name) {
    return "Warning: radio list file " + name + " holds more than 10 serial numbers; line # 11 and later numbers are "
           "ignored\n";
  };
  auto too_long_list = [&](const std::string& name) {
    return over_ten(name) + "----- Error: radio list file " + name + " is longer than 65536 bytes.\n      Unable to "
           "proceed\n" + T + "-83\n\n";
  };
  ArgsCase cases[] = {
      N("11282 the lab radio\n", "11282"), N("\n", "0"), N("16777217\n", "1"), N("   77\r\n", "77"),  // low 24 bits
      N("1234567890123456", std::to_string(1234567890123456ull & 0xFFFFFF)),  // 16 digits without a line feed
      N("11282abc\n", "", true), N("+6\n", "", true), N("\t88\n", "", true), N("12345678901234567\n", "", true),
      {{"-n", "@" + ones + "111\n"}, N(ones, "", true).printed, "n111"},  // a long line is read in pieces
      {{"-n", twelve}, "Warning: radio list file @ holds more than 10 serial numbers; line # 11 and later numbers "
       "are ignored\n" + END, "n101,102,103,104,105,106,107,108,109,110"},
      {{"-n", full}, over_ten("@") + END, "n1,1,1,1,1,1,1,1,1,1"},
      {{"-n", full + "1"}, too_long_list("@"), "n1,1,1,1,1,1,1,1,1,1", 0},
      {{"--exit-status", "-n", "/dev/zero"}, too_long_list("/dev/zero"), "n0,0,0,0,0,0,0,0,0,0", 2},
  };
  expect_parsed(cases);
}

// A named pipe as the report file: refused at once when nothing reads it, kept for the reports when a reader is there.
TEST_F(Text, AReportPipeIsOpenedWithoutWaitingForAReader) {
  const std::string fifo = testing::TempDir() + "orvex_report_fifo", E = "end of processing arguments ...\n";
  const std::string totals = R"({"totals":{"run":"commands","radios":0,"ok":0,"failed":0,"not_tried":0,"passes":1,)"
                             R"("complete":true}})" "\n";
  const struct { bool reader; std::string printed; std::optional<int> status; } cases[] = {
      {false, "------ Error: report file [" + fifo + "] is a pipe that nothing reads.\n", 2}, {true, E, {}}};
  for (const auto& c : cases) {
    std::filesystem::remove(fifo);
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    const int in = c.reader ? open(fifo.c_str(), O_RDONLY | O_NONBLOCK) : -1;
    Config options;
    std::string args[] = {"orvexterm", "--exit-status", "--report", fifo};
    char* argv[] = {args[0].data(), args[1].data(), args[2].data(), args[3].data()};
    ConsoleView console{options.console};
    FakePacketCapture capture;
    auto parsed = std::async(std::launch::async, [&] {
      return run([&](Termination& end) { parse_options(options, console, capture, files, end, 4, argv); });
    });
    if (parsed.wait_for(std::chrono::seconds(5)) == std::future_status::timeout) {
      ADD_FAILURE() << "waited for a reader";
      close(open(fifo.c_str(), O_RDONLY | O_NONBLOCK));  // lets the waiting open through
    }
    const Ran r = parsed.get();
    EXPECT_EQ(std::tuple(r.out, r.status), std::tuple(c.printed, c.status)) << c.reader;
    if (c.reader) {
      save_run_report(options, view, BatchKind::COMMAND_RUN, BatchResult{}, true);
      std::string got(4096, '\0');
      got.resize(static_cast<size_t>(std::max<ssize_t>(read(in, got.data(), got.size()), 0)));
      EXPECT_EQ(got, totals);
      close(in), close(options.report_pipe);
    }
  }
  std::filesystem::remove(fifo);
}

TEST_F(Text, ScriptLinesAndFilePrefixes) {
  auto delay = [](const char* secs) { return std::string("delaying for ") + secs + " secs...\n"; };
  struct Case { const char* line; ScriptLine result; std::string printed; uint64_t waited_ms; };
  const ScriptLine R = ScriptLine::FOR_RADIO, C = ScriptLine::CARRIED_OUT, X = ScriptLine::EXIT;
  const Case cases[] = {
      {"\n", R, "", 0}, {"# a comment\n", C, "", 0}, {" # not a comment\n", R, "", 0}, {"show\n", R, "", 0},
      {".delay 2.5\n", C, delay("2.500000"), 2500}, {".delay 0.0019\n", C, delay("0.001900"), 1},
      {".delay 0\n", C, "", 0}, {".delay\n", C, "", 0}, {".delay -1\n", R, "", 0}, {".delay 2s\n", R, "", 0},
      {".DELAY 1\n", R, "", 0}, {".delay\t1\n", R, "", 0}, {"delay 1\n", R, "", 0}, {".\n", R, "", 0},
      {".delay 1.2.3\n", C, delay("1.200000"), 1200}, {".delay 1\r\n", C, delay("1.000000"), 1000},
      {".delay 3 and a remark\n", C, delay("3.000000"), 3000},
      {".no exit.delay 1\n", C, delay("1.000000"), 1000},  // both words: a delay
      {".exit\n", X, "", 0}, {".please exit now", X, "", 0}, {"exit\n", R, "", 0},
  };
  for (const Case& c : cases) {
    FakeClock virtual_clock;
    SessionEvents events(virtual_clock);
    const ScriptLine result = run_script_line({view, events}, c.line);
    EXPECT_EQ(std::tuple(result, view.take_text(), virtual_clock.now_ms()), std::tuple(c.result, c.printed, c.waited_ms))
        << c.line;
  }
  // An input file's lines as the session reads them: script lines carried out, an exit line or a file that
  // cannot be opened ending the program; a batch run gets every line.
  const TempFile input("# note\nversion\n.exit\nlogout\n");
  struct Read { std::string file; int batch; std::vector<int> lengths; Failure failure; std::string printed; };
  const Read reads[] = {
      {input.path(), 0, {8}, Failure::LOCAL_EXIT, ""}, {input.path(), 1, {7, 8, 6, 7, 0}, Failure::NONE, ""},
      {"/no/in", 0, {}, Failure::FILE_NOT_READ, "Error: Unable to open input file [/no/in]\n\rPlease verify the file "
       "exist and it is not corrupted.\n\r"},
  };
  for (const Read& c : reads) {
    e.link.config.input_file_name = c.file, e.link.config.run_mode = c.batch ? RunMode::COMMAND_RUN : RunMode::INTERACTIVE;
    LineReader reader;
    uint8_t line[INPUT_LINE_BUFFER_SIZE];
    std::vector<int> lengths;
    LineRead read;
    while ((read = read_input_line({view, e.connection.events}, e.link.config, reader, line)).failure == Failure::NONE && lengths.size() < 6) {
      lengths.push_back(read.length);
      if (read.length == 0) break;
    }
    EXPECT_EQ(std::tuple(lengths, read.failure, view.take_text()), std::tuple(c.lengths, c.failure, c.printed))
        << c.file << " " << c.batch;
  }
  struct Prefix { std::string name; int result; std::string prefix, rest; };
  const Prefix prefixes[] = {
      {"tmp/fw", 0, "tmp", "fw"}, {"flash/fw", 0, "flash", "fw"}, {"tmp\\fw", 0, "tmp", "fw"}, {"fw", 0, "fw", "fw"},
      {"flash/dir/fw.bin", 0, "flash", "dir/fw.bin"}, {"tmp/", 0, "tmp", ""}, {"boot/fw", 1, "boot", ""},
      {"/fw", 1, "", ""}, {"TMP/fw", 1, "TMP", ""}, {"tmpx/fw", 1, "tmpx", ""},
      {"tmp/" + std::string(200, 'a'), 0, "tmp", std::string(124, 'a')},  // only 128 characters are looked at
  };
  for (const Prefix& c : prefixes) {
    char prefix[129] = {}, rest[129] = {};
    const int result = split_file_prefix(c.name.c_str(), prefix, rest);
    EXPECT_EQ(std::tuple(result, std::string(prefix), std::string(rest)), std::tuple(c.result, c.prefix, c.rest));
  }
}

TEST_F(Text, DeviceChoiceByPreselectionOrAnswer) {
  // The entry chosen (0: the program ended on the refusal), and whether the operator was asked.
  auto choose = [](std::vector<std::pair<std::string, uint32_t>> radios, const char* preselect, std::string typed) {
    reset_process_state();
    Config options;
    auto table = std::make_unique<SessionTable>();  // a fresh table for every choice
    int found = 0;
    for (int i = 1; const auto& [name, serial] : radios) {  // names and serial numbers from entry 1 on
      Session& s = (*table)[i++];
      s.mac = MacAddress{{0x02, 0x7A, 0x41, uint8_t(serial >> 16), uint8_t(serial >> 8), uint8_t(serial)}};
      s.state = SESSION_FOUND, found = i - 1;
      s.set_name(name.data(), name.size());
    }
    options.chosen_radio_given = preselect != nullptr;
    options.chosen_radio_text = preselect ? preselect : "";
    std::FILE* in = fmemopen(typed.data(), typed.size(), "r");
    DeviceChoice chosen;
    const std::string out = capture_stdout([&] { chosen = choose_device(*table, found, options, in); });
    std::fclose(in);
    EXPECT_EQ(out.find("out of valid range [1-") != std::string::npos, chosen.failure == Failure::INVALID_CHOICE);
    EXPECT_TRUE(chosen.failure != Failure::NONE || chosen.index >= 1) << typed << ": a choice names a radio";
    return std::pair(chosen.index, out.find("Please type the device ID>") != std::string::npos);
  };
  const std::string q64(64, 'q'), q63(63, 'q');
  const std::vector<std::pair<std::string, uint32_t>> four = {{"3", 65536}, {"beta", 11}, {"gamma", 2}, {q64, 42}};
  const std::pair<const char*, int> answers[] = {
      {"2\n", 3}, {"11", 2}, {"65536", 1}, {"4\n", 4}, {"beta\n", 2},  // serial number before node number
      {"  3  \n", 1}, {"02:7a:41:01:00:00\n", 1}, {"0\n", 0}, {"5\n", 0},  // a name before a number; an address
      {"-1\n", 0}, {"Beta\n", 0}, {"gam\n", 0}, {"02:7A:41:99:99:99\n", 0}, {"\n \n", 0}, {"", 0},
  };
  for (const auto& [typed, index] : answers) EXPECT_EQ(choose(four, nullptr, typed), std::pair(index, true)) << typed;
  const std::pair<const char*, int> preselections[] = {  // 0: not found, so the operator is asked (and answers beta)
      {"gamma", 3}, {"3", 1}, {"2", 3}, {"02:7A:41:00:00:0B", 2}, {q64.c_str(), 4}, {q63.c_str(), 0}, {"7", 0},
  };
  for (const auto& [preselect, index] : preselections) {
    EXPECT_EQ(choose(four, preselect, "beta\n"), std::pair(index == 0 ? 2 : index, index == 0)) << preselect;
  }
  EXPECT_EQ(choose({{"only", 11}}, "someone-else", ""), std::pair(1, false));  // one radio: taken without asking
  EXPECT_EQ(choose({{"a", 0}, {"b", 1}}, nullptr, "word\n").first, 0);  // a word is not serial number 0
}

TEST_F(Text, StationTextNeverDrivesTheTerminal) {
  // Control bytes as '?' in place (tab, CR and LF kept only where asked); code page 437 bytes left to the console.
  const std::tuple<std::string, LineBreaks, std::string> texts[] = {
      {"\x1b]0;t\x07\x1b[2J", LineBreaks::replaced, "?]0;t??[2J"},
      {"a\tb\r\n\x7f\x82", LineBreaks::replaced, "a?b???\x82"}, {"a\tb\r\n\x7f\x0e", LineBreaks::kept, "a\tb\r\n??"},
      {std::string("cut\0\x1b", 5), LineBreaks::replaced, "cut"},
  };
  const ConsoleKind utf8{.utf8 = true};
  for (const auto& [in, breaks, out] : texts) EXPECT_EQ(shown_text(in, utf8, breaks), out) << testing::PrintToString(in);
  // Without UTF-8 bytes go out as they are: 0x80..0x9F would be control codes to an 8-bit terminal.
  EXPECT_EQ(shown_text("\x9b" "2J\x82\xc4", ConsoleKind{}), "?2J?\xc4");
  // A table row: the name and firmware keep their columns, a code page 437 byte shown as its character.
  Session& s = e.sessions[1];
  const std::string name = "\x1b]0;t\x07\x1b[2J\x82";
  s.set_name(name.data(), name.size()), s.state = SESSION_FOUND;
  s.mac = MacAddress{{0x02, 0x7A, 0x41, 0x00, 0x2C, 0x11}};
  std::memcpy(s.firmware.data(), "\x1b[5mOR-2\x7f", 9);
  EXPECT_EQ(capture_stdout([&] { print_device_row(utf8, e.sessions[1], 1); }),
            "■ 001  ■ ?]0;t??[2Jé       ■ 02:7A:41:00:2C:11 ■ 11281 ■ ?[5mOR-2?       \n");
  // The closing report of a batch run lists the radio by that name.
  BatchResult run;
  run.taken_part = 1, run.radios.resize(1);
  run.radios[0].name = name, run.radios[0].serial_text = "11281", run.radios[0].outcome = OUTCOME_DONE;
  EXPECT_NE(format_batch_report(BatchKind::UPDATE_ALL, run, utf8).find("\n     ?]0;t??[2J\x82 11281\n"), std::string::npos);
  // orvex-scan's lines: control bytes (and the backslash that would make them ambiguous) as \xHH in CSV.
  struct Line { std::string name, firmware, csv_name, csv_firmware, json_name, json_firmware; };
  const Line lines[] = {
      {"a,\"b\"", "OR", "\"a,\"\"b\"\"\"", "OR", R"("a,\"b\"")", R"("OR")"},
      {"\x1b[2J\x07\\x", "\r\n\x7f\x82", "\\x1B[2J\\x07\\x5Cx", "\\x0D\\x0A\\x7Fé", R"("\u001b[2J\u0007\\x")",
       R"("\u000d\u000a\u007fé")"},
  };
  for (const Line& l : lines) {
    const scan::ScannedRadio radio{1, l.name, "M", "7", l.firmware, 2, -1};
    EXPECT_EQ(scan::csv_line(radio), "1," + l.csv_name + ",M,7," + l.csv_firmware + ",2,\n");
    EXPECT_EQ(scan::json_line(radio), "{\"node\":1,\"name\":" + l.json_name + ",\"mac\":\"M\",\"serial\":\"7\","
              "\"firmware\":" + l.json_firmware + ",\"level\":2,\"vlan\":null}\n");
  }
}

TEST_F(Text, KeysFromTerminalBytes) {
  const int F1 = KEY_F1, F2 = KEY_F2, F3 = KEY_F3, F4 = KEY_F4, F5 = KEY_F5, X = KEY_OTHER_FUNCTION;
  const std::pair<std::string, int> cases[] = {
      // Function keys: SS3, VT220/xterm and Linux console forms, every key of each.
      {"\x1bOP", F1}, {"\x1bOQ", F2}, {"\x1bOR", F3}, {"\x1bOS", F4}, {"\x1b[11~", F1}, {"\x1b[12~", F2},
      {"\x1b[13~", F3}, {"\x1b[14~", F4}, {"\x1b[15~", F5}, {"\x1b[17~", KEY_F6}, {"\x1b[[A", F1}, {"\x1b[[B", F2},
      {"\x1b[[C", F3}, {"\x1b[[D", F4}, {"\x1b[[E", F5}, {"\x1b[18~", X}, {"\x1b[1;2P", X}, {"\x1b[15;5~", X},
      {"\x1bO2P", X},
      // Cursor keys in normal (CSI) and application (SS3) mode alike.
      {"\x1b[A", 0x10}, {"\x1bOA", 0x10}, {"\x1b[B", 0x0E}, {"\x1bOB", 0x0E}, {"\x1b[C", 0x06}, {"\x1bOC", 0x06},
      {"\x1b[D", 0x02}, {"\x1bOD", 0x02}, {"\x1b[H", 0x01}, {"\x1bOH", 0x01}, {"\x1b[1~", 0x01}, {"\x1b[7~", 0x01},
      {"\x1b[F", 0x05}, {"\x1bOF", 0x05}, {"\x1b[4~", 0x05}, {"\x1b[8~", 0x05}, {"\x1b[3~", 0x04}, {"\x1b[2~", 0},
      {"\x1b[6~", 0}, {"\x1b[E", 0}, {"\x1b[1;2A", 0x10}, {"\x1b[1;5A", 0}, {"\x1b[1;3A", X}, {"\x1b[3;5~", 0},
      {"\x1bOM", '\r'}, {"\x1bOp", '0'}, {"\x1bOj", '*'},  // the application keypad gives its characters
      // Esc alone, Alt+key, sequences cut short or unknown, and plain bytes.
      {"\x1b", KEY_ESC}, {"\x1bx", X}, {"\x1b\x1b", X}, {"\x1b\x1b[A", X}, {"\x1b[", X}, {"\x1bO", X},
      {"\x1b[99z", X}, {"\x1bOz", X}, {"\x1b[1;2;3;4;5;6;7;8;9;10A", X}, {"\x03", 3}, {"a", 'a'}, {"\x7f", 0x08},
      {std::string(1, '\0'), 0}, {"\xe9", 0xE9},
  };
  // The keys that come out of the bytes, and out of the pause after them when a sequence was left open.
  auto decode = [](const std::string& bytes) {
    KeyDecoder d;
    std::vector<int> keys;
    for (char c : bytes) keys.push_back(decode_key_byte(d, static_cast<uint8_t>(c)));
    if (d.state != KeyDecoderState::GROUND) keys.push_back(decode_key_timeout(d));
    std::erase(keys, KEY_PENDING);
    return keys;
  };
  for (const auto& [bytes, key] : cases) {
    EXPECT_EQ(decode(bytes), std::vector<int>{key}) << testing::PrintToString(bytes);
  }
  EXPECT_EQ(decode("a\x1bOPb\x1b[3~"), (std::vector<int>{'a', F1, 'b', 0x04}));
}

TEST_F(Text, RadioOutputOnScreenAndInTheCaptureFile) {
  const std::string path = testing::TempDir() + "orvex_unit_capture.txt";
  e.link.config.output_file_name = path;
  ConsoleView terminal{{.terminal = true, .utf8 = true}}, log{{}};  // the radio's bytes as each shows them
  capture_stdout([&] { terminal.radio_output().open_capture_file(config); });
  auto shown = [](ConsoleView& console, const std::string& in) {
    return capture_stdout([&] { console.radio_bytes(std::span(reinterpret_cast<const uint8_t*>(in.data()), in.size())); });
  };
  const std::pair<std::string, std::string> steps[] = {
      {"ab\x1b[Jcd", "ab\x1b[Jcd"},                   // a sequence is ESC, [ and one byte
      {"\x1b[2J", "J"},                                // ESC [ 2 has no effect; the J is text
      {"\x1b[A\x1b[D\x1b[H", "\x1b[1A\x1b[1C\x1b[H"},  // up, right (the radio's D), top-left
      {"\x1b", ""}, {"[Jx", "\x1b[Jx"},                // split over two frames
      {"\x1bOPz", "z"},                                // other introducers take two bytes and show nothing
      {"\xC4", "\u2500"},                              // code page 437 on a UTF-8 terminal
  };
  for (const auto& [in, out] : steps) EXPECT_EQ(shown(terminal, in), out) << testing::PrintToString(in);
  terminal.radio_output().close_capture_file();
  std::ifstream file(path, std::ios::binary);
  EXPECT_EQ(std::string(std::istreambuf_iterator<char>(file), {}), "abcdJxz\xC4");  // sequences never captured
  std::remove(path.c_str());
  EXPECT_EQ(shown(log, "a\x1b[Jb"), "ab");  // no terminal: sequences show nothing
  e.link.config.output_file_name = "/no/such/dir/out.txt";
  Failure opened = Failure::NONE;
  EXPECT_EQ(capture_stdout([&] { opened = log.radio_output().open_capture_file(config); }), "------- Error: output file "
            "[/no/such/dir/out.txt] couldn't open successfully\n");
  EXPECT_EQ(opened, Failure::FILE_NOT_OPENED);
}

}  // namespace
}  // namespace orvex::test
