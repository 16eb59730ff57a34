#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <system_error>

#include "tools/ProbeArguments.h"
#include "tools/ScanPass.h"

namespace tools {

// The most records that get series of their own (locked, expected, holders) in one exposition.
inline constexpr std::size_t kMostRecordSeries = 10'000;

// One pass in the Prometheus text exposition format, every series labelled with the station
// file's folder. After a pass that could not open the file or read it to its end, only
// `prostrevan_up` 0 and the time of the pass, so that an alert fires, no stale count looks
// current and a timer that stops after a failure still shows. With the holders
// asked for (found, or the look-up's failure), `prostrevan_holders_up` says whether they were
// found. `prostrevan_build_info` names this program's version, whatever the pass found.
std::string metricsText(const PassResult& pass, const FoundHolders& found,
                        const std::optional<std::system_error>& lookUpFailure,
                        const std::optional<RecordList>& expected);

}  // namespace tools
