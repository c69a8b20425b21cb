// Every stage of a run, in the order kavrel-test calls them, gathered in one header for both programs.
//
//   1. library context and version  gpu/libraryContext.h   createLibraryContext, readLibraryVersion
//   2. test matrices                run/hostMatrices.h     fillTestMatrices (page-locked, then host/testMatrices.h)
//   3. host reference               host/referenceSgemm.h  referenceSgemm
//   4. device round trips           gpu/deviceRoundTrip.h  allocateDeviceMatrices, runRoundTrip and its steps;
//                                   gpu/deviceLoop.h       runDeviceLoop, kavrel-test's timed loop
//   5. check                        host/resultCheck.h     checkResult, relativeL2Error
//   6. release                      run/releaseResources.h releaseResources
//   failures                        run/reportFailure.h    reportFailure
//
// What the stages share lives in run/runState.h. kavrel-test's sequence is driver/runBenchmark.cpp;
// kavrel-bench's is companion/runCompanion.cpp.
#pragma once

#include "gpu/deviceLoop.h"
#include "gpu/deviceRoundTrip.h"
#include "gpu/libraryContext.h"
#include "host/referenceSgemm.h"
#include "host/resultCheck.h"
#include "run/hostMatrices.h"
#include "run/releaseResources.h"
#include "run/reportFailure.h"
#include "run/runState.h"
