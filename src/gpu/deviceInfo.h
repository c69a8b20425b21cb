// Selection of the CUDA device a run uses, and what it reports about itself.
#pragma once

#include <cstddef>

#include "common/status.h"

// Bytes of the device name, terminating null included, as the runtime's device properties hold it.
constexpr int kDeviceNameBytes = 256;

// Bytes of a device's UUID as text, "GPU-" and 36 characters of groups of hex digits, with its null.
constexpr int kDeviceUuidBytes = 41;

// Bytes of a PCI bus id as text, "0000:1B:00.0", with room to spare as the runtime asks.
constexpr int kPciBusIdBytes = 32;

// A device as the runtime describes it.
struct DeviceDescription {
    char name[kDeviceNameBytes];  // null-terminated
    int major;                    // compute capability
    int minor;
    int multiprocessors;            // streaming multiprocessors
    char uuid[kDeviceUuidBytes];    // "GPU-xxxxxxxx-xxxx-xxxx-xxxx-xxxxxxxxxxxx", as nvidia-smi writes it
    char pciBusId[kPciBusIdBytes];  // domain:bus:device.function
};

// Counts the devices the runtime sees into count; fails with "!!!! device query error\n".
StageResult countDevices(int* count);

// Reads the current device's free and total memory in bytes; fails with "!!!! device query error\n".
StageResult readDeviceMemory(std::size_t* freeBytes, std::size_t* totalBytes);

// Makes device (an index from 0) the calling thread's current device: counts the devices, fails with
// "!!!! device selection error (no such device)\n" when the index is not below the count, then selects it.
StageResult selectDevice(int device);

// Reads the name, compute capability, UUID and PCI bus id of device into description.
StageResult describeDevice(int device, DeviceDescription* description);
