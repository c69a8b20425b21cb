// The host stand-in's call counts and planned faults, and the reading of KAVREL_EMULATED_FAULTS at start-up.
#include <algorithm>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "gpu/emulated/emulatedInternal.h"

namespace {

constexpr int kOperationCount = static_cast<int>(EmulatedOperation::count);
constexpr const char* kFaultsVariable = "KAVREL_EMULATED_FAULTS";
constexpr const char* kCorruptionName = "corrupt";

// Indexed by EmulatedOperation.
constexpr const char* kOperationNames[kOperationCount] = {
    "cublasCreate_v2",
    "cublasGetVersion_v2",
    "cublasDestroy_v2",
    "cublasSetMatrix",
    "cublasGetMatrix",
    "cublasSgemm_v2",
    "cudaHostAlloc",
    "cudaFreeHost",
    "cudaMalloc",
    "cudaFree",
    "cudaGetDeviceCount",
    "cudaSetDevice",
    "cudaGetDeviceProperties",
    "cudaDeviceSynchronize",
};

// Calls so far, and the call numbers planned to fail or corrupt, by operation.
long callCounts[kOperationCount] = {};
std::vector<long> plannedFailures[kOperationCount];
std::vector<long> plannedCorruptions;

// Whether the call number is among the planned ones.
bool planned(const std::vector<long>& callNumbers, long callNumber) {
    return std::find(callNumbers.begin(), callNumbers.end(), callNumber) != callNumbers.end();
}

// A positive decimal count of digits only that fits in a long.
bool parseCount(const std::string& digits, long* count) {
    if (digits.empty()) {
        return false;
    }
    long value = 0;
    for (const char character : digits) {
        if (character < '0' || character > '9') {
            return false;
        }
        const int digit = character - '0';
        if (value > (LONG_MAX - digit) / 10) {
            return false;
        }
        value = value * 10 + digit;
    }
    if (value == 0) {
        return false;
    }
    *count = value;
    return true;
}

// One OPERATION:N item; false when it is anything else.
bool parseItem(const std::string& item, EmulatedFault* fault) {
    const std::size_t colon = item.find(':');
    if (colon == std::string::npos) {
        return false;
    }
    const std::string name = item.substr(0, colon);
    EmulatedFault parsed{false, EmulatedOperation::count, 0};
    if (name == kCorruptionName) {
        parsed.corruption = true;
        parsed.operation = EmulatedOperation::cublasSgemm_v2;
    } else {
        for (int index = 0; index < kOperationCount; ++index) {
            if (name == kOperationNames[index]) {
                parsed.operation = static_cast<EmulatedOperation>(index);
            }
        }
        if (parsed.operation == EmulatedOperation::count) {
            return false;
        }
    }
    if (!parseCount(item.substr(colon + 1), &parsed.callNumber)) {
        return false;
    }
    *fault = parsed;
    return true;
}

// The variable's value, or false when it is not set.
bool readFaultsVariable(std::string* value) {
#if defined(_MSC_VER)
    char* buffer = nullptr;
    std::size_t length = 0;
    if (_dupenv_s(&buffer, &length, kFaultsVariable) != 0 || buffer == nullptr) {
        return false;
    }
    *value = buffer;
    std::free(buffer);
    return true;
#else
    const char* text = std::getenv(kFaultsVariable);
    if (text == nullptr) {
        return false;
    }
    *value = text;
    return true;
#endif
}

// Plans the faults KAVREL_EMULATED_FAULTS names; on a malformed value writes one line to standard error and
// ends the process with status 2, before the program's main has printed anything.
bool planFaultsFromEnvironment() {
    std::string value;
    if (!readFaultsVariable(&value)) {
        return false;
    }
    const EmulatedFaultList list = emulatedParseFaults(value.c_str());
    if (!list.valid) {
        std::fprintf(stderr, "%s\n", emulatedBadFaultsMessage(list.badItem).c_str());
        std::fflush(stderr);
        std::exit(2);
    }
    for (const EmulatedFault& fault : list.faults) {
        if (fault.corruption) {
            emulatedInjectCorruption(fault.callNumber);
        } else {
            emulatedInjectFault(fault.operation, fault.callNumber);
        }
    }
    return true;
}

// Initialised before main, and linked into every program that calls an operation, as they all count calls here.
[[maybe_unused]] const bool faultsPlannedFromEnvironment = planFaultsFromEnvironment();

}  // namespace

CallPlan takeCall(EmulatedOperation operation) {
    const int index = static_cast<int>(operation);
    const long callNumber = ++callCounts[index];
    CallPlan plan{planned(plannedFailures[index], callNumber), false};
    if (operation == EmulatedOperation::cublasSgemm_v2) {
        plan.corrupts = planned(plannedCorruptions, callNumber);
    }
    return plan;
}

EmulatedFaultList emulatedParseFaults(const char* text) {
    EmulatedFaultList list{true, std::string(), {}};
    const std::string all = text == nullptr ? std::string() : std::string(text);
    if (all.empty()) {
        return list;
    }
    std::size_t start = 0;
    for (;;) {
        const std::size_t comma = all.find(',', start);
        const std::string item = all.substr(start, comma == std::string::npos ? std::string::npos : comma - start);
        EmulatedFault fault{};
        if (!parseItem(item, &fault)) {
            return EmulatedFaultList{false, item, {}};
        }
        list.faults.push_back(fault);
        if (comma == std::string::npos) {
            return list;
        }
        start = comma + 1;
    }
}

std::string emulatedBadFaultsMessage(const std::string& badItem) {
    // Unprintable bytes are written as \xHH so that the message stays one readable line.
    std::string shown;
    for (const char character : badItem) {
        const unsigned char byte = static_cast<unsigned char>(character);
        if (byte < 0x20 || byte > 0x7E) {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\x%02X", static_cast<unsigned>(byte));
            shown += escaped;
        } else {
            shown += character;
        }
    }
    std::string message =
        std::string(kFaultsVariable) + ": bad item \"" + shown + "\" (expected OPERATION:N, OPERATION one of ";
    for (int index = 0; index < kOperationCount; ++index) {
        message += kOperationNames[index];
        message += ", ";
    }
    message += std::string("or ") + kCorruptionName + ", N a positive count)";
    return message;
}

void emulatedInjectFault(EmulatedOperation operation, long callNumber) {
    std::lock_guard<std::mutex> lock(emulatedMutex());
    const int index = static_cast<int>(operation);
    if (index >= 0 && index < kOperationCount) {
        plannedFailures[index].push_back(callNumber);
    }
}

void emulatedInjectCorruption(long sgemmCallNumber) {
    std::lock_guard<std::mutex> lock(emulatedMutex());
    plannedCorruptions.push_back(sgemmCallNumber);
}

void emulatedResetFaults() {
    std::lock_guard<std::mutex> lock(emulatedMutex());
    for (int index = 0; index < kOperationCount; ++index) {
        callCounts[index] = 0;
        plannedFailures[index].clear();
    }
    plannedCorruptions.clear();
}

long emulatedCallCount(EmulatedOperation operation) {
    std::lock_guard<std::mutex> lock(emulatedMutex());
    const int index = static_cast<int>(operation);
    return index >= 0 && index < kOperationCount ? callCounts[index] : 0;
}
