// The application object in-process, and the tray icon and its menu over it: the server manager runs
// scripted processes on a virtual clock, with a recording desktop and a login item under the test's
// control.
#include "App/TrayMenu.h"

#include "App/TessarynHelperApp.h"
#include "FakeWorkspace.h"
#include "Foundation/ProcessLauncher.h"
#include "Platform/Desktop.h"
#include "Supervision/ServerManager.h"
#include "ScriptedLauncher.h"
#include "TestSupport.h"

#include <QAction>
#include <QFile>
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

// A login item whose status registering and unregistering change, or fail to change.
struct FakeLoginItem {
    LoginItemStatus status = LoginItemStatus::enabled;
    LoginItemStatus afterRegister = LoginItemStatus::enabled;
    bool registerFails = false;
    QStringList calls;
    int statusReads = 0;
};

// Marks every text it is asked to translate.
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
        services.handleSigterm = handleSigterm;
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
    bool handleSigterm = false;
    int exits = 0;
    int terminations = 0;
};

using AppInProcess = TrayMenuTest;

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
        // A menu takes a lone "&" for a mnemonic marker and a doubled one for the character.
        { ServerStatus::preflightFailed("node binary not found at /R&D/node"), red,
          "Pre-flight failed: node binary not found at /R&&D/node" },
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

// ---- The nine items

TEST_F(TrayMenuTest, NineItemsInOrderTranslatedWithoutShortcutsAndAnUntranslatedInactiveHeader)
{
    MarkingTranslator translator;
    QCoreApplication::installTranslator(&translator);
    build(true);
    QCoreApplication::removeTranslator(&translator);
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
        EXPECT_EQ(actions[index]->text(), "\u00AB" + label + "\u00BB");
        EXPECT_TRUE(actions[index]->isEnabled()) << index;
        EXPECT_EQ(actions[index]->isCheckable(), index == launchAtLogin) << index;
    }
    EXPECT_EQ(actions[header]->text(), "Server running on :9876");
    EXPECT_FALSE(actions[header]->isSeparator());
    EXPECT_FALSE(actions[header]->isEnabled());
    for (QAction* action : actions)
        EXPECT_TRUE(action->shortcuts().isEmpty()) << action->text().toStdString();
    EXPECT_EQ(&tray->menu(), tray->trayIcon().contextMenu());
}

// ---- Launch at Login

TEST_F(TrayMenuTest, TheToggleRegistersOrUnregistersIgnoresAFailureAndShowsTheOutcome)
{
    struct Case {
        LoginItemStatus before;
        LoginItemStatus afterRegister;
        bool registerFails;
        QString call;
        bool checkedAfter;
    };
    const std::vector<Case> cases {
        { LoginItemStatus::notRegistered, LoginItemStatus::enabled, false, "register", true },
        { LoginItemStatus::enabled, LoginItemStatus::enabled, false, "unregister", false },
        { LoginItemStatus::requiresApproval, LoginItemStatus::requiresApproval, false, "register", false },
        { LoginItemStatus::notRegistered, LoginItemStatus::enabled, true, "register", false },
        { LoginItemStatus::notFound, LoginItemStatus::enabled, false, "register", true },
    };
    build(true);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.call.toStdString() + " from " + std::to_string(int(c.before)));
        login->status = c.before;
        login->afterRegister = c.afterRegister;
        login->registerFails = c.registerFails;
        // A change made outside the helper shows at the next change of the server status, equal or not.
        manager().setStatus(manager().status());
        ASSERT_EQ(item(launchAtLogin)->isChecked(), c.before == LoginItemStatus::enabled);
        login->calls.clear();
        const int reads = login->statusReads;
        EXPECT_NO_THROW(item(launchAtLogin)->trigger());
        EXPECT_EQ(login->calls, QStringList { c.call });
        EXPECT_EQ(login->statusReads, reads + 1);
        EXPECT_EQ(item(launchAtLogin)->isChecked(), c.checkedAfter);
        EXPECT_EQ(app->loginItemStatus(), login->status);
    }
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

TEST_F(TrayMenuTest, ViewLogsAndOpenDocsOpenTheirAddressesAndLogNothing)
{
    build(true);
    LogCapture log;
    item(viewLogs)->trigger();
    item(docs)->trigger();
    EXPECT_EQ(desktop.opened, (QList<QUrl> { QUrl("file://" + home.path() + "/Library/Logs/Tessaryn/"),
                                             QUrl("https://tessaryn.app/docs/install") }));
    EXPECT_TRUE(log.messages().isEmpty());
}

