// The tray icon and its menu over a whole application object whose server manager runs scripted
// processes on a virtual clock, with a recording desktop and a login item under the test's control.
#include "App/TrayMenu.h"

#include "App/TessarynHelperApp.h"
#include "FakeWorkspace.h"
#include "Foundation/ProcessLauncher.h"
#include "Platform/Desktop.h"
#include "Supervision/ServerManager.h"
#include "ScriptedLauncher.h"
#include "TestSupport.h"

#include <QAction>
#include <QApplication>
#include <QImage>
#include <QMenu>
#include <QSystemTrayIcon>
#include <QTranslator>

#include <gtest/gtest.h>

#include <csignal>

using namespace std::chrono_literals;

namespace {

const RunningApplication premiere { 7001, QStringLiteral("com.adobe.PremierePro.25") };

class RecordingDesktop final : public Desktop {
public:
    void open(const QUrl& url) override { opened.append(url); }
    void alert(const QString&, const QString&) override { }
    QList<QUrl> opened;
};

// The login item as the platform would hold it: a status that registering and unregistering
// change, or fail to change.
struct FakeLoginItem {
    LoginItemStatus status = LoginItemStatus::enabled;
    LoginItemStatus afterRegister = LoginItemStatus::enabled;
    bool registerFails = false;
    QStringList calls;
    int statusReads = 0;
};

// Translates the menu's words, and would translate a status text too if it were ever asked.
class MarkingTranslator final : public QTranslator {
public:
    QString translate(const char*, const char* sourceText, const char*, int) const override
    {
        return QStringLiteral("\u00AB") + QString::fromUtf8(sourceText) + QStringLiteral("\u00BB");
    }
    bool isEmpty() const override { return false; }
};

QColor sampleColor(const QIcon& icon)
{
    // Inside the circle, left of the letter.
    return icon.pixmap(64, 64).toImage().pixelColor(8, 32);
}

int whitePixels(const QIcon& icon)
{
    const QImage image = icon.pixmap(64, 64).toImage();
    int count = 0;
    for (int y = 0; y < image.height(); ++y)
        for (int x = 0; x < image.width(); ++x)
            if (image.pixelColor(x, y) == QColor(Qt::white))
                ++count;
    return count;
}

class TrayMenuTest : public ::testing::Test {
protected:
    enum Item { header, separator1, restart, viewLogs, docs, separator2, launchAtLogin, separator3, quit };

    void SetUp() override
    {
        writeFile(nodePath, "#!/bin/sh\n", true);
        writeFile(scriptPath, "// server\n");
    }
    void TearDown() override
    {
        tray.reset();
        app.reset();
    }

    // Builds the application and its menu; Premiere Pro runs from the start when asked.
    void build(bool premiereRunning)
    {
        workspace = std::make_unique<FakeWorkspace>(premiereRunning ? QList<RunningApplication> { premiere }
                                                                    : QList<RunningApplication> {});
        TessarynHelperApp::Services services { scheduler, *workspace, desktop };
        services.loginItem.status = [login = login] {
            ++login->statusReads;
            return login->status;
        };
        services.loginItem.registerApp = [login = login] {
            login->calls << "register";
            if (login->registerFails)
                throw LoginItemError("LoginItem.register failed: Permission denied");
            login->status = login->afterRegister;
        };
        services.loginItem.unregisterApp = [login = login] {
            login->calls << "unregister";
            login->status = LoginItemStatus::notRegistered;
        };
        services.handleSigterm = false;
        services.exitProcess = [this] { ++exits; };
        services.terminateApplication = [this] { ++terminations; };
        services.makeServerManager = [this](std::shared_ptr<Scheduler> mainThread) {
            return std::make_unique<ServerManager>(nodePath, scriptPath, mainThread, launcher,
                                                   [] { return QStringLiteral("/usr/bin:/bin"); });
        };
        app = std::make_unique<TessarynHelperApp>(std::move(services));
        // The start-up's queued plugin installer runs and is forgotten.
        scheduler->runPosted();
        desktop.opened.clear();
        login->calls.clear();
        tray = std::make_unique<TrayMenu>(*app);
    }

    QAction* item(Item index) { return tray->menu().actions().at(index); }
    ServerManager& manager() { return app->serverManager(); }
    void processEvents() { QCoreApplication::processEvents(); }

