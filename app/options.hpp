// The command line: one-letter options that fill the ProgramOptions, load the
// radio list and check and confirm the batch requests.
#pragma once

namespace orvex {

// May end the program: -h, -u or -x without their argument, a missing input
// file, a refused batch request, an unreadable radio list.
void parse_options(int argc, char** argv);

}  // namespace orvex
