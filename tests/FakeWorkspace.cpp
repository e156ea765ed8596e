#include "FakeWorkspace.h"

FakeWorkspace::FakeWorkspace(QList<RunningApplication> running)
    : running_(std::move(running))
{
}

QList<RunningApplication> FakeWorkspace::runningApplications() const
{
    ++scans_;
    return running_;
}

void FakeWorkspace::launch(const RunningApplication& application)
{
    running_.append(application);
    emit applicationLaunched(application);
}

void FakeWorkspace::quit(const RunningApplication& application)
{
    running_.removeAll(application);
    emit applicationTerminated(application);
}

void FakeWorkspace::notifyLaunched(const RunningApplication& application)
{
    emit applicationLaunched(application);
}

void FakeWorkspace::notifyTerminated(const RunningApplication& application)
{
    emit applicationTerminated(application);
}
