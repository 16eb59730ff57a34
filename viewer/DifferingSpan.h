#pragma once

#include <algorithm>
#include <cstddef>
#include <string_view>

namespace viewer {

// Where two texts differ: `current`'s characters [first, currentEnd) give way to `shown`'s
// [first, shownEnd); what comes before and after is common to both. A text box that rewrites only
// that span keeps a selection, the caret and the scroll position outside it, and lays out and
// repaints only the changed lines.
struct DifferingSpan {
    std::size_t first;
    std::size_t currentEnd;
    std::size_t shownEnd;
};

template <typename Char>
DifferingSpan differingSpan(std::basic_string_view<Char> current,
                            std::basic_string_view<Char> shown) {
    const auto first = static_cast<std::size_t>(
        std::mismatch(current.begin(), current.end(), shown.begin(), shown.end()).first -
        current.begin());
    // The common tail, which must not reach back into the common head of either text.
    const auto tailEnds =
        std::mismatch(current.rbegin(), current.rend() - static_cast<std::ptrdiff_t>(first),
                      shown.rbegin(), shown.rend() - static_cast<std::ptrdiff_t>(first));
    const auto tail = static_cast<std::size_t>(tailEnds.first - current.rbegin());
    return {first, current.size() - tail, shown.size() - tail};
}

}  // namespace viewer
