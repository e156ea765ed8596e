#pragma once

#include <chrono>
#include <functional>
#include <memory>

// Handle of a delayed task; cancelling it before it runs keeps it from running.
class Cancellable {
public:
    virtual ~Cancellable() = default;
    virtual void cancel() = 0;
};

// A thread's work queue, as the logic sees it: mostly the main thread's. The program uses the Qt
// event loop (and a serial queue for a worker's); tests use a virtual clock that they advance
// themselves.
class Scheduler {
public:
    using Task = std::function<void()>;
    using Duration = std::chrono::milliseconds;

    virtual ~Scheduler() = default;

    // Runs the task on the scheduler's thread soon. Safe to call from any thread.
    virtual void post(Task task) = 0;
    // Runs the task on the scheduler's thread once the delay has passed. From that thread only,
    // unless the scheduler says otherwise.
    virtual std::shared_ptr<Cancellable> after(Duration delay, Task task) = 0;
};
