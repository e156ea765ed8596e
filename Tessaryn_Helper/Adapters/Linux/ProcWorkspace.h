#pragma once

#include "Foundation/Scheduler.h"
#include "Foundation/SerialQueue.h"
#include "Premiere/Workspace.h"

#include <QByteArray>
#include <QString>

#include <chrono>
#include <functional>
#include <memory>
#include <unistd.h>

// The workspace of a Linux session, read from /proc. A process's application identifier is its
// freedesktop application ID (launch environment, Flatpak metadata or systemd unit); a process
// without one is no application. Only the current user's processes count, and never the helper's
// own process or what it started: they may have inherited a launch environment.
//
// The constructor scans once; later scans run every `scanInterval` away from the main thread (on
// a serial queue of the workspace's own), so no process can stall the main thread with what it
// puts under /proc, and a launch or quit is reported within one second. The results come back to
// the main thread, where the list is updated and the notices are emitted. Each /proc file is
// opened without blocking, read only when it is a regular file, and only up to a cap.
//
// It stays cheap over hours: a process (pid plus start time) is read when it is first seen, and
// again only while it is young and has no identifier yet (it may still be between fork and exec,
// or waiting to be moved into its application's unit). The directory listing is skipped while the
// kernel has handed out no new process ID since the previous scan.
class ProcWorkspace final : public Workspace {
public:
    static constexpr std::chrono::milliseconds scanInterval { 500 };
    // How long an unidentified process is looked at again after its start.
    static constexpr double settleSeconds = 3.0;
    static constexpr qsizetype environmentLimit = 1024 * 1024;
    static constexpr qsizetype smallFileLimit = 64 * 1024;

    using ScanExecutor = std::function<void(std::function<void()>)>;
    struct Options {
        // The root of the process tree that is never an application; 0 for none.
        pid_t ownProcess = ::getpid();
        // Where the later scans run; by default a serial queue of the workspace's own.
        ScanExecutor executor;
    };
    // Runs a scan on the calling thread, for a workspace driven by a virtual clock.
    static void scanInPlace(std::function<void()> scan) { scan(); }

    // Scans once before returning; the scheduler and the workspace live on the main thread.
    explicit ProcWorkspace(Scheduler& scheduler, QString procRoot = QStringLiteral("/proc"));
    ProcWorkspace(Scheduler& scheduler, QString procRoot, Options options);
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
    class Scanner;
    struct Result;

    void scheduleScan();
    void startScan();
    void report(const Result& result);

    Scheduler& scheduler_;
    std::shared_ptr<Scanner> scanner_;
    std::unique_ptr<SerialQueue> queue_;
    ScanExecutor executor_;
    std::shared_ptr<Cancellable> nextScan_;
    QList<RunningApplication> applications_;
};
