#include "LogRotator.h"

#include "Foundation/SerialQueue.h"
#include "Platform/HomeFolders.h"

#include <QFile>

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <deque>
#include <mutex>
#include <fcntl.h>
#include <algorithm>
#include <climits>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>
#include <utility>
#include <vector>

namespace {
// Raw output appended this recently means more is streaming in: gather a little before the next append.
constexpr auto gatherWindow = std::chrono::milliseconds(2);
constexpr auto gatherTime = std::chrono::microseconds(500);
} // namespace

// The file's paths, what waits to be appended, and the work that runs on the queue. The queued
// task shares it, so the appends outlive a rotator that is destroyed while they wait.
struct LogRotator::File {
    QByteArray path;
    QString pathText;
    QString folder;
    std::function<void()> beforeAppend;
    std::function<bool()> makeRoom;

    struct Chunk {
        QByteArray data;
        bool raw = false;
    };
    qint64 rawBacklogLimit = 0;
    std::mutex mutex;
    std::condition_variable backlogShrank;
    qint64 rawBacklog = 0; // raw bytes queued and not yet appended
    std::deque<Chunk> pending;
    qint64 pendingBytes = 0;
    std::condition_variable batchFull;
    bool drainQueued = false;                            // a drain task is on the queue or running
    std::chrono::steady_clock::time_point lastRawAppend; // queue only
    bool toldNotRegular = false;                         // queue only
    bool toldNoRoom = false;                             // queue only; until an append succeeds again
    bool folderUsable = false;                           // queue only, once constructed

    QByteArray rotatedPath(int index) const { return path + '.' + QByteArray::number(index); }

    // Writes every chunk, in order, as one gathered write where the kernel takes it whole.
    static bool writeAll(int fd, std::vector<QByteArray>& chunks)
    {
        std::vector<iovec> parts;
        parts.reserve(chunks.size());
        for (const QByteArray& chunk : chunks)
            if (!chunk.isEmpty())
                parts.push_back({ const_cast<char*>(chunk.constData()), size_t(chunk.size()) });
        for (size_t first = 0; first < parts.size();) {
            const ssize_t n =
                ::writev(fd, parts.data() + first, int(std::min<size_t>(parts.size() - first, IOV_MAX)));
            if (n < 0) {
                if (errno == EINTR)
                    continue;
                return false;
            }
            for (size_t left = size_t(n); left > 0 && first < parts.size();) {
                const size_t taken = std::min(left, parts[first].iov_len);
                parts[first].iov_base = static_cast<char*>(parts[first].iov_base) + taken;
                parts[first].iov_len -= taken;
                left -= taken;
                if (parts[first].iov_len == 0)
                    ++first;
            }
        }
        return true;
    }

    // Opens the active file for appending. Where it must be made (the first append, after a
    // rotation, after its folder was removed while we ran, so is "View Logs…"'s target), the
    // folder is made or looked at first: only a folder of the user's own takes the file. Never
    // through a link, never waits: a link fails with ELOOP, a FIFO without a reader with ENXIO.
    int openForAppend()
    {
        const int flags = O_WRONLY | O_APPEND | O_CLOEXEC | O_NOCTTY | O_NONBLOCK | O_NOFOLLOW;
        if (folderUsable) {
            const int fd = ::open(path.constData(), flags);
            if (fd >= 0 || errno != ENOENT)
                return fd;
        }
        folderUsable = HomeFolders::usable(folder);
        if (!folderUsable)
            return errno = EACCES, -1;
        return ::open(path.constData(), flags | O_CREAT, 0644);
    }

    static void tell(const QByteArray& line)
    {
        const QByteArray text = "Tessaryn Helper: " + line + '\n';
        [[maybe_unused]] const ssize_t ignored =
            ::write(STDERR_FILENO, text.constData(), size_t(text.size()));
    }

    void tellNotRegular()
    {
        if (!std::exchange(toldNotRegular, true))
            tell(path + " is not a regular file \xE2\x80\x94 its lines go nowhere");
    }

    // Takes what waits, up to the batch limit (a larger chunk goes alone), and appends it as one.
    void drainUnsafely()
    {
        std::vector<QByteArray> batch;
        for (;;) {
            batch.clear();
            qint64 size = 0;
            qint64 raw = 0;
            {
                std::unique_lock lock(mutex);
                // While output streams in, a moment's wait lets one append carry many chunks.
                if (std::chrono::steady_clock::now() - lastRawAppend < gatherWindow)
                    batchFull.wait_for(lock, gatherTime, [&] { return pendingBytes >= batchLimit; });
                if (pending.empty()) {
                    drainQueued = false;
                    return;
                }
                while (!pending.empty()
                       && (batch.empty() || size + pending.front().data.size() <= batchLimit)) {
                    Chunk& chunk = pending.front();
                    raw += chunk.raw ? chunk.data.size() : 0;
                    size += chunk.data.size();
                    batch.push_back(std::move(chunk.data));
                    pending.pop_front();
                }
                pendingBytes -= size;
            }
            if (beforeAppend)
                beforeAppend();
            appendUnsafely(batch, size);
            if (raw > 0) {
                lastRawAppend = std::chrono::steady_clock::now();
                std::lock_guard lock(mutex);
                rawBacklog -= raw;
                backlogShrank.notify_all();
            }
        }
    }

