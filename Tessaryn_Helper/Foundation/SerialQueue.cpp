#include "SerialQueue.h"

#include <QThread>

#include <atomic>
#include <condition_variable>
#include <cstdlib>
#include <deque>
#include <map>
#include <mutex>
#include <set>

namespace {

// From the end of the process on, delayed tasks no longer run: what they would touch may be gone.
std::atomic<bool> processEnding { false };

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
            processEnding = true;
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
    struct Pending {
        unsigned long long number; // tells equal times apart
        std::function<void()> task;
    };
    std::multimap<std::chrono::steady_clock::time_point, Pending> delayed;
    unsigned long long delayedCount = 0;
    unsigned long long submitted = 0;
    unsigned long long completed = 0;
    bool stopping = false;
    bool finished = false;

    // The delayed tasks that are due join the queue, in the order of their times.
    void queueDue()
    {
        if (processEnding) {
            delayed.clear();
            return;
        }
        const auto now = std::chrono::steady_clock::now();
        for (auto due = delayed.begin(); due != delayed.end() && due->first <= now; due = delayed.erase(due))
            tasks.push_back(std::move(due->second.task)), ++submitted;
    }

    void workerLoop()
    {
        std::unique_lock lock(mutex);
        for (;;) {
            queueDue();
            if (tasks.empty() && !stopping) {
                if (delayed.empty()) {
                    wake.wait(lock);
                } else {
                    const auto next = delayed.begin()->first; // a copy: cancelling erases the entry meanwhile
                    wake.wait_until(lock, next);
                }
                continue;
            }
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

// Cancelling takes the task out of the queue's list, so it neither runs nor wakes the worker.
class SerialQueue::Delayed final : public Cancellable {
public:
    Delayed(std::weak_ptr<State> state, std::chrono::steady_clock::time_point due, unsigned long long number)
        : state_(std::move(state))
        , due_(due)
        , number_(number)
    {
    }

    void cancel() override
    {
        const std::shared_ptr<State> state = state_.lock();
        if (!state)
            return;
        const std::lock_guard lock(state->mutex);
        for (auto [entry, end] = state->delayed.equal_range(due_); entry != end; ++entry) {
            if (entry->second.number == number_) {
                state->delayed.erase(entry);
                return;
            }
        }
    }

private:
    std::weak_ptr<State> state_;
    std::chrono::steady_clock::time_point due_;
    unsigned long long number_;
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

std::shared_ptr<Cancellable> SerialQueue::asyncAfter(Duration delay, std::function<void()> task)
{
    const auto due = std::chrono::steady_clock::now() + delay;
    unsigned long long number = 0;
    bool first = false;
    {
        std::lock_guard lock(state_->mutex);
        number = ++state_->delayedCount;
        const auto entry = state_->delayed.emplace(due, State::Pending { number, std::move(task) });
        first = entry == state_->delayed.begin();
    }
    if (first) // the worker waits for a later time, if any
        state_->wake.notify_one();
    return std::make_shared<Delayed>(state_, due, number);
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
