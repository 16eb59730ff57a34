// The times that Samba gives, as the metrics read them.
#include <gtest/gtest.h>

#include "tools/IsoTime.h"

namespace {

TEST(IsoTime, SecondsSinceEpochWithTheirZones) {
    EXPECT_EQ(tools::secondsSinceEpoch("1970-01-01T00:00:00Z"), 0.0);
    EXPECT_EQ(tools::secondsSinceEpoch("2026-12-09T08:57:57.25+00:00"), 1796806677.25);
    EXPECT_EQ(tools::secondsSinceEpoch("2026-12-09T10:57:57-02:00"), 1796821077.0);
    for (const char* bad : {"", "2026-13-01T00:00:00Z", "2026-12-09T08:57:57",
                            "2026-12-09 08:57:57Z", "2026-12-09T08:57:57.+00:00"}) {
        EXPECT_FALSE(tools::secondsSinceEpoch(bad)) << bad;
    }
}

}  // namespace
