// Linux: the kernel's lock list names every lock on the station file, the process of a classic
// lock and no process for an open-file-description lock (Samba's kind); a lock shows with its
// holder in the fdinfo of every descriptor that holds it. Samba's own status says which client an
// smbd process serves, and, asked first, which processes alone need looking into.
#include "holders/LockHolders.h"

#include <fcntl.h>
#include <linux/magic.h>
#include <sys/statfs.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <iterator>
#include <map>
#include <set>
#include <system_error>
#include <utility>
#include <variant>

#include "holders/Reasons.h"
#include "holders/linux/DescriptorWalk.h"
#include "holders/linux/KernelLocks.h"
#include "holders/linux/Process.h"
#include "holders/linux/SambaStatus.h"
#include "station/PlatformFile.h"

namespace holders {
namespace {

// A descriptor of the station file whose process was pinned and found still to hold its locks.
struct ConfirmedDescriptor {
    Descriptor descriptor;
    ProcessFacts process;
    std::vector<KernelLock> locks;
};

// Pins each process in turn (one pidfd at a time, so that a low descriptor limit does not stop
// the look-up), reads its locks again and describes it; a process that let go or ended drops out.
std::vector<ConfirmedDescriptor> confirm(const StationIdentity& station,
                                         const DescriptorWalk& walk) {
    std::set<Descriptor> seen;
    for (const SeenLock& lock : walk.locks) seen.insert(lock.descriptor);
    std::vector<ConfirmedDescriptor> confirmed;
    for (const Descriptor& descriptor : seen) {
        const PinnedProcess pinned(descriptor.pid);
        std::vector<KernelLock> locks = locksThrough(station, descriptor);
        auto facts = describe(descriptor.pid);
        if (!locks.empty() && facts && !pinned.ended()) {
            confirmed.push_back({descriptor, std::move(*facts), std::move(locks)});
        }
    }
    return confirmed;
}

// The locks that the kernel listed both before and after the walk: each of them stood all
// through it, so it must have shown through its holders' descriptors.
std::vector<KernelLock> steadyLocks(std::vector<KernelLock> before, std::vector<KernelLock> after) {
    std::ranges::sort(before);
    std::ranges::sort(after);
    std::vector<KernelLock> both;
    std::ranges::set_intersection(before, after, std::back_inserter(both));
    return both;
}

// What the kernel says of a lock on the record now, asked through the pass's own descriptor,
// which holds none: F_UNLCK when there is none, or what it would not say.
struct LockNow {
    std::optional<struct flock> lock;
    std::string failure;
};

LockNow lockOnRecord(int fd, std::int32_t record) {
    try {
        bool openFileDescriptionQueries = true;
        return {station::conflictingLock(fd, recordRange(record).first, station::kRecordLength,
                                         openFileDescriptionQueries),
                {}};
    } catch (const std::system_error& failure) {
        return {std::nullopt, "the kernel would not say: " + failure.code().message()};
    }
}

// Why a record locked in the pass has no holder to show, given the kernel's answer now.
std::string reasonWithoutHolder(int fd, const LockNow& now) {
    if (!now.lock) return now.failure;
    if (now.lock->l_type == F_UNLCK) return std::string(kGoneReason);
    // The kernel's list leaves out the locks of processes that this pid namespace cannot see,
    // and a file server's other clients are not in it at all; the lock query gives both as 0,
    // and an NFSv3 client's process as below -1.
    struct statfs system {};
    if (::fstatfs(fd, &system) == 0 && system.f_type == NFS_SUPER_MAGIC) {
        return std::string(kNfsReason);
    }
    if (now.lock->l_pid == 0) return std::string(kNamespaceReason);
    if (now.lock->l_pid < -1) return std::string(kNfsReason);
    return std::string(kTakenMeanwhileReason);
}

// Whether a process may be one of Samba's servers, by the name it gives itself: reason enough to
// ask Samba's status about it, never to take it for Samba (the pids smbstatus lists are).
bool namedLikeSamba(const std::string& command) { return command.starts_with("smbd"); }

bool mayBeSamba(std::int64_t pid) {
    const auto command = commandOf(pid);
    return command && namedLikeSamba(*command);
}

// Often enough that each glance at the kernel's list follows the last closely.
constexpr std::chrono::milliseconds kGlancesApart{3};

// The processes of the classic locks among the locks.
std::set<std::int64_t> classicProcesses(const std::vector<KernelLock>& locks) {
    std::set<std::int64_t> pids;
    for (const KernelLock& lock : locks) {
        if (lock.kind == LockKind::Classic && lock.pid > 0) pids.insert(lock.pid);
    }
    return pids;
}

// Whether one of Samba's servers may run on this machine, as a cheap hint: Samba's daemons hold
// classic locks for as long as they run (the main smbd on its pid file, each smbd on its
// databases), and few processes hold any. Reason enough to ask Samba's status first; where it
// misses, the walk still finds every holder, and Samba's status is asked after it.
bool sambaMayRun() { return std::ranges::any_of(classicLockHolders(), mayBeSamba); }

// The processes to walk when the locks that Samba lists on the file cover every
// open-file-description lock that the kernel lists on it: Samba's servers and the classic locks'
// processes, with every process forked from them, which may share their descriptions. None (the
// whole machine) when a lock is not Samba's, or children cannot be listed.
std::optional<std::set<std::int64_t>> sambaFirst(const SambaStatus& samba,
                                                 const std::vector<KernelLock>& locks,
                                                 std::set<std::int64_t> processes) {
    for (const KernelLock& lock : locks) {
        if (lock.kind == LockKind::OpenFileDescription && !samba.covers(lock.range)) {
            return std::nullopt;
        }
    }
    processes.merge(samba.lockingServers());
    return withDescendants(processes);
}

// Whether nothing can hide a holder from the walk: root, seeing every process, none of which
// refused. A lock that no descriptor showed then changed hands while the walk went on.
bool nothingHidden(const DescriptorWalk& walk) {
    return ::geteuid() == 0 && seesEveryProcess() && walk.refusing().empty();
}

// Why an open-file-description lock shows through no descriptor that the walk could read. It is
// said to be Samba's only when every process that refused may be an smbd.
std::string_view reasonForUnseenDescription(const DescriptorWalk& walk) {
    if (nothingHidden(walk)) return kTakenMeanwhileReason;
    const std::vector<std::int64_t> refusing = walk.refusing();
    if (refusing.empty()) return kUnseenReason;
    if (::geteuid() == 0) return kRefusedReason;
    return std::ranges::all_of(refusing, mayBeSamba) ? kPrivilegeReason : kNotPermittedReason;
}

// A classic lock's process, known by its pid, whose descriptors could not be read. Pinned, and
// its lock found still standing, the pid names that very process; none when it let go or ended.
std::optional<Holder> unreadableProcess(const StationIdentity& station, std::int32_t record,
                                        const KernelLock& lock, int error) {
    const PinnedProcess pinned(lock.pid);
    const std::vector<KernelLock> now = listedLocks(station.lockKey);
    const bool stands = std::ranges::find(now, lock) != now.end();
    auto facts = describe(lock.pid);
    if (!stands || pinned.ended()) return std::nullopt;
    Holder holder =
        facts ? Holder::process(record, lock.pid, std::move(facts->command), std::move(facts->user))
              : Holder::process(record, lock.pid, {}, {});
    if (::geteuid() != 0) {
        holder.unknown = kHiddenProcessReason;
    } else {
        // A process missing from /proc altogether (error 0) is not there to be read.
        holder.unknown = kUnreadableProcessReason;
        holder.unknown += std::system_category().message(error != 0 ? error : ENOENT);
    }
    return holder;
}

// The processes that a walk by name may have missed holding the station file under another name
// (a hard link, a bind mount): a classic lock's process that showed none of it, or every process
// when fewer descriptions show an open-file-description lock than the kernel counts of it.
// Descriptors of another file that the kernel's list names alike account for its locks too.
struct Missed {
    bool everyone = false;
    std::set<std::int64_t> pids;
};

// The descriptors through which the walk saw the lock, on the station file or another alike.
std::vector<Descriptor> showing(const DescriptorWalk& walk, const KernelLock& lock) {
    std::vector<Descriptor> descriptors;
    for (const auto* seen : {&walk.locks, &walk.elsewhere}) {
        for (const SeenLock& one : *seen) {
            if (one.lock == lock) descriptors.push_back(one.descriptor);
        }
    }
    return descriptors;
}

Missed missedByName(const std::vector<KernelLock>& steady, const DescriptorWalk& walk) {
    Missed missed;
    std::map<KernelLock, int> descriptionLocks;
    for (const KernelLock& lock : steady) {
        if (lock.pid == 0) continue;  // another pid namespace's: no walk shows it
        if (lock.kind == LockKind::OpenFileDescription) {
            ++descriptionLocks[lock];
        } else if (walk.walked.contains(lock.pid) &&
                   std::ranges::none_of(showing(walk, lock), [&](const Descriptor& descriptor) {
                       return descriptor.pid == lock.pid;
                   })) {
            missed.pids.insert(lock.pid);
        }
    }
    for (const auto& [lock, count] : descriptionLocks) {
        if (countDescriptions(showing(walk, lock)) < count) missed.everyone = true;
    }
    return missed;
}

// The walk, with the missed processes walked again by inode.
DescriptorWalk walkAgain(const StationIdentity& station, DescriptorWalk walk,
                         const Missed& missed) {
    if (missed.everyone) return walkDescriptors(station, std::nullopt, Picking::ByInode);
    if (missed.pids.empty()) return walk;
    const auto missedPid = [&](const SeenLock& seen) {
        return missed.pids.contains(seen.descriptor.pid);
    };
    std::erase_if(walk.locks, missedPid);
    std::erase_if(walk.elsewhere, missedPid);
    DescriptorWalk again = walkDescriptors(station, missed.pids, Picking::ByInode);
    walk.locks.insert(walk.locks.end(), again.locks.begin(), again.locks.end());
    walk.elsewhere.insert(walk.elsewhere.end(), again.elsewhere.begin(), again.elsewhere.end());
    for (const std::int64_t pid : missed.pids) {
        walk.walked.erase(pid);
        walk.unreadable.erase(pid);
    }
    walk.walked.merge(again.walked);
    walk.unreadable.merge(again.unreadable);
    return walk;
}

class RecordHolders {
  public:
    RecordHolders(const StationIdentity& station, const DescriptorWalk& walk,
                  const std::vector<KernelLock>& steady,
                  const std::vector<ConfirmedDescriptor>& confirmed, const SambaStatus& samba)
        : station_(station), walk_(walk), steady_(steady), confirmed_(confirmed), samba_(samba) {}

