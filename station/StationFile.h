#pragma once

#include <cstdint>
#include <filesystem>
#include <map>
#include <span>
#include <string_view>
#include <system_error>

#include "station/Display.h"
#include "station/PlatformFile.h"

namespace station {

inline constexpr std::string_view kStationFileName = "Brevanto.SIT";
inline constexpr std::int32_t kRecordLength = 81;

// Where record (numbered from 1) begins in a file of records of recordLength bytes.
constexpr std::uint64_t recordOffset(std::int32_t record, std::int32_t recordLength) {
    return static_cast<std::uint64_t>(record - 1) * static_cast<std::uint64_t>(recordLength);
}

// One workstation's record as the owning application keeps it: packed, numbers little-endian,
// text in a single-byte code page. Only the field sizes are fixed; the values are the owning
// application's. The monitor never looks at what it reads.
#pragma pack(push, 1)
struct StationRecord {
    char tag;
    std::int16_t word1;  // in the scan's read buffer, the scan's locked flag
    std::uint8_t byte3;
    std::uint8_t byte4;
    std::int16_t word5;
    std::int32_t long7;
    char name[20];
    char description[50];
};
#pragma pack(pop)
static_assert(sizeof(StationRecord) == kRecordLength);

// The process's record files, by file number. Records are numbered from 1 with nothing before
// record 1 and nothing between records; each open file keeps its own end-of-file state.
class FileTable {
  public:
    // The lowest file number not in use.
    std::int16_t nextFreeNumber() const;

    void open(std::int16_t number, const std::filesystem::path& path, std::int32_t recordLength,
              WhenMissing whenMissing = WhenMissing::create);
    // Releases the file's number; a number that names no open file is left as it is.
    void close(std::int16_t number) noexcept;

    // Positions the file at record and clears its end-of-file state.
    void reposition(std::int16_t number, std::int32_t record);

    // Reads record into buffer, which is one record long. A record that lies wholly or partly
    // past the end reads what there is and sets the end-of-file state; a failed read leaves it.
    // A lock of another process on the record is returned, not thrown: for a locked record it is
    // the common outcome. Every other failure is thrown.
    [[nodiscard]] std::error_code read(std::int16_t number, std::int32_t record,
                                       std::span<std::byte> buffer);

    bool endOfFile(std::int16_t number);

    bool isOpen(std::int16_t number) const { return files_.contains(number); }
    // See PlatformFile::linked and PlatformFile::namedBy.
    bool linked(std::int16_t number) { return find(number).file.linked(); }
    bool namedBy(std::int16_t number, const std::filesystem::path& path) {
        return find(number).file.namedBy(path);
    }

    // The platform's handle of the open file, lent; see PlatformFile::nativeHandle.
    std::intptr_t nativeHandle(std::int16_t number) { return find(number).file.nativeHandle(); }

  private:
    struct OpenFile {
        PlatformFile file;
        std::int32_t recordLength;
        bool endOfFile = false;
    };

    OpenFile& find(std::int16_t number);

    std::map<std::int16_t, OpenFile> files_;
};

// The three operations on the station file that one pass of the lock scan uses.
class ScannedFile {
  public:
    virtual ~ScannedFile() = default;
    virtual void repositionToFirstScanned() = 0;
    virtual bool endOfFile() = 0;
    // Returns the lock conflict when another process holds the record locked, the expected
    // outcome for a connected workstation; throws every other failure of the read.
    [[nodiscard]] virtual std::error_code read(std::int32_t record, StationRecord& buffer) = 0;
};

inline constexpr std::int32_t kFirstScannedRecord = 2;

// How much a look at whether the open file is still the station file asks of the system: the open
// handle alone (cheap enough for every tick), or the path as well.
enum class PathCheck { handleOnly, withPath };

// The shared station file as the monitor holds it: its path and the file number it is open under.
// It is opened at the load, and closed only to be opened again by its path: when its handle has
// gone dead, and when it is no longer the file at the path (deleted, renamed away, another file
// renamed over its name). The process's end releases it.
class StationFile final : public ScannedFile {
  public:
    StationFile(FileTable& files, MessageSink& messages) : files_(files), messages_(messages) {}

    // Opens the file beside the executable (or at the path already set). Reports its own failure
    // and leaves the file closed; never throws.
    void AbrirFicheroPuestos() noexcept;

    // Closes the open file, if it is still open, and opens the path again under the same number,
    // without creating the file. Throws the open's failure and leaves the file closed;
    // a later call tries again.
    void reopen();

    // Closes the open file once it is no longer the station file at RutaFichero: at once when it
    // has lost its name (deleted, and on Windows also pending deletion, so that the owning
    // application can create the file again), and, with PathCheck::withPath, when the path names
    // another file, or none. Returns whether it closed the file: the caller then opens the path
    // again with reopen(). A file that is not open is left for the pass to fail on. Throws the
    // system's failure when the open handle cannot be asked, and leaves the file open.
    bool closeIfNoLongerAtPath(PathCheck check);

    const std::filesystem::path& rutaFichero() const { return RutaFichero; }
    void setRutaFichero(std::filesystem::path path) { RutaFichero = std::move(path); }
    std::int32_t numFichero() const { return NumFichero; }
    void setNumFichero(std::int32_t number) { NumFichero = number; }
    // The monitor creates a missing file; a probe that must not write opens only an existing one.
    void setWhenMissing(WhenMissing whenMissing) { whenMissing_ = whenMissing; }

    void repositionToFirstScanned() override;
    bool endOfFile() override;
    [[nodiscard]] std::error_code read(std::int32_t record, StationRecord& buffer) override;

    // The platform's handle of the open station file, lent to code that asks the system about
    // the very file the passes read.
    std::intptr_t nativeHandle() { return files_.nativeHandle(fileNumber()); }

  private:
    // File numbers are 16-bit to the file services; a value that does not fit is an overflow.
    std::int16_t fileNumber() const;

    FileTable& files_;
    MessageSink& messages_;
    std::filesystem::path RutaFichero;
    std::int32_t NumFichero = 0;
    WhenMissing whenMissing_ = WhenMissing::create;
};

}  // namespace station
