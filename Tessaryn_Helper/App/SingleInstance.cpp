#include "SingleInstance.h"

#include "Logging/Log.h"
#include "Platform/HomeFolders.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QFileSystemWatcher>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>
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

void logNotTaken(const QString& path, int error)
{
    Log::write(QStringLiteral("One-helper lock not taken at %1: %2 \u2014 running without it")
                   .arg(path, QString::fromLocal8Bit(std::strerror(error))));
}

} // namespace

SingleInstance::SingleInstance() = default;

SingleInstance::~SingleInstance()
{
    release();
}

QString SingleInstance::lockPath()
{
    // A runtime folder that is missing or not ours (one kept across su, a session without one) is
    // none: no lock could be made in it, and a second helper would run.
    const QString runtime = HomeFolders::runtimeFolder();
    struct stat info {};
    const bool usable = !runtime.isEmpty() && ::stat(QFile::encodeName(QFileInfo(runtime).path()).constData(), &info) == 0
        && S_ISDIR(info.st_mode) && info.st_uid == ::getuid();
    return (usable ? runtime : HomeFolders::supportFolder()) + QStringLiteral("/helper.lock");
}

int SingleInstance::openLockFile(const QString& path)
{
    const QString folder = QFileInfo(path).path();
    std::error_code folderError;
    if (!QFileInfo::exists(folder) && std::filesystem::create_directories(QFile::encodeName(folder).toStdString(), folderError)
        && folder == HomeFolders::runtimeFolder())
        QFile::setPermissions(folder, QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
    const QByteArray encoded = QFile::encodeName(path);
    int error = 0;
    for (int attempt = 0; attempt < 3; ++attempt) {
        // Never through a link, never stalled by a FIFO, never inherited by a child.
        const int fd = ::open(encoded.constData(), O_RDWR | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | O_NOCTTY, 0600);
        error = errno;
        struct stat info {};
        if (fd >= 0 && ::fstat(fd, &info) == 0 && S_ISREG(info.st_mode))
            return fd;
        if (fd >= 0)
            ::close(fd), error = EINVAL;
        if (!removeIfNotRegular(encoded))
            break;
    }
    errno = folderError ? folderError.value() : error; // a folder that cannot be made says why
    return -1;
}

bool SingleInstance::acquire()
{
    const QString path = lockPath();
    fd_ = openLockFile(path);
    if (fd_ < 0) {
        logNotTaken(path, errno);
        return true;
    }
    if (::flock(fd_, LOCK_EX | LOCK_NB) == 0) {
        writePid(fd_);
        return true;
    }
    const int lockError = errno;
    if (lockError != EWOULDBLOCK) {
        logNotTaken(path, lockError);
        release();
        return true;
    }
    // A helper starting at the same moment may not have written its pid yet.
    long pid = holderPid(fd_);
    for (int attempt = 0; attempt < 10 && pid == 0; ++attempt) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        pid = holderPid(fd_);
    }
    Log::write(QStringLiteral("Another Tessaryn Helper is running (pid %1) \u2014 exiting").arg(pid));
    release();
    return false;
}

void SingleInstance::release()
{
    watcher_.reset();
    if (fd_ >= 0)
        ::close(fd_);
    fd_ = -1;
}

void SingleInstance::holdInPlace()
{
    if (fd_ < 0)
        return;
    watcher_ = std::make_unique<QFileSystemWatcher>(QStringList { lockPath() });
    QObject::connect(watcher_.get(), &QFileSystemWatcher::fileChanged, [this] { relock(); });
}

// The watched file changed or went: when the path no longer names the file held, a new one is
// locked there. A helper that got in first keeps it; this one keeps its own, now nameless, lock.
void SingleInstance::relock()
{
    const QString path = lockPath();
    struct stat held {}, named {};
    if (::fstat(fd_, &held) == 0 && ::stat(QFile::encodeName(path).constData(), &named) == 0
        && held.st_dev == named.st_dev && held.st_ino == named.st_ino) {
        watcher_->addPath(path);
        return;
    }
    const int fd = openLockFile(path);
    if (fd >= 0 && ::flock(fd, LOCK_EX | LOCK_NB) == 0) {
        ::close(fd_);
        fd_ = fd;
        writePid(fd_);
    } else if (fd >= 0) {
        ::close(fd);
    }
    watcher_->addPath(path);
}
