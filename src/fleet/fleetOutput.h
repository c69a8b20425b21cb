// The three forms of the fleet report: the table, the JSON document and the list of problems.
#pragma once

#include <string>

#include "fleet/fleetAnalysis.h"

namespace fleet {

// The version of the fleet JSON document's layout (its "schema" field).
constexpr int kFleetReportSchema = 2;

// The table: one row per GPU (node, index, name, UUID, status, wrong products, rates, distance from the median of
// its peers, and a note for outliers and errors), one row per GPU name with the centre it was compared with, the
// nodes' problems and the warnings, a totals line and the verdict line "Verdict  PASSED" or "Verdict  FAILED". Text
// taken from the reports is shown with its control characters escaped (printableText). Ends with a line break.
std::string fleetTable(const Fleet& fleet);

// One JSON document (ending with a line break) holding the settings, every GPU with its comparisons, every GPU
// name's centre and the totals; its layout is described in the README under "Fleets".
std::string fleetJson(const Fleet& fleet);

// One line per problem, "<node> GPU <index> <uuid, or name when there is none> <what>", what being "failed",
// "error: <message>" (or "error"), "slow: ..." / "slow SGEMM: ..." for an outlier, or a health problem ("xid 79",
// "PCIe link 3x8 under load, maximum 5x16", "below expectation: ..."), then "<node> <what>" for a
// node's own problems ("no report", "missing GPUs: ...", "interrupted by SIGTERM"); nothing for a healthy fleet. A
// GPU with several problems has several lines. Text from the reports has its control characters escaped.
std::string fleetProblems(const Fleet& fleet);

// text with every control character (bytes below 0x20, and 0x7F) written as \r, \n, \t or \xHH, so that a name
// from a report can neither split a line nor write over one; other bytes are kept.
std::string printableText(const std::string& text);

}  // namespace fleet
