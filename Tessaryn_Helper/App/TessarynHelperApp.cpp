#include "TessarynHelperApp.h"

#include "Foundation/Scheduler.h"
#include "Foundation/TerminationSignal.h"
#include "Logging/Log.h"
#include "Platform/Desktop.h"
#include "Platform/HomeFolders.h"
#include "Plugin/PluginInstaller.h"
#include "Premiere/PremiereWatcher.h"
#include "Supervision/BundledPaths.h"
#include "Supervision/ServerManager.h"

#include <QFile>
#include <QPointer>

TessarynHelperApp::TessarynHelperApp(Services services, QObject* parent)
    : QObject(parent)
    , services_(std::move(services))
{
    serverManager_ = services_.makeServerManager
        ? services_.makeServerManager(services_.mainThread)
        : std::make_unique<ServerManager>(BundledPaths::node(), BundledPaths::serverScript(),
                                          services_.mainThread);
    serverManager_->setPortHolders(services_.portHolders);
    premiereWatcher_ = std::make_unique<PremiereWatcher>(services_.workspace);
    // What the menu starts with is read before this start-up registers anything.
    loginItemStatus_ = services_.loginItem.status();
    isInserted_ = premiereWatcher_->isPremiereRunning();

    runHousekeeping();

    if (services_.handleSigterm) {
        sigterm_ = std::make_unique<TerminationSignal>();
        connect(sigterm_.get(), &TerminationSignal::received, this, &TessarynHelperApp::handleSigterm);
    }

    // The status reaction comes before the boot decision, whose status is a change like any
    // other: the launch-at-login tick then shows what the housekeeping made of the login item.
    connect(serverManager_.get(), &ServerManager::statusChanged, this, [this] {
        refreshLoginItemStatus();
        watchPort();
    });
    connect(serverManager_.get(), &ServerManager::processEnded, this, &TessarynHelperApp::endIfServerEnded);

    if (premiereWatcher_->isPremiereRunning()) {
        serverManager_->start();
    } else {
        serverManager_->setStatus(ServerStatus::idle());
        Log::write(QStringLiteral("Helper boot \u2014 Premiere closed, staying idle"));
    }

    // The reaction comes once the watcher has finished publishing (and logging) the change.
    connect(premiereWatcher_.get(), &PremiereWatcher::isPremiereRunningChanged, this,
            &TessarynHelperApp::premiereChanged, Qt::QueuedConnection);
}

TessarynHelperApp::~TessarynHelperApp()
{
    if (portProbe_)
        portProbe_->cancel();
}

void TessarynHelperApp::runHousekeeping()
{
    Log::ownFolder(HomeFolders::logFolder());

    // A support folder that is not the user's own is not used: its marker says nothing.
    const QString supportFolder = HomeFolders::supportFolder();
    const QString firstLaunchMarker = supportFolder + QStringLiteral("/.first-launch-done");
    const bool ownSupportFolder = Log::ownFolder(supportFolder);
    if (!ownSupportFolder || !QFile::exists(firstLaunchMarker)) {
        try {
            services_.loginItem.registerApp();
        } catch (const std::exception&) {
            // Already logged by the login item; the start-up goes on.
        }
        if (ownSupportFolder)
            QFile(firstLaunchMarker).open(QIODevice::WriteOnly);
        Log::write(QStringLiteral("First launch \u2014 login item registered, marker created"));
    }

    switch (services_.loginItem.status()) {
    case LoginItemStatus::requiresApproval:
        Log::write(QStringLiteral("Login item requires approval \u2014 enable in System Settings \u2192 "
                                  "General \u2192 Login Items"));
        break;
    case LoginItemStatus::enabled:
        Log::write(QStringLiteral("Login item already enabled"));
        break;
    default:
        try {
            services_.loginItem.registerApp();
        } catch (const std::exception&) {
        }
        Log::write(QStringLiteral("Login item was not enabled \u2014 re-registered"));
        break;
    }

    PluginInstaller::Services installer { services_.desktop };
    installFlow_ = PluginInstaller::run(services_.mainThread, std::move(installer));
}

void TessarynHelperApp::handleSigterm(int signal)
{
    Log::write(TerminationSignal::nameOf(signal) + QStringLiteral(" received \u2014 graceful shutdown"));
    shutDown(services_.exitProcess, sigtermExitDelay);
}

