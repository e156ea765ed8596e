#include "SingleInstance.h"

#include "Logging/Log.h"
#include "Platform/HomeFolders.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QFileSystemWatcher>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

namespace {

// Whatever is at the path and is not a regular file: a FIFO would stall a reader, a link could
// lead anywhere, a folder can never be locked.
bool removeIfNotRegular(const QByteArray& path)
{
    struct stat info {};
    if (::lstat(path.constData(), &info) != 0 || S_ISREG(info.st_mode))
        return false;
    if (S_ISDIR(info.st_mode))
        return QDir(QFile::decodeName(path)).removeRecursively();
    return ::unlink(path.constData()) == 0;
}

// The holder's pid as it wrote it; 0 while it has not written it yet.
long holderPid(int fd)
{
    char text[32] = {};
    const ssize_t count = ::pread(fd, text, sizeof text - 1, 0);
    return count > 0 ? std::strtol(text, nullptr, 10) : 0;
}

void writePid(int fd)
{
    const QByteArray pid = QByteArray::number(qint64(::getpid())) + '\n';
    if (::ftruncate(fd, 0) != 0 || ::pwrite(fd, pid.constData(), size_t(pid.size()), 0) != pid.size()) {
        // The lock holds all the same; only the second helper's line lacks the pid.
    }
}

} // namespace

SingleInstance::SingleInstance() = default;

SingleInstance::~SingleInstance()
{
    release();
}

QStringList SingleInstance::lockPaths()
{
    // A runtime folder that is missing or not ours (one kept across su, a session without one) is
    // none: no lock could be made in it.
    const QString runtime = HomeFolders::runtimeFolder();
    struct stat info {};
    const bool usable = !runtime.isEmpty()
        && ::stat(QFile::encodeName(QFileInfo(runtime).path()).constData(), &info) == 0
        && S_ISDIR(info.st_mode) && info.st_uid == ::getuid();
    const QString state = HomeFolders::supportFolder() + QStringLiteral("/helper.lock");
    return usable ? QStringList { runtime + QStringLiteral("/helper.lock"), state } : QStringList { state };
}

int SingleInstance::openLockFile(const QString& path)
{
    // Made for the user alone when missing; another user's folder, or one that others may write
    // to, is not used (said once).
    if (!Log::ownFolder(QFileInfo(path).path()))
        return -1;
    const QByteArray encoded = QFile::encodeName(path);
    int error = 0;
    for (int attempt = 0; attempt < 3; ++attempt) {
        // Never through a link, never stalled by a FIFO, never inherited by a child.
        const int fd = ::open(encoded.constData(),
                              O_RDWR | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | O_NOCTTY, 0600);
        error = errno;
        struct stat info {};
        if (fd >= 0 && ::fstat(fd, &info) == 0 && S_ISREG(info.st_mode))
            return fd;
        if (fd >= 0)
            ::close(fd), error = EINVAL;
        if (!removeIfNotRegular(encoded))
            break;
    }
    errno = error;
    return -1;
}

bool SingleInstance::acquire()
{
    const QStringList paths = lockPaths();
    statePath_ = paths.last();
    QStringList notTaken;
    for (const QString& path : paths) {
        const int fd = openLockFile(path);
        if (fd >= 0 && ::flock(fd, LOCK_EX | LOCK_NB) == 0) {
            writePid(fd);
            held_.push_back({ path, fd });
            continue;
        }
        const int error = errno;
        if (fd >= 0 && error == EWOULDBLOCK) {
            // A helper starting at the same moment may not have written its pid yet.
            long pid = holderPid(fd);
            for (int attempt = 0; attempt < 10 && pid == 0; ++attempt) {
                std::this_thread::sleep_for(std::chrono::milliseconds(50));
                pid = holderPid(fd);
            }
            ::close(fd);
            Log::write(QStringLiteral("Another Tessaryn Helper is running (pid %1) \u2014 exiting").arg(pid));
            release();
            return false;
        }
        if (fd >= 0)
            ::close(fd);
        notTaken << QStringLiteral("One-helper lock not taken at %1: %2 \u2014 running without it")
                        .arg(path, QString::fromLocal8Bit(std::strerror(error)));
        Log::write(notTaken.last());
    }
    if (held_.empty()) {
        // Nothing keeps a second helper out now, and the server record may be another's.
        notTaken << QStringLiteral(
            "No one-helper lock could be made \u2014 a server left by an earlier run is left alone");
        Log::write(notTaken.last());
        for (const QString& line : notTaken) {
            const QByteArray text = "Tessaryn Helper: " + line.toUtf8() + '\n';
            [[maybe_unused]] const ssize_t ignored =
                ::write(STDERR_FILENO, text.constData(), size_t(text.size()));
        }
    }
    return true;
}

bool SingleInstance::holdsStateLock() const
{
    return std::any_of(held_.begin(), held_.end(),
                       [this](const Held& lock) { return lock.path == statePath_; });
}

void SingleInstance::release()
{
    watcher_.reset();
    for (const Held& lock : held_)
        ::close(lock.fd);
    held_.clear();
}

void SingleInstance::holdInPlace()
{
    if (held_.empty())
        return;
    QStringList paths;
    for (const Held& lock : held_)
        paths << lock.path;
    watcher_ = std::make_unique<QFileSystemWatcher>(paths);
    QObject::connect(watcher_.get(), &QFileSystemWatcher::fileChanged, [this](const QString& path) {
        for (Held& lock : held_)
            if (lock.path == path)
                relock(lock);
    });
}

// The watched file changed or went: when the path no longer names the file held, a new one is
// locked there. A helper that got in first keeps it; this one keeps its own, now nameless, lock.
void SingleInstance::relock(Held& lock)
{
    struct stat held {};
    struct stat named {};
    if (::fstat(lock.fd, &held) == 0 && ::stat(QFile::encodeName(lock.path).constData(), &named) == 0
        && held.st_dev == named.st_dev && held.st_ino == named.st_ino) {
        watcher_->addPath(lock.path);
        return;
    }
    const int fd = openLockFile(lock.path);
    if (fd >= 0 && ::flock(fd, LOCK_EX | LOCK_NB) == 0) {
        ::close(lock.fd);
        lock.fd = fd;
        writePid(fd);
    } else if (fd >= 0) {
        ::close(fd);
    }
    watcher_->addPath(lock.path);
}
