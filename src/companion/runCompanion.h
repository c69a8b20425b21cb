// The run sequence of kavrel-bench, from the command line to the exit status.
#pragma once

#include "companion/benchReport.h"

// Parses the options, selects and describes the device, creates the context, fills the test matrices, computes
// the host reference, runs the warm-up and the timed loop, checks the last product, releases everything and
// writes the report (table or JSON) to standard output; returns one of the kExit statuses. A failure writes its one
// message to standard error, after flushing standard output, and ends the run with nothing released and no report.
int runCompanion(int argc, char** argv);
