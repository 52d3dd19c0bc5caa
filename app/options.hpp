// The command line: one-letter options that fill the Config, load the
// radio list and check and confirm the batch requests.
#pragma once

#include "base/config.hpp"

namespace orvex {

// May end the program: -h, -u or -x without their argument, a missing input
// file, a refused batch request, an unreadable radio list.
void parse_options(Config& config, int argc, char** argv);

}  // namespace orvex
