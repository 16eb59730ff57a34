// What station-scan makes of one pass: the plugin's verdict, the metrics, the JSON and the text,
// each from a pass result and holders built here.
#include <gtest/gtest.h>

#include <chrono>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <vector>

#include "tools/JsonOutput.h"
#include "tools/MetricsOutput.h"
#include "tools/PassWatch.h"
#include "tools/PluginOutput.h"
#include "tools/ProbeArguments.h"
#include "tools/SafeText.h"
#include "tools/TextOutput.h"

namespace {

using tools::PluginReport;
using tools::RecordList;
using tools::ThresholdRange;

// Records 2 to 8 tried, the last past the end of a file of 7 whole records.
tools::PassResult wholePass(std::vector<std::int32_t> locked) {
    tools::PassResult pass;
    pass.stationFile = "/srv/station/Brevanto.SIT";
    pass.ran = true;
    pass.tried = {2, 3, 4, 5, 6, 7, 8};
    pass.connected = static_cast<std::int32_t>(locked.size());
    pass.locked = std::move(locked);
    pass.lastFree = 7;
    return pass;
}

holders::Holder processHolder(std::int32_t record, std::string command) {
    return holders::Holder::process(record, 4242, std::move(command), "ana");
}

holders::Holder sambaHolder(std::int32_t record, std::int64_t pid, std::string machine,
                            std::string since) {
    holders::Holder holder = holders::Holder::process(record, pid, "smbd", "root");
    holder.client =
        holders::SambaClient{std::move(machine), "192.168.1.40", "almacen", std::move(since)};
    return holder;
}

TEST(ThresholdRanges, AlertAsThePluginsDefineThem) {
    struct Case {
        const char* range;
        std::vector<double> alerting;
        std::vector<double> quiet;
    };
    const std::vector<Case> cases = {
        {"10", {-1, 11}, {0, 10}},    {"10:", {9}, {10, 100}},           {"~:10", {11}, {-100, 10}},
        {"10:20", {9, 21}, {10, 20}}, {"@10:20", {10, 15, 20}, {9, 21}}, {"2.5:", {2}, {3}},
        {"-3:-1", {0, -4}, {-2}},
    };
    for (const Case& item : cases) {
        const auto range = ThresholdRange::parse(item.range);
        ASSERT_TRUE(range) << item.range;
        EXPECT_EQ(range->text(), item.range);
        for (const double value : item.alerting) EXPECT_TRUE(range->alerts(value)) << item.range;
        for (const double value : item.quiet) EXPECT_FALSE(range->alerts(value)) << item.range;
    }
    for (const char* bad : {"", "x", "5:3", "1e3", "inf", "~", "@", "1:2:3", "+4", "4.", " 4"}) {
        EXPECT_FALSE(ThresholdRange::parse(bad)) << bad;
    }
}

TEST(RecordLists, MergeInOrderAndRefuseWhatNoPassTries) {
    const auto list = RecordList::parse("9,2-5,4-6,12");
    ASSERT_TRUE(list);
    EXPECT_EQ(list->records(), (std::vector<std::int32_t>{2, 3, 4, 5, 6, 9, 12}));
    EXPECT_EQ(RecordList::describe(list->records()), "2-6,9,12");
    EXPECT_TRUE(list->contains(9));
    EXPECT_FALSE(list->contains(7));
    // Record 1 is never tried, and every expected record becomes a series of its own.
    for (const char* bad : {"", "1", "0-3", "5-3", "2-", "-4", "2,,3", "x", "2-100002"}) {
        EXPECT_FALSE(RecordList::parse(bad)) << bad;
    }
    EXPECT_TRUE(RecordList::parse("2-100001"));
}

TEST(TerminalText, EscapesControlsBidiAndBytesThatAreNotUtf8) {
    EXPECT_EQ(tools::escapedForTerminal("x\x1b[2K\rrecord 9:"), "x\\x1b[2K\\x0drecord 9:");
    EXPECT_EQ(tools::escapedForTerminal("a\x7f"
                                        "b\t"),
              "a\\x7fb\\x09");
    // U+009B, a CSI, as UTF-8 and as the bare byte; the right-to-left override and an isolate.
    EXPECT_EQ(tools::escapedForTerminal("\xc2\x9b"
                                        "2J \x9b"),
              "\\u009b2J \\x9b");
    EXPECT_EQ(tools::escapedForTerminal("txt.\xe2\x80\xae"
                                        "exe\xe2\x81\xa6"),
              "txt.\\u202eexe\\u2066");
    EXPECT_EQ(tools::escapedForTerminal("a\xff\xfe"
                                        "b\xc3"),
              "a\\xff\\xfeb\\xc3");
    // Overlong forms and surrogates are not UTF-8 either.
    EXPECT_EQ(tools::escapedForTerminal("\xc0\xaf\xed\xa0\x80"), "\\xc0\\xaf\\xed\\xa0\\x80");
    EXPECT_EQ(tools::escapedForTerminal("almac\xc3\xa9n \xe2\x82\xac \xf0\x9f\x98\x80"),
              "almac\xc3\xa9n \xe2\x82\xac \xf0\x9f\x98\x80");
    EXPECT_EQ(tools::escapedForTerminal("a|b\\c", "|"), "a\\x7cb\\c");
    EXPECT_EQ(tools::validUtf8("a\xff\xfe"
                               "b\xc3\xa9"),
              "a\xef\xbf\xbd\xef\xbf\xbd"
              "b\xc3\xa9");
}

TEST(TextOutput, HostileNamesReachTheTerminalEscaped) {
    std::ostringstream out;
    tools::printText(
        out, wholePass({3, 6}),
        std::vector{processHolder(3, "x\x1b[2K\rrecord 9:"), sambaHolder(6, 2440,
                                                                         "pc\xe2\x80\xae"
                                                                         "gpj",
                                                                         "")});
    EXPECT_EQ(out.str(),
              "\ncaption: 7\nconnected: 2\n"
              "record 3: pid 4242 x\\x1b[2K\\x0drecord 9:, user ana\n"
              "record 6: pid 2440 smbd, user root; client pc\\u202egpj at 192.168.1.40, "
              "account almacen\n");
}

TEST(JsonOutput, KeepsItsLayoutAndStaysValidUtf8) {
    std::ostringstream out;
    tools::PassResult pass = wholePass({3});
    pass.listing = "2\t3- **\r\n";
    tools::printJson(
        out, pass,
        std::vector{processHolder(3,
                                  "a\xff\xfe"
                                  "b\"\x01"),
                    holders::Holder::unknownBecause(6, "run as root to see Samba clients"),
                    sambaHolder(6, 2440, "almacen", "2026-12-08T18:02:11+00:00")});
    EXPECT_EQ(
        out.str(),
        "{\"listing\": \"2\\t3- **\\r\\n\", \"connected\": 1, \"lastFree\": 7, \"holders\": "
        "[{\"record\": 3, \"pid\": 4242, \"command\": \"a\xef\xbf\xbd\xef\xbf\xbd"
        "b\\\"\\u0001\", "
        "\"user\": \"ana\"}, {\"record\": 6, \"pid\": null, \"unknown\": \"run as root to see "
        "Samba clients\"}, {\"record\": 6, \"pid\": 2440, \"command\": \"smbd\", \"user\": "
        "\"root\", \"client\": \"almacen\", \"address\": \"192.168.1.40\", \"account\": "
        "\"almacen\", \"since\": \"2026-12-08T18:02:11+00:00\"}]}\n");
    EXPECT_TRUE(nlohmann::json::accept(out.str()));
}

TEST(PluginVerdict, StatesAndTheirPrecedence) {
    tools::CheckSettings settings{ThresholdRange::parse("1"), ThresholdRange::parse("2"),
                                  std::nullopt};
    const auto check = [&](std::vector<std::int32_t> locked) {
        return tools::checkReport(wholePass(std::move(locked)), std::nullopt, std::nullopt,
                                  settings);
    };
    EXPECT_EQ(check({3}).state, PluginReport::ok);
    EXPECT_EQ(check({3}).output,
              "STATIONS OK - 1 connected, last free station 7 | connected=1;1;2;0; "
              "records=7;;;0; last_free=7;;;0;\n");
    EXPECT_EQ(check({3, 4}).state, PluginReport::warning);
    EXPECT_EQ(check({3, 4}).output.substr(0, 60),
              "STATIONS WARNING - 2 connected (warning range 1), last free ");
    EXPECT_EQ(check({3, 4, 5}).state, PluginReport::critical);

    settings.expected = RecordList::parse("2-4");
    const PluginReport missing = check({3});
    EXPECT_EQ(missing.state, PluginReport::critical);
    EXPECT_EQ(missing.output,
              "STATIONS CRITICAL - expected but not connected: 2,4 - 1 connected, last free "
              "station 7 | connected=1;1;2;0; records=7;;;0; last_free=7;;;0;\n");

    // A failed look-up leaves the pass's verdict unless that is OK; CRITICAL stays CRITICAL.
    settings = {};
    const std::system_error denied(std::make_error_code(std::errc::permission_denied));
    EXPECT_EQ(tools::checkReport(wholePass({}), std::nullopt, denied, settings).state,
              PluginReport::unknown);
    settings.critical = ThresholdRange::parse("@0");
    EXPECT_EQ(tools::checkReport(wholePass({}), std::nullopt, denied, settings).state,
              PluginReport::critical);
}

TEST(PluginVerdict, AFailedPassIsCriticalWithTheFailure) {
    tools::PassResult unopened;
    unopened.stationFile = "/srv/a|b/Brevanto.SIT";
    unopened.failure =
        std::system_error(std::make_error_code(std::errc::no_such_file_or_directory));
    const PluginReport report = tools::checkReport(unopened, std::nullopt, std::nullopt, {});
    EXPECT_EQ(report.state, PluginReport::critical);
    // No pass ran, so no performance data; the path's '|' cannot start any.
    EXPECT_EQ(
        report.output,
        "STATIONS CRITICAL - cannot open /srv/a\\x7cb/Brevanto.SIT: " + std::to_string(ENOENT) +
            " " +
            std::system_error(std::make_error_code(std::errc::no_such_file_or_directory)).what() +
            "\n");

    // Stopped part-way: no count, no thresholds applied to it and no performance data, which
    // an engine would store as tills gone.
    tools::PassResult partWay = wholePass({3});
    partWay.tried = {2, 3, 4};
    partWay.failure = std::system_error(std::make_error_code(std::errc::io_error));
    const PluginReport stopped = tools::checkReport(
        partWay, std::nullopt, std::nullopt,
        {ThresholdRange::parse("@1"), ThresholdRange::parse("@1"), RecordList::parse("2")});
    EXPECT_EQ(stopped.state, PluginReport::critical);
    EXPECT_EQ(stopped.output,
              "STATIONS CRITICAL - the pass over /srv/station/Brevanto.SIT stopped "
              "at record 4: " +
                  std::to_string(EIO) + " " + partWay.failure->what() + "\n");
}

TEST(PluginVerdict, OneLongOutputLineForEachHolderWithoutAPipe) {
    const PluginReport report =
        tools::checkReport(wholePass({3, 6}),
                           std::vector{processHolder(3, "a|b=1;2"),
                                       sambaHolder(6, 2440, "caja|3", "2026-12-09T08:57:57+00:00")},
                           std::nullopt, {});
    const std::string longOutput = report.output.substr(report.output.find('\n') + 1);
    EXPECT_EQ(longOutput,
              "record 3: pid 4242 a\\x7cb=1;2, user ana\n"
              "record 6: pid 2440 smbd, user root; client caja\\x7c3 at 192.168.1.40, account "
              "almacen, since 2026-12-09T08:57:57+00:00\n");
}

TEST(Metrics, AFailedPassIsUpZeroTheVersionAndItsTime) {
    const std::string upZero =
        "# HELP prostrevan_up 1 when the pass over the station file ran to the end of the "
        "file, 0 when the file could not be opened or a read failed.\n"
        "# TYPE prostrevan_up gauge\nprostrevan_up{folder=\"/srv/station\"} 0\n"
        "# HELP prostrevan_build_info Always 1: the version of station-scan that wrote this.\n"
        "# TYPE prostrevan_build_info gauge\n"
        "prostrevan_build_info{folder=\"/srv/station\",version=\"" OSTREVAN_VERSION
        "\"} 1\n"
        "# HELP prostrevan_scan_timestamp_seconds When the pass ran, in seconds since 1970: a "
        "file left behind by a stopped timer keeps its old time.\n"
        "# TYPE prostrevan_scan_timestamp_seconds gauge\n"
        "prostrevan_scan_timestamp_seconds{folder=\"/srv/station\"} 1765270677.5\n";
    const auto startedAt = std::chrono::system_clock::time_point(
        std::chrono::duration_cast<std::chrono::system_clock::duration>(
            std::chrono::duration<double>(1765270677.5)));
    tools::PassResult unopened;
    unopened.stationFile = "/srv/station/Brevanto.SIT";
    unopened.startedAt = startedAt;
    unopened.failure = std::system_error(std::make_error_code(std::errc::permission_denied));
    EXPECT_EQ(tools::metricsText(unopened, std::nullopt, std::nullopt, std::nullopt), upZero);
    // Counts of a pass that stopped part-way would look current: none of them is given.
    tools::PassResult partWay = wholePass({3});
    partWay.startedAt = startedAt;
    partWay.failure = std::system_error(std::make_error_code(std::errc::io_error));
    EXPECT_EQ(tools::metricsText(partWay, std::nullopt, std::nullopt, RecordList::parse("3")),
              upZero);
}

TEST(Metrics, HoldersAreSeriesOfTheirOwnEvenWhenAlike) {
    tools::PassResult pass = wholePass({3, 5});
    pass.stationFile = "/srv/a \"b\"/Brevanto.SIT";
    const auto unseen =
        holders::Holder::unknownBecause(5, "held by a process this look-up cannot see");
    const std::string text = tools::metricsText(
        pass,
        std::vector{sambaHolder(3, 2435, "caja-3", "2026-12-09T08:57:57.5+01:00"),
                    sambaHolder(3, 2435, "caja-3", "2026-12-09T09:00:00+01:00"), unseen, unseen,
                    processHolder(6, "x\\y\xff\"")},
        std::nullopt, RecordList::parse("3-4"));
    const std::string folder = "folder=\"/srv/a \\\"b\\\"\"";
    for (const std::string& line : {
             "prostrevan_connected{" + folder + "} 2\n",
             "prostrevan_record_locked{" + folder + ",record=\"4\"} 0\n",
             "prostrevan_record_locked{" + folder + ",record=\"5\"} 1\n",
             "prostrevan_record_expected{" + folder + ",record=\"4\"} 1\n",
             "prostrevan_holders_up{" + folder + "} 1\n",
             "prostrevan_record_holder_info{" + folder +
                 ",record=\"6\",pid=\"4242\",command=\"x\\\\y\xef\xbf\xbd\\\"\",user=\"ana\","
                 "client=\"\","
                 "address=\"\",account=\"\",unknown=\"\"} 1\n",
             "prostrevan_record_holder_info{" + folder +
                 ",record=\"5\",pid=\"\",command=\"\",user=\"\",client=\"\",address=\"\","
                 "account=\"\",unknown=\"held by a process this look-up cannot see\"} 2\n",
             // The earlier of the two opens, 08:57:57.5 at +01:00.
             "prostrevan_record_holder_since_timestamp_seconds{" + folder +
                 ",record=\"3\",pid=\"2435\"} 1796803077.5\n",
         }) {
        EXPECT_NE(text.find(line), std::string::npos) << line << "in\n" << text;
    }
    EXPECT_EQ(
        text.find("record=\"3\",pid=\"2435\",command=\"smbd\",user=\"root\",client=\"caja-3\""),
        text.rfind("record=\"3\",pid=\"2435\",command=\"smbd\",user=\"root\",client=\"caja-3\""))
        << "a series appears only once";
}

std::size_t occurrences(const std::string& text, const std::string& part) {
    std::size_t count = 0;
    for (auto at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++count;
    return count;
}

TEST(Metrics, PerRecordSeriesStopAfterTenThousandRecordsAndSaySo) {
    // A file of 200,000 records: series for records 2 to 10001 only.
    tools::PassResult pass = wholePass({});
    pass.tried.clear();
    for (std::int32_t record = 2; record <= 200'001; ++record) pass.tried.push_back(record);
    pass.locked = {10'001, 10'002};
    pass.connected = 2;
    const std::string text = tools::metricsText(
        pass, std::vector{processHolder(10'001, "till"), processHolder(10'002, "till")},
        std::nullopt, RecordList::parse("10001-10002,150000"));
    EXPECT_EQ(occurrences(text, "prostrevan_record_locked{"), tools::kMostRecordSeries);
    EXPECT_NE(text.find("prostrevan_record_locked{folder=\"/srv/station\",record=\"10001\"} 1\n"),
              std::string::npos);
    EXPECT_EQ(text.find("record=\"10002\""), std::string::npos) << "no series past the bound";
    EXPECT_EQ(text.find("record=\"150000\""), std::string::npos);
    EXPECT_EQ(occurrences(text, "prostrevan_record_holder_info{"), 1u);
    EXPECT_EQ(occurrences(text, "prostrevan_record_expected{"), 1u);
    EXPECT_NE(text.find("prostrevan_record_series_omitted{folder=\"/srv/station\"} 190000\n"),
              std::string::npos);
    // The whole counts stay whole.
    EXPECT_NE(text.find("prostrevan_records{folder=\"/srv/station\"} 2e+05\n"), std::string::npos);
    EXPECT_NE(text.find("prostrevan_connected{folder=\"/srv/station\"} 2\n"), std::string::npos);
    EXPECT_LT(text.size(), 2'000'000u);

    // A small file leaves nothing out, and an expected record past its end keeps its series.
    const std::string small =
        tools::metricsText(wholePass({3}), std::nullopt, std::nullopt, RecordList::parse("20"));
    EXPECT_NE(small.find("prostrevan_record_series_omitted{folder=\"/srv/station\"} 0\n"),
              std::string::npos);
    EXPECT_NE(small.find("prostrevan_record_expected{folder=\"/srv/station\",record=\"20\"} 1\n"),
              std::string::npos);
}

TEST(Metrics, AFailedLookUpIsHoldersUpZeroWithNoHolders) {
    const tools::PassResult pass = wholePass({3});
    const std::string failed = tools::metricsText(
        pass, std::nullopt, std::system_error(EMFILE, std::system_category()), std::nullopt);
    EXPECT_NE(failed.find("# TYPE prostrevan_holders_up gauge\n"
                          "prostrevan_holders_up{folder=\"/srv/station\"} 0\n"),
              std::string::npos)
        << failed;
    EXPECT_EQ(failed.find("prostrevan_record_holder"), std::string::npos) << failed;
    // Not asked for, the look-up has no series at all.
    EXPECT_EQ(tools::metricsText(pass, std::nullopt, std::nullopt, std::nullopt)
                  .find("prostrevan_holders_up"),
              std::string::npos);
}

}  // namespace

TEST(PassWatch, AnOpenOrReadHasFiveSecondsAndTheRunItsTimeOut) {
    using namespace std::chrono_literals;
    const tools::PassWatch::Clock::time_point start;
    tools::PassWatch watch(start, 10s);
    EXPECT_EQ(watch.deadline(), start + 10s);
    watch.heard("o", start + 1s);
    EXPECT_EQ(watch.deadline(), start + 6s);
    watch.heard("a", start + 2s);
    watch.heard("r 4", start + 3s);
    EXPECT_EQ(watch.deadline(), start + 8s);
    const tools::Stall read = watch.stall();
    EXPECT_EQ(read.step, tools::Step::reading);
    EXPECT_EQ(read.record, 4);
    EXPECT_TRUE(read.operationTimedOut);
    // A read begun late meets the run's end first; after the pass only the run's end holds.
    watch.heard("a", start + 7s);
    watch.heard("r 12", start + 7s);
    EXPECT_EQ(watch.deadline(), start + 10s);
    EXPECT_FALSE(watch.stall().operationTimedOut);
    watch.heard("r x", start + 8s);  // not a record: changes nothing
    EXPECT_EQ(watch.stall().record, 12);
    watch.heard("l", start + 8s);
    EXPECT_EQ(watch.deadline(), start + 10s);
    EXPECT_EQ(watch.stall().step, tools::Step::lookingUp);
}
