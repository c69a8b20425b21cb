// Writing kavrel-bench's report so that a failed write is noticed instead of passing for a complete report.
#pragma once

#include <cstdio>
#include <string>

namespace bench {

// Writes every byte of text to stream, then flushes it. Returns false when any byte could not be written, the
// flush failed (a full disk, /dev/full, a pipe whose reader has gone, a stream not open for writing) or the stream
// already carried the error of an earlier write, so that a report missing its start is not taken for whole; true
// otherwise. A write to a pipe without a reader raises SIGPIPE, which ends the process unless it is ignored.
bool writeReport(std::FILE* stream, const std::string& text);

}  // namespace bench
