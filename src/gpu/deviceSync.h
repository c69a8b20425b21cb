// Waiting for the device to finish everything it was given.
#pragma once

#include "common/status.h"

// Blocks until the current device has completed all work issued so far; fails with
// "!!!! device synchronisation error\n".
StageResult synchronizeDevice();
