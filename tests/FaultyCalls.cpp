#include "FaultyCalls.h"

#include <mutex>
#include <utility>

#include "station/StationFile.h"

namespace testing_support {

void FaultyCalls::Faults::opened(station::NativeHandle file, bool forReading) {
    // A new file may have the number of a closed one.
    closed(file);
    const std::lock_guard lock(mutex);
    open.insert(file);
    pathMovesAtOpen[file] = pathMoves;
    if (forReading) {
        ++opensForReading;
        if (std::exchange(replacingDuringTheNextOpen, false)) {
            ++pathMoves;
            answeredByName.insert(file);
        }
    }
}

void FaultyCalls::Faults::closed(station::NativeHandle file) {
    const std::lock_guard lock(mutex);
    for (auto* set : {&open, &dead, &failingReads, &failingLinkQueries, &unlinked, &answeredByName})
        set->erase(file);
    pathMovesAtOpen.erase(file);
    // Under the lock: the destructor waiting for it cannot end before this is said.
    changed.notify_all();
}

void FaultyCalls::Faults::passThrough(Held call) {
    std::unique_lock lock(mutex);
    if (!held.contains(call)) return;
    ++waiting;
    changed.notify_all();
    changed.wait(lock, [&] { return !held.contains(call); });
    --waiting;
}

std::chrono::steady_clock::time_point FaultyCalls::Faults::now() {
    const std::lock_guard lock(mutex);
    return clock;
}

int FaultyCalls::Faults::openFailure(bool forReading) {
    const std::lock_guard lock(mutex);
    if (failingOpens == 0) return 0;
    if (forReading) --failingOpens;
    return openFailureNumber();
}

int FaultyCalls::Faults::readFailure(station::NativeHandle file, std::uint64_t offset,
                                     std::uint64_t length) {
    const std::lock_guard lock(mutex);
    if (dead.contains(file)) return handleGoneNumber();
    if (failingReads.contains(file) || touches(failingRecords, offset, length)) {
        return ioFailureNumber();
    }
    return 0;
}

bool FaultyCalls::Faults::locked(std::uint64_t offset, std::uint64_t length) {
    const std::lock_guard lock(mutex);
    return touches(lockedRecords, offset, length);
}

bool FaultyCalls::Faults::linkQueryFails(station::NativeHandle file) {
    const std::lock_guard lock(mutex);
    return failingLinkQueries.contains(file);
}

bool FaultyCalls::Faults::unlinkedFile(station::NativeHandle file) {
    const std::lock_guard lock(mutex);
    return unlinked.contains(file);
}

int FaultyCalls::Faults::pathIdentityShift() {
    const std::lock_guard lock(mutex);
    return pathMoves;
}

int FaultyCalls::Faults::identityShift(station::NativeHandle file) {
    const std::lock_guard lock(mutex);
    if (answeredByName.contains(file)) return pathMoves;
    const auto found = pathMovesAtOpen.find(file);
    return found == pathMovesAtOpen.end() ? 0 : found->second;
}

// A generous patience for what a test waits on: a guard against a hang, not a measure.
constexpr std::chrono::seconds kPatience{30};

void FaultyCalls::awaitTheLastClose() {
    letGo();
    std::unique_lock lock(faults_.mutex);
    faults_.changed.wait_for(lock, kPatience, [this] { return faults_.open.empty(); });
}

void FaultyCalls::hold(Held calls) {
    const std::lock_guard lock(faults_.mutex);
    faults_.held.insert(calls);
}

bool FaultyCalls::waitUntilHeld() {
    std::unique_lock lock(faults_.mutex);
    return faults_.changed.wait_for(lock, kPatience, [this] { return faults_.waiting > 0; });
}

void FaultyCalls::letGo() {
    const std::lock_guard lock(faults_.mutex);
    faults_.held.clear();
    faults_.changed.notify_all();
}

void FaultyCalls::advanceClock(std::chrono::steady_clock::duration by) {
    const std::lock_guard lock(faults_.mutex);
    faults_.clock += by;
}

bool FaultyCalls::Faults::touches(const std::set<std::int32_t>& records, std::uint64_t offset,
                                  std::uint64_t length) {
    constexpr std::uint64_t kLength = station::kRecordLength;
    for (const std::int32_t record : records) {
        const std::uint64_t start = station::recordOffset(record, station::kRecordLength);
        if (offset < start + kLength && start < offset + length) return true;
    }
    return false;
}

void FaultyCalls::dropOpenFiles() {
    const std::lock_guard lock(faults_.mutex);
    faults_.dead.insert(faults_.open.begin(), faults_.open.end());
}

void FaultyCalls::failReadsOfOpenFiles() {
    const std::lock_guard lock(faults_.mutex);
    faults_.failingReads.insert(faults_.open.begin(), faults_.open.end());
}

void FaultyCalls::failLinkQueriesOfOpenFiles() {
    const std::lock_guard lock(faults_.mutex);
    faults_.failingLinkQueries.insert(faults_.open.begin(), faults_.open.end());
}

void FaultyCalls::unlinkOpenFiles() {
    const std::lock_guard lock(faults_.mutex);
    faults_.unlinked.insert(faults_.open.begin(), faults_.open.end());
}

void FaultyCalls::movePathAway() {
    const std::lock_guard lock(faults_.mutex);
    ++faults_.pathMoves;
}

void FaultyCalls::replacePathDuringTheNextOpen() {
    const std::lock_guard lock(faults_.mutex);
    faults_.replacingDuringTheNextOpen = true;
}

void FaultyCalls::failOpens(int count) {
    const std::lock_guard lock(faults_.mutex);
    faults_.failingOpens = count;
}

int FaultyCalls::opensStillFailing() const {
    const std::lock_guard lock(faults_.mutex);
    return faults_.failingOpens;
}

void FaultyCalls::lockRecords(std::set<std::int32_t> records) {
    const std::lock_guard lock(faults_.mutex);
    faults_.lockedRecords = std::move(records);
}

void FaultyCalls::failReadsOfRecords(std::set<std::int32_t> records) {
    const std::lock_guard lock(faults_.mutex);
    faults_.failingRecords = std::move(records);
}

int FaultyCalls::opensForReading() const {
    const std::lock_guard lock(faults_.mutex);
    return faults_.opensForReading;
}

int FaultyCalls::openFiles() const {
    const std::lock_guard lock(faults_.mutex);
    return static_cast<int>(faults_.open.size());
}

}  // namespace testing_support