    void add(std::int32_t record, std::vector<Holder>& holders) const {
        const Range range = recordRange(record);
        std::vector<Holder> found;
        std::set<std::int64_t> named;
        for (const ConfirmedDescriptor& holder : confirmed_) {
            if (named.contains(holder.descriptor.pid) || !holds(holder.locks, range)) continue;
            named.insert(holder.descriptor.pid);
            addProcess(record, holder.descriptor.pid, holder.process, found);
        }
        std::vector<Holder> unknown = unaccounted(record, range, named, found);
        // Locks that the kernel no longer puts on the record of this very file were let go, or
        // lie on another file with the same device and inode number (another btrfs subvolume's).
        const LockNow now = lockOnRecord(station_.fd, record);
        if (now.lock && now.lock->l_type == F_UNLCK) unknown.clear();
        if (found.empty() && unknown.empty()) {
            unknown.push_back(
                Holder::unknownBecause(record, reasonWithoutHolder(station_.fd, now)));
        }
        std::ranges::stable_sort(found, {}, [](const Holder& holder) { return *holder.pid; });
        holders.insert(holders.end(), found.begin(), found.end());
        holders.insert(holders.end(), unknown.begin(), unknown.end());
    }

  private:
    static bool holds(const std::vector<KernelLock>& locks, const Range& range) {
        return std::ranges::any_of(
            locks, [&](const KernelLock& lock) { return lock.range.overlaps(range); });
    }

