// The start-up banner and the help screen (-h and F1).
#pragma once

#include <cstdint>
#include <string>

#include "base/clock.hpp"
#include "base/config.hpp"
#include "base/failure.hpp"

namespace orvex {

// The revision tag the release process fills in; a short or empty tag marks an
// engineering build.
inline constexpr const char* REVISION_TAG = "$Name: ORVEX_03-05 $";

// What the banner shows and announces, worked out from a revision tag.
struct BannerInfo {
  std::string version_text;  // at most 16 characters; carried by identify responses
  std::string title;         // the console window's title
  std::string version_cell;  // the version shown in the box
};

BannerInfo banner_info(const char* tag, const char* build_date, const char* build_time);

// The banner box as CP437 bytes, for a given version cell.
std::string banner_text(const std::string& version_cell);

// The help box as CP437 bytes.
std::string help_text();

// "PROGRAM VERSION (build DATE TIME)" and a line feed, for --version.
std::string version_line(const char* program);

// One line naming the options, shown when an option is refused.
const char* usage_line();

// Prints the banner, sets the window title and fixes version_text and
// program_start_time.
void print_banner(Config& config, Clock& clock);

// Prints the help screen (F1).
void print_help(const Config& config);

// F2: diagnostics on (one level up) when they are off, else one level down,
// and says which.
void toggle_diagnostics(Config& config);

}  // namespace orvex
