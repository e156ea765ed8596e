#pragma once

#include "Foundation/Scheduler.h"
#include "Foundation/SerialQueue.h"
#include "Premiere/Workspace.h"

#include <QByteArray>
#include <QList>
#include <QString>

#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <unistd.h>

// The workspace of a Linux session, read from /proc. A process's application identifier is its
// freedesktop application ID (launch environment, Flatpak metadata or systemd unit: the rules are
// ApplicationIdentity's); a process without one is no application. Only the current user's processes count,
// and never the helper's own process or what it started: they may have inherited a launch environment.
//
// The constructor scans once; later scans run away from the main thread (on a serial queue of
// the workspace's own), so no process can stall the main thread with what it puts under /proc.
// A scan that found a launch or an end comes back to the main thread, where the list is updated
// and the notices emitted; one that found nothing new wakes nobody. Each /proc file is opened
// without blocking, read only when it is a regular file, and only up to a cap.
//
// What makes it scan: the end of an application, seen through a pidfd of its own at once; a
// launch the desktop announces on the session bus (GLib's `Launched`, a new app-* unit of the
// systemd user manager), at once and once more shortly after; and, as the fallback for launches
// nobody announces and ends no pidfd can watch, a tick every `scanInterval` on the scans' own
// queue, which scans only when the kernel has handed out a process ID since the last scan, a
// process is still settling, an application has no pidfd, or a sweep is due. So a quiet session
// costs one wake-up per tick, of that queue's thread alone. A notice only triggers a scan; the
// scan decides, by the same identity rules whatever made it.
//
// It stays cheap over hours: a process (pid plus start time) is read when it is first seen, and
// again while it is young and has no identifier yet (it may still be between fork and exec,
// waiting to be moved into its application's unit, or not yet dropped to the user from another
// one), when a launch of it is announced, or when a listing finds its start time, name or owner
// changed (a reused pid, an exec in place, a drop to this user). The directory listing is skipped
// while the kernel has handed out no new process ID since the previous scan, but for a sweep every
// `sweepInterval`.
class ProcWorkspace final : public Workspace {
public:
    // A launch nobody announces is noticed within this, half of it on average; the tick is the one
    // wake-up a quiet session pays for, so a little over a second keeps it under one a second, with
    // room for the odd preemption on a busy machine.
    static constexpr std::chrono::milliseconds scanInterval { 1080 };
    // A listing at least this often, so that a process that became an application without any new
    // pid (an exec in place) is seen on a machine where nothing else starts.
    static constexpr std::chrono::seconds sweepInterval { 30 };
    // An announced launch is scanned for at once and again this much later: the process may not
    // be in its unit yet when the unit is announced.
    static constexpr std::chrono::milliseconds followUpDelay { 250 };
    // How long an unidentified process (or another user's) is looked at again after its start.
    static constexpr double settleSeconds = 3.0;
    // The most the kernel lets arguments and environment take together (3/4 of 8 MiB), so the launch
    // variable, which launchers put last, is found in any environment.
    static constexpr qsizetype environmentLimit = 6 * 1024 * 1024;
    static constexpr qsizetype smallFileLimit = 64 * 1024;

    struct Options {
        // The root of the process tree that is never an application; 0 for none.
        pid_t ownProcess = ::getpid();
        // Where the tick and the later scans run, one at a time; by default a serial queue of the
        // workspace's own. Tests pass the main thread's virtual clock.
        Scheduler* scanQueue = nullptr;
        // The applications whose end is watched through a pidfd, so seen at once (only for the real
        // /proc); none by default. A descriptor for every application of a busy desktop would run
        // the process out of them; the others' ends are seen at the next listing.
        std::function<bool(const QString& identifier)> watchEndOf = {};
    };
    // Scans once before returning; the scheduler and the workspace live on the main thread. This
    // one watches the session: the real /proc, with pidfds for the applications `watchEndOf`
    // names; the launches the session bus announces come through `launchAnnounced`.
    ProcWorkspace(Scheduler& scheduler, std::function<bool(const QString& identifier)> watchEndOf);
    ProcWorkspace(Scheduler& scheduler, QString procRoot, Options options);
    ~ProcWorkspace() override;

    QList<RunningApplication> runningApplications() const override;

    // A launch announced by the desktop, of that process (0 when the notice names none): a scan
    // at once, which looks at that process again even when it had settled.
    void launchAnnounced(pid_t pid);

    ProcWorkspace(const ProcWorkspace&) = delete;
    ProcWorkspace& operator=(const ProcWorkspace&) = delete;

private:
    class Scanner;
    struct Result;

    struct ExitWatch;

    void report(const Result& result);
    void watchExits(const Result& result);

    Scheduler& scheduler_;
    std::unique_ptr<SerialQueue> queue_; // declared before the scanner, which uses it
    std::shared_ptr<Scanner> scanner_;
    std::shared_ptr<Cancellable> followUp_;
    QList<RunningApplication> applications_;
    std::map<pid_t, std::unique_ptr<ExitWatch>> exitWatches_;
    QList<pid_t> followUpPids_; // to look at again in the follow-up
};
