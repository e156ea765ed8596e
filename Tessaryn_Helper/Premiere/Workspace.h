#pragma once

#include <QList>
#include <QObject>
#include <QString>

#include <sys/types.h>

// One application as the workspace sees it: a process and its application identifier (the
// bundle identifier on macOS, the freedesktop application ID on Linux; empty when it has none).
struct RunningApplication {
    pid_t pid = 0;
    QString applicationIdentifier;

    friend bool operator==(const RunningApplication&, const RunningApplication&) = default;
};

// The running applications of the user's session and the news of their launches and quits.
// Both signals are emitted on the main thread. An application reported as launched is already
// in runningApplications(); one reported as terminated is already absent from it.
class Workspace : public QObject {
    Q_OBJECT

public:
    explicit Workspace(QObject* parent = nullptr);
    ~Workspace() override;

    virtual QList<RunningApplication> runningApplications() const = 0;

signals:
    void applicationLaunched(const RunningApplication& application);
    void applicationTerminated(const RunningApplication& application);
};
