#include "ServerManager.h"

#include "Environment/PathDiscovery.h"
#include "Foundation/ProcessLauncher.h"
#include "Foundation/Scheduler.h"
#include "Logging/Log.h"
#include "Logging/LogRotator.h"
#include "Platform/PortHolders.h"
#include "ServerRecord.h"
#include "StderrTail.h"

#include <QFileInfo>
#include <QPointer>
#include <QProcessEnvironment>

#include <arpa/inet.h>
#include <algorithm>
#include <cerrno>
#include <csignal>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

constexpr std::chrono::seconds backoffSchedule[] = { std::chrono::seconds(1),  std::chrono::seconds(2),
                                                     std::chrono::seconds(4),  std::chrono::seconds(8),
                                                     std::chrono::seconds(16), std::chrono::seconds(30) };
constexpr std::int64_t highestRestartingAttempt = 5;

} // namespace

ServerManager::ServerManager(QString nodePath, QString serverScriptPath,
                             std::shared_ptr<Scheduler> mainThread, std::shared_ptr<ProcessLauncher> launcher,
                             SearchPathSource searchPath, QObject* parent)
    : QObject(parent)
    , nodePath_(std::move(nodePath))
    , serverScriptPath_(std::move(serverScriptPath))
    , mainThread_(std::move(mainThread))
    , launcher_(std::move(launcher))
    , searchPath_(std::move(searchPath))
    , stderrTail_(std::make_shared<StderrTail>())
    , serverLog_(std::make_shared<LogRotator>(QStringLiteral("server.log")))
{
}

ServerManager::ServerManager(QString nodePath, QString serverScriptPath,
                             std::shared_ptr<Scheduler> mainThread, QObject* parent)
    : ServerManager(
        std::move(nodePath), std::move(serverScriptPath), mainThread,
        std::make_shared<ChildProcessLauncher>(),
        [mainThread](SearchPathAnswer answer) {
            return PathDiscovery::loadOrDiscoverInBackground(mainThread, std::move(answer));
        },
        parent)
{
}

ServerManager::~ServerManager()
{
    cancelResetTimer();
    cancelPendingStart();
    cancelSearchPathRequest();
}

ServerManager::SearchPathSource ServerManager::answerAtOnce(std::function<QString()> lookup)
{
    return [lookup = std::move(lookup)](SearchPathAnswer answer) -> std::shared_ptr<Cancellable> {
        QString path;
        std::optional<QString> error;
        try {
            path = lookup();
        } catch (const std::exception& failure) {
            error = QString::fromStdString(failure.what());
        }
        answer(path, error);
        return nullptr;
    };
}

void ServerManager::setStatus(const ServerStatus& status)
{
    status_ = status;
    emit statusChanged(status_);
}

std::chrono::seconds ServerManager::backoffDelay(std::int64_t attempt)
{
    constexpr auto count = std::int64_t(std::size(backoffSchedule));
    return backoffSchedule[std::clamp<std::int64_t>(attempt, 1, count) - 1];
}

bool ServerManager::isPortInUse()
{
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0)
        return false;
    // Open for a moment only; children never get it (they keep only 0, 1 and 2).
    // Without SO_REUSEADDR, the TIME_WAIT connections that a crashed server leaves behind would
    // make the port look taken for a minute although a new server can listen at once. A socket
    // that is bound or listening still makes bind fail.
    const int on = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in address {};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = inet_addr("127.0.0.1");
    const bool inUse =
        ::bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 && errno == EADDRINUSE;
    ::close(fd);
    return inUse;
}

void ServerManager::start()
{
    stopRequested_ = false;
    cancelSearchPathRequest(); // the newest start asks again

    if (isPortInUse()) {
        Log::write(QStringLiteral("Pre-flight: port 9876 in use"));
        logPortHolder();
        setStatus(ServerStatus::portInUse());
        return;
    }
    const QFileInfo node(nodePath_);
    if (!node.isFile() || !node.isExecutable())
        return failPreflight(QStringLiteral("node binary not found at %1").arg(nodePath_));
    if (!QFileInfo::exists(serverScriptPath_))
        return failPreflight(QStringLiteral("server.js not found at %1").arg(serverScriptPath_));

    // A login shell may take seconds: the main thread goes on meanwhile, and a stop ends the wait.
    auto request = searchPath_(
        [manager = QPointer<ServerManager>(this)](const QString& path, const std::optional<QString>& error) {
            if (!manager)
                return;
            manager->searchPathRequest_.reset();
            manager->launch(path, error);
        });
    if (request) // still waiting; an answer given at once has launched already
        searchPathRequest_ = std::move(request);
}

