// The run report file (--report): the report of an update or command run as
// JSON lines, rewritten after every radio's try so that a run that ends early,
// however it ends, leaves the report of what it did.
#pragma once

#include <string>

#include "base/config.hpp"
#include "base/view.hpp"
#include "batch/batch_report.hpp"

namespace orvex {

enum class ReportOpening { WRITABLE, NOT_WRITABLE, PIPE_WITHOUT_READER };

// Checks, before any radio is contacted, that the report can be written, and
// creates the file if it is missing. A pipe is opened without waiting for a
// reader and kept open in config.report_pipe for the run's reports.
ReportOpening open_report_file(Config& config);

// Replaces the file named by the configuration (nothing when none is named)
// with the report lines; a reader never sees half a report. A report that
// cannot be written is said through `view`.
void save_run_report(const Config& config, View& view, BatchKind kind, const BatchResult& result, bool complete);

}  // namespace orvex
