#pragma once

#include "Scheduler.h"

#include <QObject>

// Scheduler over the Qt event loop of the thread that creates it (the main thread).
class EventLoopScheduler final : public Scheduler {
public:
    EventLoopScheduler();
    ~EventLoopScheduler() override;

    void post(Task task) override;
    std::shared_ptr<Cancellable> after(Duration delay, Task task) override;

private:
    std::unique_ptr<QObject> context_;
};