void ServerManager::cancelSearchPathRequest()
{
    if (searchPathRequest_) {
        searchPathRequest_->cancel();
        searchPathRequest_.reset();
    }
}

void ServerManager::launch(QString searchPath, const std::optional<QString>& searchPathError)
{
    if (searchPathError) {
        Log::write(QStringLiteral("PathDiscovery failed: %1 \u2014 falling back to default PATH")
                       .arg(*searchPathError));
        searchPath = fallbackSearchPath;
    }

    stderrTail_->clear();

    ProcessSpec spec;
    spec.program = nodePath_;
    spec.arguments = { serverScriptPath_ };
    spec.workingDirectory = QFileInfo(serverScriptPath_).path();
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("PATH"), searchPath);
    environment.insert(QStringLiteral("PORT"), QString::number(port));
    spec.environment = environment.toStringList();
    // A helper that dies without stopping its server takes the server with it. The manager
    // lives on the main thread, which lives as long as the helper.
    spec.parentDeathSignal = SIGTERM;
    // The server's family is one group: a stop reaches its workers, and a server that exits while
    // they serve ends with them.
    spec.ownProcessGroup = true;

    // The readers hold the log and the tail, never the manager; the end notice reaches the
    // manager on the main thread, if it still exists then.
    ChildProcess::Handlers handlers;
    handlers.standardOutput = [log = serverLog_](const QByteArray& data) { log->write(data); };
    handlers.standardError = [log = serverLog_, tail = stderrTail_](const QByteArray& data) {
        log->write(data);
        tail->append(data);
    };
    struct Launched {
        std::weak_ptr<LaunchedProcess> process;
        pid_t pid = 0;
    };
    auto launched = std::make_shared<Launched>(); // filled in and read on the main thread only
    handlers.finished = [mainThread = std::weak_ptr<Scheduler>(mainThread_),
                         manager = QPointer<ServerManager>(this), launched](int terminationStatus) {
        if (auto scheduler = mainThread.lock())
            scheduler->post([manager, launched, terminationStatus] {
                ServerRecord::remove(launched->pid);
                if (!manager)
                    return;
                manager->handleTermination(launched->process.lock(), terminationStatus);
                emit manager->processEnded();
            });
    };

    std::shared_ptr<LaunchedProcess> process;
    try {
        process = launcher_->launch(spec, std::move(handlers));
    } catch (const SpawnError& error) {
        const QString reason = QStringLiteral("spawn failed: %1").arg(QString::fromStdString(error.what()));
        if (!error.isTransient())
            return failPreflight(reason);
        // Out of descriptors or processes for now: tried again as after a crash.
        const std::chrono::seconds delay = countRestartAttempt();
        Log::write(QStringLiteral("Pre-flight: %1; restart attempt %2 in %3s")
                       .arg(reason, QString::number(restartAttempt_), QString::number(delay.count())));
        return scheduleStart(delay, false);
    }
    launched->process = process;
    launched->pid = process->pid();
    ServerRecord::save(process->pid(), serverScriptPath_);
    process_ = process;
    setStatus(ServerStatus::running());
    Log::write(QStringLiteral("Server spawned (pid %1)").arg(process->pid()));
    armResetTimer();
}

void ServerManager::failPreflight(const QString& reason)
{
    Log::write(QStringLiteral("Pre-flight: ") + reason);
    setStatus(ServerStatus::preflightFailed(reason));
}

void ServerManager::logPortHolder() const
{
    if (!portHolders_)
        return;
    const PortHolder holder = portHolders_->holderOf(port);
    switch (holder.kind) {
    case PortHolder::Kind::ownProcess:
        Log::write(
            QStringLiteral("Port 9876 is held by pid %1 (%2)").arg(QString::number(holder.pid), holder.name));
        break;
    case PortHolder::Kind::otherUser:
        Log::write(QStringLiteral("Port 9876 is held by another user's process"));
        break;
    case PortHolder::Kind::nobody: // let go meanwhile: nobody to name
        break;
    }
}

