// Who holds the locks: classic locks of separate processes, open-file-description locks shared
// across a fork, a holder gone before the look-up, and one the pid namespace hides.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <pwd.h>
#include <sched.h>
#include <signal.h>
#include <spawn.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <memory>
#include <ostream>
#include <set>
#include <string>
#include <thread>
#include <variant>
#include <vector>

#include "Support.h"
#include "holders/LockHolders.h"
#include "holders/linux/Process.h"
#include "holders/linux/SambaStatus.h"
#include "posix/ForkedProcesses.h"
#include "station/PlatformFile.h"

extern char** environ;

namespace holders {
// A holder as the text output words it, for failures' sake.
void PrintTo(const Holder& holder, std::ostream* out) {
    *out << "{record " << holder.record << ", pid "
         << (holder.pid ? std::to_string(*holder.pid) : "none") << " \"" << holder.command
         << "\", user \"" << holder.user << "\"" << (holder.client ? ", client" : "")
         << ", unknown \"" << holder.unknown << "\"}";
}
}  // namespace holders

namespace {

using holders::Holder;
using testing_support::OwnerProcess;
using testing_support::TempFolder;
using testing_support::writeStationFile;

constexpr std::string_view kGone = "no longer held: its holder let go or ended after the pass";

std::string ourUser() { return ::getpwuid(::getuid())->pw_name; }

Holder process(std::int32_t record, std::int64_t pid, std::string command) {
    return {record, pid, std::move(command), ourUser(), std::nullopt, {}};
}

// As station-scan asks: about the file that its pass has open.
std::vector<Holder> lookUp(const TempFolder& folder, std::vector<std::int32_t> records) {
    const auto pass = station::PlatformFile::openShared(folder.stationFile());
    return holders::lookUp(pass.nativeHandle(), records, {});
}

OwnerProcess holding(const TempFolder& folder, std::vector<std::string> locks) {
    locks.insert(locks.begin(), {"hold", folder.stationFile().string()});
    return OwnerProcess(locks);
}

TEST(LockHolders, NamesEachOwnerOfClassicLocksByRecord) {
    TempFolder folder;
    writeStationFile(folder.stationFile(), 8 * 81);
    OwnerProcess first = holding(folder, {"3", "5:10:5"});
    OwnerProcess second = holding(folder, {"5:70:11", "6"});
    ASSERT_EQ(first.readLine(), "ready");
    ASSERT_EQ(second.readLine(), "ready");
    std::vector<Holder> onFive{process(5, first.pid(), "station-owner"),
                               process(5, second.pid(), "station-owner")};
    std::ranges::sort(onFive, {}, [](const Holder& holder) { return *holder.pid; });
    EXPECT_EQ(lookUp(folder, {3, 5, 6}),
              (std::vector<Holder>{process(3, first.pid(), "station-owner"), onFive[0], onFive[1],
                                   process(6, second.pid(), "station-owner")}));
}

// A descriptor of this test's own, holding an open-file-description read lock on the record;
// -1 when it could not.
int holdForReading(const TempFolder& folder, std::int32_t record, int flags = 0) {
    const int fd = ::open(folder.stationFile().c_str(), O_RDONLY | flags);
    struct flock lock {};
    lock.l_type = F_RDLCK;
    lock.l_start = (record - 1) * 81;
    lock.l_len = 81;
    if (fd >= 0 && ::fcntl(fd, F_OFD_SETLK, &lock) == 0) return fd;
    if (fd >= 0) ::close(fd);
    return -1;
}

// An open-file-description lock names no process in the kernel's list: every process that
// shares the description holds it, here this test and a child that inherited the descriptor.
TEST(LockHolders, NamesEveryProcessSharingAnOpenFileDescriptionLock) {
    TempFolder folder;
    writeStationFile(folder.stationFile(), 8 * 81);
    const int fd = holdForReading(folder, 4);
    ASSERT_GE(fd, 0);
    pid_t child = -1;
    const char* argv[] = {"sleep", "60", nullptr};
    ASSERT_EQ(::posix_spawnp(&child, "sleep", nullptr, nullptr, const_cast<char**>(argv), environ),
              0);

    std::vector<Holder> expected{process(4, ::getpid(), "station_tests"),
                                 process(4, child, "sleep")};
    std::ranges::sort(expected, {}, [](const Holder& holder) { return *holder.pid; });
    EXPECT_EQ(lookUp(folder, {4}), expected);
    // Ended, the child no longer shares the lock; the description is still this test's.
    ::kill(child, SIGKILL);
    ::waitpid(child, nullptr, 0);
    EXPECT_EQ(lookUp(folder, {4}), std::vector<Holder>{process(4, ::getpid(), "station_tests")});
    ::close(fd);
}

// A child of this test, forked to run body, which writes 'y' to the descriptor it is given once
// set up ('n' when it could not be) and never returns. Ended with its owner.
class Child {
  public:
    explicit Child(const std::function<void(int ready)>& body) {
        int ready[2];
        if (::pipe2(ready, O_CLOEXEC) != 0) return;
        pid_ = ::fork();
        if (pid_ == 0) {
            ::close(ready[0]);
            body(ready[1]);
            ::_exit(0);
        }
        ::close(ready[1]);
        char done = 'n';
        ready_ = ::read(ready[0], &done, 1) == 1 && done == 'y';
        ::close(ready[0]);
    }
    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;
    ~Child() {
        if (pid_ <= 0) return;
        ::kill(pid_, SIGKILL);
        ::waitpid(pid_, nullptr, 0);
    }
    bool ready() const { return ready_; }
    pid_t pid() const { return pid_; }