// Stops the server and ends once it has ended (reaped, its end handled), not before `earliest`
// and not after the longest shutdown. The server's own SIGKILL comes 2 s after its SIGTERM.
void TessarynHelperApp::shutDown(std::function<void()> end, std::chrono::milliseconds earliest)
{
    serverManager_->stop(ServerStatus::stopped());
    if (quitting_)
        return; // the first request's way out stands
    quitting_ = true;
    if (installFlow_)
        installFlow_->end();
    end_ = std::move(end);
    const QPointer<TessarynHelperApp> app(this);
    if (earliest.count() > 0) {
        services_.mainThread->after(earliest, [app] {
            if (!app)
                return;
            app->earliestExitPassed_ = true;
            app->endIfServerEnded();
        });
    } else {
        earliestExitPassed_ = true;
    }
    services_.mainThread->after(longestShutdown, [app] {
        if (app)
            app->end();
    });
    endIfServerEnded();
}

void TessarynHelperApp::endIfServerEnded()
{
    if (quitting_ && earliestExitPassed_ && !serverManager_->holdsProcess())
        end();
}

void TessarynHelperApp::end()
{
    if (ended_)
        return;
    ended_ = true;
    if (end_)
        end_();
}

void TessarynHelperApp::premiereChanged(bool isRunning)
{
    if (!isRunning) {
        Log::write(QStringLiteral("Premiere quit \u2014 stopping server, hiding icon"));
        if (!quitting_) // when ending, the shutdown's stop stands
            serverManager_->stop(ServerStatus::idle());
        setInserted(false);
        watchPort();
        return;
    }
    if (quitting_)
        return; // nothing starts any more
    watchPort();
    const ServerStatus::Kind kind = serverManager_->status().kind();
    if (kind == ServerStatus::Kind::idle || kind == ServerStatus::Kind::stopped) {
        Log::write(QStringLiteral("Premiere launched \u2014 waking server"));
        serverManager_->restart();
    }
    setInserted(true);
}

// Another user's server, or any program, may hold the port for a while: while Premiere runs, it is
// looked at again every five seconds, and once free the server starts as a launch would start it.
void TessarynHelperApp::watchPort()
{
    const bool wanted = !quitting_ && serverManager_->status().kind() == ServerStatus::Kind::portInUse
        && premiereWatcher_->isPremiereRunning();
    if (!wanted && portProbe_) {
        portProbe_->cancel();
        portProbe_.reset();
    }
    if (!wanted || portProbe_)
        return;
    portProbe_ = services_.mainThread->after(portProbeInterval, [app = QPointer<TessarynHelperApp>(this)] {
        if (!app)
            return;
        app->portProbe_.reset();
        if (ServerManager::isPortInUse())
            return app->watchPort();
        Log::write(QStringLiteral("Port 9876 is free again \u2014 starting server"));
        app->serverManager_->restart();
    });
}

void TessarynHelperApp::setInserted(bool inserted)
{
    isInserted_ = inserted;
    emit isInsertedChanged(inserted);
}

void TessarynHelperApp::refreshLoginItemStatus()
{
    loginItemStatus_ = services_.loginItem.status();
    emit loginItemStatusChanged(loginItemStatus_);
}

void TessarynHelperApp::restartServer()
{
    // The menu is reached through the icon, which is there only while Premiere runs: a click that comes
    // late, from a menu a host still showed, must not start a server with no Premiere to serve.
    if (quitting_ || !premiereWatcher_->isPremiereRunning())
        return;
    serverManager_->restart();
}

void TessarynHelperApp::openLogsFolder()
{
    services_.desktop.open(QUrl::fromLocalFile(HomeFolders::logFolder() + QLatin1Char('/')));
}

void TessarynHelperApp::openDocs()
{
    services_.desktop.open(QUrl(docsAddress));
}

void TessarynHelperApp::setLaunchAtLogin(bool enabled)
{
    try {
        if (enabled)
            services_.loginItem.registerApp();
        else
            services_.loginItem.unregisterApp();
    } catch (const std::exception&) {
        // Logged by the login item; the toggle shows what the status now is.
    }
    refreshLoginItemStatus();
}

void TessarynHelperApp::quit()
{
    shutDown(services_.terminateApplication, std::chrono::milliseconds(0));
}
