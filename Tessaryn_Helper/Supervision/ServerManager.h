#pragma once

#include "ServerStatus.h"

#include <QObject>
#include <QString>

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>

class Cancellable;
class LaunchedProcess;
class LogRotator;
class PortHolders;
class ProcessLauncher;
class Scheduler;
class StderrTail;

// Keeps the local server (node running the bundled script, on port 9876) alive: launches it,
// restarts it with back-off after crashes, and stops it with SIGTERM, then SIGKILL. Everything it
// does is on the main thread; its outcome is the published `status` and lines in the helper log.
class ServerManager : public QObject {
    Q_OBJECT

public:
    static constexpr quint16 port = 9876;
    static constexpr std::chrono::seconds stableRunTime { 60 };
    static constexpr std::chrono::seconds killGracePeriod { 2 };
    static constexpr std::chrono::milliseconds restartPause { 200 };
    static inline const QString fallbackSearchPath =
        QStringLiteral("/usr/local/bin:/opt/homebrew/bin:/usr/bin:/bin");

    // Asks for the login-shell PATH for the child: `answer` gets it, or the error's description,
    // on the main thread, at once or later. Cancelling the handle (none: nothing to cancel) means
    // no answer comes, and whatever was asked is ended.
    using SearchPathAnswer = std::function<void(const QString& path, const std::optional<QString>& error)>;
    using SearchPathSource = std::function<std::shared_ptr<Cancellable>(SearchPathAnswer)>;
    // A source that answers at once from `lookup`, which returns the PATH or throws.
    static SearchPathSource answerAtOnce(std::function<QString()> lookup);

    ServerManager(QString nodePath, QString serverScriptPath, std::shared_ptr<Scheduler> mainThread,
                  std::shared_ptr<ProcessLauncher> launcher, SearchPathSource searchPath,
                  QObject* parent = nullptr);
    // The program's manager: real processes, PATH from the login shell.
    ServerManager(QString nodePath, QString serverScriptPath, std::shared_ptr<Scheduler> mainThread,
                  QObject* parent = nullptr);
    // Leaves a running server alone.
    ~ServerManager() override;

    const ServerStatus& status() const { return status_; }
    // Observers hear of every assignment, also of an equal value.
    void setStatus(const ServerStatus& status);

    void start();
    void stop(const ServerStatus& finalStatus);
    void restart();

    // Whether a server process is held: launched and its end not yet handled.
    bool holdsProcess() const { return bool(process_); }

    // Where the manager learns who holds the port when it is taken; none: it does not say.
    void setPortHolders(std::shared_ptr<const PortHolders> portHolders)
    {
        portHolders_ = std::move(portHolders);
    }

    // Whether something holds 127.0.0.1:9876 (bound or listening; TIME_WAIT does not count).
    static bool isPortInUse();

    // The delay before the restart that follows crash number `attempt` (counted from 1).
    static std::chrono::seconds backoffDelay(std::int64_t attempt);

signals:
    void statusChanged(const ServerStatus& status);
    // A server process has ended and its end has been handled.
    void processEnded();

private:
    void launch(QString searchPath, const std::optional<QString>& searchPathError);
    void cancelSearchPathRequest();
    void failPreflight(const QString& reason);
    void logPortHolder() const;
    void handleTermination(const std::shared_ptr<LaunchedProcess>& process, int terminationStatus);
    void armResetTimer();
    void cancelResetTimer();
    void scheduleStart(std::chrono::milliseconds delay, bool afterStoppedProcessEnds);
    std::chrono::seconds countRestartAttempt();
    void cancelPendingStart();

    ServerStatus status_ = ServerStatus::stopped();
    const QString nodePath_;
    const QString serverScriptPath_;
    std::shared_ptr<Scheduler> mainThread_;
    std::shared_ptr<ProcessLauncher> launcher_;
    SearchPathSource searchPath_;

    std::shared_ptr<LaunchedProcess> process_;
    bool stopRequested_ = false;
    ServerStatus stopFinalStatus_ = ServerStatus::stopped();
    std::int64_t restartAttempt_ = 0;
    std::shared_ptr<Cancellable> resetWorkItem_;
    // The one start that is waiting: a crash restart, or the second half of a restart.
    std::shared_ptr<Cancellable> pendingStart_;
    // The question for the PATH of the start under way.
    std::shared_ptr<Cancellable> searchPathRequest_;
    bool startWhenStoppedProcessEnds_ = false;
    std::shared_ptr<StderrTail> stderrTail_;
    std::shared_ptr<LogRotator> serverLog_;
    std::shared_ptr<const PortHolders> portHolders_;
};
