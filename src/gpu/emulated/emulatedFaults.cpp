// The host stand-in's call counts and planned faults per device, the reading of its environment at start-up and its
// figures.
#include <algorithm>
#include <chrono>
#include <climits>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "common/decimalText.h"
#include "gpu/emulated/emulatedInternal.h"

namespace {

constexpr const char* kFaultsVariable = "KAVREL_EMULATED_FAULTS";
constexpr const char* kDevicesVariable = "KAVREL_EMULATED_DEVICES";
constexpr const char* kSlowdownVariable = "KAVREL_EMULATED_SLOWDOWN";
constexpr const char* kCorruptionName = "corrupt";
constexpr const char* kHangName = "hang";
constexpr const char* kStatsVariable = "KAVREL_EMULATED_STATS";
constexpr const char* kNodeVariable = "KAVREL_EMULATED_NODE";

// Indexed by EmulatedOperation, from the same list.
#define KAVREL_EMULATED_NAME(name) #name,
constexpr const char* kOperationNames[] = {KAVREL_EMULATED_OPERATIONS(KAVREL_EMULATED_NAME)};
#undef KAVREL_EMULATED_NAME

// Whether the call number is among the planned ones.
bool planned(const std::vector<long>& callNumbers, long callNumber) {
    return std::find(callNumbers.begin(), callNumbers.end(), callNumber) != callNumbers.end();
}

// Whether the index names a device the stand-in can hold state for.
bool deviceIndexInRange(int device) {
    return device >= 0 && device < kEmulatedMaxDevices;
}

// A decimal number of digits only, at least one, that is at most limit (0 or more).
bool parseDecimal(const std::string& digits, long limit, long* number) {
    std::uint64_t value = 0;
    if (readDecimalCount(digits, static_cast<std::uint64_t>(limit), &value) != DecimalCount::read) {
        return false;
    }
    *number = static_cast<long>(value);
    return true;
}

// A positive decimal count of digits only that fits in a long.
bool parseCount(const std::string& digits, long* count) {
    return parseDecimal(digits, LONG_MAX, count) && *count > 0;
}

// A device index of digits only that fits in an int.
bool parseDeviceIndex(const std::string& digits, int* device) {
    long value = 0;
    if (!parseDecimal(digits, INT_MAX, &value)) {
        return false;
    }
    *device = static_cast<int>(value);
    return true;
}

// One OPERATION:N or OPERATION:N@DEVICE item, or either after "hang:"; false when it is anything else.
bool parseItem(const std::string& item, EmulatedFault* fault) {
    const std::string hangPrefix = std::string(kHangName) + ":";
    const bool hang = item.compare(0, hangPrefix.size(), hangPrefix) == 0;
    const std::string planned = hang ? item.substr(hangPrefix.size()) : item;
    std::size_t colon = planned.find(':');
    std::string name = planned.substr(0, colon);
    EmulatedFault parsed{name == kCorruptionName, hang, EmulatedOperation::cublasSgemm_v2, 0, 0, item};
    if (parsed.corruption && hang) {
        return false;
    }
    // corrupt:OPERATION:N names the call; corrupt:N is an SGEMM's.
    std::size_t nameStart = 0;
    if (parsed.corruption && colon != std::string::npos && planned.find(':', colon + 1) != std::string::npos) {
        nameStart = colon + 1;
        colon = planned.find(':', nameStart);
        name = planned.substr(nameStart, colon - nameStart);
    }
    if (!parsed.corruption || nameStart != 0) {
        parsed.operation = EmulatedOperation::count;
        for (int index = 0; index < kOperationCount; ++index) {
            if (name == kOperationNames[index]) {
                parsed.operation = static_cast<EmulatedOperation>(index);
            }
        }
    }
    if (colon == std::string::npos || parsed.operation == EmulatedOperation::count ||
        (parsed.corruption && !emulatedCorruptible(parsed.operation))) {
        return false;
    }
    const std::string rest = planned.substr(colon + 1);
    const std::size_t at = rest.find('@');
    if (!parseCount(rest.substr(0, at), &parsed.callNumber) ||
        (at != std::string::npos && !parseDeviceIndex(rest.substr(at + 1), &parsed.device))) {
        return false;
    }
    *fault = parsed;
    return true;
}

// FACTOR of a slowdown item: digits, optionally a point and more digits, from 1 to kEmulatedMaxSlowdown.
bool parseFactor(const std::string& text, double* factor) {
    double value = 0.0;
    if (text.empty() || text[0] == '.' || !readDecimalFraction(text, &value)) {
        return false;
    }
    *factor = value;
    return value >= 1.0 && value <= kEmulatedMaxSlowdown;
}

// TIME of a slowdown item: digits and the unit s or ms ("3s", "1500ms"), at most a week.
bool parseStartTime(const std::string& text, double* seconds) {
    const bool milliseconds = text.size() > 2 && text.compare(text.size() - 2, 2, "ms") == 0;
    const bool wholeSeconds = !milliseconds && !text.empty() && text.back() == 's';
    long count = 0;
    if ((!milliseconds && !wholeSeconds) ||
        !parseDecimal(text.substr(0, text.size() - (milliseconds ? 2 : 1)), 7L * 24 * 3600 * 1000, &count)) {
        return false;
    }
    *seconds = milliseconds ? static_cast<double>(count) / 1000.0 : static_cast<double>(count);
    return *seconds <= 7.0 * 24 * 3600;
}

// Items of a comma-separated list, empty ones included; none for an empty text.
std::vector<std::string> splitItems(const char* text) {
    std::vector<std::string> items;
    if (text == nullptr || *text == '\0') {
        return items;
    }
    // With a comma after the last item, every item ends at a comma.
    const std::string all = std::string(text) + ',';
    for (std::size_t start = 0, comma = all.find(','); comma != std::string::npos;
         start = comma + 1, comma = all.find(',', start)) {
        items.push_back(all.substr(start, comma - start));
    }
    return items;
}

// The text with unprintable bytes written as \xHH, so that a message quoting it stays one readable line.
std::string printable(const std::string& text) {
    std::string shown;
    for (const char character : text) {
        const unsigned char byte = static_cast<unsigned char>(character);
        if (byte < 0x20 || byte > 0x7E) {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\x%02X", static_cast<unsigned>(byte));
            shown += escaped;
        } else {
            shown += character;
        }
    }
    return shown;
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

// Whether the program's command line holds --help, -h or --version, which a program answers without calling a
// library operation. Read from the C runtime's copy of the arguments on Windows and from /proc on Linux;
// elsewhere never.
bool commandLineAsksForHelpOrVersion() {
    std::vector<std::string> arguments;
#if defined(_WIN32)
    for (int i = 1; i < __argc; ++i) {
        arguments.emplace_back(__argv[i]);
    }
#elif defined(__linux__)
    if (std::FILE* file = std::fopen("/proc/self/cmdline", "rb")) {
        std::string text;
        for (int c = std::fgetc(file); c != EOF; c = std::fgetc(file)) {
            text.push_back(static_cast<char>(c));
        }
        std::fclose(file);
        for (std::size_t begin = text.find('\0'); begin != std::string::npos && begin + 1 < text.size();) {
            const std::size_t end = text.find('\0', begin + 1);
            arguments.push_back(text.substr(begin + 1, end - begin - 1));
            begin = end;
        }
    }
#endif
    return std::any_of(arguments.begin(), arguments.end(), [](const std::string& argument) {
        return argument == "--help" || argument == "-h" || argument == "--version";
    });
}

// The message of a malformed variable held back until the first operation, when the command line asks for help
// or the version; empty when there is none.
std::string& heldBackMessage() {
    static auto* message = new std::string;
    return *message;
}

// Writes the line to standard error and ends the process with status 2: at once, before the program's main has
// printed anything, unless the command line asks for help or the version, which the program can then give; the
// first operation called ends the process instead.
void stopWithBadValue(const std::string& message) {
    if (heldBackMessage().empty() && commandLineAsksForHelpOrVersion()) {
        heldBackMessage() = message;
        return;
    }
    std::fprintf(stderr, "%s\n", message.c_str());
    std::fflush(stderr);
    std::exit(2);
}

// Writes the line to standard error for an item that names a device this run does not model.
void warnUnreachable(const char* variable, const std::string& item) {
    std::fprintf(stderr, "%s\n", emulatedUnreachableItemMessage(variable, item, emulatedDeviceCount()).c_str());
    std::fflush(stderr);
}

// The file KAVREL_EMULATED_STATS named at start-up; never destroyed, as it is read at exit.
std::string& statsPath() {
    static auto* path = new std::string;
    return *path;
}

// Models the devices KAVREL_EMULATED_DEVICES counts, slows those KAVREL_EMULATED_SLOWDOWN names, plans the faults
// KAVREL_EMULATED_FAULTS names, and has the figures written at exit to the file KAVREL_EMULATED_STATS names. On a
// malformed value writes one line to standard error and ends the process with status 2, before the program's main
// has printed anything (or, when the command line asks for help or the version, at the first operation); an item
// naming a device not modelled gets one warning line and the run goes on.
bool readEnvironment() {
    std::string value;
    if (readVariable(kDevicesVariable, &value)) {
        const EmulatedDeviceCount devices = emulatedParseDeviceCount(value.c_str());
        if (!devices.valid) {
            stopWithBadValue(std::string(kDevicesVariable) + ": bad value \"" + printable(value) +
                             "\" (expected a device count from 1 to " + std::to_string(kEmulatedMaxDevices) + ")");
            return false;
        }
        emulatedSetDeviceCount(devices.count);
    }
    if (readVariable(kNodeVariable, &value)) {
        long node = 0;
        if (!parseDecimal(value, kEmulatedMaxNodeNumber, &node)) {
            stopWithBadValue(std::string(kNodeVariable) + ": bad value \"" + printable(value) +
                             "\" (expected a node number from 0 to " + std::to_string(kEmulatedMaxNodeNumber) + ")");
            return false;
        }
        emulatedSetNodeNumber(static_cast<int>(node));
    }
    if (readVariable(kSlowdownVariable, &value)) {
        const EmulatedSlowdownList list = emulatedParseSlowdowns(value.c_str());
        if (!list.valid) {
            stopWithBadValue(std::string(kSlowdownVariable) + ": bad item \"" + printable(list.badItem) +
                             "\" (expected DEVICE:FACTOR or DEVICE:FACTOR@TIME, DEVICE a device index named once, "
                             "FACTOR a decimal from 1 to " +
                             std::to_string(static_cast<int>(kEmulatedMaxSlowdown)) +
                             " such as 1.5, TIME like 3s or 1500ms from the start)");
            return false;
        }
        for (const EmulatedSlowdown& slowdown : list.slowdowns) {
            if (slowdown.device >= emulatedDeviceCount()) {
                warnUnreachable(kSlowdownVariable, slowdown.item);
            }
            emulatedSetSlowdown(slowdown.device, slowdown.factor, slowdown.fromSeconds);
        }
    }
    if (readVariable(kFaultsVariable, &value)) {
        const EmulatedFaultList list = emulatedParseFaults(value.c_str());
        if (!list.valid) {
            stopWithBadValue(emulatedBadFaultsMessage(list.badItem));
            return false;
        }
        for (const EmulatedFault& fault : list.faults) {
            if (fault.device >= emulatedDeviceCount()) {
                warnUnreachable(kFaultsVariable, fault.item);
            }
            if (fault.corruption) {
                emulatedInjectCorruption(fault.operation, fault.callNumber, fault.device);
            } else if (fault.hang) {
                emulatedInjectHang(fault.operation, fault.callNumber, fault.device);
            } else {
                emulatedInjectFault(fault.operation, fault.callNumber, fault.device);
            }
        }
    }
    // Constructs the state before the handler is registered, so that it outlives the handler at exit.
    deviceState(0);
    emulatedStartTime();
    if (readVariable(kStatsVariable, &statsPath()) && !statsPath().empty()) {
        std::atexit([] { emulatedWriteStats(statsPath().c_str()); });
    }
    return true;
}

// Initialised before main, and linked into every program that calls an operation, as they all count calls here.
[[maybe_unused]] const bool environmentRead = readEnvironment();

}  // namespace

namespace {

// The calls blocked by a planned hang, and how often emulatedReleaseHangs let them all go.
struct Hangs {
    std::mutex mutex;
    std::condition_variable released;
    long blocked = 0;
    unsigned long releases = 0;
};

Hangs& hangs() {
    static auto* state = new Hangs;
    return *state;
}

// Blocks the calling thread, holding none of the stand-in's locks, until emulatedReleaseHangs.
void hangHere(std::unique_lock<std::mutex>& deviceLock) {
    deviceLock.unlock();
    {
        Hangs& hung = hangs();
        std::unique_lock<std::mutex> lock(hung.mutex);
        const unsigned long releases = hung.releases;
        ++hung.blocked;
        hung.released.wait(lock, [&] { return hung.releases != releases; });
        --hung.blocked;
    }
    deviceLock.lock();
}

}  // namespace

CallPlan takeCall(std::unique_lock<std::mutex>& lock, DeviceState& state, EmulatedOperation operation) {
    if (!heldBackMessage().empty()) {
        std::fprintf(stderr, "%s\n", heldBackMessage().c_str());
        std::fflush(stderr);
        std::exit(2);
    }
    const int index = static_cast<int>(operation);
    const long callNumber = ++state.callCounts[index];
    if (planned(state.plannedHangs[index], callNumber)) {
        hangHere(lock);
        return CallPlan{true, false};
    }
    return CallPlan{planned(state.plannedFailures[index], callNumber),
                    planned(state.plannedCorruptions[index], callNumber)};
}

EmulatedFaultList emulatedParseFaults(const char* text) {
    EmulatedFaultList list{true, std::string(), {}};
    for (const std::string& item : splitItems(text)) {
        EmulatedFault fault{};
        if (!parseItem(item, &fault)) {
            return EmulatedFaultList{false, item, {}};
        }
        list.faults.push_back(fault);
    }
    return list;
}

std::string emulatedBadFaultsMessage(const std::string& badItem) {
    std::string message = std::string(kFaultsVariable) + ": bad item \"" + printable(badItem) +
                          "\" (expected OPERATION:N or OPERATION:N@DEVICE, OPERATION one of ";
    for (int index = 0; index < kOperationCount; ++index) {
        message += std::string(kOperationNames[index]) + ", ";
    }
    message += std::string("or ") + kCorruptionName + ", N a positive count, DEVICE a device index; " + kHangName +
               ":OPERATION:N makes that call hang and " + kCorruptionName +
               ":OPERATION:N corrupts the output of cublasSgemm_v2, cublasScopy_v2, cublasSaxpy_v2 or cublasSasum_v2)";
    return message;
}

std::string emulatedUnreachableItemMessage(const char* variable, const std::string& item, int deviceCount) {
    const std::string modelled = deviceCount == 1 ? "device 0 only" : "devices 0 to " + std::to_string(deviceCount - 1);
    return std::string(variable) + ": warning: item \"" + printable(item) +
           "\" can never take effect: this run models " + modelled + " (" + kDevicesVariable + " sets how many)";
}

EmulatedDeviceCount emulatedParseDeviceCount(const char* text) {
    long count = kEmulatedDefaultDeviceCount;
    if (text != nullptr && *text != '\0' && !parseDecimal(text, kEmulatedMaxDevices, &count)) {
        return EmulatedDeviceCount{false, 0};
    }
    return EmulatedDeviceCount{count >= 1, static_cast<int>(count)};
}

EmulatedSlowdownList emulatedParseSlowdowns(const char* text) {
    EmulatedSlowdownList list{true, std::string(), {}};
    for (const std::string& item : splitItems(text)) {
        const std::size_t colon = item.find(':');
        EmulatedSlowdown slowdown{0, 1.0, 0.0, item};
        const std::size_t at = item.find('@');
        if (colon == std::string::npos || colon > at || !parseDeviceIndex(item.substr(0, colon), &slowdown.device) ||
            !parseFactor(item.substr(colon + 1, at == std::string::npos ? std::string::npos : at - colon - 1),
                         &slowdown.factor) ||
            (at != std::string::npos && !parseStartTime(item.substr(at + 1), &slowdown.fromSeconds)) ||
            std::any_of(list.slowdowns.begin(), list.slowdowns.end(),
                        [&](const EmulatedSlowdown& s) { return s.device == slowdown.device; })) {
            return EmulatedSlowdownList{false, item, {}};
        }
        list.slowdowns.push_back(slowdown);
    }
    return list;
}

void emulatedInjectFault(EmulatedOperation operation, long callNumber, int device) {
    const int index = static_cast<int>(operation);
    if (deviceIndexInRange(device) && index >= 0 && index < kOperationCount) {
        DeviceState& state = deviceState(device);
        std::lock_guard<std::mutex> lock(state.mutex);
        state.plannedFailures[index].push_back(callNumber);
    }
}

void emulatedInjectHang(EmulatedOperation operation, long callNumber, int device) {
    const int index = static_cast<int>(operation);
    if (deviceIndexInRange(device) && index >= 0 && index < kOperationCount) {
        DeviceState& state = deviceState(device);
        std::lock_guard<std::mutex> lock(state.mutex);
        state.plannedHangs[index].push_back(callNumber);
    }
}

long emulatedHungCalls() {
    Hangs& hung = hangs();
    std::lock_guard<std::mutex> lock(hung.mutex);
    return hung.blocked;
}

void emulatedReleaseHangs() {
    Hangs& hung = hangs();
    {
        std::lock_guard<std::mutex> lock(hung.mutex);
        ++hung.releases;
    }
    hung.released.notify_all();
}

void emulatedInjectCorruption(long sgemmCallNumber, int device) {
    emulatedInjectCorruption(EmulatedOperation::cublasSgemm_v2, sgemmCallNumber, device);
}

bool emulatedCorruptible(EmulatedOperation operation) {
    return operation == EmulatedOperation::cublasSgemm_v2 || operation == EmulatedOperation::cublasScopy_v2 ||
           operation == EmulatedOperation::cublasSaxpy_v2 || operation == EmulatedOperation::cublasSasum_v2;
}

void emulatedInjectCorruption(EmulatedOperation operation, long callNumber, int device) {
    if (deviceIndexInRange(device) && emulatedCorruptible(operation)) {
        DeviceState& state = deviceState(device);
        std::lock_guard<std::mutex> lock(state.mutex);
        state.plannedCorruptions[static_cast<int>(operation)].push_back(callNumber);
    }
}

void emulatedResetFaults() {
    for (int device = 0; device < kEmulatedMaxDevices; ++device) {
        DeviceState& state = deviceState(device);
        std::lock_guard<std::mutex> lock(state.mutex);
        for (int index = 0; index < kOperationCount; ++index) {
            state.callCounts[index] = 0;
            state.plannedFailures[index].clear();
            state.plannedHangs[index].clear();
            state.plannedCorruptions[index].clear();
        }
        state.slowdown = 1.0;
        state.slowdownFrom = std::chrono::steady_clock::time_point::min();
    }
    emulatedSetDeviceCount(kEmulatedDefaultDeviceCount);
    emulatedSetNodeNumber(0);
    emulatedSetDeviceMemory(kEmulatedDeviceMemoryBytes);
    setCurrentDevice(0);
}

long emulatedCallCount(EmulatedOperation operation, int device) {
    const int index = static_cast<int>(operation);
    if (!deviceIndexInRange(device) || index < 0 || index >= kOperationCount) {
        return 0;
    }
    DeviceState& state = deviceState(device);
    std::lock_guard<std::mutex> lock(state.mutex);
    return state.callCounts[index];
}

bool emulatedSetSlowdown(int device, double factor, double fromSeconds) {
    if (!deviceIndexInRange(device) || !(factor >= 1.0 && factor <= kEmulatedMaxSlowdown) || !(fromSeconds >= 0.0)) {
        return false;
    }
    DeviceState& state = deviceState(device);
    std::lock_guard<std::mutex> lock(state.mutex);
    state.slowdown = factor;
    state.slowdownFrom = fromSeconds > 0.0
                             ? emulatedStartTime() + std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                                                         std::chrono::duration<double>(fromSeconds))
                             : std::chrono::steady_clock::time_point::min();
    return true;
}

