#include "FaultyCalls.h"

#include "station/StationFile.h"

namespace testing_support {

void FaultyCalls::Faults::opened(station::NativeHandle file, bool forReading) {
    // A new file may have the number of a closed one.
    closed(file);
    open.insert(file);
    if (forReading) {
        ++opensForReading;
        pathMovedAway = false;
    }
}

void FaultyCalls::Faults::closed(station::NativeHandle file) {
    for (auto* set : {&open, &dead, &failingReads, &failingLinkQueries, &unlinked})
        set->erase(file);
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

void FaultyCalls::dropOpenFiles() { faults_.dead.insert(faults_.open.begin(), faults_.open.end()); }

void FaultyCalls::failReadsOfOpenFiles() {
    faults_.failingReads.insert(faults_.open.begin(), faults_.open.end());
}

void FaultyCalls::failLinkQueriesOfOpenFiles() {
    faults_.failingLinkQueries.insert(faults_.open.begin(), faults_.open.end());
}

void FaultyCalls::unlinkOpenFiles() {
    faults_.unlinked.insert(faults_.open.begin(), faults_.open.end());
}

void FaultyCalls::movePathAway() { faults_.pathMovedAway = true; }

void FaultyCalls::failOpens(int count) { faults_.failingOpens = count; }

int FaultyCalls::opensStillFailing() const { return faults_.failingOpens; }

void FaultyCalls::lockRecords(std::set<std::int32_t> records) {
    faults_.lockedRecords = std::move(records);
}

void FaultyCalls::failReadsOfRecords(std::set<std::int32_t> records) {
    faults_.failingRecords = std::move(records);
}

int FaultyCalls::opensForReading() const { return faults_.opensForReading; }

int FaultyCalls::openFiles() const { return static_cast<int>(faults_.open.size()); }

}  // namespace testing_support