    ScopedHome home;
    QString nodePath = home.path() + "/resources/node";
    QString scriptPath = home.path() + "/resources/ai-server/server.js";
    std::shared_ptr<VirtualScheduler> scheduler = std::make_shared<VirtualScheduler>();
    std::shared_ptr<ScriptedLauncher> launcher = std::make_shared<ScriptedLauncher>();
    std::shared_ptr<FakeLoginItem> login = std::make_shared<FakeLoginItem>();
    RecordingDesktop desktop;
    std::unique_ptr<FakeWorkspace> workspace;
    std::unique_ptr<TessarynHelperApp> app;
    std::unique_ptr<TrayMenu> tray;
    int exits = 0;
    int terminations = 0;
};

} // namespace

// ---- The icon and the header for each status

TEST_F(TrayMenuTest, EachStatusHasItsColourAndHeader)
{
    build(true);
    struct Case {
        ServerStatus status;
        QColor colour;
        QString header;
    };
    const QColor green(0x34, 0xC7, 0x59), yellow(0xFF, 0xCC, 0x00), red(0xFF, 0x3B, 0x30), grey(0x8E, 0x8E, 0x93);
    const std::vector<Case> cases {
        { ServerStatus::restarting(2), yellow, "Restarting (attempt 2)\u2026" },
        { ServerStatus::preflightFailed("node binary not found at /x/node"), red,
          "Pre-flight failed: node binary not found at /x/node" },
        { ServerStatus::running(), green, "Server running on :9876" },
        { ServerStatus::stuck(), red, "Server stuck \u2014 repeated crashes" },
        { ServerStatus::portInUse(), red, "Port 9876 in use" },
        { ServerStatus::stopped(), grey, "Server stopped" },
        { ServerStatus::idle(), grey, "Idle (Premiere not running)" },
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.header.toStdString());
        EXPECT_EQ(TrayMenu::colorFor(c.status), c.colour);
        manager().setStatus(c.status);
        EXPECT_EQ(sampleColor(tray->trayIcon().icon()), c.colour);
        EXPECT_GT(whitePixels(tray->trayIcon().icon()), 40) << "the white letter";
        EXPECT_EQ(item(header)->text(), c.header);
    }
}

TEST_F(TrayMenuTest, TheIconAndHeaderFollowTheServerFromStartToRunning)
{
    build(true);
    EXPECT_EQ(manager().status(), ServerStatus::running());
    EXPECT_EQ(sampleColor(tray->trayIcon().icon()), QColor(0x34, 0xC7, 0x59));
    EXPECT_EQ(item(header)->text(), "Server running on :9876");

    launcher->processes.back()->end(1); // a crash: a restart with back-off follows
    scheduler->runPosted();
    EXPECT_EQ(item(header)->text(), "Restarting (attempt 1)\u2026");
    EXPECT_EQ(sampleColor(tray->trayIcon().icon()), QColor(0xFF, 0xCC, 0x00));
}

TEST_F(TrayMenuTest, AnAmpersandInAFailureReasonIsShownAsItIs)
{
    build(true);
    manager().setStatus(ServerStatus::preflightFailed("node binary not found at /R&D/node"));
    // A menu takes a lone "&" for a mnemonic marker and a doubled one for the character.
    EXPECT_EQ(item(header)->text(), "Pre-flight failed: node binary not found at /R&&D/node");
}

// ---- The nine items

TEST_F(TrayMenuTest, NineItemsInOrderWithoutShortcutsAndAnInactiveHeader)
{
    build(true);
    const QList<QAction*> actions = tray->menu().actions();
    ASSERT_EQ(actions.size(), 9);
    for (Item separator : { separator1, separator2, separator3 })
        EXPECT_TRUE(actions[separator]->isSeparator()) << separator;
    const std::vector<std::pair<Item, QString>> labels {
        { restart, "Restart Server" },
        { viewLogs, "View Logs\u2026" },
        { docs, "Open Tessaryn Docs" },
        { launchAtLogin, "Launch at Login" },
        { quit, "Quit Tessaryn Helper" },
    };
    for (const auto& [index, label] : labels) {
        EXPECT_FALSE(actions[index]->isSeparator()) << index;
        EXPECT_EQ(actions[index]->text(), label);
        EXPECT_TRUE(actions[index]->isEnabled()) << index;
        EXPECT_EQ(actions[index]->isCheckable(), index == launchAtLogin) << index;
    }
    EXPECT_FALSE(actions[header]->isSeparator());
    EXPECT_FALSE(actions[header]->isEnabled());
    for (QAction* action : actions)
        EXPECT_TRUE(action->shortcuts().isEmpty()) << action->text().toStdString();
    EXPECT_EQ(&tray->menu(), tray->trayIcon().contextMenu());
}

