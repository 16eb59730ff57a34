// One pass of the lock scan, exactly as the monitor's refresh runs it, printed for scripts and
// for monitoring engines.
#include <CLI/CLI.hpp>
#include <algorithm>
#include <chrono>
#include <iostream>
#include <optional>
#include <string>
#include <system_error>
#include <vector>

#include "holders/LockHolders.h"
#include "station/Failure.h"
#include "tools/BuildInfo.h"
#include "tools/Console.h"
#include "tools/JsonOutput.h"
#include "tools/MetricsOutput.h"
#include "tools/PassWatch.h"
#include "tools/PluginOutput.h"
#include "tools/ProbeArguments.h"
#include "tools/ReplacedFile.h"
#include "tools/SafeText.h"
#include "tools/ScanPass.h"
#include "tools/TextOutput.h"

namespace {

// No '|' anywhere in it: after a plugin's status line, a monitoring engine would take what
// follows one for performance data.
constexpr const char* kUsage =
    "usage: station-scan [--json] [--holders [--smb-conf FILE] [--smbstatus PATH]] [-t SECONDS]\n"
    "                    [FOLDER]\n"
    "       station-scan --check [-w RANGE] [-c RANGE] [--expect LIST] [--holders ...] [-t ...]\n"
    "                    FOLDER\n"
    "       station-scan --prometheus [--output FILE] [--expect LIST] [--holders ...] [-t ...]\n"
    "                    [FOLDER]\n"
    "       station-scan --version\n"
    "\n"
    "Runs one pass over FOLDER/Brevanto.SIT (default: the folder of this program) as the\n"
    "monitor does, creating the file empty when it is missing. Prints the listing, then the\n"
    "caption (the last free station) and the connected count; with --json, one object\n"
    "{\"listing\": ..., \"connected\": N, \"lastFree\": N}. Exits 1 when the pass failed\n"
    "or its output could not be written.\n"
    "\n"
    "--holders  then looks up who holds each locked record (Linux): a process of this machine,\n"
    "           or through Samba's smbd a client machine, its address and account; one line per\n"
    "           holder, or with --json a \"holders\" array. Samba's clients need root.\n"
    "--smb-conf FILE  Samba's configuration, when it is not Samba's default.\n"
    "--smbstatus PATH  Samba's status program (default /usr/bin/smbstatus), never looked up\n"
    "           on PATH.\n"
    "\n"
    "--check    a monitoring plugin (Nagios, Icinga): one status line, STATIONS OK, WARNING,\n"
    "           CRITICAL or UNKNOWN, what it found and the performance data (connected=N;W;C;0;\n"
    "           records=N;;;0; last_free=N;;;0;), and exit status 0, 1, 2 or 3. A station file\n"
    "           that cannot be opened or read to its end is CRITICAL. FOLDER is required.\n"
    "-w, --warning RANGE, -c, --critical RANGE  thresholds on the connected count in the\n"
    "           plugins' range syntax: N alerts outside 0..N, N: below N, ~:N above N, N:M\n"
    "           outside N..M, @N:M inside N..M.\n"
    "--expect LIST  records that must be locked, the tills that must be connected (2-5,9):\n"
    "           with --check any not locked is CRITICAL; with --prometheus each is a\n"
    "           prostrevan_record_expected series.\n"
    "--prometheus  metrics in Prometheus' text format, for a textfile collector.\n"
    "--output FILE  writes them to FILE whole (a new file put in its place, even where FILE\n"
    "           was a symbolic link), not to standard output.\n"
    "-V, --version  prints the version.\n"
    "With --check or --prometheus a missing station file is never created.\n"
    "\n"
    "-t, --timeout SECONDS  bounds the whole run (default 10). An open or read of the station\n"
    "           file that has not returned in 5 s, or a run past SECONDS, fails the pass with\n"
    "           the system's time-out error, saying what did not answer: --check is CRITICAL,\n"
    "           --prometheus gives prostrevan_up 0; the status is given at once, even when the\n"
    "           read cannot be interrupted.\n";

struct Options {
    bool help = false;
    bool version = false;
    bool json = false;
    bool holders = false;
    bool check = false;
    bool prometheus = false;
    std::string sambaConfiguration;
    std::string smbstatus = "/usr/bin/smbstatus";
    std::string warning;
    std::string critical;
    std::string expect;
    std::string output;
    std::string folder;
    int timeout = 10;
};

// Throws CLI::ParseError for arguments it cannot take.
Options parse(std::vector<std::string> words) {
    Options options;
    CLI::App app;
    app.set_help_flag();
    // CLI11 takes "/word" for an option on Windows: a folder from the drive's root is no option.
    app.allow_windows_style_options(false);
    app.add_flag("-h,--help", options.help);
    app.add_flag("-V,--version", options.version);
    CLI::Option* json = app.add_flag("--json", options.json);
    CLI::Option* holders = app.add_flag("--holders", options.holders);
    CLI::Option* check = app.add_flag("--check", options.check);
    CLI::Option* prometheus = app.add_flag("--prometheus", options.prometheus);
    json->excludes(check)->excludes(prometheus);
    check->excludes(prometheus);
    app.add_option("--smb-conf", options.sambaConfiguration)->needs(holders);
    app.add_option("--smbstatus", options.smbstatus)->needs(holders);
    const CLI::Validator range(
        [](std::string& text) {
            return tools::ThresholdRange::parse(text) ? std::string() : "not a range: " + text;
        },
        "RANGE");
    app.add_option("-w,--warning", options.warning)->check(range)->needs(check);
    app.add_option("-c,--critical", options.critical)->check(range)->needs(check);
    const CLI::Validator records(
        [](std::string& text) {
            return tools::RecordList::parse(text) ? std::string()
                                                  : "not a list of records: " + text;
        },
        "LIST");
    CLI::Option* expect = app.add_option("--expect", options.expect)->check(records);
    app.add_option("--output", options.output)->needs(prometheus);
    app.add_option("-t,--timeout", options.timeout)->check(CLI::Range(1, 86400));
    app.add_option("FOLDER", options.folder);
    std::ranges::reverse(words);  // CLI11 takes them last first
    app.parse(words);
    if (expect->count() > 0 && !options.check && !options.prometheus) {
        throw CLI::ValidationError("--expect", "needs --check or --prometheus");
    }
    // A check run by a remote engine's agent would otherwise look beside the agent's program.
    if (options.check && options.folder.empty() && !options.help && !options.version) {
        throw CLI::ValidationError("FOLDER", "--check needs the station file's folder");
    }
    return options;
}

void printFailure(const std::system_error& failure) {
    std::cerr << "station-scan: " << station::failureNumber(failure) << " "
              << station::failureDescription(failure) << "\n";
}

// The exit status, once everything written has gone out: output that was lost must not end with
// the status of success, and a plugin whose status line was lost is UNKNOWN.
int finished(int status, bool asPlugin) {
    if (const std::error_code lost = tools::flushStandardOutput()) {
        std::cerr << "station-scan: cannot write standard output: " << lost.value() << " "
                  << lost.message() << "\n";
        return asPlugin ? tools::PluginReport::unknown : std::max(status, 1);
    }
    std::cerr.flush();
    return std::cerr ? status : std::max(status, 1);
}

// An optional argument, already checked while parsing.
template <typename Argument>
std::optional<Argument> parsed(const std::string& text) {
    return text.empty() ? std::nullopt : Argument::parse(text);
}

// The pass in the format asked for, with the status to exit with; with writeErrors, its
// failures on standard error too.
int printPass(const Options& options, const tools::PassResult& pass,
              const tools::FoundHolders& found,
              const std::optional<std::system_error>& lookUpFailure, bool writeErrors = true) {
    const auto expected = parsed<tools::RecordList>(options.expect);
    if (options.check) {
        const tools::PluginReport report =
            tools::checkReport(pass, found, lookUpFailure,
                               {parsed<tools::ThresholdRange>(options.warning),
                                parsed<tools::ThresholdRange>(options.critical), expected});
        std::cout << report.output;
        return report.state;
    }

    if (writeErrors && pass.failure) {
        std::cerr << "station-scan: " << tools::describeFailure(pass) << "\n";
    }
    if (writeErrors && lookUpFailure) printFailure(*lookUpFailure);
    bool failed = pass.failure || lookUpFailure;
    if (options.prometheus) {
        const std::string metrics = tools::metricsText(pass, found, lookUpFailure, expected);
        if (options.output.empty()) {
            std::cout << metrics;
        } else {
            try {
                tools::replaceWhole(tools::pathFromUtf8(options.output), metrics);
            } catch (const std::system_error& failure) {
                std::cerr << "station-scan: cannot write "
                          << tools::escapedForTerminal(options.output) << ": "
                          << station::failureNumber(failure) << " " << failure.code().message()
                          << "\n";
                failed = true;
            }
        }
    } else if (options.json) {
        tools::printJson(std::cout, pass, found);
    } else {
        tools::printText(std::cout, pass, found);
    }
    return failed ? 1 : 0;
}

// One pass and its report: all that the watched run does.
int scanAndReport(const Options& options, tools::PassProgress& progress) {
    // A probe only looks: it never creates the station file.
    const bool probe = options.check || options.prometheus;
    tools::ScanPass scan(tools::pathFromUtf8(options.folder),
                         probe ? station::WhenMissing::fail : station::WhenMissing::create,
                         progress);
    const tools::PassResult pass = scan.run(probe || options.holders);

    progress.lookingUp();
    tools::FoundHolders found;
    std::optional<std::system_error> lookUpFailure;
    if (options.holders && pass.reachedTheEnd()) {
        try {
            holders::LookUpOptions lookUp;
            lookUp.sambaConfiguration = tools::pathFromUtf8(options.sambaConfiguration);
            lookUp.smbstatus = tools::pathFromUtf8(options.smbstatus);
            found = holders::lookUp(scan.nativeHandle(), pass.locked, lookUp);
        } catch (const std::system_error& failure) {
            lookUpFailure = failure;
        }
    }
    progress.reporting();
    return printPass(options, pass, found, lookUpFailure);
}

// What did not answer, for a run that stalled at stall.
std::string whatDidNotAnswer(const Options& options, const tools::Stall& stall,
                             const std::string& stationFile) {
    switch (stall.step) {
        case tools::Step::starting:
            return "the start of the pass over " + stationFile;
        case tools::Step::opening:
            return "the open of " + stationFile;
        case tools::Step::reading:
            return "the read of record " + std::to_string(stall.record) + " of " + stationFile;
        case tools::Step::lookingUp:
            return "the look-up of the holders of " + stationFile;
        case tools::Step::reporting:
            break;
    }
    return options.output.empty() ? "the output" : "the writing of " + options.output;
}

// The answer for a run abandoned at stall: a failed pass that says what did not answer.
int reportStall(const Options& options, const tools::Stall& stall,
                std::chrono::system_clock::time_point startedAt) {
    tools::PassResult pass;
    try {
        pass.stationFile = tools::ScanPass::stationFileIn(tools::pathFromUtf8(options.folder));
    } catch (const std::system_error&) {
        pass.stationFile = station::kStationFileName;  // where this program is is unknown
    }
    pass.startedAt = startedAt;
    pass.ran = stall.step != tools::Step::starting && stall.step != tools::Step::opening;
    pass.failure = tools::timedOut();
    const std::string what = whatDidNotAnswer(options, stall, tools::utf8(pass.stationFile));
    const std::string patience =
        stall.operationTimedOut
            ? std::to_string(tools::PassWatch::kOperationPatience.count()) + " s"
            : "the time-out of " + std::to_string(options.timeout) + " s";
    const std::string problem = "no answer from " + what + " in " + patience;
    if (options.check) {
        const tools::PluginReport report =
            tools::failureReport(tools::PluginReport::critical, problem, *pass.failure);
        std::cout << report.output;
        return report.state;
    }
    std::cerr << "station-scan: " << tools::escapedForTerminal(problem) << ": "
              << station::failureNumber(*pass.failure) << " "
              << station::failureDescription(*pass.failure) << "\n";
    pass.tried.clear();
    printPass(options, pass, std::nullopt, std::nullopt, false);
    return 1;
}

}  // namespace

