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
// Whole runs: station-scan --holders as an administrator runs it, beside smbstatus -B --json and
//          fuser on the station file, at 200 and 5,000 processes of the bench's own: with Samba's
//          clients holding stations (a private smbd, as the system tests start one; as root), on
//          a machine without Samba, where local processes hold them, and with both.
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
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

// How many processes and open descriptors /proc shows now, and how many processes call
// themselves smbd (another Samba server on the machine, a system test's, would change what a
// look-up without Samba of its own does).
void countMachine(benchmark::State& state) {
    long long processes = 0, descriptors = 0, smbds = 0;
    for (const auto& entry : std::filesystem::directory_iterator("/proc")) {
        const std::string name = entry.path().filename();
        if (name.find_first_not_of("0123456789") != std::string::npos) continue;
        ++processes;
        std::ifstream comm(entry.path() / "comm");
        std::string command;
        if (std::getline(comm, command) && command.starts_with("smbd")) ++smbds;
        std::error_code ignored;
        for (std::filesystem::directory_iterator fd(entry.path() / "fd", ignored), end;
             !ignored && fd != end; fd.increment(ignored)) {
            ++descriptors;
        }
    }
    state.counters["processes"] = static_cast<double>(processes);
    state.counters["descriptors"] = static_cast<double>(descriptors);
    state.counters["smbd"] = static_cast<double>(smbds);
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

extern "C" char** environ;

// Starts the program with its arguments, its standard input and output the given descriptors (or
// /dev/null when -1), its error output /dev/null; its pid, or -1.
pid_t spawn(const std::vector<std::string>& command, int input = -1, int output = -1) {
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    for (const auto& [fd, to] : {std::pair{0, input}, std::pair{1, output}, std::pair{2, -1}}) {
        if (to >= 0) {
            posix_spawn_file_actions_adddup2(&actions, to, fd);
        } else {
            posix_spawn_file_actions_addopen(&actions, fd, "/dev/null", O_RDWR, 0);
        }
    }
    std::vector<char*> argv;
    for (const std::string& argument : command) argv.push_back(const_cast<char*>(argument.c_str()));
    argv.push_back(nullptr);
    pid_t pid = -1;
    if (::posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ) != 0) pid = -1;
    posix_spawn_file_actions_destroy(&actions);
    return pid;
}

// One whole run of the command, its output thrown away: its wall time and the CPU time of it
// and all it waited for, in ms, and whether it exited with status 0.
struct Timed {
    double wall;
    double cpu;
    bool succeeded;
};

Timed timeRun(const std::vector<std::string>& command) {
    const auto started = std::chrono::steady_clock::now();
    const pid_t pid = spawn(command);
    int status = -1;
    rusage usage{};
    if (pid > 0) ::wait4(pid, &status, 0, &usage);
    const std::chrono::duration<double, std::milli> took =
        std::chrono::steady_clock::now() - started;
    const auto ms = [](const timeval& time) {
        return static_cast<double>(time.tv_sec) * 1e3 + static_cast<double>(time.tv_usec) / 1e3;
    };
    return {took.count(), ms(usage.ru_utime) + ms(usage.ru_stime),
            WIFEXITED(status) && WEXITSTATUS(status) == 0};
}

// bench/samba_station.py: a private Samba server whose two clients hold records 2 and 13 of a
// 24-record station file, until the benchmark ends.
class SambaStation {
  public:
    SambaStation() {
        int toServer[2], fromServer[2];
        if (::pipe2(toServer, O_CLOEXEC) != 0) return;
        if (::pipe2(fromServer, O_CLOEXEC) != 0) return;
        ::setenv("STATION_OWNER", testing_support::stationOwnerProgram().c_str(), 1);
        pid_ = spawn({"/usr/bin/python3", BENCH_SOURCE_DIR "/samba_station.py", "24", "2"},
                     toServer[0], fromServer[1]);
        ::close(toServer[0]);
        ::close(fromServer[1]);
        input_ = toServer[1];
        std::string line;
        char byte = 0;
        while (::read(fromServer[0], &byte, 1) == 1 && byte != '\n') line += byte;
        ::close(fromServer[0]);
        std::istringstream words(line);
        std::string ready;
        words >> ready >> share_ >> configuration_;
        ready_ = ready == "ready";
    }
    SambaStation(const SambaStation&) = delete;
    SambaStation& operator=(const SambaStation&) = delete;
    ~SambaStation() {
        if (input_ >= 0) ::close(input_);  // the clients disconnect, the server stops
        if (pid_ > 0) ::waitpid(pid_, nullptr, 0);
    }
    bool ready() const { return ready_; }
    const std::string& share() const { return share_; }
    const std::string& configuration() const { return configuration_; }

  private:
    pid_t pid_ = -1;
    int input_ = -1;
    bool ready_ = false;
    std::string share_, configuration_;
};

