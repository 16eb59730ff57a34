#include "station/LockScan.h"

#include <limits>
#include <string>

#include "station/Failure.h"

namespace station {
namespace {

constexpr std::int16_t kTrue = -1;
constexpr std::int16_t kFalse = 0;

std::int32_t incremented(std::int32_t value) {
    if (value == std::numeric_limits<std::int32_t>::max()) {
        throw std::system_error(std::make_error_code(std::errc::value_too_large));
    }
    return value + 1;
}

// Runs one step so that its failure is recorded and the next step runs; tells whether it failed.
template <typename Step>
bool failed(Step&& step) {
    try {
        step();
        return false;
    } catch (const std::exception&) {
        return true;
    }
}

// The listing is built here and written to the text box whenever the pass can end or stop, so that
// a pass costs time linear in the number of records, not quadratic.
class Listing {
  public:
    explicit Listing(TextHolder& holder) : holder_(holder) {}
    void append(std::string_view piece) { text_.append(piece); }
    void show() { holder_.setText(text_); }

  private:
    TextHolder& holder_;
    std::string text_;
};

}  // namespace

std::int32_t LockScan::MLP_PuestosConectadosGrabados(std::int32_t& RT_UltimoPuestoLibre,
                                                     ScannedRecords* records) {
    if (records != nullptr) *records = {};
    // Up to the first end-of-file test, failures go to the caller.
    std::int32_t record = kFirstScannedRecord;
    file_.repositionToFirstScanned();
    // The box is emptied here; like every later piece, the empty listing reaches the box at the
    // next point where the pass ends or stops, so a pass writes the box once and a box that
    // already shows the same listing can be left as it is.
    Listing listing(txtPuestos_);
    try {
        if (file_.endOfFile()) {
            listing.show();
            return 0;
        }
    } catch (...) {
        listing.show();
        throw;
    }

    std::int32_t connected = 0;
    StationRecord buffer{};
    try {
        do {
            // A lock of another process is the expected outcome for a connected workstation:
            // recorded, not reported. Any other failure of the read throws, and ends the pass
            // through the handler below: a failing disk or a dropped share is no workstation,
            // and a pass that went on would never meet the end of the file.
            if (records != nullptr) records->tried.push_back(record);
            bool readFailed = static_cast<bool>(file_.read(record, buffer));
            if (readFailed && records != nullptr) records->locked.push_back(record);
            readFailed |= failed([&] { listing.append(std::to_string(record)); });
            if (readFailed) failed([&] { listing.append(kLockMarker); });
            buffer.word1 = readFailed ? kTrue : kFalse;

            listing.append(record % 3 == 0 ? "\r\n" : "\t");
            if (buffer.word1 != kFalse) {
                connected = incremented(connected);
            } else {
                RT_UltimoPuestoLibre = record - 1;
            }
            record = incremented(record);
        } while (!file_.endOfFile());
        listing.show();
        return connected;
    } catch (...) {
        const std::system_error failure = currentFailure();
        listing.show();
        messages_.showMessage(failureNumber(failure), failure);
        return 0;
    }
}

}  // namespace station