TEST_F(TrayMenuTest, TheCommandsAreTranslatedAndTheHeaderIsNot)
{
    MarkingTranslator translator;
    QCoreApplication::installTranslator(&translator);
    build(true);
    QCoreApplication::removeTranslator(&translator);
    EXPECT_EQ(item(restart)->text(), "\u00ABRestart Server\u00BB");
    EXPECT_EQ(item(viewLogs)->text(), "\u00ABView Logs\u2026\u00BB");
    EXPECT_EQ(item(docs)->text(), "\u00ABOpen Tessaryn Docs\u00BB");
    EXPECT_EQ(item(launchAtLogin)->text(), "\u00ABLaunch at Login\u00BB");
    EXPECT_EQ(item(quit)->text(), "\u00ABQuit Tessaryn Helper\u00BB");
    EXPECT_EQ(item(header)->text(), "Server running on :9876");
}

// ---- Launch at Login

TEST_F(TrayMenuTest, TheToggleIsCheckedOnlyForAnEnabledLoginItem)
{
    build(true);
    for (const auto& [status, checked] : std::vector<std::pair<LoginItemStatus, bool>> {
             { LoginItemStatus::enabled, true },
             { LoginItemStatus::notRegistered, false },
             { LoginItemStatus::requiresApproval, false },
             { LoginItemStatus::notFound, false },
             { LoginItemStatus::enabled, true } }) {
        login->status = status;
        // A change made outside the helper shows at the next change of the server status.
        manager().setStatus(manager().status());
        EXPECT_EQ(item(launchAtLogin)->isChecked(), checked) << int(status);
        EXPECT_EQ(app->loginItemStatus(), status);
    }
}

TEST_F(TrayMenuTest, EveryStatusChangeRereadsTheLoginItem)
{
    build(true);
    int changes = 0;
    QObject::connect(&manager(), &ServerManager::statusChanged, [&] { ++changes; });
    const int reads = login->statusReads;
    manager().setStatus(ServerStatus::stuck());
    manager().setStatus(ServerStatus::stuck()); // an equal value is a change too
    app->restartServer(); // stopped now, running after the pause
    scheduler->advance(ServerManager::restartPause);
    EXPECT_EQ(manager().status(), ServerStatus::running());
    EXPECT_GE(changes, 4);
    EXPECT_EQ(login->statusReads - reads, changes);
    EXPECT_TRUE(login->calls.isEmpty());
}

TEST_F(TrayMenuTest, CheckingRegistersAndShowsTheOutcome)
{
    login->status = LoginItemStatus::notRegistered;
    login->afterRegister = LoginItemStatus::notRegistered; // start-up's registration leaves it off
    build(true);
    ASSERT_FALSE(item(launchAtLogin)->isChecked());
    login->afterRegister = LoginItemStatus::enabled;
    item(launchAtLogin)->trigger();
    EXPECT_EQ(login->calls, QStringList { "register" });
    EXPECT_TRUE(item(launchAtLogin)->isChecked());
    EXPECT_EQ(app->loginItemStatus(), LoginItemStatus::enabled);
}

TEST_F(TrayMenuTest, UncheckingUnregisters)
{
    build(true);
    ASSERT_TRUE(item(launchAtLogin)->isChecked());
    item(launchAtLogin)->trigger();
    EXPECT_EQ(login->calls, QStringList { "unregister" });
    EXPECT_FALSE(item(launchAtLogin)->isChecked());
    EXPECT_EQ(app->loginItemStatus(), LoginItemStatus::notRegistered);
}

TEST_F(TrayMenuTest, ALoginItemAwaitingApprovalStaysUnchecked)
{
    login->status = LoginItemStatus::requiresApproval;
    login->afterRegister = LoginItemStatus::requiresApproval;
    build(true);
    ASSERT_FALSE(item(launchAtLogin)->isChecked());
    item(launchAtLogin)->trigger();
    EXPECT_EQ(login->calls, QStringList { "register" });
    EXPECT_FALSE(item(launchAtLogin)->isChecked());
}

TEST_F(TrayMenuTest, AFailedRegistrationIsIgnoredAndTheToggleShowsTheStatusRead)
{
    login->status = LoginItemStatus::notRegistered;
    login->registerFails = true;
    build(true);
    ASSERT_FALSE(item(launchAtLogin)->isChecked());
    const int reads = login->statusReads;
    EXPECT_NO_THROW(item(launchAtLogin)->trigger());
    EXPECT_EQ(login->calls, QStringList { "register" });
    EXPECT_EQ(login->statusReads, reads + 1);
    EXPECT_FALSE(item(launchAtLogin)->isChecked());
}

// ---- The commands

