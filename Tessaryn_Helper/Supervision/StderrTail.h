#pragma once

#include <QByteArray>
#include <QString>

#include <memory>

class SerialQueue;

// The last 4096 bytes that the server wrote to standard error, kept in memory so that its end
// can be told apart: a server that could not take its port says "EADDRINUSE" there.
class StderrTail {
public:
    static constexpr qsizetype capacity = 4096;

    StderrTail();
    ~StderrTail();

    StderrTail(const StderrTail&) = delete;
    StderrTail& operator=(const StderrTail&) = delete;

    // Any thread; returns at once.
    void append(const QByteArray& data);
    // Wait for the queue. The snapshot is empty unless the kept bytes are valid UTF-8.
    QString snapshot();
    // The kept bytes as they came, whatever their encoding.
    QByteArray rawSnapshot();
    void clear();

private:
    struct Buffer;
    std::shared_ptr<Buffer> buffer_;
    std::unique_ptr<SerialQueue> queue_;
};
