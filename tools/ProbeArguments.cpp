#include "tools/ProbeArguments.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <limits>

#include "station/StationFile.h"

namespace tools {
namespace {

// A plain decimal number, `-12.5`: no exponent, no infinity, nothing around it.
std::optional<double> parseNumber(std::string_view text) {
    const std::string_view digits = text.starts_with('-') ? text.substr(1) : text;
    if (digits.empty() || digits.front() == '.' || digits.back() == '.' ||
        digits.find_first_not_of("0123456789.") != digits.npos ||
        std::ranges::count(digits, '.') > 1) {
        return std::nullopt;
    }
    double value = 0;
    const auto [end, problem] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (problem != std::errc() || end != text.data() + text.size() || !std::isfinite(value)) {
        return std::nullopt;
    }
    return value;
}

std::optional<std::int32_t> parseRecord(std::string_view text) {
    std::int32_t value = 0;
    const auto [end, problem] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (text.empty() || text.front() == '-' || problem != std::errc() ||
        end != text.data() + text.size() || value < station::kFirstScannedRecord) {
        return std::nullopt;
    }
    return value;
}

}  // namespace

std::optional<ThresholdRange> ThresholdRange::parse(std::string_view text) {
    ThresholdRange range;
    range.text_ = text;
    if (text.starts_with('@')) {
        range.inside_ = true;
        text.remove_prefix(1);
    }
    const auto colon = text.find(':');
    if (colon == text.npos) {
        range.low_ = 0;
        range.high_ = parseNumber(text);
        if (!range.high_) return std::nullopt;
    } else {
        const std::string_view low = text.substr(0, colon);
        const std::string_view high = text.substr(colon + 1);
        if (low != "~") {
            range.low_ = low.empty() ? std::optional<double>(0) : parseNumber(low);
            if (!range.low_) return std::nullopt;
        }
        if (!high.empty()) {
            range.high_ = parseNumber(high);
            if (!range.high_) return std::nullopt;
        }
    }
    if (range.low_ && range.high_ && *range.low_ > *range.high_) return std::nullopt;
    return range;
}

bool ThresholdRange::alerts(double value) const {
    const bool within = (!low_ || value >= *low_) && (!high_ || value <= *high_);
    return inside_ ? within : !within;
}

std::optional<RecordList> RecordList::parse(std::string_view text) {
    RecordList list;
    std::int64_t count = 0;
    while (true) {
        const auto comma = text.find(',');
        const std::string_view item = text.substr(0, comma);
        const auto dash = item.find('-');
        const auto first = parseRecord(item.substr(0, dash));
        const auto last = dash == item.npos ? first : parseRecord(item.substr(dash + 1));
        if (!first || !last || *last < *first) return std::nullopt;
        count += std::int64_t{*last} - *first + 1;
        if (count > kMostRecords) return std::nullopt;
        list.spans_.push_back({*first, *last});
        if (comma == text.npos) break;
        text.remove_prefix(comma + 1);
    }
    std::ranges::sort(list.spans_, {}, &Span::first);
    std::vector<Span> merged;
    for (const Span& span : list.spans_) {
        if (!merged.empty() && std::int64_t{span.first} <= std::int64_t{merged.back().last} + 1) {
            merged.back().last = std::max(merged.back().last, span.last);
        } else {
            merged.push_back(span);
        }
    }
    list.spans_ = std::move(merged);
    return list;
}

std::string RecordList::describe(const std::vector<std::int32_t>& increasing) {
    std::string text;
    for (std::size_t i = 0; i < increasing.size();) {
        std::size_t end = i + 1;
        while (end < increasing.size() &&
               std::int64_t{increasing[end]} == std::int64_t{increasing[end - 1]} + 1) {
            ++end;
        }
        if (!text.empty()) text += ',';
        text += std::to_string(increasing[i]);
        if (end - i > 1) text += "-" + std::to_string(increasing[end - 1]);
        i = end;
    }
    return text;
}

bool RecordList::contains(std::int32_t record) const {
    return std::ranges::any_of(
        spans_, [record](const Span& span) { return record >= span.first && record <= span.last; });
}

std::vector<std::int32_t> RecordList::records() const {
    std::vector<std::int32_t> all;
    for (const Span& span : spans_) {
        for (std::int64_t record = span.first; record <= span.last; ++record) {
            all.push_back(static_cast<std::int32_t>(record));
        }
    }
    return all;
}

}  // namespace tools
