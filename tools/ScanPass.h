#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <system_error>
#include <vector>

#include "holders/LockHolders.h"
#include "station/Display.h"
#include "station/StationFile.h"
#include "tools/PassWatch.h"

namespace tools {

// A path as UTF-8 text.
std::string utf8(const std::filesystem::path& path);

// What one pass over the station file found: all that an output format reports.
struct PassResult {
    std::filesystem::path stationFile;
    // The station file opened, so the pass ran (to its end, or until `failure`).
    bool ran = false;
    // Why the file could not be opened or the pass did not reach the end of the file.
    std::optional<std::system_error> failure;
    std::string listing;
    // The scan's own results, as the monitor gets them (the connected count is 0 after a failure
    // part-way, as the scan reports it).
    std::int32_t connected = 0;
    std::int32_t lastFree = 0;
    // Noted record by record, when the pass was asked to: every record tried (the listing's
    // entries) and those whose read reported a lock.
    std::vector<std::int32_t> tried;
    std::vector<std::int32_t> locked;
    // When the pass began, its open included.
    std::chrono::system_clock::time_point startedAt;
    std::chrono::duration<double> duration{};

    // The station file's folder as the scan names it, in UTF-8.
    std::string folder() const;
    bool reachedTheEnd() const { return ran && !failure; }
};

// The holders of the locked records, when they were looked up.
using FoundHolders = std::optional<std::vector<holders::Holder>>;

// One pass of the lock scan over the station file, exactly as the monitor's refresh runs it.
class ScanPass {
  public:
    // The station file in folder, or beside this program when folder is empty.
    static std::filesystem::path stationFileIn(const std::filesystem::path& folder);

    // Opens the station file in folder (see stationFileIn), telling progress.
    ScanPass(const std::filesystem::path& folder, station::WhenMissing whenMissing,
             PassProgress& progress);

    // Runs the pass, telling progress of each step on the file; with noteRecords, noting each
    // record tried and locked.
    PassResult run(bool noteRecords);

    // The pass's own open file, lent to the look-up of its holders: the file the pass read, even
    // if its name has since gone to another.
    station::NativeHandle nativeHandle() { return stationFile_.nativeHandle(); }

  private:
    PassProgress& progress_;
    std::chrono::system_clock::time_point startedAt_;
    station::FileTable files_;
    // Where the monitor shows a message box, the scanner keeps the failure behind it.
    station::KeptFailure messages_;
    station::StationFile stationFile_;
};

}  // namespace tools
