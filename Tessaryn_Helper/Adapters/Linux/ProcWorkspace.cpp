#include "ProcWorkspace.h"

#include "Adapters/Linux/ApplicationIdentity.h"
#include "Foundation/RegularFile.h"
#include "Foundation/Utf8.h"

#include <QFile>
#include <QSocketNotifier>

#include <atomic>
#include <climits>
#include <mutex>
#include <cstdlib>
#include <dirent.h>
#include <set>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unordered_map>

namespace {

std::optional<QByteArray> readProcFile(const QString& path, qsizetype limit = ProcWorkspace::smallFileLimit)
{
    return RegularFile::read(path, limit, RegularFile::Oversize::truncate);
}

bool isAllDigits(const char* text)
{
    if (*text == '\0')
        return false;
    for (; *text; ++text)
        if (*text < '0' || *text > '9')
            return false;
    return true;
}

std::optional<long long> readLastPid(const QString& procRoot)
{
    // The fifth field of /proc/loadavg is the process ID the kernel handed out last.
    const std::optional<QByteArray> content = readProcFile(procRoot + QStringLiteral("/loadavg"));
    if (!content)
        return std::nullopt;
    bool ok = false;
    const long long pid = content->simplified().split(' ').value(4).toLongLong(&ok);
    return ok ? std::optional<long long>(pid) : std::nullopt;
}

int openPidfd(pid_t pid)
{
#ifdef SYS_pidfd_open
    return int(::syscall(SYS_pidfd_open, pid, 0)); // close-on-exec
#else
    (void)pid;
    return -1;
#endif
}

} // namespace

struct ProcWorkspace::Result {
    QList<RunningApplication> launched;
    QList<RunningApplication> terminated;
    QList<RunningApplication> applications; // the list once the scan is done
    QList<std::pair<pid_t, int>> pidfds;    // of the launched, each opened once the process was confirmed

    // Something the main thread must hear of; the pidfds come with launches.
    bool isNews() const { return !launched.isEmpty() || !terminated.isEmpty(); }

    void closePidfds() const
    {
        for (const auto& [pid, fd] : pidfds)
            ::close(fd);
    }
};

// A pidfd that becomes readable when its process ends.
struct ProcWorkspace::ExitWatch {
    int fd = -1;
    std::unique_ptr<QSocketNotifier> notifier;
    ~ExitWatch() { notifier.reset(), ::close(fd); }
};

// The scans' state and the tick. After the first scan it is used only on the scan queue, one task
// at a time, but for what the main thread calls: request() and stop().
class ProcWorkspace::Scanner : public std::enable_shared_from_this<Scanner> {
public:
    Scanner(QString procRoot, pid_t ownProcess, std::function<bool(const QString&)> watchEndOf,
            Scheduler& queue, Scheduler& mainThread)
        : procRoot_(std::move(procRoot))
        , ownProcess_(ownProcess)
        , watchEndOf_(std::move(watchEndOf))
        , queue_(queue)
        , mainThread_(mainThread)
    {
    }

    // `announced`: processes whose launch was announced, looked at again even when settled.
    Result scan(const QList<pid_t>& announced = {});
    // The first tick a `scanInterval` from now.
    void start();
    // A scan soon, which looks at the announced processes again; one queued and not started yet
    // serves. Main thread.
    void request(const QList<pid_t>& announced);
    // No tick, scan or news from now on; a scan under way ends unreported. Main thread.
    void stop();

    // Main thread only: the workspace that receives the results, none once it is gone.
    ProcWorkspace* owner = nullptr;

private:
    struct Process {
        unsigned long long startTime = 0; // clock ticks after boot; tells a reused pid apart
        QByteArray name;                  // its comm: an exec in place changes it
        bool ownedByUser = false;
        QString identifier;
        bool settled = false; // its identifier, or its lack of one, is final
        unsigned long long examinedInScan = 0;
        unsigned long long listedInScan = 0;
    };
    struct StatLine {
        unsigned long long startTime = 0;
        QByteArray name;
        pid_t parent = 0;
        bool zombie = false;
    };

