// The form of kavrel-bench's report that Prometheus scrapes through node_exporter's textfile collector: the text
// exposition format, and the atomic write of its file.
#pragma once

#include <iosfwd>
#include <string>

#include "bench/benchReport.h"

namespace bench {

// Writes the report to out in Prometheus's text exposition format (version 0.0.4): each metric family that has a
// sample, with its "# HELP" and "# TYPE" lines, then all its samples. Node families carry the label node; device
// families node, index, uuid and name (empty for a device that could not be described). Label values are valid
// UTF-8 (other bytes become U+FFFD) with backslash, double quote and line break escaped. Units are Prometheus's base
// units (seconds, bytes, hertz, watts, degrees Celsius, FLOP). A figure that does not exist (a device in error has no
// rate, a reading NVML did not give) or is not finite has no sample. exitStatus is the status the run ends with. The
// README section "The Prometheus file" lists every family.
void writePrometheus(const BenchReport& report, int exitStatus, std::ostream& out);

// Writes that text to path with replaceFileAtomically, so that the collector reads the previous run's figures or this
// one's, never a part. True when written; otherwise false, with *problem set to the step that failed and why.
bool writePrometheusFile(const BenchReport& report, int exitStatus, const std::string& path, std::string* problem);

// The line kavrel-bench writes to standard error when the file could not be written:
// "!!!! prometheus file write error: <path>: <problem>\n".
std::string prometheusFailureLine(const std::string& path, const std::string& problem);

}  // namespace bench
