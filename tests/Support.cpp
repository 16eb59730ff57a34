#include "Support.h"

#include <fstream>
#include <random>
#include <stdexcept>
#include <system_error>

#include "station/LockScan.h"
#include "station/StationFile.h"

namespace testing_support {

TempFolder::TempFolder() {
    std::random_device random;
    for (;;) {
        path_ =
            std::filesystem::temp_directory_path() / ("ostrevan-test-" + std::to_string(random()));
        // Only a folder this call made is the test's own.
        if (std::filesystem::create_directory(path_)) return;
    }
}

TempFolder::~TempFolder() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
}

std::filesystem::path TempFolder::stationFile() const { return path_ / "Brevanto.SIT"; }

OwnerProcess::OwnerProcess(const std::filesystem::path& stationFile)
    : OwnerProcess(std::vector<std::string>{"serve", stationFile.string()}) {}

std::string OwnerProcess::command(const std::string& line) {
    send(line + "\n");
    return readLine();
}

void OwnerProcess::expectOk(const std::string& line) {
    const std::string answer = command(line);
    if (answer != "ok") throw std::runtime_error("station-owner: " + line + ": " + answer);
}

OpenedStation::OpenedStation(const std::filesystem::path& path) : stationFile(files, messages) {
    stationFile.setRutaFichero(path);
    stationFile.AbrirFicheroPuestos();
}

std::int32_t OpenedStation::scan(std::int32_t& lastFree) {
    return station::LockScan(stationFile, listing, messages)
        .MLP_PuestosConectadosGrabados(lastFree);
}

std::string OpenedStation::openMessage() const {
    return messages.messages.empty() ? std::string() : messages.messages.front().text;
}

ScanOutcome scanFolder(const std::filesystem::path& folder) {
    OpenedStation opened(folder / "Brevanto.SIT");
    std::int32_t lastFree = 0;
    const std::int32_t connected = opened.scan(lastFree);
    return {opened.listing.text(), connected, lastFree, opened.messages.messages};
}

std::ostream& operator<<(std::ostream& out, const ScanOutcome& outcome) {
    out << "{listing \"";
    for (const char c : outcome.listing) {
        out << (c == '\t' ? "\\t" : c == '\r' ? "\\r" : c == '\n' ? "\\n" : std::string(1, c));
    }
    out << "\", connected " << outcome.connected << ", last free " << outcome.lastFree;
    for (const auto& message : outcome.messages) out << ", message \"" << message.text << "\"";
    return out << "}";
}

void writeStationFile(const std::filesystem::path& path, std::size_t bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    const std::string content(bytes, 'x');
    out.write(content.data(), static_cast<std::streamsize>(content.size()));
    if (!out) throw std::runtime_error("cannot write " + path.string());
}

}  // namespace testing_support
