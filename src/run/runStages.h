// Every stage of a run, in the order kavrel-test calls them, gathered in one header for both programs.
//
//   1. library context and version  gpu/libraryContext.h   createLibraryContext, readLibraryVersion
//   2. test matrices                run/hostMatrices.h     fillTestMatrices (page-locked, then host/testMatrices.h)
//   3. host reference               host/referenceSgemm.h  referenceSgemm
//   4. device round trips           gpu/deviceRoundTrip.h  allocateDeviceMatrices, runRoundTrip and its steps;
//                                   gpu/deviceLoop.h       runDeviceLoop, kavrel-test's timed loop
//   5. check                        host/resultCheck.h     checkResult, relativeL2Error
//   6. release                      run/releaseResources.h releaseResources
//   failures                        run/reportFailure.h    reportFailure; the cause a stage keeps is in
//                                   common/status.h        StageResult, filled by gpu/libraryFailure.h
//
// kavrel-test's sequence is driver/runBenchmark.cpp. kavrel-bench's is bench/runBench.cpp, which runs, for every
// device on a thread of its own (bench/deviceRun.cpp): device selection and description (gpu/deviceInfo.h), stage
// 1, a check of the device's free memory, then, once bench/sharedReference.h has computed stage 3 for all devices,
// stage 2, the device matrices, the phase events (gpu/phaseEvents.h) and the warm-up, the timed loop of stage 4
// with every product checked (bench/productVerifier.h, stage 5), and stage 6. What the stages share lives in
// run/runState.h.
//
// kavrel-bench's resident workload (bench/residentRun.cpp) replaces stage 4 and most of stage 5 on the device:
//   4r. resident products           gpu/residentProducts.h allocateResidentMatrices, prepareResidentOperands,
//                                                          multiplyResident, the SGEMMs queued back to back
//   5r. check on the device         gpu/residentProducts.h compareResident, readResidentSums; the first product
//                                   host/resultCheck.h     against the host reference (relativeErrorThreshold)
//   6r. release                     gpu/residentProducts.h releaseResidentMatrices, destroyEvents
#pragma once

#include "gpu/deviceLoop.h"
#include "gpu/deviceRoundTrip.h"
#include "gpu/libraryContext.h"
#include "gpu/residentProducts.h"
#include "host/referenceSgemm.h"
#include "host/resultCheck.h"
#include "run/hostMatrices.h"
#include "run/releaseResources.h"
#include "run/reportFailure.h"
#include "run/runState.h"
