// Parsing KAVREL_EMULATED_NVML into each device's timelines, and reading a timeline at a moment of the run.
#include <algorithm>
#include <climits>
#include <cstdio>
#include <string>

#include "gpu/emulated/emulatedControl.h"
#include "gpu/emulated/nvml/emulatedNvmlControl.h"
#include "gpu/nvml/nvmlApi.h"

namespace {

constexpr const char* kDevicesVariable = "KAVREL_EMULATED_DEVICES";
constexpr const char* kTimeHint = "TIME such as 5s, 500ms or 2.5 (seconds)";

#define KAVREL_EMULATED_NVML_NAME(name) #name,
constexpr const char* kFunctionNames[] = {KAVREL_EMULATED_NVML_FUNCTIONS(KAVREL_EMULATED_NVML_NAME)};
#undef KAVREL_EMULATED_NVML_NAME

// A key that sets one reading to a whole number from low to high.
struct ValueKey {
    const char* name;
    EmulatedNvmlReading reading;
    unsigned long long low;
    unsigned long long high;
    const char* unit;
};

constexpr ValueKey kValueKeys[] = {
    {"temp", EmulatedNvmlReading::temperature, 0, 200, "whole degrees Celsius"},
    {"power", EmulatedNvmlReading::powerWatts, 0, 10000, "watts"},
    {"powerlimit", EmulatedNvmlReading::powerLimitWatts, 1, 10000, "watts"},
    {"sm_clock", EmulatedNvmlReading::smClock, 1, 100000, "MHz"},
    {"mem_clock", EmulatedNvmlReading::memClock, 1, 100000, "MHz"},
    {"max_sm_clock", EmulatedNvmlReading::maxSmClock, 1, 100000, "MHz"},
    {"max_mem_clock", EmulatedNvmlReading::maxMemClock, 1, 100000, "MHz"},
    {"remap_pending", EmulatedNvmlReading::remapPending, 0, 1, "0 or 1"},
    {"remap_failure", EmulatedNvmlReading::remapFailure, 0, 1, "0 or 1"},
    {"remapped_corrected", EmulatedNvmlReading::remappedCorrected, 0, 1000000, "rows"},
    {"remapped_uncorrected", EmulatedNvmlReading::remappedUncorrected, 0, 1000000, "rows"},
    {"retired_pending", EmulatedNvmlReading::retiredPending, 0, 1, "0 or 1"},
};

// The keys that set a link, as generation and width.
struct LinkKey {
    const char* name;
    EmulatedNvmlReading generation;
    EmulatedNvmlReading width;
};

constexpr LinkKey kLinkKeys[] = {
    {"link", EmulatedNvmlReading::linkGeneration, EmulatedNvmlReading::linkWidth},
    {"maxlink", EmulatedNvmlReading::maxLinkGeneration, EmulatedNvmlReading::maxLinkWidth},
};

struct CounterKey {
    const char* name;
    EmulatedNvmlCounter counter;
};

constexpr CounterKey kCounterKeys[] = {
    {"ecc_uncorrected", EmulatedNvmlCounter::eccUncorrected},
    {"ecc_corrected", EmulatedNvmlCounter::eccCorrected},
    {"replay", EmulatedNvmlCounter::pcieReplay},
};

struct ReasonName {
    const char* name;
    unsigned long long bit;
};

constexpr ReasonName kReasonNames[] = {
    {"gpu_idle", nvml::kClocksEventReasonGpuIdle},
    {"app_clocks", nvml::kClocksEventReasonApplicationsClocksSetting},
    {"sw_power_cap", nvml::kClocksEventReasonSwPowerCap},
    {"hw_slowdown", nvml::kClocksEventReasonHwSlowdown},
    {"sync_boost", nvml::kClocksEventReasonSyncBoost},
    {"sw_thermal", nvml::kClocksEventReasonSwThermalSlowdown},
    {"hw_thermal", nvml::kClocksEventReasonHwThermalSlowdown},
    {"hw_power_brake", nvml::kClocksEventReasonHwPowerBrakeSlowdown},
};

// Each reading's value before its first step; the current link and clocks default to the maximum instead.
constexpr unsigned long long kDefaults[] = {0, 0, 5, 16, 45, 300, 700, 0, 0, 1980, 2619, 0, 0, 0, 0, 0};
static_assert(sizeof kDefaults / sizeof kDefaults[0] == static_cast<int>(EmulatedNvmlReading::count),
              "one default per reading");

constexpr unsigned long long kMaxLinkGeneration = 6;
constexpr unsigned long long kMaxLinkWidth = 32;
constexpr unsigned long long kMaxCount = 1000000000ULL;
constexpr unsigned long long kMaxXid = 999999;

// A decimal number of digits only, at least one, at most limit.
bool parseNumber(const std::string& digits, unsigned long long limit, unsigned long long* number) {
    unsigned long long value = 0;
    for (const char character : digits) {
        const int digit = character - '0';
        const auto unit = static_cast<unsigned long long>(digit);
        // The digit is compared first, so that limit - unit cannot wrap around.
        if (digit < 0 || digit > 9 || unit > limit || value > (limit - unit) / 10) {
            return false;
        }
        value = value * 10 + unit;
    }
    *number = value;
    return !digits.empty();
}

// A number from low to high.
bool parseInRange(const std::string& digits, unsigned long long low, unsigned long long high,
                  unsigned long long* number) {
    return parseNumber(digits, high, number) && *number >= low;
}

// A time: whole milliseconds with "ms", or seconds with "s" or no unit, with at most three decimals.
bool parseTime(const std::string& text, long long* ms) {
    const auto limit = static_cast<unsigned long long>(kEmulatedNvmlMaxTimeMs);
    unsigned long long value = 0;
    if (text.size() > 2 && text.compare(text.size() - 2, 2, "ms") == 0) {
        if (!parseNumber(text.substr(0, text.size() - 2), limit, &value)) {
            return false;
        }
        *ms = static_cast<long long>(value);
        return true;
    }
    const std::string seconds = !text.empty() && text.back() == 's' ? text.substr(0, text.size() - 1) : text;
    const std::size_t point = seconds.find('.');
    std::string fraction = point == std::string::npos ? std::string("000") : seconds.substr(point + 1);
    if (fraction.empty() || fraction.size() > 3) {
        return false;
    }
    fraction.resize(3, '0');
    unsigned long long whole = 0;
    unsigned long long thousandths = 0;
    if (!parseNumber(seconds.substr(0, point), limit / 1000, &whole) || !parseNumber(fraction, 999, &thousandths) ||
        whole * 1000 + thousandths > limit) {
        return false;
    }
    *ms = static_cast<long long>(whole * 1000 + thousandths);
    return true;
}

// Splits "VALUE@TIME" into the value and its time; a value without "@" is from time 0.
bool splitTime(const std::string& text, std::string* value, long long* ms) {
    const std::size_t at = text.find('@');
    *value = text.substr(0, at);
    *ms = 0;
    return at == std::string::npos || parseTime(text.substr(at + 1), ms);
}

// Items of a comma-separated list, empty ones included; none for an empty text.
std::vector<std::string> splitItems(const char* text) {
    std::vector<std::string> items;
    if (text == nullptr || *text == '\0') {
        return items;
    }
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
        const auto byte = static_cast<unsigned char>(character);
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

// The names of a table, joined with ", ".
template <typename Entry, std::size_t size>
std::string joinNames(const Entry (&entries)[size]) {
    std::string names;
    for (const Entry& entry : entries) {
        names += (names.empty() ? "" : ", ") + std::string(entry.name);
    }
    return names;
}

std::string keyList() {
    return joinNames(kLinkKeys) + ", " + joinNames(kValueKeys) + ", throttle, xid, ecc, unsupported, or " +
           joinNames(kCounterKeys) + " with +=";
}

std::string functionList() {
    std::string names;
    for (const char* name : kFunctionNames) {
        names += (names.empty() ? "" : ", ") + std::string(name);
    }
    return names;
}

// Adds a reading's step, unless that reading already has one at that time.
bool addStep(std::vector<EmulatedNvmlStep>* steps, long long ms, unsigned long long value) {
    if (std::any_of(steps->begin(), steps->end(), [ms](const EmulatedNvmlStep& step) { return step.atMs == ms; })) {
        return false;
    }
    steps->push_back(EmulatedNvmlStep{ms, value});
    return true;
}

// The body of one device item (what follows "DEVICE:"); on failure, what it should have been.
bool parseDeviceItem(const std::string& body, EmulatedNvmlDevice* device, std::string* expected) {
    const std::size_t plusEquals = body.find("+=");
    const std::size_t equals = body.find('=');
    if (plusEquals != std::string::npos && plusEquals < equals) {
        const std::string key = body.substr(0, plusEquals);
        for (const CounterKey& counter : kCounterKeys) {
            if (key == counter.name) {
                *expected = key + "+=N[@TIME], N a count from 1 to " + std::to_string(kMaxCount) + ", " + kTimeHint;
                std::string count;
                long long ms = 0;
                unsigned long long value = 0;
                if (!splitTime(body.substr(plusEquals + 2), &count, &ms) ||
                    !parseInRange(count, 1, kMaxCount, &value)) {
                    return false;
                }
                device->counters[static_cast<int>(counter.counter)].push_back(EmulatedNvmlStep{ms, value});
                return true;
            }
        }
        *expected = "a counter before +=: " + joinNames(kCounterKeys);
        return false;
    }
    if (equals == std::string::npos) {
        *expected = "KEY=VALUE, KEY one of " + keyList();
        return false;
    }
    const std::string key = body.substr(0, equals);
    const std::string text = body.substr(equals + 1);
    std::string value;
    long long ms = 0;

    for (const ValueKey& entry : kValueKeys) {
        if (key == entry.name) {
            *expected = key + "=N[@TIME], N " + entry.unit + " from " + std::to_string(entry.low) + " to " +
                        std::to_string(entry.high) + ", " + kTimeHint + ", once per time";
            unsigned long long number = 0;
            return splitTime(text, &value, &ms) && parseInRange(value, entry.low, entry.high, &number) &&
                   addStep(&device->readings[static_cast<int>(entry.reading)], ms, number);
        }
    }
    for (const LinkKey& entry : kLinkKeys) {
        if (key == entry.name) {
            *expected = key + "=GxW[@TIME], G a PCIe generation from 1 to " + std::to_string(kMaxLinkGeneration) +
                        " and W a width from 1 to " + std::to_string(kMaxLinkWidth) + ", " + kTimeHint +
                        ", once per time";
            if (!splitTime(text, &value, &ms)) {
                return false;
            }
            const std::size_t x = value.find('x');
            unsigned long long generation = 0;
            unsigned long long width = 0;
            return x != std::string::npos && parseInRange(value.substr(0, x), 1, kMaxLinkGeneration, &generation) &&
                   parseInRange(value.substr(x + 1), 1, kMaxLinkWidth, &width) &&
                   addStep(&device->readings[static_cast<int>(entry.generation)], ms, generation) &&
                   addStep(&device->readings[static_cast<int>(entry.width)], ms, width);
        }
    }
    if (key == "throttle") {
        *expected = "throttle=REASON[+REASON...][@FROM[-UNTIL]], REASON one of " + joinNames(kReasonNames) +
                    ", UNTIL after FROM, both " + kTimeHint;
        const std::size_t at = text.find('@');
        EmulatedNvmlThrottle throttle{0, 0, -1};
        const std::string names = text.substr(0, at) + '+';
        for (std::size_t start = 0, plus = names.find('+'); plus != std::string::npos;
             start = plus + 1, plus = names.find('+', start)) {
            const std::string name = names.substr(start, plus - start);
            const auto* found = std::find_if(std::begin(kReasonNames), std::end(kReasonNames),
                                             [&name](const ReasonName& reason) { return name == reason.name; });
            if (found == std::end(kReasonNames)) {
                return false;
            }
            throttle.reasons |= found->bit;
        }
        if (at != std::string::npos) {
            const std::string interval = text.substr(at + 1);
            const std::size_t dash = interval.find('-');
            if (!parseTime(interval.substr(0, dash), &throttle.fromMs) ||
                (dash != std::string::npos &&
                 (!parseTime(interval.substr(dash + 1), &throttle.untilMs) || throttle.untilMs <= throttle.fromMs))) {
                return false;
            }
        }
        device->throttles.push_back(throttle);
        return true;
    }
    if (key == "xid") {
        *expected = "xid=N[@TIME], N an Xid from 1 to " + std::to_string(kMaxXid) + ", " + kTimeHint;
        unsigned long long xid = 0;
        if (!splitTime(text, &value, &ms) || !parseInRange(value, 1, kMaxXid, &xid)) {
            return false;
        }
        // Ordered by time; items of the same time keep the order they were written in.
        const auto later =
            std::upper_bound(device->xids.begin(), device->xids.end(), ms,
                             [](long long time, const EmulatedNvmlStep& step) { return time < step.atMs; });
        device->xids.insert(later, EmulatedNvmlStep{ms, xid});
        return true;
    }
    if (key == "ecc") {
        *expected = "ecc=on or ecc=off, once per device";
        if ((text != "on" && text != "off") || device->eccNamed) {
            return false;
        }
        device->eccEnabled = text == "on";
        device->eccNamed = true;
        return true;
    }
    if (key == "unsupported") {
        *expected = "unsupported=FUNCTION, FUNCTION one of " + functionList();
        for (int index = 0; index < static_cast<int>(EmulatedNvmlFunction::count); ++index) {
            if (text == kFunctionNames[index]) {
                device->unsupported[index] = true;
                return true;
            }
        }
        return false;
    }
    const bool counterKey = std::any_of(std::begin(kCounterKeys), std::end(kCounterKeys),
                                        [&key](const CounterKey& counter) { return key == counter.name; });
    *expected = counterKey ? key + "+=N[@TIME]: a counter only rises" : "KEY=VALUE, KEY one of " + keyList();
    return false;
}

// A device index of digits only that fits in an int.
bool parseDeviceIndex(const std::string& digits, int* device) {
    unsigned long long value = 0;
    if (!parseNumber(digits, INT_MAX, &value)) {
        return false;
    }
    *device = static_cast<int>(value);
    return true;
}

}  // namespace

const char* emulatedNvmlFunctionName(EmulatedNvmlFunction function) {
    const int index = static_cast<int>(function);
    return index >= 0 && index < static_cast<int>(EmulatedNvmlFunction::count) ? kFunctionNames[index] : nullptr;
}

EmulatedNvmlScenario emulatedNvmlParseScenario(const char* text) {
    EmulatedNvmlScenario scenario;
    for (const std::string& item : splitItems(text)) {
        std::string expected;
        const std::size_t colon = item.find(':');
        int index = 0;
        bool parsed = false;
        if (item.compare(0, 5, "init=") == 0) {
            expected = "init=FAIL";
            parsed = item == "init=FAIL";
            scenario.initFails = scenario.initFails || parsed;
        } else if (colon == std::string::npos || !parseDeviceIndex(item.substr(0, colon), &index)) {
            expected = "DEVICE:KEY=VALUE, DEVICE:COUNTER+=N or init=FAIL, DEVICE a device index";
        } else {
            parsed = parseDeviceItem(item.substr(colon + 1), &scenario.devices[index], &expected);
            scenario.deviceItems.emplace_back(index, item);
        }
        if (!parsed) {
            EmulatedNvmlScenario bad;
            bad.valid = false;
            bad.badItem = item;
            bad.expected = expected;
            return bad;
        }
    }
    return scenario;
}

std::string emulatedNvmlBadScenarioMessage(const EmulatedNvmlScenario& scenario) {
    return std::string(kEmulatedNvmlVariable) + ": bad item \"" + printable(scenario.badItem) + "\" (expected " +
           scenario.expected + ")";
}

std::string emulatedNvmlUnreachableItemMessage(const std::string& item, int deviceCount) {
    const std::string modelled = deviceCount == 1 ? "device 0 only" : "devices 0 to " + std::to_string(deviceCount - 1);
    return std::string(kEmulatedNvmlVariable) + ": warning: item \"" + printable(item) +
           "\" can never take effect: this run models " + modelled + " (" + kDevicesVariable + " sets how many)";
}

bool emulatedNvmlParseDeviceCount(const char* text, int* count) {
    unsigned long long value = kEmulatedDefaultDeviceCount;
    if (text != nullptr && *text != '\0' && !parseNumber(text, kEmulatedMaxDevices, &value)) {
        return false;
    }
    *count = static_cast<int>(value);
    return value >= 1;
}

std::string emulatedNvmlBadDeviceCountMessage(const std::string& value) {
    return std::string(kDevicesVariable) + ": bad value \"" + printable(value) +
           "\" (expected a device count from 1 to " + std::to_string(kEmulatedMaxDevices) + ")";
}

unsigned long long emulatedNvmlReading(const EmulatedNvmlDevice& device, EmulatedNvmlReading reading, long long ms) {
    const std::vector<EmulatedNvmlStep>& steps = device.readings[static_cast<int>(reading)];
    const EmulatedNvmlStep* latest = nullptr;
    for (const EmulatedNvmlStep& step : steps) {
        if (step.atMs <= ms && (latest == nullptr || step.atMs > latest->atMs)) {
            latest = &step;
        }
    }
    if (latest != nullptr) {
        return latest->value;
    }
    switch (reading) {
        case EmulatedNvmlReading::linkGeneration:
            return emulatedNvmlReading(device, EmulatedNvmlReading::maxLinkGeneration, ms);
        case EmulatedNvmlReading::linkWidth:
            return emulatedNvmlReading(device, EmulatedNvmlReading::maxLinkWidth, ms);
        case EmulatedNvmlReading::smClock:
            return emulatedNvmlReading(device, EmulatedNvmlReading::maxSmClock, ms);
        case EmulatedNvmlReading::memClock:
            return emulatedNvmlReading(device, EmulatedNvmlReading::maxMemClock, ms);
        default:
            return kDefaults[static_cast<int>(reading)];
    }
}

unsigned long long emulatedNvmlCounter(const EmulatedNvmlDevice& device, EmulatedNvmlCounter counter, long long ms) {
    unsigned long long total = 0;
    for (const EmulatedNvmlStep& step : device.counters[static_cast<int>(counter)]) {
        total += step.atMs <= ms ? step.value : 0;
    }
    return total;
}

unsigned long long emulatedNvmlClocksEventReasons(const EmulatedNvmlDevice& device, long long ms) {
    unsigned long long reasons = 0;
    for (const EmulatedNvmlThrottle& throttle : device.throttles) {
        if (throttle.fromMs <= ms && (throttle.untilMs < 0 || ms < throttle.untilMs)) {
            reasons |= throttle.reasons;
        }
    }
    return reasons;
}
