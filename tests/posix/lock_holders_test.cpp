// Who holds the locks: classic locks of separate processes, open-file-description locks shared
// across a fork, a holder gone before the look-up, and one the pid namespace hides.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <pwd.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

#include "Support.h"
#include "tools/LockHolders.h"

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

std::vector<Holder> lookUp(const TempFolder& folder, std::vector<std::int32_t> records) {
    return holders::lookUp(folder.stationFile(), records, {});
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

// An open-file-description lock names no process in the kernel's list: every process that
// shares the description holds it, here this test and a child that inherited the descriptor.
TEST(LockHolders, NamesEveryProcessSharingAnOpenFileDescriptionLock) {
    TempFolder folder;
    writeStationFile(folder.stationFile(), 8 * 81);
    const int fd = ::open(folder.stationFile().c_str(), O_RDONLY);
    ASSERT_GE(fd, 0);
    struct flock lock {};
    lock.l_type = F_RDLCK;
    lock.l_start = 3 * 81;
    lock.l_len = 81;
    ASSERT_EQ(::fcntl(fd, F_OFD_SETLK, &lock), 0);
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

TEST(LockHolders, AHolderThisPidNamespaceCannotSeeIsSaidSo) {
    TempFolder folder;
    writeStationFile(folder.stationFile(), 4 * 81);
    OwnerProcess owner = holding(folder, {"3"});
    ASSERT_EQ(owner.readLine(), "ready");
    // A new pid namespace with its own /proc, as a container would give station-scan; without
    // root, a user namespace lets an ordinary user make one.
    const std::string unshare = ::geteuid() == 0 ? "unshare " : "unshare --user --map-root-user ";
    const auto run = testing_support::runProgram(
        "/usr/bin/env", unshare + "--pid --fork --mount-proc " +
                            testing_support::shellQuoted(testing_support::stationScanProgram()) +
                            " --holders " + testing_support::shellQuoted(folder.path()) +
                            " 2>/dev/null");
    if (run.status != 0 && run.output.empty()) GTEST_SKIP() << "no new pid namespace here";
    EXPECT_EQ(run.output,
              "2\t3- **\r\n4\t5\t\ncaption: 4\nconnected: 1\n"
              "record 3: unknown: held by a process in another pid namespace\n");
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
