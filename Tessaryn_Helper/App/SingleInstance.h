#pragma once

#include <QString>

#include <memory>

class QFileSystemWatcher;

// One helper per user: an flock() on "tessaryn/helper.lock" in the runtime folder (the state
// folder when there is none), held for the helper's life. The kernel lets go of it when the helper
// dies, however it dies, and removing a folder of the home cannot lift it. The holder's pid is
// written in the file for the second helper's line.
class SingleInstance {
public:
    SingleInstance();
    ~SingleInstance();

    // False when another helper holds the lock; that is then logged. When the lock cannot be made
    // at all (a read-only folder, no folder), that is logged with its reason and the helper runs
    // anyway: true.
    bool acquire();
    // Lets go of the lock, for an exit that skips destructors.
    void release();
    // Removing the lock's folder would unlink the locked file and lift the lock for the next
    // helper: from now on (the event loop running) the holder locks a new file in its place.
    void holdInPlace();

    // Where the lock lives.
    static QString lockPath();

    SingleInstance(const SingleInstance&) = delete;
    SingleInstance& operator=(const SingleInstance&) = delete;

private:
    // Opens the lock file (replacing what is not a regular file); -1 with errno set when it cannot.
    static int openLockFile(const QString& path);
    void relock();

    int fd_ = -1;
    std::unique_ptr<QFileSystemWatcher> watcher_;
};
