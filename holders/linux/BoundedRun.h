#pragma once

#include <sys/types.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <vector>

#include "holders/linux/ProcFiles.h"

namespace holders {

// What a program wrote to its standard output and error, and how it ended.
struct BoundedRun {
    std::string output;
    std::string errors;
    int status = -1;        // its exit status; -1 when it did not exit by itself
    int startFailure = 0;   // errno when it could not be started, or not waited for
    bool timedOut = false;  // killed, with everything it started, after its patience ran out
};

// A program run at exactly its path (never looked up on PATH), with a minimal environment of its
// own rather than the caller's and no standard input, for at most its patience from its start.
// It runs beside the caller until finish(); a program never finished is killed.
class BoundedProgram {
  public:
    BoundedProgram(const std::filesystem::path& program, const std::vector<std::string>& arguments,
                   std::chrono::milliseconds patience);
    BoundedProgram(const BoundedProgram&) = delete;
    BoundedProgram& operator=(const BoundedProgram&) = delete;
    ~BoundedProgram();

    // Waits for its end, killing it (and all it started) once its patience has run out.
    BoundedRun finish();

  private:
    FileDescriptor output_;
    FileDescriptor errors_;
    pid_t child_ = -1;
    std::chrono::steady_clock::time_point deadline_;
    BoundedRun result_;
};

}  // namespace holders