  private:
    pid_t pid_ = -1;
    bool ready_ = false;
};

void report(int ready, bool done) {
    const char byte = done ? 'y' : 'n';
    if (::write(ready, &byte, 1) != 1) ::_exit(1);
}

bool lockRecord(int fd, std::int32_t record, int command, short type = F_WRLCK) {
    struct flock lock {};
    lock.l_type = type;
    lock.l_start = (record - 1) * 81;
    lock.l_len = 81;
    return fd >= 0 && ::fcntl(fd, command, &lock) == 0;
}

// A child that calls itself by a name of its choosing, as any user's process can, and holds a
// classic lock on one record until it is ended.
class NamedHolder : public Child {
  public:
    NamedHolder(const std::filesystem::path& file, const std::string& name, std::int32_t record)
        : Child([&](int ready) {
              ::prctl(PR_SET_NAME, name.c_str());
              report(ready, lockRecord(::open(file.c_str(), O_RDWR), record, F_SETLK));
              for (;;) ::pause();
          }) {}
};

// A name is the bytes its process set, whatever they are: none at all, an escape sequence that
// forges a line, bytes that are not UTF-8, a line break. Each holder is named with its bytes.
TEST(LockHolders, NamesAProcessByTheBytesItChoseForItsName) {
    TempFolder folder;
    writeStationFile(folder.stationFile(), 8 * 81);
    const std::vector<std::string> names{"", "x\x1b[2K\rrecord 9:",
                                         "a\xff\xfe"
                                         "b",
                                         "two\nlines"};
    std::vector<std::unique_ptr<NamedHolder>> named;
    std::vector<Holder> expected;
    for (std::size_t i = 0; i < names.size(); ++i) {
        const auto record = static_cast<std::int32_t>(3 + i);
        named.push_back(std::make_unique<NamedHolder>(folder.stationFile(), names[i], record));
        ASSERT_TRUE(named.back()->ready());
        expected.push_back(process(record, named.back()->pid(), names[i]));
    }
    EXPECT_EQ(lookUp(folder, {3, 4, 5, 6}), expected);
}

// The look-up asks about the file that the pass read, not about whatever its path names by now.
TEST(LockHolders, AsksAboutThePassFileAfterItsNameWentToAnother) {
    TempFolder folder;
    writeStationFile(folder.stationFile(), 4 * 81);
    OwnerProcess owner = holding(folder, {"3"});
    ASSERT_EQ(owner.readLine(), "ready");
    const auto pass = station::PlatformFile::openShared(folder.stationFile());
    writeStationFile(folder.path() / "replacement", 4 * 81);
    std::filesystem::rename(folder.path() / "replacement", folder.stationFile());
    const std::vector<std::int32_t> records{3};
    EXPECT_EQ(holders::lookUp(pass.nativeHandle(), records, {}),
              std::vector<Holder>{process(3, owner.pid(), "station-owner")});
}

// smbstatus's words, as Samba 4.17 gives them, for one smbd serving two users on one connection.
// An open names its user but not its session: each session of that user is named; under a
// share's "force user" the opens carry the forced user, and every session of the smbd is named.
std::string sambaStatus(int openedAs) {
    return R"({"sessions": {
        "11": {"server_id": {"pid": "700"}, "uid": 1001, "username": "ana",
               "remote_machine": "caja-1", "hostname": "ipv4:192.0.2.1:50001"},
        "12": {"server_id": {"pid": "700"}, "uid": 1002, "username": "luis",
               "remote_machine": "caja-1", "hostname": "ipv4:192.0.2.1:50001"},
        "13": {"server_id": {"pid": "800"}, "uid": 1001, "username": "ana",
               "remote_machine": "almacen", "hostname": "ipv4:192.0.2.9:50002"}},
      "open_files": {"/srv/Brevanto.SIT": {"fileid": {"devid": 5, "inode": 9}, "opens": {
        "700/1": {"server_id": {"pid": "700"}, "uid": )" +
           std::to_string(openedAs) + R"(, "opened_at": "2026-12-09T08:00:00+00:00"}}}},
      "byte_range_locks": {"/srv/Brevanto.SIT": {"fileid": {"devid": 5, "inode": 9},
        "locks": [{"server_id": {"pid": "700"}, "start": 162, "size": 81}]}}})";
}

TEST(SambaStatus, NamesEachSessionOfAnSmbdThatCouldHaveOpenedTheFile) {
    using holders::SambaClient;
    using Clients = std::vector<SambaClient>;
    const holders::Range record3{162, 242};
    const std::string since = "2026-12-09T08:00:00+00:00";
    const SambaClient luis{"caja-1", "192.0.2.1", "luis", since};
    const SambaClient ana{"caja-1", "192.0.2.1", "ana", since};
    EXPECT_EQ(holders::SambaStatus::read(sambaStatus(1002), 5, 9).clientsOf(700, record3),
              (std::variant<Clients, std::string>(Clients{luis})));
    EXPECT_EQ(holders::SambaStatus::read(sambaStatus(0), 5, 9).clientsOf(700, record3),
              (std::variant<Clients, std::string>(Clients{ana, luis})));
    EXPECT_TRUE(std::holds_alternative<std::string>(
        holders::SambaStatus::read(sambaStatus(1002), 5, 9).clientsOf(800, record3)));
}

// Samba lists each lock a client takes; the kernel merges adjacent locks of one open file
// description into one line, which Samba's locks together cover, gap or no gap.
TEST(SambaStatus, CoversAKernelLineOnlyWithNoByteLeftOut) {
    const std::string status = R"({"byte_range_locks": {"/srv/Brevanto.SIT": {
        "fileid": {"devid": 5, "inode": 9}, "locks": [
        {"server_id": {"pid": "700"}, "start": 162, "size": 81},
        {"server_id": {"pid": "700"}, "start": 243, "size": 81},
        {"server_id": {"pid": "800"}, "start": 405, "size": 81},
        {"server_id": {"pid": "900"}, "start": 810, "size": 18446744073709551615}]}}})";
    const auto samba = holders::SambaStatus::read(status, 5, 9);
    EXPECT_TRUE(samba.covers({162, 323}));
    EXPECT_TRUE(samba.covers({200, 250}));
    EXPECT_FALSE(samba.covers({162, 324}));
    EXPECT_FALSE(samba.covers({161, 242}));
    EXPECT_FALSE(samba.covers({162, 485}));
    EXPECT_TRUE(samba.covers({900, holders::kToTheEnd}));
    EXPECT_EQ(samba.lockingServers(), (std::set<std::int64_t>{700, 800, 900}));
    EXPECT_FALSE(holders::SambaStatus::read(status, 5, 10).covers({162, 242}));
}