    void appendUnsafely(std::vector<QByteArray>& chunks, qint64 size)
    {
        // On a full disk, room is asked for (up to five times: three generations of another log,
        // its rotation and that generation) and the append tried again.
        for (int attempt = 0;; ++attempt) {
            const int fd = openForAppend();
            int error = errno;
            if (fd >= 0) {
                struct stat before {};
                if (::fstat(fd, &before) != 0 || !S_ISREG(before.st_mode)) {
                    ::close(fd);
                    tellNotRegular();
                    return;
                }
                if (writeAll(fd, chunks)) {
                    ::close(fd);
                    toldNoRoom = false;
                    if (qint64(before.st_size) + size > rotationThreshold
                        && currentSize() > rotationThreshold)
                        rotateUnsafely();
                    return;
                }
                // A write cut short (a full disk) is taken back, so the next line does not
                // continue a broken one: each append is whole or absent.
                error = errno;
                while (::ftruncate(fd, before.st_size) != 0 && errno == EINTR) {
                }
                ::close(fd);
            }
            const bool noRoom = error == ENOSPC || error == EDQUOT;
            if (noRoom && attempt < 5 && makeRoom && makeRoom())
                continue;
            if (noRoom && !std::exchange(toldNoRoom, true))
                tell("no room left on the disk for " + path
                     + " \xE2\x80\x94 its lines are lost until there is");
            if (fd < 0 && (error == ENXIO || error == ELOOP))
                tellNotRegular();
            if (fd < 0 && currentSize() > rotationThreshold)
                rotateUnsafely();
            return;
        }
    }

    qint64 currentSize() const
    {
        struct stat info {};
        if (::lstat(path.constData(), &info) != 0)
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

LogRotator::LogRotator(const QString& filename, qint64 rawBacklogLimit, std::function<void()> beforeAppend,
                       std::function<bool()> makeRoom)
    : file_(std::make_shared<File>())
    , queue_(std::make_unique<SerialQueue>(QStringLiteral("app.marovant.tessaryn-helper.log.") + filename))
{
    file_->folder = HomeFolders::logFolder();
    file_->pathText = file_->folder + QLatin1Char('/') + filename;
    file_->path = QFile::encodeName(file_->pathText);
    file_->rawBacklogLimit = rawBacklogLimit;
    file_->beforeAppend = std::move(beforeAppend);
    file_->makeRoom = std::move(makeRoom);
    file_->folderUsable = HomeFolders::usable(file_->folder);
}

bool LogRotator::dropOldest(const QString& filename)
{
    const QByteArray path = QFile::encodeName(HomeFolders::logFolder() + QLatin1Char('/') + filename);
    for (int index = 3; index >= 1; --index)
        if (::unlink((path + '.' + QByteArray::number(index)).constData()) == 0)
            return true;
    return std::rename(path.constData(), (path + ".1").constData()) == 0;
}

LogRotator::~LogRotator() = default;

// A message is one line whatever it quotes: a line break, or a terminal's escape, that came with a
// name, a path or a program's output from outside cannot start a line of its own or hide one.
QByteArray LogRotator::formatLine(const QDateTime& time, const QString& message)
{
    QString text = message.endsWith(QLatin1Char('\n')) ? message.chopped(1) : message;
    std::replace_if(
        text.begin(), text.end(), [](QChar c) { return c.category() == QChar::Other_Control; }, u'?');
    QByteArray line = time.toUTC().toString(Qt::ISODateWithMs).toUtf8();
    line += ' ';
    line += text.toUtf8();
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
    std::unique_lock lock(file_->mutex);
    if (raw) {
        // One chunk may go past the limit, so a chunk larger than the limit still passes.
        file_->backlogShrank.wait(lock, [&] { return file_->rawBacklog < file_->rawBacklogLimit; });
        file_->rawBacklog += data.size();
    }
    file_->pending.push_back({ data, raw });
    file_->pendingBytes += data.size();
    if (std::exchange(file_->drainQueued, true)) {
        if (file_->pendingBytes >= batchLimit)
            file_->batchFull.notify_one();
        return; // the drain under way takes it
    }
    lock.unlock();
    queue_->async([file = file_] { file->drainUnsafely(); });
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
