#pragma once

#include <cstdint>
#include <memory>
#include <set>

#include "station/PlatformFile.h"

namespace testing_support {

// The operating system's calls over real files, with the faults of a file server or a disk made on
// demand, for the station code to open and read through in place of the system's own. The faults
// are said the same way on every platform; each platform's implementation makes them with its own
// calls and numbers.
class FaultyCalls {
  public:
    FaultyCalls();
    ~FaultyCalls();
    FaultyCalls(const FaultyCalls&) = delete;
    FaultyCalls& operator=(const FaultyCalls&) = delete;

    // What to hand the station code.
    station::SystemCalls& calls();

    // Every file open now is dead, as after a share's session dropped or an NFS export was made
    // again: each read through it fails with handleGoneNumber(). Files opened later read.
    void dropOpenFiles();
    // Every read through a file open now fails with ioFailureNumber(), as on a failing disk: a
    // failure that does not say that the handle is gone.
    void failReadsOfOpenFiles();
    // Asking a file open now whether it still has a name fails with ioFailureNumber().
    void failLinkQueriesOfOpenFiles();
    // Every file open now says it has lost its name: deleted (POSIX: no link left; Windows:
    // deletion pending), while the path still names the real file.
    void unlinkOpenFiles();
    // Until the path is next opened for reading, it names another file than the one open.
    void movePathAway();
    // The next `count` opens fail with openFailureNumber(), as while the file server is down.
    void failOpens(int count);
    int opensStillFailing() const;

    // Records (of 81 bytes, numbered from 1) that another process holds locked, and records whose
    // reads fail with ioFailureNumber(), through every file.
    void lockRecords(std::set<std::int32_t> records);
    void failReadsOfRecords(std::set<std::int32_t> records);

    // Files opened for reading through these calls so far, and those still open.
    int opensForReading() const;
    int openFiles() const;

    // This platform's numbers for those failures.
    static int handleGoneNumber();
    static int ioFailureNumber();
    static int openFailureNumber();

  private:
    // What the faults apply to; the platform's table keeps it up to date.
    struct Faults {
        std::set<station::NativeHandle> open;
        std::set<station::NativeHandle> dead;
        std::set<station::NativeHandle> failingReads;
        std::set<station::NativeHandle> failingLinkQueries;
        std::set<station::NativeHandle> unlinked;
        bool pathMovedAway = false;
        int failingOpens = 0;
        int opensForReading = 0;
        std::set<std::int32_t> lockedRecords;
        std::set<std::int32_t> failingRecords;

        void opened(station::NativeHandle file, bool forReading);
        void closed(station::NativeHandle file);
        // Whether a read of length bytes at offset touches one of the records.
        static bool touches(const std::set<std::int32_t>& records, std::uint64_t offset,
                            std::uint64_t length);
    };
    class Table;

    Faults faults_;
    std::unique_ptr<Table> table_;
};

}  // namespace testing_support
