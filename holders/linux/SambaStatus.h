#pragma once

#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <variant>
#include <vector>

#include "holders/LockHolders.h"
#include "holders/Reasons.h"
#include "holders/linux/BoundedRun.h"

namespace holders {

// What Samba's smbd processes say of their clients and of their locks on one file, matched by
// device and inode, as one smbstatus call gives it.
class SambaStatus {
  public:
    // Samba's smbstatus, run as the options say, beside whatever the caller does meanwhile.
    class Asking {
      public:
        explicit Asking(const LookUpOptions& options);
        // What it said of the file, once it has ended; the caller's meanwhile runs until then.
        SambaStatus answer(std::uint64_t device, std::uint64_t inode,
                           const Meanwhile& meanwhile = {});

      private:
        const LookUpOptions& options_;
        BoundedProgram smbstatus_;
    };

    // What smbstatus --json -B said.
    static SambaStatus read(const std::string& json, std::uint64_t device, std::uint64_t inode);

    // Whether the process is one of Samba's servers: one that smbstatus lists, by its pid, with a
    // session, an open or a lock. Its name proves nothing: any process may call itself smbd.
    bool lists(std::int64_t pid) const { return servers_.contains(pid); }

    // The servers that Samba lists with a lock on the file.
    std::set<std::int64_t> lockingServers() const;

    // Whether the locks that Samba lists on the file cover every byte of the range between them:
    // the kernel merges adjacent locks that one open file description takes into one line, where
    // Samba lists each of them.
    bool covers(const Range& range) const;

    // Why Samba's status is not known; empty when it is, or was never asked for.
    const std::string& failure() const { return failure_; }

    // The clients that the smbd process serves, when Samba lists a lock of it on the range;
    // otherwise why they are unknown. One smbd serves every session of its connection (Windows
    // puts several users on one); an open names its user, not its session, so every session of
    // that user is named, and under a share's "force user" every session of the smbd.
    std::variant<std::vector<SambaClient>, std::string> clientsOf(std::int64_t pid,
                                                                  const Range& range) const;

  private:
    struct Session {
        std::int64_t uid;
        std::string machine, address, account;
    };
    struct Lock {
        std::int64_t pid;
        Range range;
    };
    std::multimap<std::int64_t, Session> sessions_;
    // When each smbd first opened the file, for each user it opened it as.
    std::map<std::int64_t, std::map<std::int64_t, std::string>> openedAt_;
    std::vector<Lock> locks_;
    std::set<std::int64_t> servers_;
    std::string failure_;  // why there is no status, if there is none
};

}  // namespace holders
