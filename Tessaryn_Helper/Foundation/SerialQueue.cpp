#include "SerialQueue.h"

#include <QThread>

#include <cstdlib>
#include <set>

namespace {

// Leaked on purpose: it must outlive every static destructor that might still touch a queue.
struct Registry {
    std::mutex mutex;
    std::set<SerialQueue*> queues;
};

Registry& registry()
{
    static Registry* instance = [] {
        auto* r = new Registry;
        std::atexit([] {
            const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(1);
            Registry& reg = registry();
            std::lock_guard lock(reg.mutex);
            for (SerialQueue* queue : reg.queues)
                queue->drain(deadline);
        });
        return r;
    }();
    return *instance;
}

QString threadNameFor(const QString& label)
{
    // Thread names are limited to 15 bytes on Linux: keep the distinctive end of the label.
    static const QString prefix = QStringLiteral("app.marovant.tessaryn-helper.");
    QString name = label.startsWith(prefix) ? label.mid(prefix.size()) : label;
    return name.right(15);
}

} // namespace

SerialQueue::SerialQueue(QString label)
    : label_(std::move(label))
{
    worker_.reset(QThread::create([this] { workerLoop(); }));
    worker_->setObjectName(threadNameFor(label_));
    worker_->start();
    Registry& reg = registry();
    std::lock_guard lock(reg.mutex);
    reg.queues.insert(this);
}

SerialQueue::~SerialQueue()
{
    {
        Registry& reg = registry();
        std::lock_guard lock(reg.mutex);
        reg.queues.erase(this);
    }
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    wake_.notify_all();
    worker_->wait();
}

void SerialQueue::async(std::function<void()> task)
{
    {
        std::lock_guard lock(mutex_);
        tasks_.push_back(std::move(task));
        ++submitted_;
    }
    wake_.notify_one();
}

void SerialQueue::sync(const std::function<void()>& task)
{
    std::mutex doneMutex;
    std::condition_variable doneCondition;
    bool done = false;
    async([&] {
        task();
        std::lock_guard lock(doneMutex);
        done = true;
        doneCondition.notify_one();
    });
    std::unique_lock lock(doneMutex);
    doneCondition.wait(lock, [&] { return done; });
}

bool SerialQueue::drain(std::chrono::steady_clock::time_point deadline)
{
    if (isCurrent())
        return false;
    std::unique_lock lock(mutex_);
    const unsigned long long target = submitted_;
    return progress_.wait_until(lock, deadline, [&] { return completed_ >= target; });
}

bool SerialQueue::isCurrent() const
{
    return QThread::currentThread() == worker_.get();
}

void SerialQueue::workerLoop()
{
    std::unique_lock lock(mutex_);
    for (;;) {
        wake_.wait(lock, [&] { return stopping_ || !tasks_.empty(); });
        if (tasks_.empty())
            return; // stopping, and nothing left to run
        std::function<void()> task = std::move(tasks_.front());
        tasks_.pop_front();
        lock.unlock();
        task();
        task = nullptr; // release what the task captured before reporting progress
        lock.lock();
        ++completed_;
        progress_.notify_all();
    }
}
