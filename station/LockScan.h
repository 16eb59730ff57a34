#pragma once

#include <cstdint>
#include <string_view>
#include <vector>

#include "station/Display.h"
#include "station/StationFile.h"

namespace station {

inline constexpr std::string_view kLockMarker = "- **";

// The records one pass tried, the one whose read failed included, and those whose read reported a
// lock, each in order.
struct ScannedRecords {
    std::vector<std::int32_t> tried;
    std::vector<std::int32_t> locked;
};

// One pass over the station file: every record from record 2 on is tried, and a record whose read
// fails because another process holds it locked belongs to a connected workstation. The listing
// goes to txtPuestos, one entry per record tried: its number, the lock marker if its read failed,
// then a line break after every number divisible by 3 and a tab after the others.
class LockScan {
  public:
    LockScan(ScannedFile& file, TextHolder& txtPuestos, MessageSink& messages)
        : file_(file), txtPuestos_(txtPuestos), messages_(messages) {}

    // Returns the connected count, and leaves in RT_UltimoPuestoLibre the record number - 1 of the
    // last record read without failure (or the caller's value, if there was none). A failure before
    // the first record is tried leaves the pass and goes to the caller; a later one, including a
    // read that fails for any reason other than a lock, is reported here with its bare number, and
    // the pass returns 0 with the listing built so far shown. Given records, the pass notes
    // there which records it tried and found locked.
    std::int32_t MLP_PuestosConectadosGrabados(std::int32_t& RT_UltimoPuestoLibre,
                                               ScannedRecords* records = nullptr);

  private:
    ScannedFile& file_;
    TextHolder& txtPuestos_;
    MessageSink& messages_;
};

}  // namespace station
