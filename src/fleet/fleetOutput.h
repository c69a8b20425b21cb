// The three forms of the fleet report: the table, the JSON document and the list of problems.
#pragma once

#include <string>

#include "fleet/fleetAnalysis.h"

// The version of the fleet JSON document's layout (its "schema" field).
constexpr int kFleetReportSchema = 1;

// The table: one row per GPU (node, index, name, UUID, status, mismatches, rates, distance from the median of
// its peers, and a note for outliers and errors), one row per GPU name with the centre it was compared with,
// a totals line and the verdict line "Verdict  PASSED" or "Verdict  FAILED". Ends with a line break.
std::string fleetTable(const Fleet& fleet);

// One JSON document (ending with a line break) holding the settings, every GPU with its comparisons, every GPU
// name's centre and the totals; its layout is described in the README under "Fleets".
std::string fleetJson(const Fleet& fleet);

// One line per problem, "<node> GPU <index> <uuid, or name when there is none> <what>", what being "failed",
// "error: <message>" (or "error"), or "slow: ..." / "slow SGEMM: ..." for an outlier; nothing for a healthy
// fleet. A GPU with several problems has several lines.
std::string fleetProblems(const Fleet& fleet);
