// tessaryn-helper: keeps the Tessaryn panel's local server alive while Premiere Pro runs.
#include "App/TessarynHelperApp.h"
#include "App/TrayMenu.h"
#include "Foundation/EventLoopScheduler.h"
#include "Platform/Linux/ProcWorkspace.h"
#include "Platform/Qt/QtDesktop.h"

#include <QApplication>

#include <cstdlib>

int main(int argc, char** argv)
{
    // Without any display the helper still runs, headless, rather than failing to start; so it
    // does when the X display it is given cannot be reached (Qt would abort).
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM") && qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY"))
        qputenv("QT_QPA_PLATFORM", qEnvironmentVariableIsEmpty("DISPLAY") ? "offscreen" : "xcb;offscreen");

    QApplication application(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Tessaryn Helper"));
    QApplication::setDesktopFileName(QStringLiteral("app.marovant.tessaryn-helper"));
    QApplication::setQuitOnLastWindowClosed(false);

    auto scheduler = std::make_shared<EventLoopScheduler>();
    ProcWorkspace workspace(*scheduler);
    QtDesktop desktop;
    TessarynHelperApp::Services services { scheduler, workspace, desktop };
    services.exitProcess = [] { std::exit(0); };
    services.terminateApplication = [] { QApplication::quit(); };
    TessarynHelperApp helper(std::move(services));
    TrayMenu tray(helper);
    application.exec();
    return 0;
}
