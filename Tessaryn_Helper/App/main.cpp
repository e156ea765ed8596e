// tessaryn-helper: keeps the Tessaryn panel's local server alive while Premiere Pro runs.
#include "App/SingleInstance.h"
#include "App/TessarynHelperApp.h"
#include "App/TrayMenu.h"
#include "Foundation/EventLoopScheduler.h"
#include "Foundation/InheritedProcessState.h"
#include "Adapters/Linux/ProcPortHolders.h"
#include "Adapters/Linux/ProcWorkspace.h"
#include "Adapters/Qt/QtDesktop.h"
#include "Supervision/ServerRecord.h"

#include <QApplication>

#include <cstdlib>
#include <vector>

int main(int argc, char** argv)
{
    resetInheritedProcessState();
    // Before anything else: a second helper leaves no trace but its line, and a server left
    // running by a helper that died is stopped before this one could find its port taken.
    SingleInstance instance;
    if (!instance.acquire())
        return 0;
    ServerRecord::stopLeftover();

    // Without any display the helper still runs, headless, rather than failing to start; so it
    // does when the X display it is given cannot be reached (Qt would abort). Said as an argument,
    // not in the environment, so that the server and what the helper opens do not inherit it.
    std::vector<char*> arguments(argv, argv + argc);
    char platformOption[] = "-platform";
    char headless[] = "offscreen";
    char x11OrHeadless[] = "xcb;offscreen";
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM") && qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY")) {
        arguments.push_back(platformOption);
        arguments.push_back(qEnvironmentVariableIsEmpty("DISPLAY") ? headless : x11OrHeadless);
    }
    int argumentCount = int(arguments.size());
    arguments.push_back(nullptr);

    QApplication application(argumentCount, arguments.data());
    QApplication::setApplicationName(QStringLiteral("Tessaryn Helper"));
    QApplication::setDesktopFileName(QStringLiteral("app.marovant.tessaryn-helper"));
    QApplication::setQuitOnLastWindowClosed(false);

    auto scheduler = std::make_shared<EventLoopScheduler>();
    ProcWorkspace workspace(*scheduler);
    QtDesktop desktop;
    TessarynHelperApp::Services services { scheduler, workspace, desktop };
    services.portHolders = std::make_shared<ProcPortHolders>();
    services.exitProcess = [&instance] {
        instance.release();
        std::exit(0);
    };
    services.terminateApplication = [] { QApplication::quit(); };
    TessarynHelperApp helper(std::move(services));
    TrayMenu tray(helper);
    application.exec();
    return 0;
}
