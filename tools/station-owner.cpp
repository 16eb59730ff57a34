// Stand-in for the owning application: keeps a station file of records and holds exclusive record
// locks on the records of "connected" workstations, as the platform takes them (classic
// process-associated fcntl locks on POSIX, LockFileEx on Windows).
#include <CLI/CLI.hpp>
#include <algorithm>
#include <bit>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <limits>
#include <optional>
#include <random>
#include <set>
#include <span>
#include <sstream>
#include <string>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

#include "station/StationFile.h"
#include "tools/Console.h"
#include "tools/OwnedFile.h"

namespace {

using owner::ByteRange;
using owner::OwnedFile;
using owner::recordStart;
using station::kRecordLength;
using station::StationRecord;

// What CLI11's help cannot say of the modes and of LOCK.
constexpr const char* kFooter =
    "\n"
    "serve answers each command with \"ok\" once done:\n"
    "  lock LOCK | unlock LOCK | grow RECORDS | truncate BYTES\n"
    "\n"
    "LOCK is N (all of record N), N+ (record N to infinity), N:OFFSET:LENGTH (part of record N),\n"
    "@START:LENGTH (bytes; LENGTH 0 runs to infinity) or whole (the whole file, to infinity).\n";

long long parseNumber(const std::string& text, long long minimum) {
    std::size_t used = 0;
    long long value = 0;
    try {
        value = std::stoll(text, &used);
    } catch (const std::exception&) {
        used = 0;
    }
    if (used == 0 || used != text.size() || value < minimum) {
        throw std::invalid_argument("not a valid number: " + text);
    }
    return value;
}

std::vector<std::string> split(const std::string& text, char separator) {
    std::vector<std::string> parts;
    std::istringstream stream(text);
    for (std::string part; std::getline(stream, part, separator);) parts.push_back(part);
    return parts;
}

ByteRange parseLock(const std::string& spec) {
    if (spec == "whole") return {0, 0};
    if (spec.starts_with('@')) {
        const auto parts = split(spec.substr(1), ':');
        if (parts.size() != 2) throw std::invalid_argument("not a lock: " + spec);
        return {static_cast<std::uint64_t>(parseNumber(parts[0], 0)),
                static_cast<std::uint64_t>(parseNumber(parts[1], 0))};
    }
    if (spec.ends_with('+')) {
        return {recordStart(parseNumber(spec.substr(0, spec.size() - 1), 1)), 0};
    }
    const auto parts = split(spec, ':');
    if (parts.size() == 1) return {recordStart(parseNumber(parts[0], 1)), kRecordLength};
    if (parts.size() == 3) {
        const long long offset = parseNumber(parts[1], 0);
        const long long length = parseNumber(parts[2], 1);
        if (offset + length > kRecordLength)
            throw std::invalid_argument("beyond the record: " + spec);
        return {recordStart(parseNumber(parts[0], 1)) + static_cast<std::uint64_t>(offset),
                static_cast<std::uint64_t>(length)};
    }
    throw std::invalid_argument("not a lock: " + spec);
}

// The record the owning application would keep for a workstation.
StationRecord plausibleRecord(long long number) {
    static_assert(std::endian::native == std::endian::little,
                  "records are written in memory order, which must be little-endian");
    StationRecord record{};
    record.tag = 'P';
    record.word1 = static_cast<std::int16_t>(number);
    record.byte3 = 1;
    record.byte4 = 0;
    record.word5 = static_cast<std::int16_t>(8000 + number % 1000);
    record.long7 = static_cast<std::int32_t>(20260101 + number % 28);
    std::memset(record.name, ' ', sizeof record.name);
    std::memset(record.description, ' ', sizeof record.description);
    char text[64];
    const int nameLength = std::snprintf(text, sizeof text, "PUESTO %03lld", number % 1000);
    std::memcpy(record.name, text, static_cast<std::size_t>(nameLength));
    const int descriptionLength =
        std::snprintf(text, sizeof text, "Caja %lld - planta %lld", number, number % 4);
    std::memcpy(record.description, text, static_cast<std::size_t>(descriptionLength));
    return record;
}

// Writes records after the last whole one until there are `records` of them.
void grow(OwnedFile& file, long long records) {
    for (auto number = static_cast<long long>(file.size() / kRecordLength) + 1; number <= records;
         ++number) {
        const StationRecord record = plausibleRecord(number);
        file.write(recordStart(number), std::as_bytes(std::span(&record, 1)));
    }
}

void answerCommand(OwnedFile& file, const std::string& line) {
    const auto words = split(line, ' ');
    if (words.size() != 2) throw std::invalid_argument("unknown command: " + line);
    if (words[0] == "lock") {
        file.lock(parseLock(words[1]));
    } else if (words[0] == "unlock") {
        file.unlock(parseLock(words[1]));
    } else if (words[0] == "grow") {
        grow(file, parseNumber(words[1], 0));
    } else if (words[0] == "truncate") {
        file.truncate(static_cast<std::uint64_t>(parseNumber(words[1], 0)));
    } else {
        throw std::invalid_argument("unknown command: " + line);
    }
}

int serve(OwnedFile& file) {
    for (std::string line; std::getline(std::cin, line);) {
        if (line.empty()) continue;
        try {
            answerCommand(file, line);
            std::cout << "ok" << std::endl;
        } catch (const std::system_error& failure) {
            std::cout << "error " << failure.code().value() << " " << failure.what() << std::endl;
        } catch (const std::exception& failure) {
            std::cout << "error " << failure.what() << std::endl;
        }
    }
    return 0;
}

int hold(OwnedFile& file, const std::vector<std::string>& specs) {
    for (const auto& spec : specs) file.lock(parseLock(spec));
    std::cout << "ready" << std::endl;
    for (std::string line; std::getline(std::cin, line);) {
    }
    return 0;
}

struct Simulation {
    long long stations = 24;
    long long periodMs = 250;
    std::optional<unsigned> seed;
    bool verbose = false;
};

int simulate(OwnedFile& file, const Simulation& simulation) {
    const auto [stations, periodMs, seed, verbose] = simulation;
    grow(file, stations);
    std::mt19937 random(seed.value_or(std::random_device{}()));
    std::uniform_int_distribution<long long> pick(2, stations);
    std::set<long long> connected;
    for (;;) {
        const long long station = pick(random);
        const ByteRange range{recordStart(station), kRecordLength};
        if (connected.erase(station) != 0) {
            file.unlock(range);
            if (verbose) std::cout << "disconnect " << station << std::endl;
        } else {
            file.lock(range);
            connected.insert(station);
            if (verbose) std::cout << "connect " << station << std::endl;
        }
        if (periodMs > 0) std::this_thread::sleep_for(std::chrono::milliseconds(periodMs));
    }
}

// A check of an argument by one of the parsers above, which throw with the reason they refuse it:
// CLI11 reports that reason.
template <typename Parse>
CLI::Validator checkedBy(Parse parse, std::string name) {
    return CLI::Validator(
        [parse](std::string& text) {
            try {
                parse(text);
                return std::string();
            } catch (const std::invalid_argument& problem) {
                return std::string(problem.what());
            }
        },
        std::move(name));
}

// The mode and its arguments, as the command line gives them.
struct Command {
    std::string mode;
    std::string file;
    long long records = 0;
    std::vector<std::string> locks;
    Simulation simulation;
};

// Throws CLI::ParseError for arguments it cannot take, before any file is opened, so that a
// mistyped command creates no file.
Command parse(CLI::App& app, std::vector<std::string> words) {
    Command command;
    app.name("station-owner");
    app.description(
        "Stand-in for the owning application: keeps a station file of records and "
        "holds record locks as the owning application does.");
    app.footer(kFooter);
    // CLI11 takes "/word" for an option on Windows: a file from the drive's root is no option.
    app.allow_windows_style_options(false);
    app.require_subcommand(1);
    const CLI::Validator number =
        checkedBy([](const std::string& text) { parseNumber(text, 0); }, "NUMBER");
    const CLI::Validator lock = checkedBy([](const std::string& text) { parseLock(text); }, "LOCK");

    CLI::App* create = app.add_subcommand("create",
                                          "create FILE, or extend it, to RECORDS whole "
                                          "records");
    create->add_option("FILE", command.file)->required();
    create->add_option("RECORDS", command.records)->required()->check(number);
    CLI::App* hold = app.add_subcommand(
        "hold", "take the locks, print \"ready\" and hold them until standard input closes");
    hold->add_option("FILE", command.file)->required();
    hold->add_option("LOCK", command.locks)->required()->check(lock);
    CLI::App* serve =
        app.add_subcommand("serve", "read commands from standard input, answering each");
    serve->add_option("FILE", command.file)->required();
    CLI::App* simulate = app.add_subcommand(
        "simulate", "connect and disconnect workstations at random, one every MS milliseconds");
    simulate->add_option("FILE", command.file)->required();
    Simulation& simulation = command.simulation;
    simulate->add_option("--stations", simulation.stations, "N stations (default 24)")
        ->check(number & CLI::Range(2LL, std::numeric_limits<long long>::max()));
    simulate->add_option("--period", simulation.periodMs, "MS (default 250; 0: as fast as it can)")
        ->check(number);
    unsigned seedValue = 0;
    CLI::Option* seed = simulate->add_option("--seed", seedValue, "N")
                            ->check(CLI::Range(0U, std::numeric_limits<unsigned>::max()));
    simulate->add_flag("--verbose", simulation.verbose, "print each connect and disconnect");

    std::ranges::reverse(words);  // CLI11 takes them last first
    app.parse(words);
    if (seed->count() != 0) simulation.seed = seedValue;
    command.mode = app.get_subcommands().front()->get_name();
    return command;
}

int run(const Command& command) {
    OwnedFile file(tools::pathFromUtf8(command.file));
    if (command.mode == "create") {
        grow(file, command.records);
        return 0;
    }
    if (command.mode == "hold") return hold(file, command.locks);
    if (command.mode == "serve") return serve(file);
    return simulate(file, command.simulation);
}

}  // namespace

int main(int argc, char** argv) {
    // Answers end in a bare line feed on every platform.
    const tools::StandardStreams streams;
    CLI::App app;
    Command command;
    try {
        command = parse(app, tools::arguments(argc, argv));
    } catch (const CLI::ParseError& problem) {
        return app.exit(problem);
    }
    try {
        return run(command);
    } catch (const std::system_error& failure) {
        std::cerr << "station-owner: " << failure.code().value() << " " << failure.what() << "\n";
        return 1;
    }
}
