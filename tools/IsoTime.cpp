#include "tools/IsoTime.h"

#include <algorithm>
#include <charconv>
#include <chrono>
#include <string>
#include <system_error>

namespace tools {
namespace {

std::optional<int> digits(std::string_view& text, std::size_t count) {
    int value = 0;
    if (text.size() < count) return std::nullopt;
    const auto [end, problem] = std::from_chars(text.data(), text.data() + count, value);
    if (problem != std::errc() || end != text.data() + count) return std::nullopt;
    text.remove_prefix(count);
    return value;
}

bool skip(std::string_view& text, char expected) {
    if (!text.starts_with(expected)) return false;
    text.remove_prefix(1);
    return true;
}

}  // namespace

std::optional<double> secondsSinceEpoch(std::string_view iso) {
    const auto year = digits(iso, 4);
    if (!year || !skip(iso, '-')) return std::nullopt;
    const auto month = digits(iso, 2);
    if (!month || !skip(iso, '-')) return std::nullopt;
    const auto day = digits(iso, 2);
    if (!day || !skip(iso, 'T')) return std::nullopt;
    const auto hour = digits(iso, 2);
    if (!hour || !skip(iso, ':')) return std::nullopt;
    const auto minute = digits(iso, 2);
    if (!minute || !skip(iso, ':')) return std::nullopt;
    const auto second = digits(iso, 2);
    if (!second) return std::nullopt;
    double fraction = 0;
    if (skip(iso, '.')) {
        const std::size_t length = std::min(iso.find_first_not_of("0123456789"), iso.size());
        if (length == 0) return std::nullopt;
        const std::string decimals = "0." + std::string(iso.substr(0, length));
        std::from_chars(decimals.data(), decimals.data() + decimals.size(), fraction);
        iso.remove_prefix(length);
    }
    int offsetSeconds = 0;
    if (!skip(iso, 'Z')) {
        const int sign = skip(iso, '+') ? 1 : skip(iso, '-') ? -1 : 0;
        const auto offsetHours = sign == 0 ? std::nullopt : digits(iso, 2);
        if (!offsetHours || !skip(iso, ':')) return std::nullopt;
        const auto offsetMinutes = digits(iso, 2);
        if (!offsetMinutes) return std::nullopt;
        offsetSeconds = sign * (*offsetHours * 3600 + *offsetMinutes * 60);
    }
    const std::chrono::year_month_day date{std::chrono::year(*year),
                                           std::chrono::month(static_cast<unsigned>(*month)),
                                           std::chrono::day(static_cast<unsigned>(*day))};
    if (!iso.empty() || !date.ok() || *hour > 23 || *minute > 59 || *second > 60) {
        return std::nullopt;
    }
    const auto days = std::chrono::sys_days(date).time_since_epoch().count();
    return static_cast<double>(days) * 86400 + *hour * 3600 + *minute * 60 + *second -
           offsetSeconds + fraction;
}

}  // namespace tools
