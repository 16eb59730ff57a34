// The faults as a POSIX system gives them: ESTALE for a handle the server no longer knows, EIO for
// a failing disk, EHOSTDOWN for a server that does not answer.
#include "FaultyCalls.h"

#include <cerrno>

#include "station/posix/SystemCalls.h"

namespace testing_support {

int FaultyCalls::handleGoneNumber() { return ESTALE; }
int FaultyCalls::ioFailureNumber() { return EIO; }
int FaultyCalls::openFailureNumber() { return EHOSTDOWN; }
int FaultyCalls::timedOutNumber() { return ETIMEDOUT; }

class FaultyCalls::Table final : public station::SystemCalls {
  public:
    explicit Table(Faults& faults) : faults_(faults) {}

    int open(const char* path, int flags, mode_t mode) override {
        faults_.passThrough(Held::opens);
        if (const int failure = faults_.openFailure(true)) return fail(failure);
        const int fd = SystemCalls::open(path, flags, mode);
        if (fd != -1) faults_.opened(fd, true);
        return fd;
    }
    int close(int fd) override {
        const int result = SystemCalls::close(fd);
        // Last: the table may go once the last file is closed.
        faults_.closed(fd);
        return result;
    }
    ssize_t pread(int fd, void* buffer, std::size_t size, off_t offset) override {
        faults_.passThrough(Held::reads);
        if (const int failure = faults_.readFailure(fd, static_cast<std::uint64_t>(offset), size)) {
            return fail(failure);
        }
        return SystemCalls::pread(fd, buffer, size, offset);
    }
    int fstat(int fd, struct stat* status) override {
        faults_.passThrough(Held::linkQueries);
        if (faults_.linkQueryFails(fd)) return fail(ioFailureNumber());
        const int result = SystemCalls::fstat(fd, status);
        if (result == 0) {
            if (faults_.unlinkedFile(fd)) status->st_nlink = 0;
            status->st_ino += static_cast<ino_t>(faults_.identityShift(fd));
        }
        return result;
    }
    int stat(const char* path, struct stat* status) override {
        const int result = SystemCalls::stat(path, status);
        if (result == 0) status->st_ino += static_cast<ino_t>(faults_.pathIdentityShift());
        return result;
    }
    int getLock(int fd, int command, struct flock* range) override {
        if (faults_.locked(static_cast<std::uint64_t>(range->l_start),
                           static_cast<std::uint64_t>(range->l_len))) {
            // As an open-file-description lock answers.
            range->l_type = F_WRLCK;
            range->l_pid = -1;
            return 0;
        }
        return SystemCalls::getLock(fd, command, range);
    }

    std::chrono::steady_clock::time_point now() override { return faults_.now(); }

  private:
    static int fail(int number) {
        errno = number;
        return -1;
    }

    Faults& faults_;
};

FaultyCalls::FaultyCalls() : table_(std::make_unique<Table>(faults_)) {}
FaultyCalls::~FaultyCalls() { awaitTheLastClose(); }

station::SystemCalls& FaultyCalls::calls() { return *table_; }

}  // namespace testing_support
