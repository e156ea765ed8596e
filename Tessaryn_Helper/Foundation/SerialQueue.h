#pragma once

#include <QString>

#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>

class QThread;

// A private serial queue: one worker thread runs the submitted tasks one at a time, in
// submission order. `async` returns at once; `sync` waits for its task (and so for every task
// submitted before it). Destroying the queue runs what is still queued, then joins the worker.
//
// Every queue that is alive when the process ends normally is given up to about a second to
// finish what was queued before the end, so the last appends of a run reach their files.
class SerialQueue {
public:
    explicit SerialQueue(QString label);
    ~SerialQueue();

    SerialQueue(const SerialQueue&) = delete;
    SerialQueue& operator=(const SerialQueue&) = delete;

    const QString& label() const { return label_; }

    void async(std::function<void()> task);
    // Must not be called from a task of this same queue.
    void sync(const std::function<void()>& task);
    // Waits until every task submitted before the call has run, or until the deadline.
    bool drain(std::chrono::steady_clock::time_point deadline);

    // Whether the caller is running on this queue's worker.
    bool isCurrent() const;

private:
    void workerLoop();

    QString label_;
    std::mutex mutex_;
    std::condition_variable wake_;
    std::condition_variable progress_;
    std::deque<std::function<void()>> tasks_;
    unsigned long long submitted_ = 0;
    unsigned long long completed_ = 0;
    bool stopping_ = false;
    std::unique_ptr<QThread> worker_;
};