TEST_F(TrayMenuTest, QuitStopsTheServerAsStoppedAndEndsTheApplicationAtOnce)
{
    build(true);
    LogCapture log;
    item(quit)->trigger();
    EXPECT_EQ(launcher->processes[0]->receivedSignals(), std::vector<int> { SIGTERM });
    EXPECT_EQ(manager().status(), ServerStatus::stopped());
    scheduler->runPosted(); // the server's end
    EXPECT_EQ(terminations, 1);
    EXPECT_EQ(exits, 0);
    EXPECT_TRUE(log.messages().isEmpty());
    scheduler->advance(10s); // no restart follows
    EXPECT_EQ(launcher->processes.size(), 1u);
}

// ---- Presence with Premiere Pro

TEST_F(TrayMenuTest, WithoutPremiereTheIconIsAbsentAndGreyUntilALaunchEvenWithoutATray)
{
    // The test platform has no tray at all, like a session without a tray host.
    ASSERT_FALSE(QSystemTrayIcon::isSystemTrayAvailable());
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

// ---- The application's own reactions

TEST_F(AppInProcess, LoginItemSyncSaysOneOfItsThreeLines)
{
    writeFile(home.supportFolder() + "/.first-launch-done", "");
    for (const auto& [status, line, registers] : std::vector<std::tuple<LoginItemStatus, QString, bool>> {
             { LoginItemStatus::requiresApproval,
               "Login item requires approval \u2014 enable in System Settings \u2192 General \u2192 Login Items", false },
             { LoginItemStatus::notFound, "Login item was not enabled \u2014 re-registered", true },
             { LoginItemStatus::enabled, "Login item already enabled", false } }) {
        tray.reset();
        app.reset();
        login->status = status;
        login->afterRegister = LoginItemStatus::enabled;
        LogCapture log;
        build(false);
        EXPECT_EQ(log.messages().value(0), line);
        EXPECT_EQ(login->status == LoginItemStatus::enabled, registers || status == LoginItemStatus::enabled) << line.toStdString();
    }
}

TEST_F(AppInProcess, PremiereLaunchLeavesATroubledServerAlone)
{
    build(false);
    for (const ServerStatus& status : { ServerStatus::portInUse(), ServerStatus::stuck(),
                                        ServerStatus::preflightFailed("x"), ServerStatus::restarting(2) }) {
        manager().setStatus(status);
        LogCapture log;
        workspace->launch(premiere);
        processEvents();
        scheduler->advance(1s);
        EXPECT_EQ(manager().status(), status);
        EXPECT_FALSE(log.messages().contains("Premiere launched \u2014 waking server"));
        EXPECT_TRUE(app->isInserted()); // shown in that status's colour
        workspace->quit(premiere);
        processEvents();
        scheduler->runPosted();
    }
    EXPECT_TRUE(launcher->specs.empty());
}

TEST_F(AppInProcess, SigtermAndQuitEndTheHelperOnceTheServerHasEndedWithinTheBounds)
{
    using ms = std::chrono::milliseconds;
    struct Case { bool sigterm; std::optional<ms> serverEndsAt; bool obeysSigkill; ms helperEndsAt; }; // no end: SIGTERM ignored
    for (const Case& c : std::vector<Case> { { true, 0ms, true, 500ms }, { true, 1200ms, true, 1200ms },
                                             { true, {}, true, 2000ms }, { true, {}, false, 2500ms }, { false, 0ms, true, 0ms },
                                             { false, 1200ms, true, 1200ms }, { false, {}, true, 2000ms } }) {
        SCOPED_TRACE(std::to_string(c.sigterm) + " " + std::to_string(c.helperEndsAt.count()));
        tray.reset();
        app.reset();
        exits = terminations = 0;
        handleSigterm = c.sigterm;
        build(true);
        ScriptedProcess& server = launcher->last();
        server.obeysSigterm = c.serverEndsAt == 0ms;
        server.obeysSigkill = c.obeysSigkill;
        LogCapture log;
        if (c.sigterm) {
            ASSERT_EQ(::raise(SIGTERM), 0); // handled, not fatal
            ASSERT_TRUE(waitFor([&] { return log.messages().contains("SIGTERM received \u2014 graceful shutdown"); }, 5s));
        } else {
            app->quit();
        }
        EXPECT_EQ(manager().status(), ServerStatus::stopped());
        std::optional<ms> endedAt;
        for (ms t = 0ms; t <= 3s && !endedAt; t += 100ms) {
            if (c.serverEndsAt == t && server.isRunning())
                server.end(0);
            scheduler->advance(0ms);
            if (exits + terminations > 0)
                endedAt = t;
            scheduler->advance(100ms);
        }
        EXPECT_EQ(endedAt, c.helperEndsAt);
        EXPECT_EQ(exits, c.sigterm ? 1 : 0);
        EXPECT_EQ(terminations, c.sigterm ? 0 : 1);
        EXPECT_EQ(log.messages().filter("SIGKILL sent to pid ").size(), c.serverEndsAt ? 0 : 1);
    }
}
