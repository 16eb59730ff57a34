#include "tools/ScanPass.h"

#include <utility>

#include "station/Failure.h"
#include "station/LockScan.h"

namespace tools {
namespace {

// Tells progress of each step on the file as it begins and when it returns: a step that does
// not return in time is the pass's failure, answered for by the watcher.
class ReportingProgress final : public station::ScannedFile {
  public:
    ReportingProgress(station::ScannedFile& file, PassProgress& progress)
        : file_(file), progress_(progress) {}
    void repositionToFirstScanned() override {
        next_ = station::kFirstScannedRecord;
        const Answered answered(progress_, next_);
        file_.repositionToFirstScanned();
    }
    bool endOfFile() override {
        const Answered answered(progress_, next_);
        return file_.endOfFile();
    }
    std::error_code read(std::int32_t record, station::StationRecord& buffer) override {
        next_ = record;
        const Answered answered(progress_, record);
        return file_.read(record, buffer);
    }

  private:
    // A step's begin and its return, thrown or not.
    class Answered {
      public:
        Answered(PassProgress& progress, std::int32_t record) : progress_(progress) {
            progress_.reading(record);
        }
        Answered(const Answered&) = delete;
        Answered& operator=(const Answered&) = delete;
        ~Answered() { progress_.answered(); }

      private:
        PassProgress& progress_;
    };

    station::ScannedFile& file_;
    PassProgress& progress_;
    std::int32_t next_ = station::kFirstScannedRecord;
};

}  // namespace

std::string utf8(const std::filesystem::path& path) {
    const std::u8string text = path.u8string();
    return std::string(text.begin(), text.end());
}

std::string PassResult::folder() const { return utf8(stationFile.parent_path()); }

std::filesystem::path ScanPass::stationFileIn(const std::filesystem::path& folder) {
    return (folder.empty() ? station::executableFolder() : folder) / station::kStationFileName;
}

ScanPass::ScanPass(const std::filesystem::path& folder, station::WhenMissing whenMissing,
                   PassProgress& progress)
    : progress_(progress),
      startedAt_(std::chrono::system_clock::now()),
      stationFile_(files_, messages_) {
    if (!folder.empty()) stationFile_.setRutaFichero(stationFileIn(folder));
    stationFile_.setWhenMissing(whenMissing);
    progress_.opening();
    stationFile_.AbrirFicheroPuestos();
    progress_.answered();
}

PassResult ScanPass::run(bool noteRecords) {
    PassResult result;
    result.stationFile = stationFile_.rutaFichero();
    result.startedAt = startedAt_;
    result.ran = !messages_.failure;
    result.failure = messages_.failure;
    if (!result.ran) return result;

    ReportingProgress reporting(stationFile_, progress_);
    station::PlainText listing;
    station::ScannedRecords records;
    const auto started = std::chrono::steady_clock::now();
    try {
        result.connected =
            station::LockScan(reporting, listing, messages_)
                .MLP_PuestosConectadosGrabados(result.lastFree, noteRecords ? &records : nullptr);
        result.failure = messages_.failure;
    } catch (...) {
        result.failure = station::currentFailure();
    }
    result.tried = std::move(records.tried);
    result.locked = std::move(records.locked);
    result.duration = std::chrono::steady_clock::now() - started;
    result.listing = listing.text();
    return result;
}

}  // namespace tools
