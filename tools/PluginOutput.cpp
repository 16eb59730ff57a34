#include "tools/PluginOutput.h"

#include <algorithm>
#include <array>

#include "station/Failure.h"
#include "tools/SafeText.h"
#include "tools/TextOutput.h"

namespace tools {
namespace {

constexpr std::array<const char*, 4> kStateNames = {"OK", "WARNING", "CRITICAL", "UNKNOWN"};

// The monitoring plugins' order of severity: CRITICAL, WARNING, UNKNOWN, OK.
PluginReport::State worse(PluginReport::State a, PluginReport::State b) {
    constexpr std::array<int, 4> kSeverity = {0, 2, 3, 1};
    return kSeverity[a] >= kSeverity[b] ? a : b;
}

// A name or path on the status line or in the long output: a '|' would start performance data.
std::string plain(std::string_view text) { return escapedForTerminal(text, "|"); }

std::string failureText(const std::system_error& failure) {
    return station::failureNumber(failure) + " " + plain(station::failureDescription(failure));
}

std::string statusLine(PluginReport::State state, const std::string& text) {
    return std::string("STATIONS ") + kStateNames[state] + " - " + text;
}

}  // namespace

PluginReport checkReport(const PassResult& pass, const FoundHolders& found,
                         const std::optional<std::system_error>& lookUpFailure,
                         const CheckSettings& settings) {
    if (!pass.ran) {
        return {PluginReport::critical,
                statusLine(PluginReport::critical, describeFailure(pass, "|")) + "\n"};
    }
    // A pass that stopped part-way counted only some records: no count, no thresholds on it and
    // no performance data, which an engine would store and graph as tills gone.
    if (pass.failure) {
        return {PluginReport::critical,
                statusLine(PluginReport::critical, describeFailure(pass, "|")) + "\n"};
    }
    const auto connected = static_cast<std::int64_t>(pass.locked.size());
    PluginReport::State state = PluginReport::ok;
    std::vector<std::string> findings;
    if (settings.expected) {
        std::vector<std::int32_t> missing;
        for (const std::int32_t record : settings.expected->records()) {
            if (!std::ranges::binary_search(pass.locked, record)) missing.push_back(record);
        }
        if (!missing.empty()) {
            state = PluginReport::critical;
            findings.push_back("expected but not connected: " + RecordList::describe(missing));
        }
    }
    std::string count = std::to_string(connected) + " connected";
    const auto value = static_cast<double>(connected);
    if (settings.critical && settings.critical->alerts(value)) {
        state = worse(state, PluginReport::critical);
        count += " (critical range " + settings.critical->text() + ")";
    } else if (settings.warning && settings.warning->alerts(value)) {
        state = worse(state, PluginReport::warning);
        count += " (warning range " + settings.warning->text() + ")";
    }
    findings.push_back(count + ", last free station " + std::to_string(pass.lastFree));
    if (lookUpFailure) {
        state = worse(state, PluginReport::unknown);
        findings.push_back("holders not known: " + failureText(*lookUpFailure));
    }

    std::string text;
    // Nagios turns a ';' in the output into ':': the findings are set apart by dashes.
    for (const std::string& finding : findings) text += (text.empty() ? "" : " - ") + finding;
    const auto rangeText = [](const std::optional<ThresholdRange>& range) {
        return range ? range->text() : std::string();
    };
    std::string output = statusLine(state, text) + " | connected=" + std::to_string(connected) +
                         ";" + rangeText(settings.warning) + ";" + rangeText(settings.critical) +
                         ";0; records=" + std::to_string(pass.tried.size()) +
                         ";;;0; last_free=" + std::to_string(pass.lastFree) + ";;;0;\n";
    if (found) {
        for (const holders::Holder& holder : *found) output += describeHolder(holder, "|") + "\n";
    }
    return {state, output};
}

PluginReport failureReport(PluginReport::State state, std::string_view problem,
                           const std::system_error& failure) {
    return {state, statusLine(state, plain(problem) + ": " + failureText(failure)) + "\n"};
}

PluginReport usageReport(std::string_view problem, std::string_view usage) {
    return {PluginReport::unknown,
            statusLine(PluginReport::unknown, plain(problem)) + "\n" + std::string(usage)};
}

}  // namespace tools