int main(int argc, char** argv) {
    const tools::StandardStreams streams;
    const std::vector<std::string> words = tools::arguments(argc, argv);
    // A monitoring engine reads exit status 2 as CRITICAL: a plugin called wrongly is UNKNOWN.
    const bool asPlugin = std::ranges::find(words, "--check") != words.end();
    Options options;
    try {
        options = parse(words);
    } catch (const CLI::ParseError& problem) {
        if (asPlugin) {
            const tools::PluginReport report = tools::usageReport(problem.what(), kUsage);
            std::cout << report.output;
            return finished(report.state, asPlugin);
        }
        std::cerr << "station-scan: " << tools::escapedForTerminal(problem.what()) << "\n"
                  << kUsage;
        return finished(2, asPlugin);
    }
    if (options.help || options.version) {
        if (options.help) {
            std::cout << kUsage;
        } else {
            std::cout << "station-scan " << tools::kVersion << "\n";
        }
        return finished(asPlugin ? tools::PluginReport::unknown : 0, asPlugin);
    }

    const auto startedAt = std::chrono::system_clock::now();
    try {
        return finished(tools::runWatched(
                            std::chrono::seconds(options.timeout),
                            [&options](tools::PassProgress& progress) {
                                return scanAndReport(options, progress);
                            },
                            [&options, startedAt](const tools::Stall& stall) {
                                return reportStall(options, stall, startedAt);
                            }),
                        asPlugin);
    } catch (const std::system_error& failure) {
        // The run could not be started under watch.
        if (options.check) {
            std::cout << tools::failureReport(tools::PluginReport::unknown, "cannot run the pass",
                                              failure)
                             .output;
            return finished(tools::PluginReport::unknown, asPlugin);
        }
        printFailure(failure);
        return finished(1, asPlugin);
    }
}
