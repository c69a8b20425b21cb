// The host stand-in's call counts and planned faults, the reading of its environment at start-up and its figures.
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
constexpr const char* kStatsVariable = "KAVREL_EMULATED_STATS";

// Indexed by EmulatedOperation, from the same list.
#define KAVREL_EMULATED_NAME(name) #name,
constexpr const char* kOperationNames[] = {KAVREL_EMULATED_OPERATIONS(KAVREL_EMULATED_NAME)};
#undef KAVREL_EMULATED_NAME

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
    long value = 0;
    for (const char character : digits) {
        const int digit = character - '0';
        if (digit < 0 || digit > 9 || value > (LONG_MAX - digit) / 10) {
            return false;
        }
        value = value * 10 + digit;
    }
    *count = value;
    return value > 0;
}

// One OPERATION:N item; false when it is anything else.
bool parseItem(const std::string& item, EmulatedFault* fault) {
    const std::size_t colon = item.find(':');
    const std::string name = item.substr(0, colon);
    EmulatedFault parsed{name == kCorruptionName, EmulatedOperation::cublasSgemm_v2, 0};
    if (!parsed.corruption) {
        parsed.operation = EmulatedOperation::count;
        for (int index = 0; index < kOperationCount; ++index) {
            if (name == kOperationNames[index]) {
                parsed.operation = static_cast<EmulatedOperation>(index);
            }
        }
    }
    if (colon == std::string::npos || parsed.operation == EmulatedOperation::count ||
        !parseCount(item.substr(colon + 1), &parsed.callNumber)) {
        return false;
    }
    *fault = parsed;
    return true;
}

// The environment variable's value, or false when it is not set.
bool readVariable(const char* name, std::string* value) {
#if defined(_MSC_VER)
    char* buffer = nullptr;
    std::size_t length = 0;
    const bool set = _dupenv_s(&buffer, &length, name) == 0 && buffer != nullptr;
    if (set) {
        *value = buffer;
    }
    std::free(buffer);
    return set;
#else
    const char* text = std::getenv(name);
    if (text != nullptr) {
        *value = text;
    }
    return text != nullptr;
#endif
}

// The file KAVREL_EMULATED_STATS named at start-up; never destroyed, as it is read at exit.
std::string& statsPath() {
    static auto* path = new std::string;
    return *path;
}

// Plans the faults KAVREL_EMULATED_FAULTS names, and has the figures written at exit to the file
// KAVREL_EMULATED_STATS names. On a malformed fault list writes one line to standard error and ends the process
// with status 2, before the program's main has printed anything.
bool readEnvironment() {
    std::string value;
    if (readVariable(kFaultsVariable, &value)) {
        const EmulatedFaultList list = emulatedParseFaults(value.c_str());
        if (!list.valid) {
            std::fprintf(stderr, "%s\n", emulatedBadFaultsMessage(list.badItem).c_str());
            std::fflush(stderr);
            std::exit(2);
        }
        for (const EmulatedFault& fault : list.faults) {
            fault.corruption ? emulatedInjectCorruption(fault.callNumber)
                             : emulatedInjectFault(fault.operation, fault.callNumber);
        }
    }
    // Constructs the lock before the handler is registered, so that it outlives the handler at exit.
    emulatedMutex();
    if (readVariable(kStatsVariable, &statsPath()) && !statsPath().empty()) {
        std::atexit([] { emulatedWriteStats(statsPath().c_str()); });
    }
    return true;
}

// Initialised before main, and linked into every program that calls an operation, as they all count calls here.
[[maybe_unused]] const bool environmentRead = readEnvironment();

}  // namespace

std::mutex& emulatedMutex() {
    static std::mutex mutex;
    return mutex;
}

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
    if (text == nullptr || *text == '\0') {
        return list;
    }
    // With a comma after the last item, every item ends at a comma.
    const std::string all = std::string(text) + ',';
    for (std::size_t start = 0, comma = all.find(','); comma != std::string::npos;
         start = comma + 1, comma = all.find(',', start)) {
        const std::string item = all.substr(start, comma - start);
        EmulatedFault fault{};
        if (!parseItem(item, &fault)) {
            return EmulatedFaultList{false, item, {}};
        }
        list.faults.push_back(fault);
    }
    return list;
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
        message += std::string(kOperationNames[index]) + ", ";
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

const char* emulatedOperationName(EmulatedOperation operation) {
    const int index = static_cast<int>(operation);
    return index >= 0 && index < kOperationCount ? kOperationNames[index] : nullptr;
}

bool emulatedWriteStats(const char* path) {
    std::FILE* file = std::fopen(path, "w");
    if (file == nullptr) {
        return false;
    }
    std::fprintf(file, "computed_products %ld\n", emulatedComputedProducts());
    for (int index = 0; index < kOperationCount; ++index) {
        std::fprintf(file, "%s %ld\n", kOperationNames[index],
                     emulatedCallCount(static_cast<EmulatedOperation>(index)));
    }
    const bool written = std::ferror(file) == 0;
    return std::fclose(file) == 0 && written;
}
