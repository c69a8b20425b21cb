// Reading decimal numbers as kavrel's options, environment variables and reports write them: plain digits, no sign.
#pragma once

#include <charconv>
#include <cstdint>
#include <string_view>
#include <system_error>

// How a text reads as a count.
enum class DecimalCount {
    read,        // digits only, at most the limit
    notDigits,   // empty, or anything but the digits 0 to 9
    aboveLimit,  // digits only, above the limit
};

// Reads text as decimal digits only ('0' to '9', at least one; no sign, space, point, exponent or base prefix, and
// a leading zero is not octal). Sets value and returns read when the count is at most limit; leaves value untouched
// otherwise.
inline DecimalCount readDecimalCount(std::string_view text, std::uint64_t limit, std::uint64_t* value) {
    if (text.empty()) {
        return DecimalCount::notDigits;
    }
    std::uint64_t result = 0;
    bool above = false;
    for (const char character : text) {
        if (character < '0' || character > '9') {
            return DecimalCount::notDigits;
        }
        const auto digit = static_cast<std::uint64_t>(character - '0');
        // Once above the limit it stays above; the digits are still read to tell a bad character from a big count.
        above = above || result > (limit - digit) / 10;
        if (!above) {
            result = result * 10 + digit;
        }
    }
    if (above) {
        return DecimalCount::aboveLimit;
    }
    *value = result;
    return DecimalCount::read;
}

// Reads text as a decimal fraction: digits with at most one point, digits after the point when there is one, and
// digits before it or not ("0.1", ".5", "12", "12.50"; not "1.", ".", "", "+1", "1e3" or "0x1"). Sets value to the
// double nearest the decimal (whatever the C locale's decimal point) and returns true; false otherwise, leaving value
// untouched.
inline bool readDecimalFraction(std::string_view text, double* value) {
    const std::size_t point = text.find('.');
    const std::string_view whole = text.substr(0, point);
    const std::string_view fraction = point == std::string_view::npos ? std::string_view() : text.substr(point + 1);
    const auto digitsOnly = [](std::string_view digits) {
        for (const char character : digits) {
            if (character < '0' || character > '9') {
                return false;
            }
        }
        return true;
    };
    if (!digitsOnly(whole) || !digitsOnly(fraction) || (point != std::string_view::npos && fraction.empty()) ||
        (whole.empty() && fraction.empty())) {
        return false;
    }
    double parsed = 0.0;
    const std::from_chars_result result =
        std::from_chars(text.data(), text.data() + text.size(), parsed, std::chars_format::fixed);
    if (result.ec != std::errc() || result.ptr != text.data() + text.size()) {
        return false;
    }
    *value = parsed;
    return true;
}
