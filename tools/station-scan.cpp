// One pass of the lock scan, exactly as the monitor's refresh runs it, printed for scripts.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <iostream>
#include <optional>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

#include "holders/LockHolders.h"
#include "station/Display.h"
#include "station/Failure.h"
#include "station/LockScan.h"
#include "station/StationFile.h"
#include "tools/Console.h"

namespace {

constexpr const char* kUsage =
    "usage: station-scan [--json] [--holders [--smb-conf FILE] [--smbstatus PATH]] [FOLDER]\n"
    "\n"
    "Runs one pass over FOLDER/Brevanto.SIT (default: the folder of this program) as the\n"
    "monitor does, creating the file empty when it is missing. Prints the listing, then the\n"
    "caption (the last free station) and the connected count; with --json, one object\n"
    "{\"listing\": ..., \"connected\": N, \"lastFree\": N}. Exits 1 when the pass failed.\n"
    "\n"
    "--holders  then looks up who holds each locked record (Linux): a process of this machine,\n"
    "           or through Samba's smbd a client machine, its address and account; one line per\n"
    "           holder, or with --json a \"holders\" array. Samba's clients need root.\n"
    "--smb-conf FILE  Samba's configuration, when it is not Samba's default.\n"
    "--smbstatus PATH  Samba's status program (default /usr/bin/smbstatus), never looked up\n"
    "           on PATH.\n";

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

// Notes which records the pass found locked, for the look-up of their holders.
class NotingLockedRecords final : public station::ScannedFile {
  public:
    explicit NotingLockedRecords(station::ScannedFile& file) : file_(file) {}
    void repositionToFirstScanned() override {
        locked_.clear();
        file_.repositionToFirstScanned();
    }
    bool endOfFile() override { return file_.endOfFile(); }
    std::error_code read(std::int32_t record, station::StationRecord& buffer) override {
        try {
            const std::error_code failure = file_.read(record, buffer);
            if (failure) locked_.push_back(record);
            return failure;
        } catch (...) {
            locked_.push_back(record);
            throw;
        }
    }
    const std::vector<std::int32_t>& locked() const { return locked_; }

  private:
    station::ScannedFile& file_;
    std::vector<std::int32_t> locked_;
};

std::string describeClient(const holders::SambaClient& client) {
    std::string text = "; client ";
    text += client.machine;
    text += " at ";
    text += client.address;
    text += ", account ";
    text += client.account;
    if (!client.since.empty()) {
        text += ", since ";
        text += client.since;
    }
    return text;
}

void printHolder(const holders::Holder& holder) {
    std::cout << "record " << holder.record << ": ";
    if (holder.pid) {
        std::cout << "pid " << *holder.pid << " " << holder.command << ", user " << holder.user;
        if (holder.client) std::cout << describeClient(*holder.client);
        if (!holder.unknown.empty()) std::cout << "; ";
    }
    if (!holder.unknown.empty()) std::cout << "unknown: " << holder.unknown;
    std::cout << "\n";
}

std::string jsonHolder(const holders::Holder& holder) {
    std::string json = "{\"record\": ";
    json += std::to_string(holder.record);
    json += ", \"pid\": ";
    json += holder.pid ? std::to_string(*holder.pid) : "null";
    const auto field = [&json](std::string_view name, std::string_view value) {
        json += ", \"";
        json += name;
        json += "\": ";
        json += jsonString(value);
    };
    if (holder.pid) {
        field("command", holder.command);
        field("user", holder.user);
    }
    if (holder.client) {
        field("client", holder.client->machine);
        field("address", holder.client->address);
        field("account", holder.client->account);
        field("since", holder.client->since);
    }
    if (!holder.unknown.empty()) field("unknown", holder.unknown);
    return json + "}";
}

struct Options {
    bool json = false;
    bool holders = false;
    std::string sambaConfiguration;
    std::string smbstatus;
    std::string folder;
};

bool parse(const std::vector<std::string_view>& arguments, Options& options) {
    for (auto argument = arguments.begin(); argument != arguments.end(); ++argument) {
        if (*argument == "--json") {
            options.json = true;
        } else if (*argument == "--holders") {
            options.holders = true;
        } else if (*argument == "--smb-conf" && argument + 1 != arguments.end()) {
            options.sambaConfiguration = *++argument;
        } else if (*argument == "--smbstatus" && argument + 1 != arguments.end()) {
            options.smbstatus = *++argument;
        } else if (argument->starts_with('-') || !options.folder.empty()) {
            return false;
        } else {
            options.folder = *argument;
        }
    }
    return options.holders || (options.sambaConfiguration.empty() && options.smbstatus.empty());
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

    // Without --holders the pass reads the station file itself, exactly as the monitor's does.
    NotingLockedRecords noting(stationFile);
    station::ScannedFile& scanned =
        options.holders ? static_cast<station::ScannedFile&>(noting) : stationFile;
    std::int32_t lastFree = 0;
    std::int32_t connected = 0;
    bool failed = false;
    try {
        connected =
            station::LockScan(scanned, listing, messages).MLP_PuestosConectadosGrabados(lastFree);
        failed = messages.reported();
    } catch (const std::system_error& failure) {
        printFailure(failure);
        failed = true;
    }

    std::optional<std::vector<holders::Holder>> found;
    if (options.holders && !failed) {
        try {
            holders::LookUpOptions lookUp;
            lookUp.sambaConfiguration = tools::pathFromUtf8(options.sambaConfiguration);
            if (!options.smbstatus.empty())
                lookUp.smbstatus = tools::pathFromUtf8(options.smbstatus);
            found = holders::lookUp(stationFile.nativeHandle(), noting.locked(), lookUp);
        } catch (const std::system_error& failure) {
            printFailure(failure);
            failed = true;
        }
    }

    if (options.json) {
        std::cout << "{\"listing\": " << jsonString(listing.text())
                  << ", \"connected\": " << connected << ", \"lastFree\": " << lastFree;
        if (found) {
            std::cout << ", \"holders\": [";
            for (std::size_t i = 0; i < found->size(); ++i) {
                std::cout << (i == 0 ? "" : ", ") << jsonHolder((*found)[i]);
            }
            std::cout << "]";
        }
        std::cout << "}\n";
    } else {
        std::cout << listing.text();
        if (!listing.text().ends_with('\n')) std::cout << "\n";
        std::cout << "caption: " << lastFree << "\nconnected: " << connected << "\n";
        if (found) std::ranges::for_each(*found, printHolder);
    }
    return failed ? 1 : 0;
}