    void tick();
    void scanAndReport();
    void listAndDiscover(Result& changes, std::optional<double> uptime);
    void recheckKnown(Result& changes, std::optional<double> uptime);
    void lookAgainIfChanged(pid_t pid, Process& process, Result& changes, std::optional<double> uptime);
    // Reads a process met for the first time (or again while it settles) into `process`.
    void examine(pid_t pid, const StatLine& stat, Process& process, std::optional<double> uptime) const;
    QString identify(pid_t pid, unsigned long long startTime) const;
    bool ownedByUser(pid_t pid) const;
    bool isOwnProcess(pid_t pid, pid_t parent) const;
    std::optional<StatLine> readStat(pid_t pid) const;
    std::optional<double> readUptime() const;
    QString pidPath(pid_t pid, const char* file) const;
    void forget(pid_t pid, Result& changes);
    void added(pid_t pid, const Process& process, Result& changes);
    void removed(pid_t pid, const QString& identifier, Result& changes);

    const QString procRoot_;
    const pid_t ownProcess_;
    const std::function<bool(const QString&)> watchEndOf_;
    std::unordered_map<pid_t, Process> processes_;
    QList<RunningApplication> applications_;
    Scheduler& queue_;
    Scheduler& mainThread_;
    std::atomic<bool> queued_ { false };
    std::mutex lock_;
    // Under the lock: the main thread and its scheduler may be gone once stopped.
    bool stopped_ = false;
    QList<pid_t> announced_; // for the next scan to look at
    std::shared_ptr<Cancellable> nextTick_;
    // The rest is the scan queue's.
    std::optional<long long> lastPid_;
    bool listingDue_ = true;
    bool restless_ = true; // the last scan left something to look at again
    int ticksSinceSweep_ = 0;
    std::set<pid_t> unwatched_; // applications whose end a pidfd should have watched, but none could
    unsigned long long scanCount_ = 0;
};

ProcWorkspace::ProcWorkspace(Scheduler& scheduler, std::function<bool(const QString&)> watchEndOf)
    : ProcWorkspace(scheduler, QStringLiteral("/proc"),
                    Options { ::getpid(), nullptr, std::move(watchEndOf) })
{
}

ProcWorkspace::ProcWorkspace(Scheduler& scheduler, QString procRoot, Options options)
    : scheduler_(scheduler)
    , queue_(options.scanQueue
                 ? nullptr
                 : std::make_unique<SerialQueue>(QStringLiteral("app.marovant.tessaryn-helper.workspace")))
    , scanner_(std::make_shared<Scanner>(std::move(procRoot), options.ownProcess, options.watchEndOf,
                                         options.scanQueue ? *options.scanQueue : *queue_, scheduler))
{
    scanner_->owner = this;
    // The processes that run already are the starting list, not launches.
    const Result first = scanner_->scan();
    applications_ = first.applications;
    watchExits(first);
    scanner_->start();
}

ProcWorkspace::~ProcWorkspace()
{
    scanner_->stop();
    if (followUp_)
        followUp_->cancel();
    exitWatches_.clear();
    queue_.reset(); // waits for a scan under way, which no longer reports
}

QList<RunningApplication> ProcWorkspace::runningApplications() const
{
    return applications_;
}

void ProcWorkspace::launchAnnounced(pid_t pid)
{
    if (pid > 0)
        followUpPids_.append(pid);
    scanner_->request(pid > 0 ? QList<pid_t> { pid } : QList<pid_t> {});
    if (followUp_)
        followUp_->cancel();
    followUp_ =
        scheduler_.after(followUpDelay, [this] { scanner_->request(std::exchange(followUpPids_, {})); });
}

void ProcWorkspace::Scanner::start()
{
    const std::lock_guard lock(lock_);
    nextTick_ = queue_.after(scanInterval, [self = shared_from_this()] { self->tick(); });
}

void ProcWorkspace::Scanner::tick()
{
    {
        const std::lock_guard lock(lock_);
        if (stopped_)
            return;
        nextTick_ = queue_.after(scanInterval, [self = shared_from_this()] { self->tick(); });
    }
    const bool sweep = ++ticksSinceSweep_ * scanInterval >= sweepInterval;
    if (sweep)
        ticksSinceSweep_ = 0, listingDue_ = true;
    // While nothing moved, the one file read is the kernel's own.
    const std::optional<long long> lastPid = readLastPid(procRoot_);
    if (listingDue_ || restless_ || !lastPid || lastPid != lastPid_)
        scanAndReport();
}

