#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <set>

#include "station/PlatformFile.h"

namespace testing_support {

// The operating system's calls over real files, with the faults of a file server or a disk made on
// demand, for the station code to open and read through in place of the system's own. The faults
// are said the same way on every platform; each platform's implementation makes them with its own
// calls and numbers.
class FaultyCalls {
  public:
    // The calls that a test may hold: opens of the path, reads of records, and the identity check
    // of the open file (whether it still has a name).
    enum class Held { opens, reads, linkQueries };

    FaultyCalls();
    // Lets every held call go, then waits until the files opened through these calls are closed:
    // a refresh cycle's worker, which nothing waits for, may still be closing its file.
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
    // From now on the path names another file, as after one was renamed over it: a look at the
    // path sees that file, and so does a file opened by the path later. (Both are the real file
    // still, with another identity.)
    void movePathAway();
    // The next open for reading is answered as by a file server that knows files only by their
    // names while another file is renamed over the name: the open gets the file from before, and
    // from then on the path names another file, which every identity check of the new handle
    // reports too.
    void replacePathDuringTheNextOpen();
    // Every open fails with openFailureNumber(), as while the file server is down, until `count`
    // opens for reading have failed.
    void failOpens(int count);
    int opensStillFailing() const;

    // Records (of 81 bytes, numbered from 1) that another process holds locked, and records whose
    // reads fail with ioFailureNumber(), through every file.
    void lockRecords(std::set<std::int32_t> records);
    void failReadsOfRecords(std::set<std::int32_t> records);

    // From now on every call of that kind waits, once made, until letGo(); calls already made
    // are not held.
    void hold(Held calls);
    // Waits until a held call is waiting; false if none came in a generous while (a guard
    // against a hang, not a measure).
    bool waitUntilHeld();
    // The waiting calls go on, and no call waits any more.
    void letGo();

    // The clock of these calls stands still until moved on.
    void advanceClock(std::chrono::steady_clock::duration by);

    // Files opened for reading through these calls so far, and those still open.
    int opensForReading() const;
    int openFiles() const;

    // This platform's numbers for those failures.
    static int handleGoneNumber();
    static int ioFailureNumber();
    static int openFailureNumber();
    // The platform's number for a call that did not return in time.
    static int timedOutNumber();

  private:
    // What the faults apply to; the platform's table keeps it up to date.
    struct Faults {
        std::set<station::NativeHandle> open;
        std::set<station::NativeHandle> dead;
        std::set<station::NativeHandle> failingReads;
        std::set<station::NativeHandle> failingLinkQueries;
        std::set<station::NativeHandle> unlinked;
        // Which file the path names: the real one at 0, another with each move. The identity of
        // a file is the real one's moved on by the count the path had when it was opened.
        int pathMoves = 0;
        std::map<station::NativeHandle, int> pathMovesAtOpen;
        bool replacingDuringTheNextOpen = false;
        std::set<station::NativeHandle> answeredByName;
        int failingOpens = 0;
        int opensForReading = 0;
        std::set<std::int32_t> lockedRecords;
        std::set<std::int32_t> failingRecords;

        // Guards what the worker and the test both touch at any time: the calls held, the
        // calls waiting, the open files, the clock.
        mutable std::mutex mutex;
        std::condition_variable changed;
        std::set<Held> held;
        int waiting = 0;
        std::chrono::steady_clock::time_point clock = std::chrono::steady_clock::now();

        void opened(station::NativeHandle file, bool forReading);
        void closed(station::NativeHandle file);
        // Made by every call that may be held: waits while calls of its kind are held.
        void passThrough(Held call);
        std::chrono::steady_clock::time_point now();
        // What the calls ask, each under the lock: the number an open or a read of length bytes
        // at offset fails with (0: none), whether the range is locked, and what the identity
        // checks are to see.
        int openFailure(bool forReading);
        int readFailure(station::NativeHandle file, std::uint64_t offset, std::uint64_t length);
        bool locked(std::uint64_t offset, std::uint64_t length);
        bool linkQueryFails(station::NativeHandle file);
        bool unlinkedFile(station::NativeHandle file);
        // How far the identity that the path, or an open file, reports is moved from the real
        // file's.
        int pathIdentityShift();
        int identityShift(station::NativeHandle file);
        // Whether a read of length bytes at offset touches one of the records.
        static bool touches(const std::set<std::int32_t>& records, std::uint64_t offset,
                            std::uint64_t length);
    };
    class Table;

    // What the destructor waits for before the table goes.
    void awaitTheLastClose();

    Faults faults_;
    std::unique_ptr<Table> table_;
};

}  // namespace testing_support
