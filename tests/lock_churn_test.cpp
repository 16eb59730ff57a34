// Passes while another process takes and releases locks as fast as it can: each record's state
// is whatever holds at the moment of its read, so a listing may mix moments, but every listing
// must still be well formed.
#include <gtest/gtest.h>

#include <regex>
#include <string>

#include "Support.h"

namespace {

using testing_support::OpenedStation;
using testing_support::OwnerProcess;
using testing_support::TempFolder;

// Checks one listing against its pass's results: every entry a number, the marker or nothing,
// and its separator; numbers consecutive from 2; a line break after each multiple of 3; the
// last entry unmarked and just past the last whole record.
::testing::AssertionResult wellFormed(const std::string& listing, std::int32_t connected,
                                      std::int32_t lastFree, std::int32_t wholeRecords) {
    static const std::regex entry(R"((\d+)(- \*\*)?(\t|\r\n))");
    std::int32_t expected = 2;
    std::int32_t marked = 0;
    bool lastMarked = false;
    auto at = listing.cbegin();
    for (std::smatch match; at != listing.cend(); at = match.suffix().first, ++expected) {
        if (!std::regex_search(at, listing.cend(), match, entry,
                               std::regex_constants::match_continuous)) {
            return ::testing::AssertionFailure() << "no entry at " << (at - listing.cbegin());
        }
        if (match[1] != std::to_string(expected))
            return ::testing::AssertionFailure() << match[1] << " where " << expected << " is due";
        if (match[3] != (expected % 3 == 0 ? "\r\n" : "\t"))
            return ::testing::AssertionFailure() << "wrong separator after " << expected;
        lastMarked = match[2].matched;
        marked += lastMarked ? 1 : 0;
    }
    if (expected - 1 != wholeRecords + 1)
        return ::testing::AssertionFailure() << "ends at " << expected - 1;
    if (lastMarked) return ::testing::AssertionFailure() << "the last entry is marked";
    if (marked != connected)
        return ::testing::AssertionFailure() << marked << " marked, " << connected << " counted";
    if (lastFree != wholeRecords) return ::testing::AssertionFailure() << "last free " << lastFree;
    return ::testing::AssertionSuccess();
}

TEST(LockChurn, EveryListingStaysWellFormed) {
    constexpr std::int32_t kStations = 300;
    TempFolder folder;
    OwnerProcess churner({"simulate", folder.stationFile().string(), "--stations",
                          std::to_string(kStations), "--period", "0", "--seed", "7", "--verbose"});
    churner.readLine();  // the file has all its records once the first lock is taken
    OpenedStation opened(folder.stationFile());
    std::int32_t mostConnected = 0;
    for (int pass = 0; pass < 2000; ++pass) {
        std::int32_t lastFree = 0;
        const std::int32_t connected = opened.scan(lastFree);
        ASSERT_TRUE(wellFormed(opened.listing.text(), connected, lastFree, kStations))
            << "pass " << pass << ":\n"
            << opened.listing.text();
        mostConnected = std::max(mostConnected, connected);
    }
    EXPECT_GT(mostConnected, 0);  // the churn really ran during the passes
    EXPECT_TRUE(opened.messages.messages.empty());
}

}  // namespace