std::chrono::steady_clock::time_point emulatedStartTime() {
    static const std::chrono::steady_clock::time_point start = std::chrono::steady_clock::now();
    return start;
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
    std::fprintf(file, "live_device_allocations %ld\nlive_host_allocations %ld\nlive_contexts %ld\nlive_events %ld\n",
                 emulatedLiveDeviceAllocations(), emulatedLiveHostAllocations(), emulatedLiveContexts(),
                 emulatedLiveEvents());
    for (int index = 0; index < kOperationCount; ++index) {
        long total = 0;
        for (int device = 0; device < kEmulatedMaxDevices; ++device) {
            total += emulatedCallCount(static_cast<EmulatedOperation>(index), device);
        }
        std::fprintf(file, "%s %ld\n", kOperationNames[index], total);
    }
    for (int device = 0; device < emulatedDeviceCount(); ++device) {
        std::fprintf(file, "device %d computed_products %ld\n", device, emulatedComputedProducts(device));
        for (int index = 0; index < kOperationCount; ++index) {
            std::fprintf(file, "device %d %s %ld\n", device, kOperationNames[index],
                         emulatedCallCount(static_cast<EmulatedOperation>(index), device));
        }
    }
    const bool written = std::ferror(file) == 0;
    return std::fclose(file) == 0 && written;
}