    // The process, and for one of Samba's servers each client it serves on the record.
    void addProcess(std::int32_t record, std::int64_t pid, const ProcessFacts& facts,
                    std::vector<Holder>& found) const {
        const Holder process = Holder::process(record, pid, facts.command, facts.user);
        if (!samba_.lists(pid)) {
            found.push_back(process);
            // Without Samba's status, whether it is one of Samba's servers stays open.
            if (!samba_.failure().empty() && namedLikeSamba(facts.command)) {
                found.back().unknown = samba_.failure();
            }
            return;
        }
        auto clients = samba_.clientsOf(pid, recordRange(record));
        if (auto* reason = std::get_if<std::string>(&clients)) {
            found.push_back(process);
            found.back().unknown = std::move(*reason);
            return;
        }
        for (SambaClient& client : std::get<std::vector<SambaClient>>(clients)) {
            found.push_back(process);
            found.back().client = std::move(client);
        }
    }

    // The process of a classic lock that no descriptor showed, when the lock query through the
    // pass's own descriptor, which asks about the station file itself, names the very pid that
    // the kernel's list gives. Pinned meanwhile, the pid cannot pass to another process.
    bool addQueried(std::int32_t record, const KernelLock& lock, std::vector<Holder>& found) const {
        const PinnedProcess pinned(lock.pid);
        const LockNow now = lockOnRecord(station_.fd, record);
        if (!now.lock || now.lock->l_type == F_UNLCK || now.lock->l_pid != lock.pid) return false;
        const auto facts = describe(lock.pid);
        if (!facts || pinned.ended()) return false;
        addProcess(record, lock.pid, *facts, found);
        return true;
    }

