#pragma once

#include <cstdint>
#include <filesystem>
#include <ostream>
#include <string>
#include <vector>

#include "station/Display.h"
#include "station/StationFile.h"

namespace testing_support {

// A fresh folder for one test, removed with everything in it afterwards.
class TempFolder {
  public:
    TempFolder();
    TempFolder(const TempFolder&) = delete;
    TempFolder& operator=(const TempFolder&) = delete;
    ~TempFolder();
    const std::filesystem::path& path() const { return path_; }
    std::filesystem::path stationFile() const;

  private:
    std::filesystem::path path_;
};

// The owning-application stand-in, run as a separate process and driven one command at a time,
// so that its locks are another process's locks.
class OwnerProcess {
  public:
    // Serving commands on its standard input.
    explicit OwnerProcess(const std::filesystem::path& stationFile);
    // In any mode: arguments after the program name.
    explicit OwnerProcess(const std::vector<std::string>& arguments);
    OwnerProcess(const OwnerProcess&) = delete;
    OwnerProcess& operator=(const OwnerProcess&) = delete;
    ~OwnerProcess();

    // Sends one command and returns the answer line ("ok" when done).
    std::string command(const std::string& line);
    void lock(const std::string& spec) { expectOk("lock " + spec); }
    void unlock(const std::string& spec) { expectOk("unlock " + spec); }
    void grow(long long records) { expectOk("grow " + std::to_string(records)); }
    void truncate(long long bytes) { expectOk("truncate " + std::to_string(bytes)); }
    std::string readLine();
    std::int64_t pid() const;
    // Ends the process at once, as a crash of the owning application would.
    void kill();

  private:
    void expectOk(const std::string& line);
    void send(const std::string& text);

    // The platform's handles: the process, and the pipes to and from it.
    std::intptr_t process_;
    std::intptr_t toOwner_;
    std::intptr_t fromOwner_;
};

// Whether a read of a range that another handle holds locked fails on this platform. Windows
// says it does; Wine, which the Windows tests run under here, lets such reads through.
bool readsOfLockedRangesFail();

// Skips the test, with the reason, where locks cannot show.
#define SKIP_UNLESS_LOCKS_STOP_READS()                                                      \
    if (!testing_support::readsOfLockedRangesFail())                                        \
    GTEST_SKIP() << "this platform lets a read through a range that another process holds " \
                    "locked (Wine does), so no lock can show"

// The command-line tools under test.
std::filesystem::path stationOwnerProgram();
std::filesystem::path stationScanProgram();

// A path as one word of a command line for the platform's shell.
std::string shellQuoted(const std::filesystem::path& path);

// Runs program with the rest of a command line through the platform's shell, and returns what it
// wrote to standard output, byte for byte, and its exit status.
struct ProgramRun {
    std::string output;
    int status;
};
ProgramRun runProgram(const std::filesystem::path& program, const std::string& arguments);

struct CollectedMessage {
    std::string text;
    int number;
    bool operator==(const CollectedMessage&) const = default;
};

class CollectedMessages final : public station::MessageSink {
  public:
    void showMessage(const std::string& text, const std::system_error& cause) override {
        messages.push_back({text, cause.code().value()});
    }
    std::vector<CollectedMessage> messages;
};

// The station file at path, opened as the monitor opens it, with a plain listing beside it.
struct OpenedStation {
    explicit OpenedStation(const std::filesystem::path& path);
    // One pass, as the monitor's refresh runs it.
    std::int32_t scan(std::int32_t& lastFree);
    // The open's failure message, if there was one.
    std::string openMessage() const;

    station::FileTable files;
    CollectedMessages messages;
    station::PlainText listing;
    station::StationFile stationFile;
};

struct ScanOutcome {
    std::string listing;
    std::int32_t connected;
    std::int32_t lastFree;
    std::vector<CollectedMessage> messages = {};
    bool operator==(const ScanOutcome&) const = default;
};
std::ostream& operator<<(std::ostream& out, const ScanOutcome& outcome);

// Opens the station file in folder and runs one pass over it, as the monitor's refresh does.
ScanOutcome scanFolder(const std::filesystem::path& folder);

// Writes a station file of exactly `bytes` bytes.
void writeStationFile(const std::filesystem::path& path, std::size_t bytes);

}  // namespace testing_support
