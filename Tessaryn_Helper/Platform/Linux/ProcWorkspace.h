#pragma once

#include "Foundation/Scheduler.h"
#include "Premiere/Workspace.h"

#include <QByteArray>
#include <QString>

#include <chrono>
#include <memory>
#include <optional>
#include <unordered_map>

// The workspace of a Linux session, read from /proc. A process's application identifier is its
// freedesktop application ID (launch environment, Flatpak metadata or systemd unit); a process
// without one is no application. Only the current user's processes count.
//
// It scans on the scheduler's thread every `scanInterval`, so a launch or quit is reported within
// one second, and it stays cheap over hours: a process (pid plus start time) is read when it is
// first seen, and again only while it is young and has no identifier yet (it may still be between
// fork and exec, or waiting to be moved into its application's unit). The directory listing is
// skipped while the kernel has handed out no new process ID since the previous scan.
class ProcWorkspace final : public Workspace {
public:
    static constexpr std::chrono::milliseconds scanInterval { 500 };
    // How long an unidentified process is looked at again after its start.
    static constexpr double settleSeconds = 3.0;

    // Scans once before returning; the scheduler and the workspace live on the main thread.
    explicit ProcWorkspace(Scheduler& scheduler, QString procRoot = QStringLiteral("/proc"));
    ~ProcWorkspace() override;

    QList<RunningApplication> runningApplications() const override;

    // The identifier rules, in the order they are tried; each gives an empty text for none.
    // `environment` is the NUL-separated content of /proc/PID/environ. A launch variable
    // inherited from an ancestor (its ..._PID names another process) does not count.
    static QString identifierFromEnvironment(const QByteArray& environment, pid_t pid);
    // The `name` of the [Application] group of a .flatpak-info file.
    static QString identifierFromFlatpakInfo(const QByteArray& info);
    // The application ID of the process's systemd unit, read from /proc/PID/cgroup.
    static QString identifierFromCgroup(const QByteArray& cgroup);
    // `app[-<launcher>]-<id>[@<random>].service` or `app[-<launcher>]-<id>-<random>.scope`.
    static QString identifierFromUnitName(const QString& unit);

    ProcWorkspace(const ProcWorkspace&) = delete;
    ProcWorkspace& operator=(const ProcWorkspace&) = delete;

private:
    struct Process {
        unsigned long long startTime = 0; // clock ticks after boot; tells a reused pid apart
        QString identifier;
        bool settled = false;             // its identifier, or its lack of one, is final
        unsigned long long examinedInScan = 0;
        unsigned long long listedInScan = 0;
    };
    struct StatLine {
        unsigned long long startTime = 0;
        bool zombie = false;
    };
    struct Changes {
        QList<RunningApplication> launched;
        QList<RunningApplication> terminated;
    };

    void scheduleScan();
    void scanAndReport();
    Changes scan();
    void listAndDiscover(Changes& changes, std::optional<double> uptime);
    void recheckKnown(Changes& changes, std::optional<double> uptime);
    // Reads a process met for the first time (or again while it settles) into `process`.
    void examine(pid_t pid, const StatLine& stat, Process& process, std::optional<double> uptime) const;
    QString identify(pid_t pid) const;
    bool ownedByUser(pid_t pid) const;
    std::optional<StatLine> readStat(pid_t pid) const;
    std::optional<double> readUptime() const;
    std::optional<long long> readLastPid() const;
    QString pidPath(pid_t pid, const char* file) const;
    void forget(pid_t pid, Changes& changes);

    Scheduler& scheduler_;
    QString procRoot_;
    std::shared_ptr<Cancellable> nextScan_;
    std::unordered_map<pid_t, Process> processes_;
    QList<RunningApplication> applications_;
    std::optional<long long> lastPid_;
    bool listingDue_ = true;
    unsigned long long scanCount_ = 0;
};
