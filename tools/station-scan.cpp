// One pass of the lock scan, exactly as the monitor's refresh runs it, printed for scripts.
#include <cstdint>
#include <cstdio>
#include <iostream>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

#include "station/Display.h"
#include "station/Failure.h"
#include "station/LockScan.h"
#include "station/StationFile.h"
#include "tools/Console.h"

namespace {

constexpr const char* kUsage =
    "usage: station-scan [--json] [FOLDER]\n"
    "\n"
    "Runs one pass over FOLDER/Brevanto.SIT (default: the folder of this program) as the\n"
    "monitor does, creating the file empty when it is missing. Prints the listing, then the\n"
    "caption (the last free station) and the connected count; with --json, one object\n"
    "{\"listing\": ..., \"connected\": N, \"lastFree\": N}. Exits 1 when the pass failed.\n";

void printFailure(const std::system_error& failure) {
    std::cerr << "station-scan: " << station::failureNumber(failure) << " "
              << station::failureDescription(failure) << "\n";
}

// Where the monitor shows a message box, the scanner prints the failure behind it.
class StandardError final : public station::MessageSink {
  public:
    void showMessage(const std::string&, const std::system_error& cause) override {
        printFailure(cause);
        reported_ = true;
    }
    bool reported() const { return reported_; }

  private:
    bool reported_ = false;
};

std::string jsonString(std::string_view text) {
    std::string quoted = "\"";
    for (const char c : text) {
        switch (c) {
            case '"':
                quoted += "\\\"";
                break;
            case '\\':
                quoted += "\\\\";
                break;
            case '\t':
                quoted += "\\t";
                break;
            case '\r':
                quoted += "\\r";
                break;
            case '\n':
                quoted += "\\n";
                break;
            default:
                if (static_cast<unsigned char>(c) < 0x20) {
                    char escaped[8];
                    std::snprintf(escaped, sizeof escaped, "\\u%04x", c);
                    quoted += escaped;
                } else {
                    quoted += c;
                }
        }
    }
    return quoted + "\"";
}

struct Options {
    bool json = false;
    std::string folder;
};

bool parse(const std::vector<std::string_view>& arguments, Options& options) {
    for (const auto argument : arguments) {
        if (argument == "--json") {
            options.json = true;
        } else if (argument.starts_with('-') || !options.folder.empty()) {
            return false;
        } else {
            options.folder = argument;
        }
    }
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    tools::useBinaryStandardStreams();
    const std::vector<std::string> words = tools::arguments(argc, argv);
    Options options;
    if (!parse(std::vector<std::string_view>(words.begin(), words.end()), options)) {
        std::cerr << kUsage;
        return 2;
    }
    station::FileTable files;
    station::PlainText listing;
    StandardError messages;
    station::StationFile stationFile(files, messages);
    if (!options.folder.empty()) {
        stationFile.setRutaFichero(tools::pathFromUtf8(options.folder) / station::kStationFileName);
    }
    stationFile.AbrirFicheroPuestos();

    std::int32_t lastFree = 0;
    std::int32_t connected = 0;
    bool passFailed = false;
    try {
        connected = station::LockScan(stationFile, listing, messages)
                        .MLP_PuestosConectadosGrabados(lastFree);
        passFailed = messages.reported();
    } catch (const std::system_error& failure) {
        printFailure(failure);
        passFailed = true;
    }

    if (options.json) {
        std::cout << "{\"listing\": " << jsonString(listing.text())
                  << ", \"connected\": " << connected << ", \"lastFree\": " << lastFree << "}\n";
    } else {
        std::cout << listing.text();
        if (!listing.text().ends_with('\n')) std::cout << "\n";
        std::cout << "caption: " << lastFree << "\nconnected: " << connected << "\n";
    }
    return passFailed ? 1 : 0;
}
