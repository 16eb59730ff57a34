// The cost of looking up who holds each locked record, beside the pass that found them locked.
//
// Pass:    one pass of the lock scan, noting the locked records.
// Holders: the look-up of their holders afterwards, with every other record locked, either by
//          another process's classic locks (named in the kernel's lock list) or by
//          open-file-description locks (found through every process's descriptors, as Samba's
//          are; Samba's own status, one smbstatus call, comes on top of that).
#include <fcntl.h>
#include <unistd.h>

#include <benchmark/benchmark.h>

#include <string>
#include <vector>

#include "Support.h"
#include "holders/LockHolders.h"
#include "station/PlatformFile.h"

namespace {

using testing_support::OwnerProcess;
using testing_support::TempFolder;

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

void Pass(benchmark::State& state, Kind kind) {
    HalfLocked file(state.range(0), kind);
    testing_support::OpenedStation opened(file.stationFile());
    for (auto _ : state) {
        std::int32_t lastFree = 0;
        benchmark::DoNotOptimize(opened.scan(lastFree));
    }
}

void Holders(benchmark::State& state, Kind kind) {
    HalfLocked file(state.range(0), kind);
    const auto pass = station::PlatformFile::openShared(file.stationFile());
    for (auto _ : state) {
        const auto found = holders::lookUp(pass.nativeHandle(), file.locked(), {});
        if (found.size() != file.locked().size() || !found.front().pid) {
            state.SkipWithError("a holder was not found");
        }
        benchmark::DoNotOptimize(found.data());
    }
}

}  // namespace

BENCHMARK_CAPTURE(Pass, classic, Kind::Classic)->Arg(24)->Arg(1000);
BENCHMARK_CAPTURE(Holders, classic, Kind::Classic)->Arg(24)->Arg(1000);
BENCHMARK_CAPTURE(Pass, description, Kind::Description)->Arg(24)->Arg(1000);
BENCHMARK_CAPTURE(Holders, description, Kind::Description)->Arg(24)->Arg(1000);

BENCHMARK_MAIN();