void ProcWorkspace::Scanner::request(const QList<pid_t>& announced)
{
    if (!announced.isEmpty()) {
        const std::lock_guard lock(lock_);
        announced_.append(announced);
    }
    if (queued_.exchange(true))
        return;
    queue_.post([self = shared_from_this()] {
        self->queued_ = false; // a request from now on may see what this scan misses: it queues another
        self->scanAndReport();
    });
}

void ProcWorkspace::Scanner::stop()
{
    owner = nullptr;
    const std::lock_guard lock(lock_);
    stopped_ = true;
    if (nextTick_)
        nextTick_->cancel();
}

void ProcWorkspace::Scanner::scanAndReport()
{
    QList<pid_t> announced;
    {
        const std::lock_guard lock(lock_);
        if (stopped_)
            return;
        announced = std::exchange(announced_, {});
    }
    auto result = std::make_shared<const Result>(scan(announced));
    if (!result->isNews())
        return; // the main thread sleeps on
    // A scan that outlived the workspace's wait for it reaches no scheduler: it may be gone.
    const std::lock_guard lock(lock_);
    if (stopped_) {
        result->closePidfds();
        return;
    }
    mainThread_.post([self = shared_from_this(), result] {
        if (self->owner)
            self->owner->report(*result);
        else
            result->closePidfds();
    });
}

void ProcWorkspace::report(const Result& result)
{
    applications_ = result.applications;
    for (const RunningApplication& application : result.terminated)
        exitWatches_.erase(application.pid);
    watchExits(result);
    for (const RunningApplication& application : result.terminated)
        emit applicationTerminated(application);
    for (const RunningApplication& application : result.launched)
        emit applicationLaunched(application);
}

void ProcWorkspace::watchExits(const Result& result)
{
    for (const auto& [pid, fd] : result.pidfds) {
        auto watch = std::make_unique<ExitWatch>();
        watch->fd = fd;
        watch->notifier = std::make_unique<QSocketNotifier>(fd, QSocketNotifier::Read);
        // Readable from its end on: one scan, then quiet until the scan has reported it.
        QObject::connect(watch->notifier.get(), &QSocketNotifier::activated, this,
                         [this, notifier = watch->notifier.get()] {
                             notifier->setEnabled(false);
                             scanner_->request({});
                         });
        exitWatches_[pid] = std::move(watch);
    }
}

ProcWorkspace::Result ProcWorkspace::Scanner::scan(const QList<pid_t>& announced)
{
    ++scanCount_;
    Result changes;
    for (pid_t pid : announced) {
        if (auto known = processes_.find(pid); known != processes_.end())
            known->second.settled = known->second.settled && !known->second.identifier.isEmpty();
        else
            listingDue_ = true;
    }
    const std::optional<double> uptime = readUptime();
    // Read before listing: a process created during the listing changes it, so the next scan
    // lists again.
    const std::optional<long long> lastPid = readLastPid(procRoot_);
    if (listingDue_ || !lastPid || !lastPid_ || *lastPid != *lastPid_) {
        listingDue_ = false;
        listAndDiscover(changes, uptime);
    }
    lastPid_ = lastPid;
    recheckKnown(changes, uptime);
    if (std::exchange(listingDue_, false))
        listAndDiscover(changes, uptime); // a pid that was seen to end may belong to a new process already
    changes.applications = applications_;
    restless_ = listingDue_ || !unwatched_.empty();
    for (const auto& [pid, process] : processes_)
        restless_ = restless_ || !process.settled;
    return changes;
}

void ProcWorkspace::Scanner::added(pid_t pid, const Process& process, Result& changes)
{
    const RunningApplication application { pid, process.identifier };
    applications_.append(application);
    changes.launched.append(application);
    if (!watchEndOf_ || !watchEndOf_(process.identifier))
        return;
    // Only once the pidfd is open is the process confirmed to be the one examined (no reused pid).
    const int fd = openPidfd(pid);
    const std::optional<StatLine> stat = fd >= 0 ? readStat(pid) : std::nullopt;
    if (stat && stat->startTime == process.startTime) {
        changes.pidfds.append({ pid, fd });
        return;
    }
    if (fd >= 0)
        ::close(fd);
    unwatched_.insert(pid); // every tick scans until it is seen to end
}

