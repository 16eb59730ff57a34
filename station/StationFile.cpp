#include "station/StationFile.h"

#include <limits>
#include <string>
#include <system_error>

#include "station/Failure.h"

namespace station {
namespace {

[[noreturn]] void fail(std::errc condition) {
    throw std::system_error(std::make_error_code(condition));
}

}  // namespace

std::int16_t FileTable::nextFreeNumber() const {
    std::int16_t number = 1;
    for (const auto& [used, file] : files_) {
        if (used != number) break;
        if (number == std::numeric_limits<std::int16_t>::max())
            fail(std::errc::too_many_files_open);
        ++number;
    }
    return number;
}

void FileTable::open(std::int16_t number, const std::filesystem::path& path,
                     std::int32_t recordLength, WhenMissing whenMissing) {
    if (number < 1 || recordLength < 1) fail(std::errc::invalid_argument);
    if (files_.contains(number)) fail(std::errc::device_or_resource_busy);
    files_.emplace(number, OpenFile{PlatformFile::openShared(path, whenMissing), recordLength});
}

void FileTable::close(std::int16_t number) noexcept { files_.erase(number); }

void FileTable::reposition(std::int16_t number, std::int32_t record) {
    OpenFile& file = find(number);
    if (record < 1) fail(std::errc::invalid_argument);
    // Reads name their record, so clearing the end-of-file state is all a reposition has to do.
    file.endOfFile = false;
}

std::error_code FileTable::read(std::int16_t number, std::int32_t record,
                                std::span<std::byte> buffer) {
    OpenFile& file = find(number);
    if (record < 1 || buffer.size() != static_cast<std::size_t>(file.recordLength)) {
        fail(std::errc::invalid_argument);
    }
    const std::uint64_t offset = recordOffset(record, file.recordLength);
    std::size_t got = 0;
    if (const std::error_code locked = file.file.readUnlessLocked(offset, buffer, got)) {
        return locked;
    }
    if (got < buffer.size()) file.endOfFile = true;
    return {};
}

bool FileTable::endOfFile(std::int16_t number) { return find(number).endOfFile; }

FileTable::OpenFile& FileTable::find(std::int16_t number) {
    const auto found = files_.find(number);
    if (found == files_.end()) fail(std::errc::bad_file_descriptor);
    return found->second;
}

void StationFile::AbrirFicheroPuestos() noexcept {
    try {
        if (RutaFichero.empty()) {
            RutaFichero = executableFolder().native() + std::filesystem::path::preferred_separator +
                          std::filesystem::path(kStationFileName).native();
        }
        NumFichero = files_.nextFreeNumber();
        files_.open(fileNumber(), RutaFichero, kRecordLength, whenMissing_);
    } catch (...) {
        try {
            const std::system_error failure = currentFailure();
            messages_.showMessage(failureNumber(failure) + "-" + failureDescription(failure),
                                  failure);
        } catch (...) {
            // Nothing is left to report with; the file stays closed and the first scan says so.
        }
    }
}

void StationFile::reopen() {
    files_.close(fileNumber());
    files_.open(fileNumber(), RutaFichero, kRecordLength, WhenMissing::fail);
}

bool StationFile::closeIfNoLongerAtPath(PathCheck check) {
    const std::int16_t number = fileNumber();
    if (!files_.isOpen(number)) return false;
    if (files_.linked(number) &&
        (check == PathCheck::handleOnly || files_.namedBy(number, RutaFichero))) {
        return false;
    }
    files_.close(number);
    return true;
}

std::int16_t StationFile::fileNumber() const {
    if (NumFichero < std::numeric_limits<std::int16_t>::min() ||
        NumFichero > std::numeric_limits<std::int16_t>::max()) {
        fail(std::errc::value_too_large);
    }
    return static_cast<std::int16_t>(NumFichero);
}

void StationFile::repositionToFirstScanned() {
    files_.reposition(fileNumber(), kFirstScannedRecord);
}

bool StationFile::endOfFile() { return files_.endOfFile(fileNumber()); }

std::error_code StationFile::read(std::int32_t record, StationRecord& buffer) {
    return files_.read(fileNumber(), record, std::as_writable_bytes(std::span(&buffer, 1)));
}

}  // namespace station
