#include "tools/Console.h"

#include <windows.h>

#include <fcntl.h>
#include <io.h>
#include <shellapi.h>

#include <cstdio>
#include <memory>

#include "station/windows/WindowsError.h"

namespace tools {

std::vector<std::string> arguments(int, char**) {
    int count = 0;
    const std::unique_ptr<wchar_t*, decltype(&::LocalFree)> wide(
        ::CommandLineToArgvW(::GetCommandLineW(), &count), &::LocalFree);
    if (wide == nullptr) station::throwLastWindowsError();
    std::vector<std::string> converted;
    for (int index = 1; index < count; ++index)
        converted.push_back(station::toUtf8(wide.get()[index]));
    return converted;
}

// Text mode would write every line feed as CR LF, and a listing's CR LF as CR CR LF.
void useBinaryStandardStreams() {
    ::_setmode(::_fileno(stdout), _O_BINARY);
    ::_setmode(::_fileno(stderr), _O_BINARY);
}

}  // namespace tools
