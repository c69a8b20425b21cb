// Release of everything a complete run acquired, in its fixed order.
#pragma once

#include "common/status.h"
#include "run/runState.h"

// Frees devA, devB, devC, destroys the context, then frees hostA, hostB, hostC and hostRef.
// The first failing device free or the context's destruction ends the stage with its
// message, and nothing after it is released. The host frees' statuses are not examined.
StageResult releaseResources(RunState* state);
