#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// What the monitoring probes are told on the command line: threshold ranges and the records that
// must be locked.
namespace tools {

// A threshold in the monitoring plugins' range syntax: `N` alerts outside 0..N, `N:` below N,
// `~:N` above N, `N:M` outside N..M, `@N:M` inside N..M (ends included).
class ThresholdRange {
  public:
    static std::optional<ThresholdRange> parse(std::string_view text);

    bool alerts(double value) const;
    // As it was given, for the performance data.
    const std::string& text() const { return text_; }

  private:
    std::optional<double> low_;   // none: no lower end (`~`)
    std::optional<double> high_;  // none: no upper end
    bool inside_ = false;
    std::string text_;
};

// Records given as a list of numbers and spans, `2-5,9`: merged, in increasing order.
class RecordList {
  public:
    // The largest number of records a list may name: every one becomes a series of its own.
    static constexpr std::int64_t kMostRecords = 100'000;

    static std::optional<RecordList> parse(std::string_view text);
    // The records in the same notation, shortest form: `3-5,9`.
    static std::string describe(const std::vector<std::int32_t>& increasing);

    bool contains(std::int32_t record) const;
    std::vector<std::int32_t> records() const;

  private:
    struct Span {
        std::int32_t first;
        std::int32_t last;
    };
    std::vector<Span> spans_;
};

}  // namespace tools