TEST(LockHolders, AHolderGoneBeforeTheLookUpIsNotNamed) {
    TempFolder folder;
    writeStationFile(folder.stationFile(), 4 * 81);
    OwnerProcess owner = holding(folder, {"3"});
    ASSERT_EQ(owner.readLine(), "ready");
    ASSERT_EQ(testing_support::scanFolder(folder.path()).listing, "2\t3- **\r\n4\t5\t");
    owner.kill();
    EXPECT_EQ(lookUp(folder, {3}), (std::vector{Holder::unknownBecause(3, kGone)}));
}

// station-scan in a new pid namespace with its own /proc, as a container would run it; without
// root, a user namespace lets an ordinary user make one.
testing_support::ProgramRun scanInAnotherPidNamespace(const TempFolder& folder) {
    const std::string unshare = ::geteuid() == 0 ? "unshare " : "unshare --user --map-root-user ";
    return testing_support::runProgram(
        "/usr/bin/env", unshare + "--pid --fork --mount-proc " +
                            testing_support::shellQuoted(testing_support::stationScanProgram()) +
                            " --holders " + testing_support::shellQuoted(folder.path()) +
                            " 2>/dev/null");
}

TEST(LockHolders, AHolderThisPidNamespaceCannotSeeIsSaidSo) {
    TempFolder folder;
    writeStationFile(folder.stationFile(), 4 * 81);
    OwnerProcess owner = holding(folder, {"3"});
    ASSERT_EQ(owner.readLine(), "ready");
    const auto run = scanInAnotherPidNamespace(folder);
    if (run.status != 0 && run.output.empty()) GTEST_SKIP() << "no new pid namespace here";
    EXPECT_EQ(run.output,
              "2\t3- **\r\n4\t5\t\ncaption: 4\nconnected: 1\n"
              "record 3: unknown: held by a process in another pid namespace\n");
}

