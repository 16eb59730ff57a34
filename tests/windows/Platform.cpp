// Windows: the owner runs through CreateProcessW with pipes to and from it; the tools lie beside
// the test program.
#include <windows.h>

#include <cstdio>
#include <stdexcept>
#include <system_error>

#include "Support.h"
#include "station/PlatformFile.h"
#include "station/StationFile.h"
#include "tools/OwnedFile.h"
#include "win32/ErrorCategory.h"
#include "win32/Utf16.h"

namespace testing_support {
namespace {

HANDLE handleOf(std::intptr_t handle) { return reinterpret_cast<HANDLE>(handle); }
std::intptr_t held(HANDLE handle) { return reinterpret_cast<std::intptr_t>(handle); }

std::wstring quotedArgument(const std::wstring& argument) {
    // Enough for the paths and lock specs the tests pass: no quotes or trailing backslashes.
    return L"\"" + argument + L"\"";
}

}  // namespace

OwnerProcess::OwnerProcess(const std::vector<std::string>& arguments) {
    SECURITY_ATTRIBUTES inherited{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
    HANDLE input[2];
    HANDLE output[2];
    if (!::CreatePipe(&input[0], &input[1], &inherited, 0) ||
        !::CreatePipe(&output[0], &output[1], &inherited, 0)) {
        win32::throwLastError();
    }
    // The child gets only its own ends.
    ::SetHandleInformation(input[1], HANDLE_FLAG_INHERIT, 0);
    ::SetHandleInformation(output[0], HANDLE_FLAG_INHERIT, 0);

    std::wstring commandLine = quotedArgument(stationOwnerProgram().native());
    for (const auto& argument : arguments) {
        commandLine += L" " + quotedArgument(win32::toWide(argument));
    }
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = input[0];
    startup.hStdOutput = output[1];
    startup.hStdError = ::GetStdHandle(STD_ERROR_HANDLE);
    PROCESS_INFORMATION started{};
    const BOOL spawned = ::CreateProcessW(nullptr, commandLine.data(), nullptr, nullptr, TRUE, 0,
                                          nullptr, nullptr, &startup, &started);
    const std::error_code failure = win32::lastError();
    ::CloseHandle(input[0]);
    ::CloseHandle(output[1]);
    toOwner_ = held(input[1]);
    fromOwner_ = held(output[0]);
    if (!spawned) {
        process_ = held(nullptr);
        throw std::system_error(failure, "CreateProcessW");
    }
    ::CloseHandle(started.hThread);
    process_ = held(started.hProcess);
}

OwnerProcess::~OwnerProcess() {
    // End of input ends the owner, and with it its locks.
    ::CloseHandle(handleOf(toOwner_));
    ::CloseHandle(handleOf(fromOwner_));
    if (handleOf(process_) != nullptr) {
        ::WaitForSingleObject(handleOf(process_), INFINITE);
        ::CloseHandle(handleOf(process_));
    }
}

std::int64_t OwnerProcess::pid() const { return ::GetProcessId(handleOf(process_)); }

void OwnerProcess::kill() {
    ::TerminateProcess(handleOf(process_), 1);
    ::WaitForSingleObject(handleOf(process_), INFINITE);
    ::CloseHandle(handleOf(process_));
    process_ = held(nullptr);
}

void OwnerProcess::send(const std::string& text) {
    DWORD written = 0;
    if (!::WriteFile(handleOf(toOwner_), text.data(), static_cast<DWORD>(text.size()), &written,
                     nullptr) ||
        written != text.size()) {
        win32::throwLastError();
    }
}

std::string OwnerProcess::readLine() {
    std::string line;
    for (char c;;) {
        DWORD got = 0;
        if (!::ReadFile(handleOf(fromOwner_), &c, 1, &got, nullptr) || got != 1) {
            throw std::runtime_error("station-owner ended");
        }
        if (c == '\n') return line;
        line += c;
    }
}

// Windows makes a read of a locked range fail; Wine does not. Asked once, with the owner's own
// lock and the monitor's own read, each through a handle of its own.
bool readsOfLockedRangesFail() {
    static const bool fail = [] {
        TempFolder folder;
        writeStationFile(folder.stationFile(), station::kRecordLength);
        owner::OwnedFile locker(folder.stationFile());
        locker.lock({0, station::kRecordLength});
        station::PlatformFile reader = station::PlatformFile::openShared(folder.stationFile());
        std::byte record[station::kRecordLength];
        std::size_t got = 0;
        return static_cast<bool>(reader.readUnlessLocked(0, record, got));
    }();
    return fail;
}

std::filesystem::path stationOwnerProgram() {
    return station::executableFolder() / "station-owner.exe";
}
std::filesystem::path stationScanProgram() {
    return station::executableFolder() / "station-scan.exe";
}

std::string shellQuoted(const std::filesystem::path& path) {
    return "\"" + win32::toUtf8(path.native()) + "\"";
}

ProgramRun runProgram(const std::filesystem::path& program, const std::string& arguments) {
    // cmd.exe takes the outer quotes off a command line that starts with one.
    const std::wstring commandLine =
        L"\"" + win32::toWide(shellQuoted(program) + " " + arguments) + L"\"";
    FILE* pipe = ::_wpopen(commandLine.c_str(), L"rb");
    if (pipe == nullptr) throw std::system_error(errno, std::generic_category(), "_wpopen");
    ProgramRun run;
    char chunk[512];
    for (std::size_t got; (got = std::fread(chunk, 1, sizeof chunk, pipe)) > 0;) {
        run.output.append(chunk, got);
    }
    run.status = ::_pclose(pipe);
    return run;
}

}  // namespace testing_support
