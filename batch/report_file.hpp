// The run report file (--report): the report of an update or command run as
// JSON lines, rewritten after every radio's try so that a run that ends early,
// however it ends, leaves the report of what it did.
#pragma once

#include <string>

#include "base/config.hpp"
#include "batch/batch_report.hpp"

namespace orvex {

// Creates the file if it is missing: false when it cannot be written.
bool report_file_writable(const std::string& path);

// Replaces the file named by the configuration (nothing when none is named)
// with the report lines; a reader never sees half a report.
void save_run_report(const Config& config, BatchKind kind, const BatchResult& result, bool complete);

}  // namespace orvex