// The kernel lists an open-file-description lock in every pid namespace, with no process: one
// held outside is still held, by a process the look-up cannot see.
TEST(LockHolders, AnOpenFileDescriptionLockHeldOutsideThePidNamespaceIsNeverGone) {
    TempFolder folder;
    writeStationFile(folder.stationFile(), 4 * 81);
    const int fd = holdForReading(folder, 3, O_CLOEXEC);
    ASSERT_GE(fd, 0);
    const auto run = scanInAnotherPidNamespace(folder);
    ::close(fd);
    if (run.status != 0 && run.output.empty()) GTEST_SKIP() << "no new pid namespace here";
    EXPECT_EQ(run.output,
              "2\t3- **\r\n4\t5\t\ncaption: 4\nconnected: 1\n"
              "record 3: unknown: held by a process this look-up cannot see\n");
}

// Waits, with a generous patience, for the condition; false if it never came.
bool waitFor(const std::function<bool()>& condition) {
    for (int tries = 0; tries < 60000; ++tries) {
        if (condition()) return true;
        ::usleep(1000);
    }
    return false;
}

// Whether the process's main thread has ended while others of it run on.
bool mainThreadEnded(pid_t pid) {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    const std::string line((std::istreambuf_iterator<char>(stat)), {});
    const std::size_t end = line.rfind(')');
    return end != std::string::npos && line.compare(end, 4, ") Z ") == 0;
}

