#include "PremiereWatcher.h"

#include "Logging/Log.h"

#include <QThread>

PremiereWatcher::PremiereWatcher(Workspace& workspace, QObject* parent)
    : QObject(parent)
    , workspace_(workspace)
{
    // The connections die with the watcher, so a notification that comes after it is gone
    // reaches nothing.
    launchObserver_ =
        connect(&workspace_, &Workspace::applicationLaunched, this, &PremiereWatcher::handleNotification);
    quitObserver_ =
        connect(&workspace_, &Workspace::applicationTerminated, this, &PremiereWatcher::handleNotification);
    recompute();
}

PremiereWatcher::~PremiereWatcher()
{
    if (launchObserver_)
        disconnect(launchObserver_);
    if (quitObserver_)
        disconnect(quitObserver_);
}

bool PremiereWatcher::isPremiereIdentifier(const QString& applicationIdentifier)
{
    return applicationIdentifier.startsWith(premiereIdentifierPrefix, Qt::CaseSensitive);
}

void PremiereWatcher::handleNotification(const RunningApplication& application)
{
    if (!noteMatches(application))
        return;
    // The value is read and written on the main thread only, without locks; a notification on
    // any other thread is a programming error, not something to carry on from.
    if (QThread::currentThread() != thread())
        qFatal("PremiereWatcher: workspace notification off the main thread");
    recompute();
}

bool PremiereWatcher::noteMatches(const RunningApplication& application)
{
    return isPremiereIdentifier(application.applicationIdentifier);
}

void PremiereWatcher::recompute()
{
    bool running = false;
    for (const RunningApplication& application : workspace_.runningApplications()) {
        if (isPremiereIdentifier(application.applicationIdentifier)) {
            running = true;
            break;
        }
    }
    if (running == isPremiereRunning_)
        return;
    isPremiereRunning_ = running;
    emit isPremiereRunningChanged(running);
    Log::shared().write(
        QStringLiteral("PremiereWatcher: isPremiereRunning = %1").arg(running ? "true" : "false"));
}