double median(std::vector<double> values) {
    std::ranges::sort(values);
    const std::size_t middle = values.size() / 2;
    return values.size() % 2 == 1 ? values[middle] : (values[middle - 1] + values[middle]) / 2;
}

// Who holds the stations in the whole runs: Samba's clients, local processes on a machine without
// Samba, or both on a Samba server (a local process on record 5 beside the clients' 2 and 13).
enum class Holding { Samba, Local, Both };

// Whole runs, one of each command in every round, the order turning from round to round so that
// none always runs first on a loaded machine: station-scan --holders (and the build named by
// HOLDERS_BENCH_BEFORE, when set, as "before"), smbstatus -B --json alone, fuser on the station
// file. The counters are the medians, in ms of wall and of CPU time, and the wall times' ratios;
// the time is --holders'.
void WholeRuns(benchmark::State& state, Holding holding) {
    const auto crowd = bystanders(state.range(0), 20);
    TempFolder folder;
    std::optional<SambaStation> server;
    std::optional<testing_support::ForkedProcesses> local;
    std::string share = folder.path();
    std::vector<std::string> sambaOptions, statusOptions;
    if (holding != Holding::Local) {
        server.emplace();
        if (!server->ready()) state.SkipWithError("no Samba server (run as root)");
        share = server->share();
        sambaOptions = {"--smb-conf", server->configuration()};
        statusOptions = {"--configfile", server->configuration()};
    } else {
        writeStationFile(folder.stationFile(), 24 * 81);
    }
    if (holding != Holding::Samba) {
        const std::filesystem::path station = std::filesystem::path(share) / "Brevanto.SIT";
        const long long holders = holding == Holding::Local ? 2 : 1;
        local.emplace(holders, [&](long long i) {
            return testing_support::readLockOwnDescription(
                station, static_cast<std::int32_t>(holding == Holding::Local ? 2 + 11 * i : 5));
        });
        if (!local->ready()) state.SkipWithError("the local holders could not lock");
    }
    struct Command {
        std::string name;
        std::vector<std::string> argv;
        std::vector<double> times;
        std::vector<double> cpu;
    };
    const auto holders = [&](const std::string& program) {
        std::vector<std::string> argv{program, "--json", "--holders"};
        argv.insert(argv.end(), sambaOptions.begin(), sambaOptions.end());
        argv.push_back(share);
        return argv;
    };
    std::vector<Command> commands{
        {"holders", holders(testing_support::stationScanProgram()), {}, {}}};
    if (const char* before = std::getenv("HOLDERS_BENCH_BEFORE")) {
        commands.push_back({"before", holders(before), {}, {}});
    }
    std::vector<std::string> smbstatus{"/usr/bin/smbstatus", "-B", "--json"};
    smbstatus.insert(smbstatus.end(), statusOptions.begin(), statusOptions.end());
    commands.push_back({"smbstatus", smbstatus, {}, {}});
    commands.push_back({"fuser", {"/usr/bin/fuser", share + "/Brevanto.SIT"}, {}, {}});
    std::size_t round = 0;
    for (auto _ : state) {
        for (std::size_t i = 0; i < commands.size(); ++i) {
            Command& command = commands[(round + i) % commands.size()];
            const Timed run = timeRun(command.argv);
            if (!run.succeeded && command.name != "fuser" && command.name != "smbstatus") {
                state.SkipWithError((command.name + " failed").c_str());
            }
            command.times.push_back(run.wall);
            command.cpu.push_back(run.cpu);
        }
        state.SetIterationTime(commands.front().times.back() / 1000);
        ++round;
    }
    for (const Command& command : commands) {
        state.counters[command.name + "_ms"] = median(command.times);
        state.counters[command.name + "_cpu_ms"] = median(command.cpu);
    }
    const double statusAlone = median(commands[commands.size() - 2].times);
    const double fuser = median(commands.back().times);
    for (const Command& command : commands) {
        if (command.name != "holders" && command.name != "before") continue;
        state.counters[command.name + "/smbstatus"] = median(command.times) / statusAlone;
        state.counters[command.name + "/fuser"] = median(command.times) / fuser;
    }
    countMachine(state);
}

}  // namespace

// Few rounds: each runs every command once, and a look-up before these changes took a second.
void wholeRunsAt(benchmark::internal::Benchmark* runs) {
    runs->Arg(200)->Arg(5000)->Unit(benchmark::kMillisecond)->Iterations(15)->UseManualTime();
}
BENCHMARK_CAPTURE(WholeRuns, samba, Holding::Samba)->Apply(wholeRunsAt);
BENCHMARK_CAPTURE(WholeRuns, local, Holding::Local)->Apply(wholeRunsAt);
BENCHMARK_CAPTURE(WholeRuns, both, Holding::Both)->Apply(wholeRunsAt);
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