// A folder so deep inside base that its path is longer than the kernel gives as a link's text
// (4,095 bytes). Open only as a descriptor; removed with what is linked into it.
class DeepFolder {
  public:
    explicit DeepFolder(const std::filesystem::path& base) {
        levels_.push_back(::open(base.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        for (int level = 0; level < 24 && levels_.back() >= 0; ++level) {
            ::mkdirat(levels_.back(), kPart.c_str(), 0755);
            levels_.push_back(
                ::openat(levels_.back(), kPart.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        }
    }
    DeepFolder(const DeepFolder&) = delete;
    DeepFolder& operator=(const DeepFolder&) = delete;
    ~DeepFolder() {
        for (const std::string& name : linked_) ::unlinkat(levels_.back(), name.c_str(), 0);
        for (std::size_t level = levels_.size() - 1; level-- > 0;) {
            ::unlinkat(levels_[level], kPart.c_str(), AT_REMOVEDIR);
        }
        for (const int fd : levels_) ::close(fd);
    }
    int fd() const { return levels_.back(); }
    bool link(const std::filesystem::path& file, const std::string& name) {
        linked_.push_back(name);
        return ::linkat(AT_FDCWD, file.c_str(), fd(), name.c_str(), 0) == 0;
    }

  private:
    inline static const std::string kPart = std::string(200, 'd');
    std::vector<int> levels_;
    std::vector<std::string> linked_;
};

// A holder whose descriptors /proc/PID/fd does not show, or shows without a name: its main thread
// has ended while another keeps its descriptors and locks (then only /proc/PID/task/TID/fd shows
// them); it reached the file through a path too long for a link's text; a thread of it holds the
// lock through a descriptor table of its own (which no walk of the process shows, but the lock
// query through the pass's own descriptor names its pid, as the kernel's list does). Each is
// named, with its classic and its open-file-description lock.
TEST(LockHolders, NamesAHolderWhoseDescriptorsHideFromItsFdFolder) {
    TempFolder folder;
    writeStationFile(folder.stationFile(), 8 * 81);
    const std::filesystem::path file = folder.stationFile();
    Child threadOnly([&](int ready) {
        ::prctl(PR_SET_NAME, "thread-holder");
        const bool locked = lockRecord(::open(file.c_str(), O_RDWR), 3, F_SETLK) &&
                            lockRecord(::open(file.c_str(), O_RDONLY), 4, F_OFD_SETLK, F_RDLCK);
        std::thread([] {
            for (;;) ::pause();
        }).detach();
        report(ready, locked);
        // The main thread alone ends, with no unwinding into the test that forked it.
        ::syscall(SYS_exit, 0);
    });
    DeepFolder deep(folder.path());
    ASSERT_TRUE(deep.link(file, "Brevanto.SIT"));
    Child farAway([&](int ready) {
        ::prctl(PR_SET_NAME, "deep-holder");
        report(ready, lockRecord(::openat(deep.fd(), "Brevanto.SIT", O_RDWR), 5, F_SETLK) &&
                          lockRecord(::openat(deep.fd(), "Brevanto.SIT", O_RDONLY), 6, F_OFD_SETLK,
                                     F_RDLCK));
        for (;;) ::pause();
    });
    Child ownTable([&](int ready) {
        ::prctl(PR_SET_NAME, "own-table");
        std::thread([&] {
            report(ready, ::unshare(CLONE_FILES) == 0 &&
                              lockRecord(::open(file.c_str(), O_RDWR), 7, F_SETLK));
            for (;;) ::pause();
        }).detach();
        for (;;) ::pause();
    });
    ASSERT_TRUE(threadOnly.ready() && farAway.ready() && ownTable.ready());
    ASSERT_TRUE(waitFor([&] { return mainThreadEnded(threadOnly.pid()); }));
    EXPECT_EQ(
        lookUp(folder, {3, 4, 5, 6, 7}),
        (std::vector<Holder>{
            process(3, threadOnly.pid(), "thread-holder"),
            process(4, threadOnly.pid(), "thread-holder"), process(5, farAway.pid(), "deep-holder"),
            process(6, farAway.pid(), "deep-holder"), process(7, ownTable.pid(), "own-table")}));
}

// Two processes pass one shared lock back and forth through descriptions of their own, the next
// taking it before the last lets go, so that the kernel lists the same line whenever it is asked:
// a walk can pass each of them while the other holds it. As root, where every process shows, a
// lock that the walk did not see changed hands: it is walked for once more, and otherwise said to
// have been taken meanwhile, never to be held by a process the look-up cannot see.
TEST(LockHolders, ALockThatChangesHandsDuringTheWalkIsNotSaidToBeUnseen) {
    if (::geteuid() != 0 || !holders::seesEveryProcess()) {
        GTEST_SKIP() << "only root in the machine's first pid namespace sees every process";
    }
    TempFolder folder;
    writeStationFile(folder.stationFile(), 4 * 81);
    int toFirst[2], toSecond[2];
    ASSERT_EQ(::pipe2(toFirst, O_CLOEXEC), 0);
    ASSERT_EQ(::pipe2(toSecond, O_CLOEXEC), 0);
    const auto passing = [&](int from, int to, bool holding) {
        return [&, from, to, holding](int ready) mutable {
            const int fd = ::open(folder.stationFile().c_str(), O_RDONLY);
            holding = holding && lockRecord(fd, 3, F_OFD_SETLK, F_RDLCK);
            report(ready, fd >= 0);
            for (char byte;;) {
                if (holding) {
                    ::usleep(100);
                    if (::write(to, "g", 1) != 1 || ::read(from, &byte, 1) != 1) ::_exit(1);
                    lockRecord(fd, 3, F_OFD_SETLK, F_UNLCK);
                } else {
                    if (::read(from, &byte, 1) != 1 || !lockRecord(fd, 3, F_OFD_SETLK, F_RDLCK) ||
                        ::write(to, "d", 1) != 1) {
                        ::_exit(1);
                    }
                }
                holding = !holding;
            }
        };
    };
    const Child first(passing(toFirst[0], toSecond[1], true));
    // Processes between the two, so that the walk comes to the second well after the first.
    const testing_support::ForkedProcesses between(64, [](long long) { return true; });
    const Child second(passing(toSecond[0], toFirst[1], false));
    ASSERT_TRUE(first.ready() && between.ready() && second.ready());
    for (int run = 0; run < 40; ++run) {
        const std::vector<Holder> found = lookUp(folder, {3});
        ASSERT_FALSE(found.empty()) << run;
        for (const Holder& holder : found) {
            if (holder.pid) {
                EXPECT_TRUE(*holder.pid == first.pid() || *holder.pid == second.pid());
            } else {
                EXPECT_EQ(holder.unknown, "taken during the look-up: run it again") << run;
            }
        }
    }
    for (const int fd : {toFirst[0], toFirst[1], toSecond[0], toSecond[1]}) ::close(fd);
}

// The kernel's lock list comes a page at a time, each read walking the list afresh: locks taken
// and let go on another file meanwhile must not repeat or drop a line of the station file's. 400
// locks of one description fill several pages; another process locks and unlocks as fast as it
// can. Each record has its one holder, every time.
TEST(LockHolders, ALockListReadInPagesWhileOtherLocksComeAndGoCountsEachLockOnce) {
    TempFolder folder;
    constexpr std::int32_t kRecords = 800;
    writeStationFile(folder.stationFile(), kRecords * 81);
    writeStationFile(folder.path() / "other", 81);
    std::vector<std::int32_t> locked;
    for (std::int32_t record = 2; record <= kRecords; record += 2) locked.push_back(record);
    const testing_support::ForkedProcesses holder(1, [&](long long) {
        ::prctl(PR_SET_NAME, "many-locks");
        const int fd = ::open(folder.stationFile().c_str(), O_RDONLY);
        return std::ranges::all_of(locked, [&](std::int32_t record) {
            return lockRecord(fd, record, F_OFD_SETLK, F_RDLCK);
        });
    });
    const Child churning([&](int ready) {
        const int fd = ::open((folder.path() / "other").c_str(), O_RDWR);
        report(ready, fd >= 0);
        for (;;) {
            lockRecord(fd, 1, F_SETLK);
            lockRecord(fd, 1, F_SETLK, F_UNLCK);
        }
    });
    ASSERT_TRUE(holder.ready() && churning.ready());
    std::vector<Holder> expected;
    for (const std::int32_t record : locked) {
        expected.push_back(process(record, holder.pids().front(), "many-locks"));
    }
    for (int run = 0; run < 20; ++run) {
        const std::vector<Holder> found = lookUp(folder, locked);
        std::vector<Holder> others;
        std::ranges::copy_if(found, std::back_inserter(others),
                             [&](const Holder& one) { return one.pid != holder.pids().front(); });
        ASSERT_EQ(others, std::vector<Holder>{}) << run;
        ASSERT_EQ(found, expected) << run;
    }
}

// Open file descriptions are told apart by sorting them with kcmp, a total order, not by comparing
// each pair: 300 readers with a description each cost a few thousand comparisons, not 90,000.
TEST(StationScanHolders, CountsManyReadersDescriptionsWithoutComparingEachPair) {
    TempFolder folder;
    writeStationFile(folder.stationFile(), 4 * 81);
    constexpr long long kReaders = 300;
    const testing_support::ForkedProcesses readers(kReaders, [&](long long) {
        return testing_support::readLockOwnDescription(folder.stationFile(), 3);
    });
    ASSERT_TRUE(readers.ready());
    const std::filesystem::path trace = folder.path() / "kcmp.trace";
    // A sanitized build's leak check cannot run under ptrace, and would fail the run.
    const auto run = testing_support::runProgram(
        "/usr/bin/env",
        "ASAN_OPTIONS=detect_leaks=0 strace -f -qq -e trace=kcmp -e signal=none -o " +
            testing_support::shellQuoted(trace) + " " +
            // Every call stops for the tracer: a run that takes long is no fault.
            testing_support::shellQuoted(testing_support::stationScanProgram()) +
            " --timeout 600 --holders " + testing_support::shellQuoted(folder.path()));
    ASSERT_EQ(run.status, 0);
    long long named = 0;
    for (std::size_t at = 0; (at = run.output.find("\nrecord 3: pid ", at)) != std::string::npos;
         ++at) {
        ++named;
    }
    EXPECT_EQ(named, kReaders);
    std::ifstream traced(trace);
    long long comparisons = 0;
    // The pass and its look-up run in a child of station-scan's: each line begins with a pid.
    for (std::string line; std::getline(traced, line);) {
        comparisons += line.find(" kcmp(") != std::string::npos;
    }
    EXPECT_GT(comparisons, 0) << "the trace followed no process that compared descriptions";
    // A sort's n·log2(n) comparisons, for each of the two counts, with room to spare.
    EXPECT_LT(comparisons, 8 * kReaders * 9);
}

// The pass's output stays byte for byte as without --holders; the holders follow it.
TEST(StationScanHolders, FollowTheUnchangedOutput) {
    TempFolder folder;
    writeStationFile(folder.stationFile(), 6 * 81);
    OwnerProcess owner = holding(folder, {"3", "5:80:1"});
    ASSERT_EQ(owner.readLine(), "ready");
    const auto scan = [&](const std::string& options) {
        return testing_support::runProgram(
            testing_support::stationScanProgram(),
            options + " " + testing_support::shellQuoted(folder.path()));
    };
    const std::string pid = std::to_string(owner.pid());

    const std::string plain = scan("").output;
    EXPECT_EQ(scan("--holders").output, plain + "record 3: pid " + pid + " station-owner, user " +
                                            ourUser() + "\nrecord 5: pid " + pid +
                                            " station-owner, user " + ourUser() + "\n");

    const std::string json = scan("--json").output;
    ASSERT_TRUE(json.ends_with("}\n"));
    const std::string holder =
        "\"pid\": " + pid + ", \"command\": \"station-owner\", \"user\": \"" + ourUser() + "\"}";
    EXPECT_EQ(scan("--json --holders").output, json.substr(0, json.size() - 2) +
                                                   ", \"holders\": [{\"record\": 3, " + holder +
                                                   ", {\"record\": 5, " + holder + "]}\n");

    EXPECT_EQ(scan("--smb-conf smb.conf").status, 2) << "--smb-conf belongs to --holders";
}

}  // namespace
