// The run sequence of kavrel-bench, from the command line to the exit status.
#pragma once

namespace bench {

// How a run ended: its exit status, and whether it left a device thread behind, stuck in a library call.
struct BenchRun {
    int status;
    bool leftThreadsBehind;  // then the caller ends the process without waiting for that thread (see benchMain.cpp)
};

// Parses the options; resolves the devices (every one the runtime sees, or those listed) and compares their count
// with --expect-devices; starts one thread per device, which selects and describes it, creates its context and
// checks that the matrices fit; computes the host reference once every device is prepared; lets the devices fill
// their test data, allocate and warm up, then starts their timed loops together, every product verified; and
// writes the report (table or JSON) to standard output, each device's failure to standard error. Meanwhile the
// calling thread watches every device: one stuck in a library call past its stall limit is reported in error and
// left behind, and an interruption (interruptSignal) makes every device stop after its round trip under way, the
// report covering what was done. Returns one of the statuses of bench/exitStatus.h. A failure before any device
// could run (no devices, every device failed, no host memory for the reference) writes its message to standard
// error, after flushing standard output, and no report. Last, with --prometheus, the run's figures replace the
// Prometheus file whatever the status (a run that failed before any device ran writes the node's figures alone); a
// usage error writes none.
BenchRun runBench(int argc, char** argv);

}  // namespace bench
