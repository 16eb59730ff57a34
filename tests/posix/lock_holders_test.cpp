// Who holds the locks: classic locks of separate processes, open-file-description locks shared
// across a fork, a holder gone before the look-up, and one the pid namespace hides.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <pwd.h>
#include <signal.h>
#include <spawn.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <memory>
#include <string>
#include <variant>
#include <vector>

#include "Support.h"
#include "holders/LockHolders.h"
#include "holders/linux/SambaStatus.h"
#include "station/PlatformFile.h"

extern char** environ;

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

// A child of this test that calls itself by a name of its choosing, as any user's process can,
// and holds a classic lock on one record until it is ended.
class NamedHolder {
  public:
    NamedHolder(const std::filesystem::path& file, const std::string& name, std::int32_t record) {
        int ready[2];
        if (::pipe2(ready, O_CLOEXEC) != 0) return;
        pid_ = ::fork();
        if (pid_ == 0) {
            ::prctl(PR_SET_NAME, name.c_str());
            const int fd = ::open(file.c_str(), O_RDWR);
            struct flock lock {};
            lock.l_type = F_WRLCK;
            lock.l_start = (record - 1) * 81;
            lock.l_len = 81;
            const char locked = fd >= 0 && ::fcntl(fd, F_SETLK, &lock) == 0 ? 'y' : 'n';
            if (::write(ready[1], &locked, 1) == 1) ::pause();
            ::_exit(0);
        }
        ::close(ready[1]);
        char locked = 'n';
        ready_ = ::read(ready[0], &locked, 1) == 1 && locked == 'y';
        ::close(ready[0]);
    }
    NamedHolder(const NamedHolder&) = delete;
    NamedHolder& operator=(const NamedHolder&) = delete;
    ~NamedHolder() {
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

TEST(LockHolders, AHolderGoneBeforeTheLookUpIsNotNamed) {
    TempFolder folder;
    writeStationFile(folder.stationFile(), 4 * 81);
    OwnerProcess owner = holding(folder, {"3"});
    ASSERT_EQ(owner.readLine(), "ready");
    ASSERT_EQ(testing_support::scanFolder(folder.path()).listing, "2\t3- **\r\n4\t5\t");
    owner.kill();
    EXPECT_EQ(lookUp(folder, {3}),
              (std::vector<Holder>{{3, std::nullopt, {}, {}, std::nullopt, std::string(kGone)}}));
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
