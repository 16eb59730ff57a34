#include "tools/PassWatch.h"

#include <algorithm>
#include <charconv>

namespace tools {

void PassWatch::heard(std::string_view line, Clock::time_point now) {
    if (line == "o") {
        step_ = Step::opening;
        operationBegan_ = now;
    } else if (line.starts_with("r ")) {
        std::int32_t record = 0;
        const auto [end, problem] =
            std::from_chars(line.data() + 2, line.data() + line.size(), record);
        if (problem != std::errc() || end != line.data() + line.size()) return;
        step_ = Step::reading;
        record_ = record;
        operationBegan_ = now;
    } else if (line == "a") {
        operationBegan_.reset();
    } else if (line == "l" || line == "w") {
        step_ = line == "l" ? Step::lookingUp : Step::reporting;
        operationBegan_.reset();
    }
}

PassWatch::Clock::time_point PassWatch::deadline() const {
    return operationBegan_ ? std::min(runDeadline_, *operationBegan_ + kOperationPatience)
                           : runDeadline_;
}

Stall PassWatch::stall() const {
    return {step_, record_,
            operationBegan_ && *operationBegan_ + kOperationPatience <= runDeadline_};
}

}  // namespace tools