TEST_F(TrayMenuTest, RestartServerRestartsTheServer)
{
    build(true);
    LogCapture log;
    item(restart)->trigger();
    EXPECT_EQ(launcher->processes[0]->receivedSignals(), std::vector<int> { SIGTERM });
    EXPECT_EQ(item(header)->text(), "Server stopped");
    scheduler->advance(ServerManager::restartPause);
    ASSERT_EQ(launcher->processes.size(), 2u);
    EXPECT_EQ(manager().status(), ServerStatus::running());
    EXPECT_EQ(item(header)->text(), "Server running on :9876");
    EXPECT_EQ(log.messages(), QStringList({ "User-requested restart", "Server spawned (pid 4001)" }));
    EXPECT_TRUE(desktop.opened.isEmpty());
    EXPECT_EQ(terminations, 0);
}

TEST_F(TrayMenuTest, ViewLogsOpensTheLogFolderAndLogsNothing)
{
    build(true);
    LogCapture log;
    item(viewLogs)->trigger();
    ASSERT_EQ(desktop.opened.size(), 1);
    EXPECT_EQ(desktop.opened[0], QUrl::fromLocalFile(home.logFolder() + "/"));
    EXPECT_EQ(desktop.opened[0].toString(), "file://" + home.path() + "/Library/Logs/Tessaryn/");
    EXPECT_TRUE(log.messages().isEmpty());
}

TEST_F(TrayMenuTest, OpenDocsOpensTheInstallationPage)
{
    build(true);
    LogCapture log;
    item(docs)->trigger();
    EXPECT_EQ(desktop.opened, QList<QUrl> { QUrl("https://tessaryn.app/docs/install") });
    EXPECT_TRUE(log.messages().isEmpty());
}

TEST_F(TrayMenuTest, QuitStopsTheServerAsStoppedAndEndsTheApplicationAtOnce)
{
    build(true);
    LogCapture log;
    item(quit)->trigger();
    EXPECT_EQ(launcher->processes[0]->receivedSignals(), std::vector<int> { SIGTERM });
    EXPECT_EQ(manager().status(), ServerStatus::stopped());
    EXPECT_EQ(terminations, 1);
    EXPECT_EQ(exits, 0);
    EXPECT_TRUE(log.messages().isEmpty());
    scheduler->advance(10s); // no restart follows
    EXPECT_EQ(launcher->processes.size(), 1u);
}

// ---- Presence with Premiere Pro

TEST_F(TrayMenuTest, WithoutPremiereTheIconIsAbsentAndGreyUntilALaunch)
{
    build(false);
    EXPECT_FALSE(app->isInserted());
    EXPECT_FALSE(tray->trayIcon().isVisible());
    EXPECT_EQ(sampleColor(tray->trayIcon().icon()), QColor(0x8E, 0x8E, 0x93));
    EXPECT_EQ(item(header)->text(), "Idle (Premiere not running)");

    workspace->launch(premiere);
    processEvents();
    EXPECT_TRUE(tray->trayIcon().isVisible());
    scheduler->advance(ServerManager::restartPause);
    EXPECT_EQ(sampleColor(tray->trayIcon().icon()), QColor(0x34, 0xC7, 0x59));
}

TEST_F(TrayMenuTest, APremiereQuitWhileTheMenuIsOpenClosesItAndHidesTheIcon)
{
    build(true);
    ASSERT_TRUE(tray->trayIcon().isVisible());
    tray->menu().popup(QPoint(10, 10));
    ASSERT_TRUE(waitFor([&] { return tray->menu().isVisible(); }, 2s));

    // The open menu follows the values as they change.
    manager().setStatus(ServerStatus::portInUse());
    EXPECT_EQ(item(header)->text(), "Port 9876 in use");
    login->status = LoginItemStatus::notRegistered;
    manager().setStatus(ServerStatus::stuck());
    EXPECT_FALSE(item(launchAtLogin)->isChecked());

    workspace->quit(premiere);
    processEvents();
    EXPECT_FALSE(tray->menu().isVisible());
    EXPECT_FALSE(tray->trayIcon().isVisible());
    EXPECT_EQ(manager().status(), ServerStatus::idle());
    EXPECT_EQ(item(header)->text(), "Idle (Premiere not running)");
}

TEST_F(TrayMenuTest, WithoutATrayTheIconStateIsStillKept)
{
    // The test platform has no tray at all, like a session without a tray host.
    ASSERT_FALSE(QSystemTrayIcon::isSystemTrayAvailable());
    build(true);
    EXPECT_TRUE(tray->trayIcon().isVisible());
    workspace->quit(premiere);
    processEvents();
    EXPECT_FALSE(tray->trayIcon().isVisible());
    workspace->launch(premiere);
    processEvents();
    EXPECT_TRUE(tray->trayIcon().isVisible());
}
