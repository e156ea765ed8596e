#include "SerialQueue.h"

#include <QThread>

#include <condition_variable>
#include <cstdlib>
#include <deque>
#include <mutex>
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

// Shared by the queue and its worker, so a worker left behind at a deadline still has it.
struct SerialQueue::State {
    std::mutex mutex;
    std::condition_variable wake;
    std::condition_variable progress;
    std::deque<std::function<void()>> tasks;
    unsigned long long submitted = 0;
    unsigned long long completed = 0;
    bool stopping = false;
    bool finished = false;

    void workerLoop()
    {
        std::unique_lock lock(mutex);
        for (;;) {
            wake.wait(lock, [&] { return stopping || !tasks.empty(); });
            if (tasks.empty())
                break; // stopping, and nothing left to run
            std::function<void()> task = std::move(tasks.front());
            tasks.pop_front();
            lock.unlock();
            task();
            task = nullptr; // release what the task captured before reporting progress
            lock.lock();
            ++completed;
            progress.notify_all();
        }
        finished = true;
        progress.notify_all();
    }
};

SerialQueue::SerialQueue(QString label)
    : label_(std::move(label))
    , state_(std::make_shared<State>())
{
    worker_ = QThread::create([state = state_] { state->workerLoop(); });
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
    std::unique_lock lock(state_->mutex);
    state_->stopping = true;
    state_->wake.notify_all();
    if (!state_->progress.wait_for(lock, joinDeadline, [&] { return state_->finished; })) {
        // Left running with its own reference to the state; the thread object goes with the process.
        return;
    }
    lock.unlock();
    worker_->wait();
    delete worker_;
}

void SerialQueue::async(std::function<void()> task)
{
    {
        std::lock_guard lock(state_->mutex);
        state_->tasks.push_back(std::move(task));
        ++state_->submitted;
    }
    state_->wake.notify_one();
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
    std::unique_lock lock(state_->mutex);
    const unsigned long long target = state_->submitted;
    return state_->progress.wait_until(lock, deadline, [&] { return state_->completed >= target; });
}

bool SerialQueue::isCurrent() const
{
    return QThread::currentThread() == worker_;
}
