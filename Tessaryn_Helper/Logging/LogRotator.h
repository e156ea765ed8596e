#pragma once

#include <QByteArray>
#include <QDateTime>
#include <QString>

#include <memory>

class SerialQueue;

// One append-only log file in the log folder, with size rotation into three generations
// ({name}.1 newest to {name}.3 oldest). Writes are queued on the rotator's own serial queue, so
// callers never wait for the disk; every file-system error is swallowed.
class LogRotator {
public:
    static constexpr qint64 rotationThreshold = 10 * 1024 * 1024;

    explicit LogRotator(const QString& filename);
    ~LogRotator(); // completes the appends already queued

    LogRotator(const LogRotator&) = delete;
    LogRotator& operator=(const LogRotator&) = delete;

    // One line: the ISO 8601 UTC time of the call with milliseconds, a space, the message, and a
    // line feed unless the message ends with one.
    void write(const QString& message);
    // Raw bytes, appended unchanged.
    void write(const QByteArray& data);

    // Waits until the appends queued so far are on disk (or a second has passed).
    void flush();

    QString filePath() const;
    QString rotatedPath(int index) const;

    static QByteArray formatLine(const QDateTime& time, const QString& message);

private:
    struct File;
    std::shared_ptr<File> file_;
    std::unique_ptr<SerialQueue> queue_;
};
