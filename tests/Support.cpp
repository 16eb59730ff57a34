#include "Support.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <stdexcept>
#include <system_error>

#include "station/LockScan.h"
#include "station/StationFile.h"

extern char** environ;

namespace testing_support {
namespace {

[[noreturn]] void failWithErrno(const char* what) {
    throw std::system_error(errno, std::system_category(), what);
}

}  // namespace

TempFolder::TempFolder() {
    std::string pattern =
        (std::filesystem::temp_directory_path() / "ostrevan-test-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) failWithErrno("mkdtemp");
    path_ = pattern;
}

TempFolder::~TempFolder() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
}

std::filesystem::path TempFolder::stationFile() const { return path_ / "Brevanto.SIT"; }

OwnerProcess::OwnerProcess(const std::filesystem::path& stationFile)
    : OwnerProcess(std::vector<std::string>{"serve", stationFile.string()}) {}

OwnerProcess::OwnerProcess(const std::vector<std::string>& arguments) {
    int input[2];
    int output[2];
    if (::pipe2(input, O_CLOEXEC) == -1 || ::pipe2(output, O_CLOEXEC) == -1) failWithErrno("pipe2");
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, input[0], STDIN_FILENO);
    posix_spawn_file_actions_adddup2(&actions, output[1], STDOUT_FILENO);
    std::vector<char*> argv{const_cast<char*>(STATION_OWNER)};
    for (const auto& argument : arguments) argv.push_back(const_cast<char*>(argument.c_str()));
    argv.push_back(nullptr);
    const int spawned =
        ::posix_spawn(&pid_, STATION_OWNER, &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    ::close(input[0]);
    ::close(output[1]);
    toOwner_ = input[1];
    fromOwner_ = output[0];
    if (spawned != 0) throw std::system_error(spawned, std::system_category(), "posix_spawn");
}

OwnerProcess::~OwnerProcess() {
    // End of input ends the owner, and with it its locks.
    if (toOwner_ != -1) ::close(toOwner_);
    if (fromOwner_ != -1) ::close(fromOwner_);
    if (pid_ > 0) ::waitpid(pid_, nullptr, 0);
}

void OwnerProcess::kill() {
    ::kill(pid_, SIGKILL);
    ::waitpid(pid_, nullptr, 0);
    pid_ = -1;
}

std::string OwnerProcess::command(const std::string& line) {
    const std::string sent = line + "\n";
    if (::write(toOwner_, sent.data(), sent.size()) != static_cast<ssize_t>(sent.size())) {
        failWithErrno("write to station-owner");
    }
    return readLine();
}

std::string OwnerProcess::readLine() {
    std::string line;
    for (char c;;) {
        if (::read(fromOwner_, &c, 1) != 1) throw std::runtime_error("station-owner ended");
        if (c == '\n') return line;
        line += c;
    }
}

void OwnerProcess::expectOk(const std::string& line) {
    const std::string answer = command(line);
    if (answer != "ok") throw std::runtime_error("station-owner: " + line + ": " + answer);
}

OpenedStation::OpenedStation(const std::filesystem::path& path) : stationFile(files, messages) {
    stationFile.setRutaFichero(path);
    stationFile.AbrirFicheroPuestos();
}

std::int32_t OpenedStation::scan(std::int32_t& lastFree) {
    return station::LockScan(stationFile, listing, messages)
        .MLP_PuestosConectadosGrabados(lastFree);
}

std::string OpenedStation::openMessage() const {
    return messages.messages.empty() ? std::string() : messages.messages.front().text;
}

ScanOutcome scanFolder(const std::filesystem::path& folder) {
    OpenedStation opened(folder / "Brevanto.SIT");
    std::int32_t lastFree = 0;
    const std::int32_t connected = opened.scan(lastFree);
    return {opened.listing.text(), connected, lastFree, opened.messages.messages};
}

std::ostream& operator<<(std::ostream& out, const ScanOutcome& outcome) {
    out << "{listing \"";
    for (const char c : outcome.listing) {
        out << (c == '\t' ? "\\t" : c == '\r' ? "\\r" : c == '\n' ? "\\n" : std::string(1, c));
    }
    out << "\", connected " << outcome.connected << ", last free " << outcome.lastFree;
    for (const auto& message : outcome.messages) out << ", message \"" << message.text << "\"";
    return out << "}";
}

void writeStationFile(const std::filesystem::path& path, std::size_t bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    const std::string content(bytes, 'x');
    out.write(content.data(), static_cast<std::streamsize>(content.size()));
    if (!out) throw std::runtime_error("cannot write " + path.string());
}

}  // namespace testing_support