void ServerManager::handleTermination(const std::shared_ptr<LaunchedProcess>& process, int terminationStatus)
{
    // The end of a process that is no longer held (a newer one was launched) changes nothing.
    if (!process || process != process_)
        return;

    cancelResetTimer();
    // In the bytes as they came: the text around the word may be in any encoding, or cut anywhere.
    if (stderrTail_->rawSnapshot().contains("EADDRINUSE")) {
        Log::write(QStringLiteral("Server exited with EADDRINUSE \u2014 abandoning restart loop"));
        logPortHolder();
        setStatus(ServerStatus::portInUse());
    } else if (stopRequested_) {
        setStatus(stopFinalStatus_);
        stopRequested_ = false;
    } else {
        const std::chrono::seconds delay = countRestartAttempt();
        Log::write(QStringLiteral("Server crashed (exit %1); restart attempt %2 in %3s")
                       .arg(terminationStatus)
                       .arg(restartAttempt_)
                       .arg(delay.count()));
        process_.reset();
        scheduleStart(delay, false);
        return;
    }
    process_.reset();

    if (startWhenStoppedProcessEnds_) {
        startWhenStoppedProcessEnds_ = false;
        start();
    }
}

// One more failed start in a row: the status says so, and the answer is how long to wait.
std::chrono::seconds ServerManager::countRestartAttempt()
{
    const std::int64_t attempt = ++restartAttempt_;
    setStatus(attempt <= highestRestartingAttempt ? ServerStatus::restarting(attempt)
                                                  : ServerStatus::stuck());
    return backoffDelay(attempt);
}

void ServerManager::armResetTimer()
{
    cancelResetTimer();
    resetWorkItem_ = mainThread_->after(stableRunTime, [manager = QPointer<ServerManager>(this)] {
        if (!manager)
            return;
        manager->resetWorkItem_.reset();
        if (manager->restartAttempt_ >= 1) {
            Log::write(QStringLiteral("Server stable 60s \u2014 restart counter reset (was %1)")
                           .arg(manager->restartAttempt_));
            manager->restartAttempt_ = 0;
        }
    });
}

void ServerManager::cancelResetTimer()
{
    if (resetWorkItem_) {
        resetWorkItem_->cancel();
        resetWorkItem_.reset();
    }
}

void ServerManager::stop(const ServerStatus& finalStatus)
{
    stopRequested_ = true;
    stopFinalStatus_ = finalStatus;
    cancelResetTimer();
    // Nothing comes back after a stop: not a crash restart, not the start of an earlier restart,
    // not a start that waits for the login shell (which is ended).
    cancelPendingStart();
    cancelSearchPathRequest();

    if (process_ && process_->isRunning()) {
        process_->sendSignal(SIGTERM);
        mainThread_->after(killGracePeriod, [process = process_, pid = process_->pid()] {
            if (!process->isRunning())
                return;
            process->sendSignal(SIGKILL);
            Log::write(QStringLiteral("SIGKILL sent to pid %1 (SIGTERM ignored)").arg(pid));
        });
        setStatus(finalStatus);
        return;
    }
    // A process held here has ended but its end notice is still on its way: it stays held, so that
    // the notice tells what its end was (a port in use among others).
    setStatus(finalStatus);
}

void ServerManager::restart()
{
    restartAttempt_ = 0;
    Log::write(QStringLiteral("User-requested restart"));
    stop(ServerStatus::stopped());
    // The new server starts once the pause has passed and the old one has ended, so it never
    // finds its predecessor holding the port; the SIGKILL after the grace period bounds the wait.
    scheduleStart(restartPause, true);
}

void ServerManager::scheduleStart(std::chrono::milliseconds delay, bool afterStoppedProcessEnds)
{
    cancelPendingStart();
    pendingStart_ =
        mainThread_->after(delay, [manager = QPointer<ServerManager>(this), afterStoppedProcessEnds] {
            if (!manager)
                return;
            manager->pendingStart_.reset();
            if (afterStoppedProcessEnds && manager->process_)
                manager->startWhenStoppedProcessEnds_ = true;
            else
                manager->start();
        });
}

void ServerManager::cancelPendingStart()
{
    startWhenStoppedProcessEnds_ = false;
    if (pendingStart_) {
        pendingStart_->cancel();
        pendingStart_.reset();
    }
}