void ProcWorkspace::Scanner::removed(pid_t pid, const QString& identifier, Result& changes)
{
    const RunningApplication application { pid, identifier };
    applications_.removeAll(application);
    unwatched_.erase(pid);
    changes.terminated.append(application);
}

void ProcWorkspace::Scanner::listAndDiscover(Result& changes, std::optional<double> uptime)
{
    DIR* directory = ::opendir(QFile::encodeName(procRoot_).constData());
    if (!directory) {
        listingDue_ = true;
        return;
    }
    // Mark and sweep: what this listing does not show has ended.
    while (const dirent* entry = ::readdir(directory)) {
        if (!isAllDigits(entry->d_name))
            continue;
        const pid_t pid = pid_t(std::strtol(entry->d_name, nullptr, 10));
        if (auto known = processes_.find(pid); known != processes_.end()) {
            known->second.listedInScan = scanCount_;
            if (known->second.settled && known->second.identifier.isEmpty())
                lookAgainIfChanged(pid, known->second, changes, uptime);
            continue;
        }
        const std::optional<StatLine> stat = readStat(pid);
        if (!stat)
            continue; // ended while we looked
        Process process;
        process.listedInScan = scanCount_;
        examine(pid, *stat, process, uptime);
        if (!process.identifier.isEmpty())
            added(pid, process, changes);
        processes_.emplace(pid, std::move(process));
    }
    ::closedir(directory);
    for (auto process = processes_.begin(); process != processes_.end();) {
        if (process->second.listedInScan == scanCount_) {
            ++process;
            continue;
        }
        if (!process->second.identifier.isEmpty())
            removed(process->first, process->second.identifier, changes);
        process = processes_.erase(process);
    }
}

// A settled process without an identifier may still become an application later: its pid taken
// by a new process between two listings, an exec in place (a wrapper that becomes Premiere), or a
// drop to this user. Looked at when the kernel has handed out pids, so a quiet machine pays nothing.
void ProcWorkspace::Scanner::lookAgainIfChanged(pid_t pid, Process& process, Result& changes,
                                                std::optional<double> uptime)
{
    const std::optional<StatLine> stat = readStat(pid);
    if (!stat || stat->zombie)
        return;
    if (stat->startTime == process.startTime && stat->name == process.name
        && (process.ownedByUser || !ownedByUser(pid)))
        return;
    examine(pid, *stat, process, uptime);
    if (!process.identifier.isEmpty())
        added(pid, process, changes);
}

void ProcWorkspace::Scanner::recheckKnown(Result& changes, std::optional<double> uptime)
{
    QList<pid_t> ended;
    for (auto& [pid, process] : processes_) {
        if (process.examinedInScan == scanCount_ || (process.settled && process.identifier.isEmpty()))
            continue;
        // An application is confirmed each scan, so a quit is noticed without a listing, and a
        // pid taken over by a new process (another start time) or a zombie is no longer it.
        const std::optional<StatLine> stat = readStat(pid);
        if (!stat || stat->startTime != process.startTime) {
            ended.append(pid);
            continue;
        }
        if (stat->zombie) {
            if (!process.identifier.isEmpty())
                removed(pid, process.identifier, changes);
            process.identifier.clear();
            process.settled = true;
            continue;
        }
        if (!process.settled) {
            examine(pid, *stat, process, uptime);
            if (!process.identifier.isEmpty())
                added(pid, process, changes);
        }
    }
    for (pid_t pid : ended)
        forget(pid, changes);
}

void ProcWorkspace::Scanner::forget(pid_t pid, Result& changes)
{
    const auto found = processes_.find(pid);
    if (found == processes_.end())
        return;
    if (!found->second.identifier.isEmpty())
        removed(pid, found->second.identifier, changes);
    processes_.erase(found);
    // The pid may already belong to a new process; the next scan must list to find it.
    listingDue_ = true;
}

