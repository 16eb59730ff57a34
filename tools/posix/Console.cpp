#include "tools/Console.h"

namespace tools {

std::vector<std::string> arguments(int argc, char** argv) {
    return std::vector<std::string>(argv + 1, argv + argc);
}

// POSIX streams never translate line breaks.
void useBinaryStandardStreams() {}

}  // namespace tools
