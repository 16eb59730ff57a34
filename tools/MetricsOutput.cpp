#include "tools/MetricsOutput.h"

#include <algorithm>
#include <charconv>
#include <chrono>
#include <limits>
#include <map>
#include <span>
#include <utility>
#include <vector>

#include "tools/BuildInfo.h"
#include "tools/IsoTime.h"
#include "tools/SafeText.h"

namespace tools {
namespace {

using Labels = std::vector<std::pair<std::string_view, std::string>>;

std::string number(double value) {
    char text[32];
    const auto written = std::to_chars(std::begin(text), std::end(text), value);
    return std::string(text, written.ptr);
}

// Label values must be UTF-8, with backslash, double quote and line feed escaped.
std::string labelValue(std::string_view text) {
    std::string escaped;
    for (const char c : validUtf8(text)) {
        if (c == '\\') {
            escaped += "\\\\";
        } else if (c == '"') {
            escaped += "\\\"";
        } else if (c == '\n') {
            escaped += "\\n";
        } else {
            escaped += c;
        }
    }
    return escaped;
}

class Exposition {
  public:
    explicit Exposition(std::string folder) : folder_(std::move(folder)) {}

    void family(std::string_view name, std::string_view help) {
        text_ += "# HELP ";
        text_ += name;
        text_ += ' ';
        text_ += help;
        text_ += "\n# TYPE ";
        text_ += name;
        text_ += " gauge\n";
    }

    void sample(std::string_view name, const Labels& labels, double value) {
        text_ += name;
        text_ += "{folder=\"" + labelValue(folder_) + "\"";
        for (const auto& [label, labelText] : labels) {
            text_ += ',';
            text_ += label;
            text_ += "=\"" + labelValue(labelText) + "\"";
        }
        text_ += "} " + number(value) + "\n";
    }

    // A family of one series labelled only with the folder.
    void single(std::string_view name, std::string_view help, double value) {
        family(name, help);
        sample(name, {}, value);
    }

    std::string text() && { return std::move(text_); }

  private:
    std::string folder_;
    std::string text_;
};

Labels holderLabels(const holders::Holder& holder) {
    const holders::SambaClient noClient;
    const holders::SambaClient& client = holder.client ? *holder.client : noClient;
    return {{"record", std::to_string(holder.record)},
            {"pid", holder.pid ? std::to_string(*holder.pid) : std::string()},
            {"command", holder.command},
            {"user", holder.user},
            {"client", client.machine},
            {"address", client.address},
            {"account", client.account},
            {"unknown", holder.unknown}};
}

void holderMetrics(Exposition& out, const std::vector<holders::Holder>& found,
                   std::int32_t lastExposedRecord) {
    // Holders alike in every label (two locks of one range that nobody can see, say) are one
    // series counting them: a series may appear only once.
    std::vector<std::pair<Labels, int>> described;
    std::map<std::pair<std::int32_t, std::int64_t>, double> since;
    for (const holders::Holder& holder : found) {
        if (holder.record > lastExposedRecord) continue;
        Labels labels = holderLabels(holder);
        const auto same = std::ranges::find(described, labels, &std::pair<Labels, int>::first);
        if (same == described.end()) {
            described.emplace_back(std::move(labels), 1);
        } else {
            ++same->second;
        }
        if (holder.pid && holder.client) {
            if (const auto opened = secondsSinceEpoch(holder.client->since)) {
                const auto key = std::pair(holder.record, *holder.pid);
                since[key] = since.contains(key) ? std::min(since[key], *opened) : *opened;
            }
        }
    }
    if (described.empty()) return;
    out.family("prostrevan_record_holder_info",
               "Who holds a lock on a record: the process, and for a Samba client its machine, "
               "address and account; unknown says why a holder could not be seen. The value "
               "counts the holders alike in every label.");
    for (const auto& [labels, count] : described) {
        out.sample("prostrevan_record_holder_info", labels, count);
    }
    if (since.empty()) return;
    out.family("prostrevan_record_holder_since_timestamp_seconds",
               "When the Samba client whose smbd holds a lock on the record opened the station "
               "file, in seconds since 1970.");
    for (const auto& [key, opened] : since) {
        out.sample("prostrevan_record_holder_since_timestamp_seconds",
                   {{"record", std::to_string(key.first)}, {"pid", std::to_string(key.second)}},
                   opened);
    }
}

}  // namespace

std::string metricsText(const PassResult& pass, const FoundHolders& found,
                        const std::optional<std::system_error>& lookUpFailure,
                        const std::optional<RecordList>& expected) {
    Exposition out(pass.folder());
    out.single("prostrevan_up",
               "1 when the pass over the station file ran to the end of the file, 0 when the file "
               "could not be opened or a read failed.",
               pass.reachedTheEnd() ? 1 : 0);
    out.family("prostrevan_build_info", "Always 1: the version of station-scan that wrote this.");
    out.sample("prostrevan_build_info", {{"version", std::string(kVersion)}}, 1);
    const auto timestamp = [&out, &pass] {
        out.single("prostrevan_scan_timestamp_seconds",
                   "When the pass ran, in seconds since 1970: a file left behind by a stopped "
                   "timer keeps its old time.",
                   std::chrono::duration<double>(pass.startedAt.time_since_epoch()).count());
    };
    if (!pass.reachedTheEnd()) {
        timestamp();
        return std::move(out).text();
    }

    out.single("prostrevan_records",
               "Entries in the listing: every record the pass tried, from record 2 to the one "
               "past the last whole record; not a count of stations.",
               static_cast<double>(pass.tried.size()));
    out.single("prostrevan_connected", "Records found locked: workstations connected.",
               pass.connected);
    out.single("prostrevan_last_free_station",
               "The monitor's caption: the number of the last record read free, less one; after a "
               "whole pass, the number of whole records in the file. Not a count of free stations.",
               pass.lastFree);
    // Only the first records get series of their own: a huge file would make an exposition of
    // many megabytes every pass.
    const std::size_t exposed = std::min(pass.tried.size(), kMostRecordSeries);
    const std::int32_t lastExposedRecord = exposed < pass.tried.size()
                                               ? pass.tried[exposed - 1]
                                               : std::numeric_limits<std::int32_t>::max();
    out.single("prostrevan_record_series_omitted",
               "Records the pass tried past the first " + std::to_string(kMostRecordSeries) +
                   ", which get no series of their own: no prostrevan_record_locked, "
                   "prostrevan_record_expected or holder series for them.",
               static_cast<double>(pass.tried.size() - exposed));
    out.family("prostrevan_record_locked", "1 when the record was locked, 0 when it read free.");
    for (const std::int32_t record : std::span(pass.tried).first(exposed)) {
        out.sample("prostrevan_record_locked", {{"record", std::to_string(record)}},
                   std::ranges::binary_search(pass.locked, record) ? 1 : 0);
    }
    if (expected) {
        out.family("prostrevan_record_expected",
                   "1 for each record that must be locked: a till that must be connected.");
        for (const std::int32_t record : expected->records()) {
            if (record > lastExposedRecord) break;
            out.sample("prostrevan_record_expected", {{"record", std::to_string(record)}}, 1);
        }
    }
    if (found || lookUpFailure) {
        out.single("prostrevan_holders_up",
                   "1 when the look-up of the records' holders ran, 0 when it failed (the scan's "
                   "error output says why): then no holder is given.",
                   found ? 1 : 0);
    }
    if (found) holderMetrics(out, *found, lastExposedRecord);
    out.single("prostrevan_scan_duration_seconds", "How long the pass took.",
               pass.duration.count());
    timestamp();
    return std::move(out).text();
}

}  // namespace tools
