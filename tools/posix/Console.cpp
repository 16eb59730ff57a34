#include "tools/Console.h"

namespace tools {

std::vector<std::string> arguments(int argc, char** argv) {
    return std::vector<std::string>(argv + 1, argv + argc);
}

// POSIX streams never translate line breaks, and a terminal takes UTF-8 as it comes.
class StandardStreams::Console {};

StandardStreams::StandardStreams() = default;
StandardStreams::~StandardStreams() = default;

}  // namespace tools
