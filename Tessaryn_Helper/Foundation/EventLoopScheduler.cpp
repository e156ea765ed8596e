#include "EventLoopScheduler.h"

#include <QMetaObject>
#include <QPointer>
#include <QTimer>

namespace {

class TimerHandle final : public Cancellable {
public:
    explicit TimerHandle(QTimer* timer)
        : timer_(timer)
    {
    }
    ~TimerHandle() override = default;

    void cancel() override
    {
        if (timer_) {
            timer_->stop();
            timer_->deleteLater();
        }
    }

private:
    QPointer<QTimer> timer_;
};

} // namespace

EventLoopScheduler::EventLoopScheduler()
    : context_(std::make_unique<QObject>())
{
}

EventLoopScheduler::~EventLoopScheduler() = default;

void EventLoopScheduler::post(Task task)
{
    QMetaObject::invokeMethod(context_.get(), std::move(task), Qt::QueuedConnection);
}

std::shared_ptr<Cancellable> EventLoopScheduler::after(Duration delay, Task task)
{
    // Precise timers never fire early; the delays of the supervisor are lower bounds.
    auto* timer = new QTimer(context_.get());
    timer->setSingleShot(true);
    timer->setTimerType(Qt::PreciseTimer);
    QObject::connect(timer, &QTimer::timeout, timer, [timer, task = std::move(task)] {
        timer->deleteLater();
        task();
    });
    timer->start(delay);
    return std::make_shared<TimerHandle>(timer);
}
