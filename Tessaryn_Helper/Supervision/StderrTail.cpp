#include "StderrTail.h"

#include "Foundation/SerialQueue.h"

#include "Foundation/Utf8.h"

struct StderrTail::Buffer {
    QByteArray bytes; // touched only on the queue
};

StderrTail::StderrTail()
    : buffer_(std::make_shared<Buffer>())
    , queue_(std::make_unique<SerialQueue>(QStringLiteral("app.marovant.tessaryn-helper.server.stderr")))
{
}

StderrTail::~StderrTail() = default;

void StderrTail::append(const QByteArray& data)
{
    queue_->async([weak = std::weak_ptr<Buffer>(buffer_), data] {
        auto buffer = weak.lock();
        if (!buffer)
            return;
        buffer->bytes.append(data);
        if (buffer->bytes.size() > capacity)
            buffer->bytes.remove(0, buffer->bytes.size() - capacity);
    });
}

QString StderrTail::snapshot()
{
    return decodeUtf8Strictly(rawSnapshot()).value_or(QString());
}

QByteArray StderrTail::rawSnapshot()
{
    QByteArray copy;
    queue_->sync([&] { copy = buffer_->bytes; });
    return copy;
}

void StderrTail::clear()
{
    queue_->sync([&] { buffer_->bytes.clear(); });
}
