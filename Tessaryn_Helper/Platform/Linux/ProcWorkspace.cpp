#include "ProcWorkspace.h"

#include "Foundation/Utf8.h"

#include <QFile>

#include <cerrno>
#include <cstdlib>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// Reads a small pseudo-file in one go; none when it cannot be opened or read.
std::optional<QByteArray> readProcFile(const QString& path, qsizetype limit = 64 * 1024)
{
    const QByteArray encoded = QFile::encodeName(path);
    const int fd = ::open(encoded.constData(), O_RDONLY | O_CLOEXEC | O_NOCTTY);
    if (fd < 0)
        return std::nullopt;
    QByteArray content;
    char buffer[4096];
    for (;;) {
        const ssize_t count = ::read(fd, buffer, sizeof buffer);
        if (count < 0 && errno == EINTR)
            continue;
        if (count < 0) {
            ::close(fd);
            return std::nullopt;
        }
        if (count == 0)
            break;
        content.append(buffer, count);
        if (content.size() >= limit)
            break;
    }
    ::close(fd);
    return content;
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

// systemd's unit-name escaping: `\xNN` stands for the byte NN (a dash is `\x2d`).
std::optional<QString> unescapeUnitPart(const QString& part)
{
    const QByteArray bytes = part.toUtf8();
    QByteArray decoded;
    for (qsizetype i = 0; i < bytes.size(); ++i) {
        if (bytes[i] == '\\' && i + 3 < bytes.size() && bytes[i + 1] == 'x') {
            bool ok = false;
            const int value = bytes.mid(i + 2, 2).toInt(&ok, 16);
            if (ok) {
                decoded.append(char(value));
                i += 3;
                continue;
            }
        }
        decoded.append(bytes[i]);
    }
    return decodeUtf8Strictly(decoded);
}

} // namespace

ProcWorkspace::ProcWorkspace(Scheduler& scheduler, QString procRoot)
    : scheduler_(scheduler)
    , procRoot_(std::move(procRoot))
{
    // The processes that run already are the starting list, not launches.
    scan();
    scheduleScan();
}

ProcWorkspace::~ProcWorkspace()
{
    if (nextScan_)
        nextScan_->cancel();
}

QList<RunningApplication> ProcWorkspace::runningApplications() const
{
    return applications_;
}

void ProcWorkspace::scheduleScan()
{
    nextScan_ = scheduler_.after(scanInterval, [this] { scanAndReport(); });
}

void ProcWorkspace::scanAndReport()
{
    const Changes changes = scan();
    // Reschedule before reporting: the list is already consistent, and a receiver may end the
    // workspace's life, after which nothing here may be touched.
    scheduleScan();
    for (const RunningApplication& application : changes.terminated)
        emit applicationTerminated(application);
    for (const RunningApplication& application : changes.launched)
        emit applicationLaunched(application);
}

ProcWorkspace::Changes ProcWorkspace::scan()
{
    ++scanCount_;
    Changes changes;
    const std::optional<double> uptime = readUptime();
    // Read before listing: a process created during the listing changes it, so the next scan
    // lists again.
    const std::optional<long long> lastPid = readLastPid();
    if (listingDue_ || !lastPid || !lastPid_ || *lastPid != *lastPid_) {
        listingDue_ = false;
        listAndDiscover(changes, uptime);
    }
    lastPid_ = lastPid;
    recheckKnown(changes, uptime);
    return changes;
}

void ProcWorkspace::listAndDiscover(Changes& changes, std::optional<double> uptime)
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
            continue;
        }
        const std::optional<StatLine> stat = readStat(pid);
        if (!stat)
            continue; // ended while we looked
        Process process;
        process.listedInScan = scanCount_;
        examine(pid, *stat, process, uptime);
        if (!process.identifier.isEmpty()) {
            const RunningApplication application { pid, process.identifier };
            applications_.append(application);
            changes.launched.append(application);
        }
        processes_.emplace(pid, std::move(process));
    }
    ::closedir(directory);
    for (auto process = processes_.begin(); process != processes_.end();) {
        if (process->second.listedInScan == scanCount_) {
            ++process;
            continue;
        }
        if (!process->second.identifier.isEmpty()) {
            const RunningApplication application { process->first, process->second.identifier };
            applications_.removeAll(application);
            changes.terminated.append(application);
        }
        process = processes_.erase(process);
    }
}

