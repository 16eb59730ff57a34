// The faults as Windows gives them: ERROR_NETNAME_DELETED through a handle that did not survive a
// share's reconnect, ERROR_IO_DEVICE for a failing disk, ERROR_BAD_NETPATH while the server is
// down, ERROR_LOCK_VIOLATION for a read of a locked range (which Wine, unlike Windows, lets
// through), and a deletion pending (which Wine does not report).
#include "FaultyCalls.h"

#include "station/windows/SystemCalls.h"

namespace testing_support {

int FaultyCalls::handleGoneNumber() { return ERROR_NETNAME_DELETED; }
int FaultyCalls::ioFailureNumber() { return ERROR_IO_DEVICE; }
int FaultyCalls::openFailureNumber() { return ERROR_BAD_NETPATH; }
int FaultyCalls::timedOutNumber() { return ERROR_SEM_TIMEOUT; }

class FaultyCalls::Table final : public station::SystemCalls {
  public:
    explicit Table(Faults& faults) : faults_(faults) {}

    HANDLE CreateFileW(LPCWSTR path, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES security,
                       DWORD disposition, DWORD attributes, HANDLE model) override {
        faults_.passThrough(Held::opens);
        // An open for the attributes only is a look at what the path names.
        const bool forReading = (access & GENERIC_READ) != 0;
        if (const int failure = faults_.openFailure(forReading)) {
            ::SetLastError(static_cast<DWORD>(failure));
            return INVALID_HANDLE_VALUE;
        }
        const HANDLE handle =
            SystemCalls::CreateFileW(path, access, share, security, disposition, attributes, model);
        if (handle == INVALID_HANDLE_VALUE) return handle;
        faults_.opened(handle, forReading);
        return handle;
    }
    BOOL CloseHandle(HANDLE handle) override {
        const BOOL closed = SystemCalls::CloseHandle(handle);
        const DWORD reason = ::GetLastError();
        // Last: the table may go once the last file is closed.
        faults_.closed(handle);
        ::SetLastError(reason);
        return closed;
    }
    BOOL ReadFile(HANDLE handle, LPVOID buffer, DWORD length, LPDWORD read,
                  LPOVERLAPPED at) override {
        faults_.passThrough(Held::reads);
        const std::uint64_t offset = (std::uint64_t{at->OffsetHigh} << 32) | at->Offset;
        if (const int failure = faults_.readFailure(handle, offset, length)) return fail(failure);
        if (faults_.locked(offset, length)) return fail(ERROR_LOCK_VIOLATION);
        return SystemCalls::ReadFile(handle, buffer, length, read, at);
    }
    BOOL GetFileInformationByHandle(HANDLE handle,
                                    LPBY_HANDLE_FILE_INFORMATION information) override {
        if (!SystemCalls::GetFileInformationByHandle(handle, information)) return FALSE;
        information->nFileIndexLow += static_cast<DWORD>(faults_.identityShift(handle));
        return TRUE;
    }
    BOOL GetFileInformationByHandleEx(HANDLE handle, FILE_INFO_BY_HANDLE_CLASS kind,
                                      LPVOID information, DWORD size) override {
        faults_.passThrough(Held::linkQueries);
        if (faults_.linkQueryFails(handle)) return fail(ioFailureNumber());
        if (!SystemCalls::GetFileInformationByHandleEx(handle, kind, information, size)) {
            return FALSE;
        }
        if (kind == FileStandardInfo && faults_.unlinkedFile(handle)) {
            static_cast<FILE_STANDARD_INFO*>(information)->DeletePending = TRUE;
        }
        return TRUE;
    }

    std::chrono::steady_clock::time_point now() override { return faults_.now(); }

  private:
    static BOOL fail(int number) {
        ::SetLastError(static_cast<DWORD>(number));
        return FALSE;
    }

    Faults& faults_;
};

FaultyCalls::FaultyCalls() : table_(std::make_unique<Table>(faults_)) {}
FaultyCalls::~FaultyCalls() { awaitTheLastClose(); }

station::SystemCalls& FaultyCalls::calls() { return *table_; }

}  // namespace testing_support
