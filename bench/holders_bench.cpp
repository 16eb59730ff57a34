// The cost of looking up who holds each locked record, beside the pass that found them locked.
//
// Pass:    one pass of the lock scan, noting the locked records.
// Holders: the look-up of their holders afterwards, with every other record locked, either by
//          another process's classic locks (named in the kernel's lock list) or by
//          open-file-description locks (found through every process's descriptors, as Samba's
//          are; Samba's own status, one smbstatus call, comes on top of that).
// Among:   the look-up of open-file-description holders on a machine with many more processes,
//          each with descriptors open: the walk's cost grows with the machine, so it is measured
//          at 100 and at 5,000 processes of the benchmark's own beside the machine's.
// Readers: the look-up of one record that 1,000 processes read-lock, each through an open file
//          description of its own (so many descriptions to tell apart) or all through one.
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <benchmark/benchmark.h>

#include <filesystem>
#include <string>
#include <vector>

#include "Support.h"
#include "holders/LockHolders.h"
#include "posix/ForkedProcesses.h"
#include "station/PlatformFile.h"

namespace {

using testing_support::OwnerProcess;
using testing_support::TempFolder;
using testing_support::writeStationFile;

enum class Kind { Classic, Description };

// A station file with every other record from record 2 on locked.
class HalfLocked {
  public:
    HalfLocked(long long records, Kind kind) : owner_(folder_.stationFile()) {
        owner_.grow(records);
        descriptor_ = ::open(folder_.stationFile().c_str(), O_RDONLY | O_CLOEXEC);
        for (std::int32_t record = 2; record <= records; record += 2) {
            locked_.push_back(record);
            if (kind == Kind::Classic) {
                owner_.lock(std::to_string(record));
                continue;
            }
            struct flock lock {};
            lock.l_type = F_RDLCK;
            lock.l_start = (record - 1) * 81;
            lock.l_len = 81;
            ::fcntl(descriptor_, F_OFD_SETLK, &lock);
        }
    }
    ~HalfLocked() { ::close(descriptor_); }
    std::filesystem::path stationFile() const { return folder_.stationFile(); }
    const std::vector<std::int32_t>& locked() const { return locked_; }

  private:
    TempFolder folder_;
    OwnerProcess owner_;
    int descriptor_ = -1;
    std::vector<std::int32_t> locked_;
};

// Processes that only hold descriptors open (of /dev/null: its link text, as a socket's or another
// file's, is not the station file's), until the benchmark ends.
testing_support::ForkedProcesses bystanders(long long processes, long long descriptorsEach) {
    return testing_support::ForkedProcesses(processes, [&](long long) {
        const int null = ::open("/dev/null", O_RDONLY);
        for (long long opened = 2; opened < descriptorsEach; ++opened) ::dup(null);
        return null >= 0;
    });
}

// How many processes and open descriptors /proc shows now.
void countMachine(benchmark::State& state) {
    long long processes = 0, descriptors = 0;
    for (const auto& entry : std::filesystem::directory_iterator("/proc")) {
        const std::string name = entry.path().filename();
        if (name.find_first_not_of("0123456789") != std::string::npos) continue;
        ++processes;
        std::error_code ignored;
        for (std::filesystem::directory_iterator fd(entry.path() / "fd", ignored), end;
             !ignored && fd != end; fd.increment(ignored)) {
            ++descriptors;
        }
    }
    state.counters["processes"] = static_cast<double>(processes);
    state.counters["descriptors"] = static_cast<double>(descriptors);
}

void Pass(benchmark::State& state, Kind kind) {
    HalfLocked file(state.range(0), kind);
    testing_support::OpenedStation opened(file.stationFile());
    for (auto _ : state) {
        std::int32_t lastFree = 0;
        benchmark::DoNotOptimize(opened.scan(lastFree));
    }
}

// The look-up, as station-scan runs it after its pass, of the holders of the file's locks.
void lookUpEachIteration(benchmark::State& state, const HalfLocked& file) {
    const auto pass = station::PlatformFile::openShared(file.stationFile());
    for (auto _ : state) {
        const auto found = holders::lookUp(pass.nativeHandle(), file.locked(), {});
        if (found.size() != file.locked().size() || !found.front().pid) {
            state.SkipWithError("a holder was not found");
        }
        benchmark::DoNotOptimize(found.data());
    }
}

void Holders(benchmark::State& state, Kind kind) {
    HalfLocked file(state.range(0), kind);
    lookUpEachIteration(state, file);
}

// The look-up of 12 open-file-description holders beside processes × descriptors of bystanders.
void HoldersAmong(benchmark::State& state) {
    // First, so that no bystander inherits the holder's descriptor.
    const auto crowd = bystanders(state.range(0), state.range(1));
    HalfLocked file(24, Kind::Description);
    lookUpEachIteration(state, file);
    countMachine(state);
}

// The look-up of one record that many processes read-lock at once: each through an open file
// description of its own, or all through one that they share after a fork.
void OneRecordReaders(benchmark::State& state, bool shared) {
    TempFolder folder;
    writeStationFile(folder.stationFile(), 4 * 81);
    const std::vector<std::int32_t> record{3};
    int description = -1;
    if (shared) {
        description = ::open(folder.stationFile().c_str(), O_RDONLY);
        struct flock lock {};
        lock.l_type = F_RDLCK;
        lock.l_start = 2 * 81;
        lock.l_len = 81;
        ::fcntl(description, F_OFD_SETLK, &lock);
    }
    const testing_support::ForkedProcesses readers(state.range(0), [&](long long) {
        return shared || testing_support::readLockOwnDescription(folder.stationFile(), 3);
    });
    // Only the readers hold it.
    if (description >= 0) ::close(description);
    if (!readers.ready()) state.SkipWithError("the readers could not lock");
    const auto pass = station::PlatformFile::openShared(folder.stationFile());
    for (auto _ : state) {
        const auto found = holders::lookUp(pass.nativeHandle(), record, {});
        if (static_cast<long long>(found.size()) != state.range(0) || !found.front().pid) {
            state.SkipWithError("a reader was not named");
        }
        benchmark::DoNotOptimize(found.data());
    }
}

}  // namespace

BENCHMARK_CAPTURE(OneRecordReaders, own, false)
    ->Arg(1000)
    ->Unit(benchmark::kMillisecond)
    ->Iterations(3)
    ->UseRealTime();
BENCHMARK_CAPTURE(OneRecordReaders, shared, true)
    ->Arg(1000)
    ->Unit(benchmark::kMillisecond)
    ->Iterations(3)
    ->UseRealTime();
BENCHMARK(HoldersAmong)
    ->Args({100, 5})
    ->Args({5000, 20})
    ->Unit(benchmark::kMillisecond)
    ->Iterations(10);
BENCHMARK_CAPTURE(Pass, classic, Kind::Classic)->Arg(24)->Arg(1000);
BENCHMARK_CAPTURE(Holders, classic, Kind::Classic)->Arg(24)->Arg(1000);
BENCHMARK_CAPTURE(Pass, description, Kind::Description)->Arg(24)->Arg(1000);
BENCHMARK_CAPTURE(Holders, description, Kind::Description)->Arg(24)->Arg(1000);

BENCHMARK_MAIN();
