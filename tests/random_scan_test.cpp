// Many passes over random file sizes and random lock sets, checked against a model of the
// listing built independently of the scan.
#include <gtest/gtest.h>

#include <algorithm>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "Support.h"

namespace {

using testing_support::OwnerProcess;
using testing_support::scanFolder;
using testing_support::TempFolder;

constexpr long long kRecord = 81;
constexpr long long kInfinity = std::numeric_limits<long long>::max();

struct Range {
    long long begin;
    long long end;  // exclusive
};

struct Model {
    std::string listing;
    int connected = 0;
    int lastFree = 0;
};

// A record is locked when any lock overlaps its 81 bytes, unless it lies wholly past the end; the
// pass ends after the first unlocked record that is not whole.
Model expectedScan(long long size, const std::vector<Range>& locks) {
    Model model;
    for (long long record = 2;; ++record) {
        const long long begin = (record - 1) * kRecord;
        const long long end = begin + kRecord;
        const bool locked =
            begin < size && std::any_of(locks.begin(), locks.end(), [&](Range lock) {
                return lock.begin < end && begin < lock.end;
            });
        model.listing +=
            std::to_string(record) + (locked ? "- **" : "") + (record % 3 == 0 ? "\r\n" : "\t");
        if (locked) {
            ++model.connected;
            continue;
        }
        model.lastFree = static_cast<int>(record - 1);
        if (end > size) return model;
    }
}

TEST(RandomScan, AgreesWithTheModel) {
    TempFolder folder;
    OwnerProcess owner(folder.stationFile());
    std::mt19937 random(20261208);
    auto between = [&](long long low, long long high) {
        return std::uniform_int_distribution<long long>(low, high)(random);
    };

    for (int round = 0; round < 300; ++round) {
        const long long size = between(0, 20) * kRecord + (between(0, 2) == 0 ? between(1, 80) : 0);
        owner.unlock("whole");
        owner.truncate(size);
        std::vector<Range> locks;
        for (long long count = between(0, 6); count > 0; --count) {
            const long long record = between(1, 23);
            const long long start = (record - 1) * kRecord;
            switch (between(0, 5)) {
                case 0: {
                    const long long offset = between(0, kRecord - 1);
                    const long long length = between(1, kRecord - offset);
                    owner.lock(std::to_string(record) + ":" + std::to_string(offset) + ":" +
                               std::to_string(length));
                    locks.push_back({start + offset, start + offset + length});
                    break;
                }
                case 1:
                    owner.lock(std::to_string(record) + "+");
                    locks.push_back({start, kInfinity});
                    break;
                default:
                    owner.lock(std::to_string(record));
                    locks.push_back({start, start + kRecord});
            }
        }
        const Model expected = expectedScan(size, locks);
        const auto outcome = scanFolder(folder.path());
        SCOPED_TRACE("round " + std::to_string(round) + ", size " + std::to_string(size));
        ASSERT_EQ(outcome.listing, expected.listing);
        ASSERT_EQ(outcome.connected, expected.connected);
        ASSERT_EQ(outcome.lastFree, expected.lastFree);
    }
}

}  // namespace
