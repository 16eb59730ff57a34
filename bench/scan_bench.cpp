// One pass of the lock scan against the floor under it: one lock query and one 81-byte read per
// record, with no listing. A tenth of the records are locked by another process.
#include <fcntl.h>
#include <unistd.h>

#include <benchmark/benchmark.h>

#include <array>
#include <memory>

#include "Support.h"
#include "station/LockScan.h"
#include "station/StationFile.h"

namespace {

using testing_support::OwnerProcess;
using testing_support::TempFolder;

// A station file of `records` records beside an owner holding every tenth one.
struct BusyStationFile {
    explicit BusyStationFile(long long records) : owner(folder.stationFile()) {
        owner.grow(records);
        for (long long record = 2; record <= records; record += 10)
            owner.lock(std::to_string(record));
    }
    TempFolder folder;
    OwnerProcess owner;
};

void setCounters(benchmark::State& state) {
    state.SetItemsProcessed(state.iterations() * state.range(0));
    state.counters["ns_per_record"] =
        benchmark::Counter(static_cast<double>(state.iterations() * state.range(0)),
                           benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}

void Pass(benchmark::State& state) {
    BusyStationFile busy(state.range(0));
    testing_support::OpenedStation opened(busy.folder.stationFile());
    for (auto _ : state) {
        std::int32_t lastFree = 0;
        benchmark::DoNotOptimize(opened.scan(lastFree));
    }
    setCounters(state);
}

void Floor(benchmark::State& state) {
    BusyStationFile busy(state.range(0));
    const int fd = ::open(busy.folder.stationFile().c_str(), O_RDONLY | O_CLOEXEC);
    std::array<char, 81> buffer{};
    for (auto _ : state) {
        for (off_t offset = 81;; offset += 81) {
            struct flock query {};
            query.l_type = F_WRLCK;
            query.l_whence = SEEK_SET;
            query.l_start = offset;
            query.l_len = 81;
            ::fcntl(fd, F_OFD_GETLK, &query);
            benchmark::DoNotOptimize(query.l_type);
            if (::pread(fd, buffer.data(), buffer.size(), offset) < 81) break;
        }
    }
    ::close(fd);
    setCounters(state);
}

}  // namespace

BENCHMARK(Pass)->RangeMultiplier(10)->Range(10, 10000);
BENCHMARK(Floor)->RangeMultiplier(10)->Range(10, 10000);

BENCHMARK_MAIN();