void ProcWorkspace::recheckKnown(Changes& changes, std::optional<double> uptime)
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
            if (!process.identifier.isEmpty()) {
                const RunningApplication application { pid, process.identifier };
                applications_.removeAll(application);
                changes.terminated.append(application);
            }
            process.identifier.clear();
            process.settled = true;
            continue;
        }
        if (!process.settled) {
            examine(pid, *stat, process, uptime);
            if (!process.identifier.isEmpty()) {
                const RunningApplication application { pid, process.identifier };
                applications_.append(application);
                changes.launched.append(application);
            }
        }
    }
    for (pid_t pid : ended)
        forget(pid, changes);
}

void ProcWorkspace::forget(pid_t pid, Changes& changes)
{
    const auto found = processes_.find(pid);
    if (found == processes_.end())
        return;
    if (!found->second.identifier.isEmpty()) {
        const RunningApplication application { pid, found->second.identifier };
        applications_.removeAll(application);
        changes.terminated.append(application);
    }
    processes_.erase(found);
    // The pid may already belong to a new process; the next scan must list to find it.
    listingDue_ = true;
}

void ProcWorkspace::examine(pid_t pid, const StatLine& stat, Process& process, std::optional<double> uptime) const
{
    process.startTime = stat.startTime;
    process.examinedInScan = scanCount_;
    if (stat.zombie || !ownedByUser(pid)) {
        process.settled = true;
        return;
    }
    process.identifier = identify(pid);
    if (!process.identifier.isEmpty() || !uptime) {
        process.settled = true;
        return;
    }
    static const long ticksPerSecond = ::sysconf(_SC_CLK_TCK);
    const double age = *uptime - double(stat.startTime) / double(ticksPerSecond > 0 ? ticksPerSecond : 100);
    process.settled = age >= settleSeconds;
}

QString ProcWorkspace::identify(pid_t pid) const
{
    if (const auto environment = readProcFile(pidPath(pid, "environ"), 1024 * 1024)) {
        const QString identifier = identifierFromEnvironment(*environment, pid);
        if (!identifier.isEmpty())
            return identifier;
    }
    if (const auto info = readProcFile(pidPath(pid, "root/.flatpak-info"))) {
        const QString identifier = identifierFromFlatpakInfo(*info);
        if (!identifier.isEmpty())
            return identifier;
    }
    if (const auto cgroup = readProcFile(pidPath(pid, "cgroup")))
        return identifierFromCgroup(*cgroup);
    return {};
}

bool ProcWorkspace::ownedByUser(pid_t pid) const
{
    struct stat info {};
    const QByteArray path = QFile::encodeName(procRoot_ + QLatin1Char('/') + QString::number(pid));
    return ::stat(path.constData(), &info) == 0 && info.st_uid == ::getuid();
}

std::optional<ProcWorkspace::StatLine> ProcWorkspace::readStat(pid_t pid) const
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
    line.startTime = fields[19].toULongLong(&ok);
    if (!ok)
        return std::nullopt;
    line.zombie = fields[0] == "Z" || fields[0] == "X";
    return line;
}

std::optional<double> ProcWorkspace::readUptime() const
{
    const std::optional<QByteArray> content = readProcFile(procRoot_ + QStringLiteral("/uptime"));
    if (!content)
        return std::nullopt;
    bool ok = false;
    const double seconds = content->simplified().split(' ').value(0).toDouble(&ok);
    return ok ? std::optional<double>(seconds) : std::nullopt;
}

std::optional<long long> ProcWorkspace::readLastPid() const
{
    // The fifth field of /proc/loadavg is the process ID the kernel handed out last.
    const std::optional<QByteArray> content = readProcFile(procRoot_ + QStringLiteral("/loadavg"));
    if (!content)
        return std::nullopt;
    bool ok = false;
    const long long pid = content->simplified().split(' ').value(4).toLongLong(&ok);
    return ok ? std::optional<long long>(pid) : std::nullopt;
}

