#pragma once

#include <chrono>
#include <filesystem>
#include <string>
#include <vector>

namespace holders {

// What a program wrote to its standard output and error, and how it ended.
struct BoundedRun {
    std::string output;
    std::string errors;
    int status = -1;        // its exit status; -1 when it did not exit by itself
    int startFailure = 0;   // errno when it could not be started
    bool timedOut = false;  // killed, with everything it started, after its patience ran out
};

// Runs the program at exactly that path (never looked up on PATH), with a minimal environment of
// its own rather than the caller's, no standard input, and for at most patience.
BoundedRun runBounded(const std::filesystem::path& program,
                      const std::vector<std::string>& arguments,
                      std::chrono::milliseconds patience);

}  // namespace holders
