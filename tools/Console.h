#pragma once

#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <iostream>
#include <memory>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

namespace tools {

// The program's arguments after its name, in UTF-8: on Windows taken from the wide command line,
// so that a folder named in any script comes through. Each operating system has its own
// implementation file.
std::vector<std::string> arguments(int argc, char** argv);

// Standard output and error as the tools write them, for as long as this lives: UTF-8 bytes as
// they are (a listing's CR LF comes out as CR LF) to a file or a pipe. On Windows a stream that is
// a console gets the same text as UTF-16, which shows right whatever the console's code page.
class StandardStreams {
  public:
    StandardStreams();
    StandardStreams(const StandardStreams&) = delete;
    StandardStreams& operator=(const StandardStreams&) = delete;
    ~StandardStreams();

  private:
    class Console;
    std::vector<std::unique_ptr<Console>> consoles_;
};

// Flushes standard output and says why something written to it was lost (a full disk, a reader
// that went away while SIGPIPE is ignored, as systemd ignores it), or nothing when all of it went
// out. The standard library would lose such a failure without a word at the program's end.
inline std::error_code flushStandardOutput() {
    errno = 0;
    std::cout.flush();
    // A write that failed earlier left its bytes in stdout's buffer: flushing again says why.
    const bool flushed = std::fflush(stdout) == 0 && std::ferror(stdout) == 0;
    if (std::cout && flushed) return {};
    return {errno != 0 ? errno : EIO, std::generic_category()};
}

inline std::filesystem::path pathFromUtf8(std::string_view text) {
    return std::filesystem::path(std::u8string(text.begin(), text.end()));
}

}  // namespace tools
