#pragma once

#include "Platform/LoginItem.h"
#include "Plugin/PluginInstaller.h"
#include "Supervision/ServerStatus.h"

#include <QObject>

#include <functional>
#include <memory>

class Cancellable;
class Desktop;
class PortHolders;
class PremiereWatcher;
class Scheduler;
class ServerManager;
class TerminationSignal;
class Workspace;

// The helper as a whole: it owns the one server manager and the one Premiere watcher, does the
// start-up housekeeping, and turns Premiere launches and quits into server actions and into
// showing or hiding the status icon. It ends the process on SIGTERM and on quit(), once the
// server has ended.
class TessarynHelperApp : public QObject {
    Q_OBJECT

public:
    // The login-item service; the program uses LoginItem, tests may record.
    struct LoginItemService {
        std::function<LoginItemStatus()> status = [] { return LoginItem::status(); };
        std::function<void()> registerApp = [] { LoginItem::registerApp(); };
        std::function<void()> unregisterApp = [] { LoginItem::unregisterApp(); };
    };
    struct Services {
        Services(std::shared_ptr<Scheduler> mainThread, Workspace& workspace, Desktop& desktop)
            : mainThread(std::move(mainThread))
            , workspace(workspace)
            , desktop(desktop)
        {
        }
        std::shared_ptr<Scheduler> mainThread;
        Workspace& workspace;
        Desktop& desktop;
        LoginItemService loginItem = {};
        // Whether SIGTERM is taken over; tests that build several apps in one process leave it.
        bool handleSigterm = true;
        // Ends the process after SIGTERM (the program: exit with status 0).
        std::function<void()> exitProcess;
        // Who holds the server's port when it is taken; none: the manager does not say.
        std::shared_ptr<const PortHolders> portHolders;
        // Ends the application for the quit item (the program: leave the event loop).
        std::function<void()> terminateApplication;
        // Builds the server manager; by default the real one over the bundled paths.
        std::function<std::unique_ptr<ServerManager>(std::shared_ptr<Scheduler>)> makeServerManager;
    };

    // After SIGTERM the helper exits once the server has ended, but not before the first delay;
    // after either SIGTERM or quit() it waits no longer than the second, so that a server that
    // even SIGKILL does not end at once cannot hold the helper.
    static constexpr std::chrono::milliseconds sigtermExitDelay { 500 };
    static constexpr std::chrono::milliseconds longestShutdown { 2500 };
    static constexpr std::chrono::seconds portProbeInterval { 5 };
    static inline const QString docsAddress = QStringLiteral("https://tessaryn.app/docs/install");

    explicit TessarynHelperApp(Services services, QObject* parent = nullptr);
    ~TessarynHelperApp() override;

    ServerManager& serverManager() { return *serverManager_; }
    PremiereWatcher& premiereWatcher() { return *premiereWatcher_; }
    LoginItemStatus loginItemStatus() const { return loginItemStatus_; }
    bool isInserted() const { return isInserted_; }
    // From SIGTERM or quit() on: the helper is ending and starts nothing more.
    bool isQuitting() const { return quitting_; }

    // The menu's commands.
    void restartServer();
    void openLogsFolder();
    void openDocs();
    void setLaunchAtLogin(bool enabled);
    void quit();

signals:
    void loginItemStatusChanged(LoginItemStatus status);
    void isInsertedChanged(bool isInserted);

private:
    void runHousekeeping();
    // SIGTERM, or another signal that asks the helper to end.
    void handleSigterm(int signal);
    void shutDown(std::function<void()> end, std::chrono::milliseconds earliest);
    void endIfServerEnded();
    void end();
    void premiereChanged(bool isRunning);
    void refreshLoginItemStatus();
    void setInserted(bool inserted);
    void watchPort();

    Services services_;
    std::unique_ptr<ServerManager> serverManager_;
    std::unique_ptr<PremiereWatcher> premiereWatcher_;
    std::unique_ptr<TerminationSignal> sigterm_;
    // Ended when the helper begins to end: its running tool goes at once, not with the process.
    std::shared_ptr<PluginInstaller::Flow> installFlow_;
    LoginItemStatus loginItemStatus_ = LoginItemStatus::notRegistered;
    bool isInserted_ = false;

    std::shared_ptr<Cancellable> portProbe_;
    bool quitting_ = false;
    bool earliestExitPassed_ = false;
    bool ended_ = false;
    std::function<void()> end_;
};