QString ProcWorkspace::pidPath(pid_t pid, const char* file) const
{
    return procRoot_ + QLatin1Char('/') + QString::number(pid) + QLatin1Char('/') + QLatin1String(file);
}

QString ProcWorkspace::identifierFromEnvironment(const QByteArray& environment, pid_t pid)
{
    static const QByteArray fileKey = "GIO_LAUNCHED_DESKTOP_FILE=";
    static const QByteArray pidKey = "GIO_LAUNCHED_DESKTOP_FILE_PID=";
    std::optional<QByteArray> desktopFile;
    std::optional<QByteArray> launchedPid;
    for (const QByteArray& entry : environment.split('\0')) {
        if (entry.startsWith(fileKey))
            desktopFile = entry.mid(fileKey.size());
        else if (entry.startsWith(pidKey))
            launchedPid = entry.mid(pidKey.size());
    }
    if (!desktopFile)
        return {};
    if (launchedPid) {
        bool ok = false;
        const long long launched = launchedPid->toLongLong(&ok);
        if (ok && launched != pid)
            return {};
    }
    QByteArray name = desktopFile->mid(desktopFile->lastIndexOf('/') + 1);
    if (name.endsWith(".desktop"))
        name.chop(int(sizeof ".desktop") - 1);
    return decodeUtf8Strictly(name).value_or(QString());
}

QString ProcWorkspace::identifierFromFlatpakInfo(const QByteArray& info)
{
    bool inApplication = false;
    for (const QByteArray& rawLine : info.split('\n')) {
        const QByteArray line = rawLine.trimmed();
        if (line.startsWith('[')) {
            inApplication = line == "[Application]";
            continue;
        }
        if (!inApplication)
            continue;
        const qsizetype equals = line.indexOf('=');
        if (equals < 0 || line.left(equals).trimmed() != "name")
            continue;
        return decodeUtf8Strictly(line.mid(equals + 1).trimmed()).value_or(QString());
    }
    return {};
}

QString ProcWorkspace::identifierFromCgroup(const QByteArray& cgroup)
{
    // The unified hierarchy ("0::path") names the unit; on a legacy layout, systemd's own one.
    QByteArray path;
    for (const QByteArray& line : cgroup.split('\n')) {
        const QList<QByteArray> parts = line.split(':');
        if (parts.size() < 3)
            continue;
        const QByteArray entryPath = line.mid(parts[0].size() + parts[1].size() + 2);
        if (parts[0] == "0" && parts[1].isEmpty()) {
            path = entryPath;
            break;
        }
        if (parts[1] == "name=systemd")
            path = entryPath;
    }
    // The innermost unit is the process's own.
    const QList<QByteArray> components = path.split('/');
    for (auto component = components.crbegin(); component != components.crend(); ++component) {
        if (component->endsWith(".service") || component->endsWith(".scope"))
            return identifierFromUnitName(QString::fromUtf8(*component));
    }
    return {};
}

QString ProcWorkspace::identifierFromUnitName(const QString& unit)
{
    static const QString prefix = QStringLiteral("app-");
    QString base;
    bool scope = false;
    if (unit.endsWith(QLatin1String(".service"))) {
        base = unit.chopped(8);
        base = base.section(QLatin1Char('@'), 0, 0);
    } else if (unit.endsWith(QLatin1String(".scope"))) {
        base = unit.chopped(6);
        scope = true;
    } else {
        return {};
    }
    if (!base.startsWith(prefix))
        return {};
    // Dashes separate launcher, ID and random part; a dash inside the ID is escaped.
    const QStringList parts = base.mid(prefix.size()).split(QLatin1Char('-'));
    QString escaped;
    if (scope && (parts.size() == 2 || parts.size() == 3))
        escaped = parts[parts.size() - 2];
    else if (!scope && (parts.size() == 1 || parts.size() == 2))
        escaped = parts.last();
    if (escaped.isEmpty())
        return {};
    return unescapeUnitPart(escaped).value_or(QString());
}
