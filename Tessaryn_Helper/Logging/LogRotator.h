#pragma once

#include <QByteArray>
#include <QDateTime>
#include <QString>

#include <functional>
#include <memory>

class SerialQueue;

// One append-only log file in the log folder, with size rotation into three generations
// ({name}.1 newest to {name}.3 oldest). Writes are queued on the rotator's own serial queue, so
// callers do not wait for the disk; every file-system error is swallowed. What is queued by the
// time the queue comes to it is appended at once, whole chunks up to `batchLimit` per append, so a
// busy server costs one open, write and close per batch rather than per chunk. A log path that
// is not a regular file (a FIFO, a device, a link) takes nothing, nor does a log folder that is
// not the user's own: the bytes are dropped, and standard error says so once. So does a full
// disk, once until an append lands again.
class LogRotator {
public:
    static constexpr qint64 rotationThreshold = 10 * 1024 * 1024;
    static constexpr qint64 defaultRawBacklogLimit = 16 * 1024 * 1024;
    static constexpr qint64 batchLimit = 256 * 1024;

    // `beforeAppend`, when given, runs on the queue before each append (a slow disk, in tests).
    // `makeRoom`, when given, is asked for room when the disk is full, and answers whether it
    // freed some; the append is then tried again.
    explicit LogRotator(const QString& filename, qint64 rawBacklogLimit = defaultRawBacklogLimit,
                        std::function<void()> beforeAppend = {}, std::function<bool()> makeRoom = {});
    ~LogRotator(); // completes the appends already queued

    LogRotator(const LogRotator&) = delete;
    LogRotator& operator=(const LogRotator&) = delete;

    // One line: the ISO 8601 UTC time of the call with milliseconds, a space, the message, and a
    // line feed unless the message ends with one.
    void write(const QString& message);
    // Raw bytes, appended unchanged. Raw bytes come from the server's output readers: while more
    // than the backlog limit of them wait for the disk, this waits too, so a server that prints
    // faster than the disk takes it is slowed down through its pipe instead of filling memory.
    // Text lines never wait.
    void write(const QByteArray& data);

    // Waits until the appends queued so far are on disk (or a second has passed).
    void flush();

    QString filePath() const;
    QString rotatedPath(int index) const;

    static QByteArray formatLine(const QDateTime& time, const QString& message);
    // Room for another log on a full disk: drops the oldest generation of the log `filename`, or,
    // when it has none, rotates its active file into the generation to drop next. False when
    // there was nothing of it.
    static bool dropOldest(const QString& filename);

private:
    void enqueue(const QByteArray& data, bool raw);

    struct File;
    std::shared_ptr<File> file_;
    std::unique_ptr<SerialQueue> queue_;
};