    // One holder for each lock that the kernel lists on the record and no confirmed descriptor
    // accounts for, unless the lock query names its process.
    std::vector<Holder> unaccounted(std::int32_t record, const Range& range,
                                    std::set<std::int64_t>& named,
                                    std::vector<Holder>& found) const {
        std::vector<Holder> unknown;
        std::map<KernelLock, int> descriptionLocks;
        for (const KernelLock& lock : steady_) {
            if (!lock.range.overlaps(range)) continue;
            if (lock.pid == 0) {
                unknown.push_back(Holder::unknownBecause(record, kNamespaceReason));
            } else if (lock.kind == LockKind::OpenFileDescription) {
                ++descriptionLocks[lock];
            } else if (!shownBy(lock, lock.pid) && !named.contains(lock.pid)) {
                if (addQueried(record, lock, found)) {
                    named.insert(lock.pid);
                    continue;
                }
                // A process whose descriptors were all read holds it on another file, or let go.
                const auto refusal = walk_.unreadable.find(lock.pid);
                if (walk_.walked.contains(lock.pid)) continue;
                if (auto holder = unreadableProcess(
                        station_, record, lock,
                        refusal == walk_.unreadable.end() ? 0 : refusal->second)) {
                    unknown.push_back(std::move(*holder));
                }
            }
        }
        for (const auto& [lock, count] : descriptionLocks) {
            const int unseen = count - descriptionsShowing(lock);
            for (int i = 0; i < unseen; ++i) {
                unknown.push_back(
                    Holder::unknownBecause(record, reasonForUnseenDescription(walk_)));
            }
        }
        return unknown;
    }

    bool shownBy(const KernelLock& lock, std::int64_t pid) const {
        return std::ranges::any_of(confirmed_, [&](const ConfirmedDescriptor& holder) {
            return holder.descriptor.pid == pid &&
                   std::ranges::find(holder.locks, lock) != holder.locks.end();
        });
    }

    // How many open file descriptions hold the lock: those of the station file that still do,
    // less those of another file with the same lock key, which the kernel counts alike.
    int descriptionsShowing(const KernelLock& lock) const {
        std::vector<Descriptor> ours;
        for (const ConfirmedDescriptor& holder : confirmed_) {
            if (std::ranges::find(holder.locks, lock) != holder.locks.end()) {
                ours.push_back(holder.descriptor);
            }
        }
        std::vector<Descriptor> elsewhere;
        for (const SeenLock& seen : walk_.elsewhere) {
            if (seen.lock == lock) elsewhere.push_back(seen.descriptor);
        }
        return countDescriptions(ours) + countDescriptions(elsewhere);
    }

