#pragma once

#include <QObject>
#include <QString>

#include <memory>

class QSocketNotifier;

// Turns the signals that ask a process to end (SIGTERM, and SIGHUP, SIGINT and SIGQUIT, which a
// closed terminal, Ctrl-C and Ctrl-\ send) into a signal on the main thread. The handler only writes
// the signal's number to a pipe, so none of them ends the process by itself, whichever thread it
// lands on. The disposition is a handler, never "ignore": an ignored signal would survive exec into
// every child. A SIGHUP ignored by the starter (nohup) stays ignored: it asked the helper to outlive
// its terminal.
class TerminationSignal : public QObject {
    Q_OBJECT

public:
    explicit TerminationSignal(QObject* parent = nullptr);
    ~TerminationSignal() override;

    // False when the pipe or the handlers could not be set up; the signals then keep their defaults.
    bool isInstalled() const { return installed_; }
    // "SIGTERM", "SIGHUP", …
    static QString nameOf(int signal);

signals:
    void received(int signal);

private:
    void drain();

    bool installed_ = false;
    std::unique_ptr<QSocketNotifier> notifier_;
};
