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

// The main thread's work queue, as the logic sees it. The program uses the Qt event loop;
// tests use a virtual clock that they advance themselves.
class Scheduler {
public:
    using Task = std::function<void()>;
    using Duration = std::chrono::milliseconds;

    virtual ~Scheduler() = default;

    // Runs the task on the main thread soon. Safe to call from any thread.
    virtual void post(Task task) = 0;
    // Runs the task on the main thread once the delay has passed. Main thread only.
    virtual std::shared_ptr<Cancellable> after(Duration delay, Task task) = 0;
};