    const StationIdentity& station_;
    const DescriptorWalk& walk_;
    const std::vector<KernelLock>& steady_;
    const std::vector<ConfirmedDescriptor>& confirmed_;
    const SambaStatus& samba_;
};

// What the kernel's list shows of the file before the walk, and whom the walk need look into.
struct FirstGlance {
    std::vector<KernelLock> locks;
    // None: every process.
    std::optional<std::set<std::int64_t>> only;
    // Samba's status, when it was asked first.
    std::optional<SambaStatus> samba;
    // Whether only Samba's servers and the classic locks' processes are walked, on its word.
    bool sambaAlone = false;
};

// Who seems to hold the file: open-file-description locks can show through any process's
// descriptors, a classic lock only through its own process's.
FirstGlance glanceAtHolders(const StationIdentity& station, const LookUpOptions& options) {
    FirstGlance glance;
    glance.locks = listedLocks(station.lockKey);
    glance.only = classicProcesses(glance.locks);
    if (std::ranges::none_of(glance.locks, [](const KernelLock& lock) {
            return lock.kind == LockKind::OpenFileDescription;
        })) {
        return glance;
    }
    glance.only.reset();
    // On a Samba server such locks are most often Samba's, and its status names the smbd of
    // each: asked first, it may spare the walk of every other process. Only root can read it,
    // and only root sees into smbd. While it runs, the kernel's list is glanced at, so that it is
    // read again at once for the walk, and after it.
    if (::geteuid() == 0 && sambaMayRun()) {
        glance.samba = SambaStatus::Asking(options).answer(station.device, station.inode,
                                                           {glanceAtListing, kGlancesApart});
        glance.locks = listedLocks(station.lockKey);
        glance.only = sambaFirst(*glance.samba, glance.locks, classicProcesses(glance.locks));
        glance.sambaAlone = glance.only.has_value();
    }
    return glance;
}

// A walk of the descriptors, and the locks that the kernel listed all through it.
struct Walked {
    DescriptorWalk walk;
    std::vector<KernelLock> steady;
};

Walked walkByName(const StationIdentity& station, const FirstGlance& glance) {
    Walked walked{walkDescriptors(station, glance.only, Picking::ByName), {}};
    walked.steady = steadyLocks(glance.locks, listedLocks(station.lockKey));
    if (glance.sambaAlone && missedByName(walked.steady, walked.walk).everyone) {
        // Samba's servers showed fewer descriptions of a lock than the kernel counts: another
        // process holds one beside them, and only the whole machine's walk finds it.
        walked.walk = walkDescriptors(station, std::nullopt, Picking::ByName);
        walked.steady = steadyLocks(std::move(walked.steady), listedLocks(station.lockKey));
    }
    return walked;
}

// Rarely, a holder has the file open under another name: those it may be are walked again.
Walked walkMissedByInode(const StationIdentity& station, Walked walked) {
    const Missed missed = missedByName(walked.steady, walked.walk);
    if (missed.everyone || !missed.pids.empty()) {
        walked.walk = walkAgain(station, std::move(walked.walk), missed);
        walked.steady = steadyLocks(std::move(walked.steady), listedLocks(station.lockKey));
    }
    return walked;
}

// The kernel's list names no process for an open-file-description lock, so the same line before
// and after the walk may be two holders' in turn: one that let go before the walk came to it, one
// that took it after (a Samba client reconnecting through a new smbd). Where nothing can hide a
// holder, such a lock is walked for once more.
Walked walkForChangedHands(const StationIdentity& station, Walked walked) {
    if (nothingHidden(walked.walk) && missedByName(walked.steady, walked.walk).everyone) {
        const std::vector<KernelLock> again = listedLocks(station.lockKey);
        walked.walk = walkDescriptors(station, std::nullopt, Picking::ByInode);
        walked.steady = steadyLocks(again, listedLocks(station.lockKey));
    }
    return walked;
}

// Samba's status, when it was not asked first and a holder may be one of its servers. It comes
// before the pins, so that no process stays pinned while it runs.
SambaStatus sambaAfterWalk(const StationIdentity& station, const LookUpOptions& options,
                           const Walked& walked) {
    std::set<std::int64_t> holding;
    for (const SeenLock& lock : walked.walk.locks) holding.insert(lock.descriptor.pid);
    holding.merge(classicProcesses(walked.steady));
    return std::ranges::any_of(holding, mayBeSamba)
               ? SambaStatus::Asking(options).answer(station.device, station.inode)
               : SambaStatus{};
}

}  // namespace

std::vector<Holder> lookUp(station::NativeHandle stationFile, std::span<const std::int32_t> records,
                           const LookUpOptions& options) {
    std::vector<Holder> holders;
    if (records.empty()) return holders;
    const StationIdentity station = StationIdentity::of(stationFile);
    FirstGlance glance = glanceAtHolders(station, options);
    Walked walked = walkByName(station, glance);
    walked = walkMissedByInode(station, std::move(walked));
    walked = walkForChangedHands(station, std::move(walked));
    const SambaStatus samba =
        glance.samba ? std::move(*glance.samba) : sambaAfterWalk(station, options, walked);
    const std::vector<ConfirmedDescriptor> confirmed = confirm(station, walked.walk);

    const RecordHolders recordHolders(station, walked.walk, walked.steady, confirmed, samba);
    for (const std::int32_t record : records) recordHolders.add(record, holders);
    return holders;
}

}  // namespace holders
