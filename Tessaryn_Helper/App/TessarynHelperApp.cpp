#include "TessarynHelperApp.h"

#include "Foundation/HomeFolders.h"
#include "Foundation/Scheduler.h"
#include "Foundation/TerminationSignal.h"
#include "Logging/Log.h"
#include "Platform/Desktop.h"
#include "Plugin/PluginInstaller.h"
#include "Premiere/PremiereWatcher.h"
#include "Supervision/BundledPaths.h"
#include "Supervision/ServerManager.h"

#include <QDir>
#include <QFile>

TessarynHelperApp::TessarynHelperApp(Services services, QObject* parent)
    : QObject(parent)
    , services_(std::move(services))
{
    serverManager_ = services_.makeServerManager
        ? services_.makeServerManager(services_.mainThread)
        : std::make_unique<ServerManager>(BundledPaths::node(), BundledPaths::serverScript(), services_.mainThread);
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
    connect(serverManager_.get(), &ServerManager::statusChanged, this, [this] { refreshLoginItemStatus(); });

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

TessarynHelperApp::~TessarynHelperApp() = default;

void TessarynHelperApp::runHousekeeping()
{
    QDir().mkpath(HomeFolders::logFolder());

    const QString supportFolder = HomeFolders::supportFolder();
    const QString firstLaunchMarker = supportFolder + QStringLiteral("/.first-launch-done");
    if (!QFile::exists(firstLaunchMarker)) {
        QDir().mkpath(supportFolder);
        try {
            services_.loginItem.registerApp();
        } catch (const std::exception&) {
            // Already logged by the login item; the start-up goes on.
        }
        QFile(firstLaunchMarker).open(QIODevice::WriteOnly);
        Log::write(QStringLiteral("First launch \u2014 login item registered, marker created"));
    }

    switch (services_.loginItem.status()) {
    case LoginItemStatus::requiresApproval:
        Log::write(QStringLiteral(
            "Login item requires approval \u2014 enable in System Settings \u2192 General \u2192 Login Items"));
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

    PluginInstaller::run(*services_.mainThread, PluginInstaller::Services { services_.desktop });
}

void TessarynHelperApp::handleSigterm()
{
    Log::write(QStringLiteral("SIGTERM received \u2014 graceful shutdown"));
    serverManager_->stop(ServerStatus::stopped());
    services_.mainThread->after(sigtermExitDelay, [exit = services_.exitProcess] {
        if (exit)
            exit();
    });
}

void TessarynHelperApp::premiereChanged(bool isRunning)
{
    if (!isRunning) {
        Log::write(QStringLiteral("Premiere quit \u2014 stopping server, hiding icon"));
        serverManager_->stop(ServerStatus::idle());
        setInserted(false);
        return;
    }
    const ServerStatus::Kind kind = serverManager_->status().kind();
    if (kind == ServerStatus::Kind::idle || kind == ServerStatus::Kind::stopped) {
        Log::write(QStringLiteral("Premiere launched \u2014 waking server"));
        serverManager_->restart();
    }
    setInserted(true);
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
    serverManager_->stop(ServerStatus::stopped());
    if (services_.terminateApplication)
        services_.terminateApplication();
}
