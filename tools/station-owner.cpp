// Stand-in for the owning application: keeps a station file of records and holds exclusive record
// locks on the records of "connected" workstations, as the platform takes them (classic
// process-associated fcntl locks on POSIX, LockFileEx on Windows).
#include <bit>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <optional>
#include <random>
#include <set>
#include <span>
#include <sstream>
#include <string>
#include <system_error>
#include <thread>
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

constexpr const char* kUsage =
    "usage: station-owner create FILE RECORDS\n"
    "       station-owner hold FILE LOCK...\n"
    "       station-owner serve FILE\n"
    "       station-owner simulate FILE [--stations N] [--period MS] [--seed N] [--verbose]\n"
    "\n"
    "create    creates FILE, or extends it, to RECORDS whole records\n"
    "hold      takes the locks, prints \"ready\" and holds them until standard input closes\n"
    "serve     reads commands from standard input and answers each with \"ok\" once done:\n"
    "            lock LOCK | unlock LOCK | grow RECORDS | truncate BYTES\n"
    "simulate  creates N stations (default 24) and connects and disconnects them at random,\n"
    "          one every MS milliseconds (default 250; 0: as fast as it can)\n"
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

Simulation parseSimulation(const std::vector<std::string>& options) {
    Simulation simulation;
    for (std::size_t i = 0; i < options.size(); ++i) {
        const bool hasValue = i + 1 < options.size();
        if (options[i] == "--stations" && hasValue) {
            simulation.stations = parseNumber(options[++i], 2);
        } else if (options[i] == "--period" && hasValue) {
            simulation.periodMs = parseNumber(options[++i], 0);
        } else if (options[i] == "--seed" && hasValue) {
            simulation.seed = static_cast<unsigned>(parseNumber(options[++i], 0));
        } else if (options[i] == "--verbose") {
            simulation.verbose = true;
        } else {
            throw std::invalid_argument("unknown option: " + options[i]);
        }
    }
    return simulation;
}

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

int run(const std::vector<std::string>& arguments) {
    if (arguments.size() < 2) throw std::invalid_argument("missing arguments");
    const std::string& mode = arguments[0];
    const std::vector<std::string> rest(arguments.begin() + 2, arguments.end());
    const bool fits = (mode == "create" && rest.size() == 1) || (mode == "hold" && !rest.empty()) ||
                      (mode == "serve" && rest.empty()) || mode == "simulate";
    // Checked before the file is opened, so that a mistyped command creates no file.
    if (!fits) throw std::invalid_argument("unknown mode or wrong arguments: " + mode);
    const Simulation simulation = mode == "simulate" ? parseSimulation(rest) : Simulation{};
    OwnedFile file(tools::pathFromUtf8(arguments[1]));
    if (mode == "create") {
        grow(file, parseNumber(rest[0], 0));
        return 0;
    }
    if (mode == "hold") return hold(file, rest);
    if (mode == "serve") return serve(file);
    return simulate(file, simulation);
}

}  // namespace

int main(int argc, char** argv) {
    // Answers end in a bare line feed on every platform.
    const tools::StandardStreams streams;
    try {
        return run(tools::arguments(argc, argv));
    } catch (const std::invalid_argument& problem) {
        std::cerr << "station-owner: " << problem.what() << "\n\n" << kUsage;
        return 2;
    } catch (const std::system_error& failure) {
        std::cerr << "station-owner: " << failure.code().value() << " " << failure.what() << "\n";
        return 1;
    }
}
