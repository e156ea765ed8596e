#pragma once

#include <QString>
#include <QStringList>

#include <memory>
#include <vector>

class QFileSystemWatcher;

// One helper per user, whatever the session: an flock() on "tessaryn/helper.lock" in the state
// folder, which every session of the user meets (one started by cron or "su -" has no runtime
// folder), and before it one in the runtime folder when the session has one of the user's own.
// Held for the helper's life. The kernel lets go of them when the helper dies, however it dies,
// and removing a folder of the home cannot lift them. The holder's pid is written in each file for
// the second helper's line.
class SingleInstance {
public:
    SingleInstance();
    ~SingleInstance();

    // False when another helper holds either lock; that is then logged. A lock that cannot be made
    // (a read-only folder, no folder, one not the user's own) is logged with its reason and the
    // helper runs without it: true. When none can be made, that is said on standard error too.
    bool acquire();
    // Lets go of the locks, for an exit that skips destructors.
    void release();
    // Removing a lock's folder would unlink the locked file and lift the lock for the next
    // helper: from now on (the event loop running) the holder locks a new file in its place.
    void holdInPlace();
    // Whether the state folder's lock is held. Every helper of the user meets it before it
    // touches the server record there; without it, a server noted there may be another
    // helper's, and is left alone.
    bool holdsStateLock() const;

    // Where the locks live, the runtime folder's first.
    static QStringList lockPaths();

    SingleInstance(const SingleInstance&) = delete;
    SingleInstance& operator=(const SingleInstance&) = delete;

private:
    struct Held {
        QString path;
        int fd = -1;
    };
    // Opens the lock file (replacing what is not a regular file); -1 with errno set when it cannot.
    static int openLockFile(const QString& path);
    void relock(Held& lock);

    std::vector<Held> held_;
    QString statePath_;
    std::unique_ptr<QFileSystemWatcher> watcher_;
};
