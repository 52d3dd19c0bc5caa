#include "ui/help.hpp"

#include <cstdio>
#include <cstring>

#include "base/clock.hpp"
#include "console/console.hpp"
#include "console/cp437.hpp"

namespace orvex {

namespace {

// Code page 437 line characters.
constexpr char TOP_LEFT = '\xC9';
constexpr char TOP_RIGHT = '\xBB';
constexpr char BOTTOM_LEFT = '\xC8';
constexpr char BOTTOM_RIGHT = '\xBC';
constexpr char VERTICAL = '\xBA';
constexpr char HORIZONTAL = '\xCD';
constexpr char TEE_DOWN = '\xCB';
constexpr char TEE_UP = '\xCA';
constexpr char RULE_LEFT = '\xC7';
constexpr char RULE_RIGHT = '\xB6';
constexpr char THIN_HORIZONTAL = '\xC4';

constexpr size_t BANNER_CELL_WIDTH = 36;
constexpr size_t BANNER_VERSION_WIDTH = 20;
constexpr size_t HELP_WIDTH = 72;
constexpr size_t VERSION_TEXT_SIZE = 16;

constexpr const char* NOTICE_LINE = " (c) Orvex Radio Works, 2007-2026";
constexpr const char* WEB_ADDRESS = "  https://orvexterm.example/";


std::string padded(std::string text, size_t width) {
  if (text.size() < width) text.append(width - text.size(), ' ');
  return text;
}

const char* const FUNCTION_KEY_ROWS[] = {
    " Function keys:",
    " F1 - Help screen",
    " F2 - Active/deactivate diagnostic messages",
    " F3 - Terminate active session and exit application",
    " F4 - Start new session",
    " F5 - Reverse screen colors",
};

const char* const COMMAND_LINE_ROWS[] = {
    " Command line arguments:",
    "  -o filename  Specify Output File: the output to the screen is also",
    "               saved into the specified output file.If the file already",
    "               exists it is overwritten.",
    "               Example: >orvex -o outfile.txt",
    "",
    "  -i filename  Specify Input File: the input commands are read from the",
    "               specified file instead of the keyboard.The last command",
    "               in the file should be 'logout'.",
    "               Example: > orvex -i infile.txt",
    "",
    "  -r MAC-addr  Establish a connection to the radio with the specified",
    "               MAC address only, instead of performing  a discovery",
    "               operation.",
    "               Example: >orvex -r 02:7a:42:00:00:06",
    "",
    "  -r serial#   Establish a connection to the radio with the specified",
    "               serial number only, instead of performing a discovery",
    "               operation. Example: >orvex -r 11282",
    "",
    "  -l lines     Sets the number of lines of the MS-DOS console. Not all",
    "               values are permitted.",
    "               Example: >orvex -l 50",
    "",
    "  -b           Changes the default background, from grey on black to",
    "               black on white.",
    "               Example: >orvex -b",
    "",
    "  -h           Prints the help screen",
    "",
    "               Multiple arguments can be combined in any order.",
    "               The input and output files are plain text files.",
    "               The .txt extension is recommended but not required.",
};

void append_help_row(std::string& out, const char* text) {
  out += VERTICAL;
  out += padded(text, HELP_WIDTH);
  out += VERTICAL;
  out += '\n';
}

}  // namespace

BannerInfo banner_info(const char* tag, const char* build_date, const char* build_time) {
  BannerInfo info;
  size_t tag_length = std::strlen(tag);
  if (tag_length < 10) {
    info.title = std::string("OrvexTerm engineering build of ") + build_date + " " + build_time;
    info.version_text = "ORVEX engr bld";
    info.version_cell = std::string(build_date) + " " + build_time;
    return info;
  }
  // The revision is what follows "$Name: ", up to the closing "$", with "_"
  // read as a space and "-" as a full stop.
  std::string revision;
  for (size_t i = 7; i < tag_length && tag[i] != '$'; ++i) {
    char c = tag[i];
    if (i >= 8 && c == '_') c = ' ';
    if (i >= 8 && c == '-') c = '.';
    revision += c;
  }
  info.version_text = revision.substr(0, VERSION_TEXT_SIZE);
  info.title = "OrvexTerm rev " + info.version_text;
  info.version_cell = revision;
  return info;
}

std::string banner_text(const std::string& version_cell) {
  const std::string rule(BANNER_CELL_WIDTH, HORIZONTAL);
  std::string out = "\n\n";
  out += TOP_LEFT + rule + TEE_DOWN + rule + TOP_RIGHT + "\n";
  std::string version = padded(version_cell.substr(0, BANNER_VERSION_WIDTH), BANNER_VERSION_WIDTH);
  out += VERTICAL + padded(" Orvexterm " + version, BANNER_CELL_WIDTH) + VERTICAL +
         std::string(BANNER_CELL_WIDTH, ' ') + VERTICAL + "\n";
  out += VERTICAL + padded(NOTICE_LINE, BANNER_CELL_WIDTH) + VERTICAL +
         padded("  For updates & fixes visit:", BANNER_CELL_WIDTH) + VERTICAL + "\n";
  out += VERTICAL + padded(" Ethernet Console Program", BANNER_CELL_WIDTH) + VERTICAL +
         padded(WEB_ADDRESS, BANNER_CELL_WIDTH) + VERTICAL + "\n";
  out += BOTTOM_LEFT + rule + TEE_UP + rule + BOTTOM_RIGHT + "\n";
  return out;
}

std::string help_text() {
  std::string out = "\n\n";
  out += TOP_LEFT + std::string(HELP_WIDTH, HORIZONTAL) + TOP_RIGHT + "\n";
  for (const char* row : FUNCTION_KEY_ROWS) append_help_row(out, row);
  out += RULE_LEFT + std::string(HELP_WIDTH, THIN_HORIZONTAL) + RULE_RIGHT + "\n";
  for (const char* row : COMMAND_LINE_ROWS) append_help_row(out, row);
  out += BOTTOM_LEFT + std::string(HELP_WIDTH, HORIZONTAL) + BOTTOM_RIGHT + "\n\n";
  return out;
}

std::string version_line(const char* program) {
  std::string version = banner_info(REVISION_TAG, __DATE__, __TIME__).version_text;
  while (!version.empty() && version.back() == ' ') version.pop_back();  // the tag's space before "$"
  return std::string(program) + " " + version + " (build " + __DATE__ + " " + __TIME__ + ")\n";
}

const char* usage_line() {
  return "Usage: orvexterm [-b] [-c adapter] [-d]... [-f] [-h] [-i file] [-l lines] [-m MAC] [-n listfile]\n"
         "       [-o file] [-r MAC|serial] [-v vlan] [-u src#dst#action#passes#interval]\n"
         "       [-x cmdfile#passes#interval] [-P N|--parallel N] [--dry-run] [--report FILE]\n"
         "       [--exit-status] [--help] [--version]\n"
         "       orvexterm -D | --list-adapters\n";
}

void print_banner(Config& config, Clock& clock) {
  BannerInfo info = banner_info(REVISION_TAG, __DATE__, __TIME__);
  config.version_text = info.version_text;
  config.program_start_time = clock.wall_seconds();
  set_console_title(config.console, info.title.c_str());
  const std::string box = banner_text(info.version_cell);
  console_write(config.console, box.data(), box.size());
  std::fflush(stdout);
}

void print_help(const Config& config) {
  const std::string box = help_text();
  console_write(config.console, box.data(), box.size());
  std::fflush(stdout);
}

void toggle_diagnostics(Config& config) {
  SharedField<int>& level = config.diagnostic_level;
  if (level.load() != 0) {
    std::printf("[Show Diagnostic Messages = OFF]\n");
    level.store(level.load() - 1);  // one step down, not to zero
  } else {
    std::printf("[Show Diagnostic Messages = ON]\n");
    level.store(level.load() + 1);
  }
  std::fflush(stdout);
}


}  // namespace orvex
