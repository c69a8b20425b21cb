// Selection of the CUDA device a run uses, and what it reports about itself.
#pragma once

#include <cstddef>

#include "common/status.h"

// Bytes of the device name, terminating null included, as the runtime's device properties hold it.
constexpr int kDeviceNameBytes = 256;

// A device as the runtime describes it.
struct DeviceDescription {
    char name[kDeviceNameBytes];  // null-terminated
    int major;                    // compute capability
    int minor;
};

// Counts the devices the runtime sees into count; fails with "!!!! device query error\n".
StageResult countDevices(int* count);

// Reads the current device's free and total memory in bytes; fails with "!!!! device query error\n".
StageResult readDeviceMemory(std::size_t* freeBytes, std::size_t* totalBytes);

// Makes device (an index from 0) the calling thread's current device: counts the devices, fails with
// "!!!! device selection error (no such device)\n" when the index is not below the count, then selects it.
StageResult selectDevice(int device);

// Reads the name and compute capability of device into description.
StageResult describeDevice(int device, DeviceDescription* description);
