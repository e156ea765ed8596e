#pragma once

#include "Scheduler.h"

#include <QString>

#include <chrono>
#include <functional>
#include <memory>

class QThread;

// A private serial queue: one worker thread runs the submitted tasks one at a time, in
// submission order. `async` returns at once; `sync` waits for its task (and so for every task
// submitted before it); `asyncAfter` queues its task once the delay has passed. Destroying the
// queue runs what is still queued (not the delayed tasks that are not due yet), then joins the
// worker, waiting at most `joinDeadline`: a worker stuck in a task that never returns is left
// behind (with what it needs), so the end of the process never hangs on it.
//
// Every queue that is alive when the process ends normally is given up to about a second to
// finish what was queued before the end, so the last appends of a run reach their files.
class SerialQueue final : public Scheduler {
public:
    static constexpr std::chrono::milliseconds joinDeadline { 1000 };

    explicit SerialQueue(QString label);
    ~SerialQueue() override;

    SerialQueue(const SerialQueue&) = delete;
    SerialQueue& operator=(const SerialQueue&) = delete;

    const QString& label() const { return label_; }

    void async(std::function<void()> task);
    // Thread-safe, as is cancelling its handle.
    std::shared_ptr<Cancellable> asyncAfter(Duration delay, std::function<void()> task);
    // Must not be called from a task of this same queue.
    void sync(const std::function<void()>& task);
    // Waits until every task submitted before the call has run, or until the deadline.
    bool drain(std::chrono::steady_clock::time_point deadline);

    // Whether the caller is running on this queue's worker.
    bool isCurrent() const;

    void post(Task task) override { async(std::move(task)); }
    std::shared_ptr<Cancellable> after(Duration delay, Task task) override
    {
        return asyncAfter(delay, std::move(task));
    }

private:
    struct State;
    class Delayed;

    QString label_;
    std::shared_ptr<State> state_;
    QThread* worker_ = nullptr;
};