void ProcWorkspace::Scanner::examine(pid_t pid, const StatLine& stat, Process& process,
                                     std::optional<double> uptime) const
{
    process.startTime = stat.startTime;
    process.examinedInScan = scanCount_;
    static const long ticksPerSecond = ::sysconf(_SC_CLK_TCK);
    const bool young = uptime
        && *uptime - double(stat.startTime) / double(ticksPerSecond > 0 ? ticksPerSecond : 100)
            < settleSeconds;
    process.name = stat.name;
    process.identifier.clear();
    if (stat.zombie) {
        process.settled = true;
        return;
    }
    // Another user's process may still drop to this user (sudo, su, runuser, a setuid sandbox).
    process.ownedByUser = ownedByUser(pid);
    if (!process.ownedByUser) {
        process.settled = !young;
        return;
    }
    process.identifier = identify(pid, stat.startTime);
    if (!process.identifier.isEmpty() && isOwnProcess(pid, stat.parent)) {
        process.identifier.clear();
        process.settled = true;
        return;
    }
    process.settled = !process.identifier.isEmpty() || !young;
}

QString ProcWorkspace::Scanner::identify(pid_t pid, unsigned long long startTime) const
{
    if (const auto environment = readProcFile(pidPath(pid, "environ"), environmentLimit)) {
        const auto lookUp = [this](pid_t named) -> std::optional<ApplicationIdentity::NamedProcess> {
            const std::optional<StatLine> stat = readStat(named);
            if (!stat || stat->zombie)
                return std::nullopt;
            return ApplicationIdentity::NamedProcess {
                stat->startTime,
                readProcFile(pidPath(named, "environ"), environmentLimit).value_or(QByteArray())
            };
        };
        const QString identifier = ApplicationIdentity::fromEnvironment(*environment, pid, startTime, lookUp);
        if (!identifier.isEmpty())
            return identifier;
    }
    if (const auto info = readProcFile(pidPath(pid, "root/.flatpak-info"))) {
        const QString identifier = ApplicationIdentity::fromFlatpakInfo(*info);
        if (!identifier.isEmpty())
            return identifier;
    }
    if (const auto cgroup = readProcFile(pidPath(pid, "cgroup")))
        return ApplicationIdentity::fromCgroup(*cgroup);
    return {};
}

bool ProcWorkspace::Scanner::ownedByUser(pid_t pid) const
{
    struct stat info {};
    const QByteArray path = QFile::encodeName(procRoot_ + QLatin1Char('/') + QString::number(pid));
    return ::stat(path.constData(), &info) == 0 && info.st_uid == ::getuid();
}

bool ProcWorkspace::Scanner::isOwnProcess(pid_t pid, pid_t parent) const
{
    // Up the parents, a bounded number of steps: a chain that the kernel could change while we
    // walk it must not keep us here.
    for (int step = 0; step < 64 && ownProcess_ > 0 && pid > 1; ++step) {
        if (pid == ownProcess_)
            return true;
        pid = parent;
        const std::optional<StatLine> stat = pid > 1 ? readStat(pid) : std::nullopt;
        parent = stat ? stat->parent : 0;
    }
    return false;
}

std::optional<ProcWorkspace::Scanner::StatLine> ProcWorkspace::Scanner::readStat(pid_t pid) const
{
    const std::optional<QByteArray> content = readProcFile(pidPath(pid, "stat"));
    if (!content)
        return std::nullopt;
    // "pid (comm) state ppid ...": comm may hold spaces and parentheses, so fields are counted
    // from the last ')'. The start time is field 22, the 20th after it.
    const qsizetype close = content->lastIndexOf(')');
    if (close < 0)
        return std::nullopt;
    const QList<QByteArray> fields = content->mid(close + 1).simplified().split(' ');
    if (fields.size() < 20)
        return std::nullopt;
    bool ok = false;
    StatLine line;
    line.name = content->mid(content->indexOf('(') + 1, close - content->indexOf('(') - 1);
    line.startTime = fields[19].toULongLong(&ok);
    if (!ok)
        return std::nullopt;
    line.parent = pid_t(fields[1].toInt());
    line.zombie = fields[0] == "Z" || fields[0] == "X";
    return line;
}

std::optional<double> ProcWorkspace::Scanner::readUptime() const
{
    const std::optional<QByteArray> content = readProcFile(procRoot_ + QStringLiteral("/uptime"));
    if (!content)
        return std::nullopt;
    bool ok = false;
    const double seconds = content->simplified().split(' ').value(0).toDouble(&ok);
    return ok ? std::optional<double>(seconds) : std::nullopt;
}

QString ProcWorkspace::Scanner::pidPath(pid_t pid, const char* file) const
{
    return procRoot_ + QLatin1Char('/') + QString::number(pid) + QLatin1Char('/') + QLatin1String(file);
}
