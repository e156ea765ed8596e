#pragma once

#include <QObject>

#include <memory>

class QSocketNotifier;

// Turns SIGTERM into a signal on the main thread. The handler only writes a byte to a pipe, so
// SIGTERM never ends the process by itself, whichever thread it lands on. The disposition is a
// handler, never "ignore": an ignored SIGTERM would survive exec into every child.
class TerminationSignal : public QObject {
    Q_OBJECT

public:
    explicit TerminationSignal(QObject* parent = nullptr);
    ~TerminationSignal() override;

    // False when the pipe or the handler could not be set up; SIGTERM then keeps its default.
    bool isInstalled() const { return installed_; }

signals:
    void received();

private:
    void drain();

    bool installed_ = false;
    std::unique_ptr<QSocketNotifier> notifier_;
};
