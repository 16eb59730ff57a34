#pragma once

#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

namespace tools {

// The program's arguments after its name, in UTF-8: on Windows taken from the wide command line,
// so that a folder named in any script comes through. Each operating system has its own
// implementation file.
std::vector<std::string> arguments(int argc, char** argv);

// Standard output and error pass bytes as they are: a listing's CR LF comes out as CR LF.
void useBinaryStandardStreams();

inline std::filesystem::path pathFromUtf8(std::string_view text) {
    return std::filesystem::path(std::u8string(text.begin(), text.end()));
}

}  // namespace tools
