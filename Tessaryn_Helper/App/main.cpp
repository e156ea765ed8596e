// tessaryn-helper: keeps the Tessaryn panel's local server alive while Premiere Pro runs.
#include "App/CommandLine.h"
#include "App/SingleInstance.h"
#include "App/TessarynHelperApp.h"
#include "App/TrayMenu.h"
#include "Foundation/EventLoopScheduler.h"
#include "Foundation/InheritedProcessState.h"
#include "Adapters/Linux/LaunchAnnouncements.h"
#include "Adapters/Linux/ProcPortHolders.h"
#include "Adapters/Linux/ProcWorkspace.h"
#include "Adapters/Qt/QtDesktop.h"
#include "Logging/Log.h"
#include "Platform/Displays.h"
#include "Premiere/PremiereWatcher.h"
#include "Supervision/ServerManager.h"
#include "Supervision/ServerRecord.h"

#include <QApplication>
#include <QThread>

#include <atomic>
#include <cstdlib>
#include <functional>
#include <malloc.h>
#include <unistd.h>
#include <vector>

namespace {

// The platforms to try, in order: each display that the environment names and that can be reached
// (one line for each that cannot), then none. Qt falls through a list; it aborts when nothing in it
// starts. Wayland comes first in a Wayland session or when it is the only display.
QByteArray platformsToTry()
{
    QByteArrayList platforms;
    for (const NamedDisplay& display : Displays::probe()) {
        if (!display.reachable) {
            Log::write(QStringLiteral("Display %1=%2 cannot be reached \u2014 not using it")
                           .arg(display.variable, display.value));
            continue;
        }
        const bool wayland = display.kind == NamedDisplay::Kind::wayland;
        const bool first = !wayland || qgetenv("XDG_SESSION_TYPE") == "wayland";
        platforms.insert(first ? 0 : platforms.size(), wayland ? "wayland" : "xcb");
    }
    return (platforms << "offscreen").join(';');
}

// Qt ends the process (status 1) right after saying that its display connection broke; the line and
// the server's stop come first, on the main thread, which then ends the process itself with status 0.
// Qt may say it on the main thread, inside its event processing (so nothing here may wait on the
// event loop), or on a display thread of its own (Wayland), which must then wait for the main thread.
std::function<void()> displayLost;
std::atomic<bool> displayLossTaken { false };
QtMessageHandler previousMessageHandler = nullptr;

void takeDisplayLoss()
{
    if (!displayLossTaken.exchange(true))
        displayLost();
}

void watchForDisplayLoss(QtMsgType type, const QMessageLogContext& context, const QString& message)
{
    if (previousMessageHandler)
        previousMessageHandler(type, context, message);
    if (!displayLost
        || !(message.startsWith(QLatin1String("The X11 connection broke"))
             || message.startsWith(QLatin1String("The Wayland connection"))))
        return;
    QCoreApplication* application = QCoreApplication::instance();
    if (!application || QThread::currentThread() == application->thread()) {
        takeDisplayLoss();
        return;
    }
    QMetaObject::invokeMethod(application, takeDisplayLoss, Qt::QueuedConnection);
    for (;;)
        ::pause(); // until the main thread ends the process
}

// Qt joins its bus thread at exit, and that thread may be waiting for a bus that does not answer:
// the process then ends without it, its lines written and its lock let go.
[[noreturn]] void endProcess(SingleInstance& instance, const SessionBus& bus)
{
    Log::shared().flush();
    instance.release();
    if (bus.isWaiting())
        ::_exit(0);
    std::exit(0);
}

} // namespace

int main(int argc, char** argv)
{
    QStringList commandLine;
    for (int i = 0; i < argc; ++i)
        commandLine << QString::fromLocal8Bit(argv[i]);
    if (const std::optional<int> status = CommandLine::answer(commandLine))
        return *status;
    resetInheritedProcessState();
    // The server's output passes through the heap chunk by chunk: freed memory stays at hand for the
    // next chunks instead of being handed back to the kernel and faulted in again after every append.
#ifdef __GLIBC__
    mallopt(M_TRIM_THRESHOLD, 4 * 1024 * 1024);
#endif
    // Before anything else: a second helper leaves no trace but its line, and a server left
    // running by a helper that died is stopped before this one could find its port taken. Only
    // under the lock that every helper of the user meets: without it, that server may be the one
    // of a helper that still runs.
    SingleInstance instance;
    if (!instance.acquire())
        return 0;
    if (instance.holdsStateLock())
        ServerRecord::stopLeftover();

    // Without a display that can be reached the helper still runs, headless, rather than failing
    // to start. Said as an argument, not in the environment, so that the server and what the
    // helper opens do not inherit it.
    std::vector<char*> arguments(argv, argv + argc);
    char platformOption[] = "-platform";
    QByteArray platforms;
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) {
        platforms = platformsToTry();
        arguments.push_back(platformOption);
        arguments.push_back(platforms.data());
    }
    int argumentCount = int(arguments.size());
    arguments.push_back(nullptr);

    QApplication application(argumentCount, arguments.data());
    QApplication::setApplicationName(QStringLiteral("Tessaryn Helper"));
    QApplication::setDesktopFileName(QStringLiteral("app.marovant.tessaryn-helper"));
    QApplication::setQuitOnLastWindowClosed(false);

    SessionBus bus; // joined meanwhile, on its own thread
    auto scheduler = std::make_shared<EventLoopScheduler>();
    ProcWorkspace workspace(*scheduler, &PremiereWatcher::isPremiereIdentifier);
    LaunchAnnouncements announcements(bus);
    QObject::connect(&announcements, &LaunchAnnouncements::launchAnnounced, &announcements,
                     [&workspace](qint64 pid) { workspace.launchAnnounced(pid_t(pid)); });
    QtDesktop desktop;
    TessarynHelperApp::Services services { scheduler, workspace, desktop };
    services.portHolders = std::make_shared<ProcPortHolders>();
    services.exitProcess = [&instance, &bus] { endProcess(instance, bus); };
    services.terminateApplication = [] { QApplication::quit(); };
    TessarynHelperApp helper(std::move(services));
    bus.admitQtIfAnswering();
    TrayMenu tray(helper, &bus);

    const bool onWayland = QGuiApplication::platformName() == QLatin1String("wayland");
    displayLost = [&helper, &tray, &instance, &bus,
                   name = qEnvironmentVariable(onWayland ? "WAYLAND_DISPLAY" : "DISPLAY")] {
        QObject::disconnect(&helper.serverManager(), nullptr, &tray,
                            nullptr); // the icon goes with the display
        Log::write(
            QStringLiteral("Connection to display %1 lost \u2014 stopping server, quitting").arg(name));
        helper.serverManager().stop(ServerStatus::stopped()); // as the quit item does
        if (instance.holdsStateLock())
            ServerRecord::stopNoted(); // and waits here for the server's end, escalating to SIGKILL
        endProcess(instance, bus);
    };
    previousMessageHandler = qInstallMessageHandler(watchForDisplayLoss);
    instance.holdInPlace();
    application.exec();
    if (bus.isWaiting())
        endProcess(instance, bus);
    return 0;
}
