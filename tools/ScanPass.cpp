#include "tools/ScanPass.h"

#include "station/Failure.h"
#include "station/LockScan.h"

namespace tools {
namespace {

// Notes each record the pass tries, and which of them it found locked. A record counts as
// locked only when its read reports the lock; a read that throws ends the pass as a failure.
class NotingRecords final : public station::ScannedFile {
  public:
    NotingRecords(station::ScannedFile& file, PassResult& result) : file_(file), result_(result) {}
    void repositionToFirstScanned() override {
        result_.tried.clear();
        result_.locked.clear();
        file_.repositionToFirstScanned();
    }
    bool endOfFile() override { return file_.endOfFile(); }
    std::error_code read(std::int32_t record, station::StationRecord& buffer) override {
        result_.tried.push_back(record);
        const std::error_code failure = file_.read(record, buffer);
        if (failure) result_.locked.push_back(record);
        return failure;
    }

  private:
    station::ScannedFile& file_;
    PassResult& result_;
};

}  // namespace

std::string utf8(const std::filesystem::path& path) {
    const std::u8string text = path.u8string();
    return std::string(text.begin(), text.end());
}

std::string PassResult::folder() const { return utf8(stationFile.parent_path()); }

ScanPass::ScanPass(const std::filesystem::path& folder, station::WhenMissing whenMissing)
    : stationFile_(files_, messages_) {
    if (!folder.empty()) stationFile_.setRutaFichero(folder / station::kStationFileName);
    stationFile_.setWhenMissing(whenMissing);
    stationFile_.AbrirFicheroPuestos();
}

PassResult ScanPass::run(bool noteRecords) {
    PassResult result;
    result.stationFile = stationFile_.rutaFichero();
    result.ran = !messages_.failure;
    result.failure = messages_.failure;
    if (!result.ran) return result;

    NotingRecords noting(stationFile_, result);
    station::ScannedFile& scanned =
        noteRecords ? static_cast<station::ScannedFile&>(noting) : stationFile_;
    station::PlainText listing;
    result.startedAt = std::chrono::system_clock::now();
    const auto started = std::chrono::steady_clock::now();
    try {
        result.connected = station::LockScan(scanned, listing, messages_)
                               .MLP_PuestosConectadosGrabados(result.lastFree);
        result.failure = messages_.failure;
    } catch (...) {
        result.failure = station::currentFailure();
    }
    result.duration = std::chrono::steady_clock::now() - started;
    result.listing = listing.text();
    return result;
}

}  // namespace tools
