#include "LogRotator.h"

#include "Foundation/HomeFolders.h"
#include "Foundation/SerialQueue.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <condition_variable>
#include <mutex>
#include <cstdio>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

// The file's paths and the work that runs on the queue. The queued tasks share it, so the
// appends outlive a rotator that is destroyed while they wait.
struct LogRotator::File {
    QByteArray path;
    QString pathText;

    qint64 rawBacklogLimit = 0;
    std::mutex backlogMutex;
    std::condition_variable backlogShrank;
    qint64 rawBacklog = 0; // raw bytes queued and not yet appended

    QByteArray rotatedPath(int index) const { return path + '.' + QByteArray::number(index); }

    static bool writeAll(int fd, const char* data, qsizetype size)
    {
        while (size > 0) {
            const ssize_t n = ::write(fd, data, size_t(size));
            if (n < 0) {
                if (errno == EINTR)
                    continue;
                return false;
            }
            data += n;
            size -= n;
        }
        return true;
    }

    // Opens the active file for appending, creating it, and its folder when that was removed
    // while we ran (so is "View Logs…"'s target), and tries once more.
    int openForAppend() const
    {
        const int flags = O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC | O_NOCTTY;
        int fd = ::open(path.constData(), flags, 0644);
        if (fd < 0 && errno == ENOENT && QDir().mkpath(QFileInfo(pathText).path()))
            fd = ::open(path.constData(), flags, 0644);
        return fd;
    }

    void appendUnsafely(const QByteArray& data) const
    {
        const int fd = openForAppend();
        if (fd >= 0) {
            // A write cut short (a full disk) is taken back, so the next line does not continue
            // a broken one: each append is whole or absent.
            struct stat before {};
            const bool sized = ::fstat(fd, &before) == 0;
            const bool written = writeAll(fd, data.constData(), data.size());
            if (!written && sized)
                while (::ftruncate(fd, before.st_size) != 0 && errno == EINTR) { }
            ::close(fd);
            if (!written)
                return; // no size check after a failed write
        }
        if (currentSize() > rotationThreshold)
            rotateUnsafely();
    }

    qint64 currentSize() const
    {
        struct stat info {};
        if (::stat(path.constData(), &info) != 0)
            return 0;
        return qint64(info.st_size);
    }

    void rotateUnsafely() const
    {
        ::unlink(rotatedPath(3).constData());
        for (int i = 2; i >= 1; --i)
            std::rename(rotatedPath(i).constData(), rotatedPath(i + 1).constData());
        std::rename(path.constData(), rotatedPath(1).constData());
    }
};

LogRotator::LogRotator(const QString& filename, qint64 rawBacklogLimit)
    : file_(std::make_shared<File>())
    , queue_(std::make_unique<SerialQueue>(QStringLiteral("app.marovant.tessaryn-helper.log.") + filename))
{
    const QString folder = HomeFolders::logFolder();
    file_->pathText = folder + QLatin1Char('/') + filename;
    file_->path = QFile::encodeName(file_->pathText);
    file_->rawBacklogLimit = rawBacklogLimit;
    QDir().mkpath(folder);
}

LogRotator::~LogRotator() = default;

QByteArray LogRotator::formatLine(const QDateTime& time, const QString& message)
{
    QByteArray line = time.toUTC().toString(Qt::ISODateWithMs).toUtf8();
    line += ' ';
    line += message.toUtf8();
    if (!line.endsWith('\n'))
        line += '\n';
    return line;
}

void LogRotator::write(const QString& message)
{
    enqueue(formatLine(QDateTime::currentDateTimeUtc(), message), false);
}

void LogRotator::write(const QByteArray& data)
{
    enqueue(data, true);
}

void LogRotator::enqueue(const QByteArray& data, bool raw)
{
    if (!raw) {
        queue_->async([file = file_, data] { file->appendUnsafely(data); });
        return;
    }
    {
        // One chunk may go past the limit, so a chunk larger than the limit still passes.
        std::unique_lock lock(file_->backlogMutex);
        file_->backlogShrank.wait(lock, [&] { return file_->rawBacklog < file_->rawBacklogLimit; });
        file_->rawBacklog += data.size();
    }
    queue_->async([file = file_, data] {
        file->appendUnsafely(data);
        std::lock_guard lock(file->backlogMutex);
        file->rawBacklog -= data.size();
        file->backlogShrank.notify_all();
    });
}

void LogRotator::flush()
{
    queue_->drain(std::chrono::steady_clock::now() + std::chrono::seconds(1));
}

QString LogRotator::filePath() const
{
    return file_->pathText;
}

QString LogRotator::rotatedPath(int index) const
{
    return file_->pathText + QLatin1Char('.') + QString::number(index);
}
