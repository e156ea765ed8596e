#pragma once

#include "Premiere/Workspace.h"

// A workspace whose applications the test launches and quits by hand. It counts the scans
// (calls of runningApplications()) so that tests can tell when a watcher looked.
class FakeWorkspace final : public Workspace {
public:
    explicit FakeWorkspace(QList<RunningApplication> running = {});

    QList<RunningApplication> runningApplications() const override;

    // Adds the application, then notifies its launch.
    void launch(const RunningApplication& application);
    // Removes the application, then notifies its termination.
    void quit(const RunningApplication& application);
    // Notifies without touching the list: a repeated or stray notification.
    void notifyLaunched(const RunningApplication& application);
    void notifyTerminated(const RunningApplication& application);

    int scans() const { return scans_; }

private:
    QList<RunningApplication> running_;
    mutable int scans_ = 0;
};
