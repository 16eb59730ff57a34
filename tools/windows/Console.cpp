#include "tools/Console.h"

#include <windows.h>

#include <fcntl.h>
#include <io.h>
#include <shellapi.h>

#include <array>
#include <cstdio>
#include <iostream>
#include <memory>
#include <streambuf>

#include "win32/ErrorCategory.h"
#include "win32/Utf16.h"

namespace tools {
namespace {

// How much of text is whole UTF-8 sequences: a sequence cut at the end waits for its rest.
std::size_t wholeSequences(std::string_view text) {
    for (std::size_t back = 1; back <= 4 && back <= text.size(); ++back) {
        const auto byte = static_cast<unsigned char>(text[text.size() - back]);
        if ((byte & 0xC0) == 0x80) continue;  // a continuation byte
        const std::size_t length = byte >= 0xF0 ? 4 : byte >= 0xE0 ? 3 : byte >= 0xC0 ? 2 : 1;
        return length > back ? text.size() - back : text.size();
    }
    return text.size();
}

// A stream buffer that writes the UTF-8 put into it to a console as UTF-16.
class ConsoleBuffer final : public std::streambuf {
  public:
    explicit ConsoleBuffer(HANDLE console) : console_(console) {
        setp(held_.data(), held_.data() + held_.size());
    }

  protected:
    int_type overflow(int_type c) override {
        if (!writeWholeSequences()) return traits_type::eof();
        if (!traits_type::eq_int_type(c, traits_type::eof())) {
            *pptr() = traits_type::to_char_type(c);
            pbump(1);
        }
        return traits_type::not_eof(c);
    }
    int sync() override { return writeWholeSequences() ? 0 : -1; }

  private:
    bool writeWholeSequences() {
        const std::string_view held(pbase(), static_cast<std::size_t>(pptr() - pbase()));
        const std::size_t whole = wholeSequences(held);
        const std::wstring text = win32::toWide(held.substr(0, whole));
        bool written = true;
        for (std::size_t at = 0; written && at < text.size();) {
            DWORD count = 0;
            written = ::WriteConsoleW(console_, text.data() + at,
                                      static_cast<DWORD>(text.size() - at), &count, nullptr) &&
                      count > 0;
            at += count;
        }
        // At most three bytes of a cut sequence stay, at the front.
        const std::string rest(held.substr(whole));
        rest.copy(held_.data(), rest.size());
        setp(held_.data(), held_.data() + held_.size());
        pbump(static_cast<int>(rest.size()));
        return written;
    }

    HANDLE console_;
    std::array<char, 4096> held_{};
};

}  // namespace

std::vector<std::string> arguments(int, char**) {
    int count = 0;
    const std::unique_ptr<wchar_t*, decltype(&::LocalFree)> wide(
        ::CommandLineToArgvW(::GetCommandLineW(), &count), &::LocalFree);
    if (wide == nullptr) win32::throwLastError();
    std::vector<std::string> converted;
    for (int index = 1; index < count; ++index)
        converted.push_back(win32::toUtf8(wide.get()[index]));
    return converted;
}

// A console takes its bytes in its own code page (an OEM one, as a rule), where UTF-8 comes out
// garbled; WriteConsoleW takes any text.
class StandardStreams::Console {
  public:
    Console(std::ostream& stream, HANDLE console)
        : stream_(stream), buffer_(console), previous_(stream.rdbuf(&buffer_)) {}
    Console(const Console&) = delete;
    Console& operator=(const Console&) = delete;
    ~Console() {
        stream_.flush();
        stream_.rdbuf(previous_);
    }

  private:
    std::ostream& stream_;
    ConsoleBuffer buffer_;
    std::streambuf* previous_;
};

StandardStreams::StandardStreams() {
    // Text mode would write every line feed as CR LF, and a listing's CR LF as CR CR LF.
    ::_setmode(::_fileno(stdout), _O_BINARY);
    ::_setmode(::_fileno(stderr), _O_BINARY);
    const std::pair<std::ostream*, DWORD> streams[] = {{&std::cout, STD_OUTPUT_HANDLE},
                                                       {&std::cerr, STD_ERROR_HANDLE}};
    for (const auto& [stream, which] : streams) {
        const HANDLE handle = ::GetStdHandle(which);
        DWORD mode = 0;
        // Only a console has a console mode; a file or a pipe keeps its bytes.
        if (handle != nullptr && handle != INVALID_HANDLE_VALUE &&
            ::GetConsoleMode(handle, &mode)) {
            consoles_.push_back(std::make_unique<Console>(*stream, handle));
        }
    }
}

StandardStreams::~StandardStreams() = default;

}  // namespace tools
