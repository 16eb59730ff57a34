#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <system_error>

#include "tools/ProbeArguments.h"
#include "tools/ScanPass.h"

namespace tools {

// What a monitoring plugin hands its engine: the exit status and the output, whose first line is
// the status line with the performance data.
struct PluginReport {
    enum State { ok = 0, warning = 1, critical = 2, unknown = 3 };
    State state;
    std::string output;
};

struct CheckSettings {
    std::optional<ThresholdRange> warning;
    std::optional<ThresholdRange> critical;
    std::optional<RecordList> expected;
};

// The plugin's verdict on one pass: CRITICAL when the station file could not be read to its end
// or an expected record is not locked, else by the thresholds on the connected count; a failed
// look-up of the holders is UNKNOWN unless something worse holds.
PluginReport checkReport(const PassResult& pass, const FoundHolders& found,
                         const std::optional<std::system_error>& lookUpFailure,
                         const CheckSettings& settings);

// A pass that did not answer, or could not be run: state, with the problem and the failure.
PluginReport failureReport(PluginReport::State state, std::string_view problem,
                           const std::system_error& failure);

// The plugin could not run as asked: UNKNOWN, with the problem and the usage.
PluginReport usageReport(std::string_view problem, std::string_view usage);

}  // namespace tools
