// The application object and its tray icon and menu, in-process: the server manager runs scripted
// processes on a virtual clock, with a recording desktop and a login item under the test's control.
#include "App/SingleInstance.h"
#include "App/TessarynHelperApp.h"
#include "App/TrayMenu.h"
#include "Supervision/ServerManager.h"
#include "TestSupport.h"

#include <QAction>
#include <QCoreApplication>
#include <QDir>
#include <QImage>
#include <QMenu>
#include <QSystemTrayIcon>

#include <gtest/gtest.h>

#include <netinet/in.h>

using namespace std::chrono_literals;

namespace {
const RunningApplication premiere { 7001, "com.adobe.PremierePro.25" };

class AppShell : public ::testing::Test {
protected:
    enum Item { header, restart = 2, viewLogs, docs, launchAtLogin = 6 };
    void build(bool premiereRunning)
    {
        tray.reset(), app.reset();
        workspace = std::make_unique<FakeWorkspace>(premiereRunning ? QList { premiere } : QList<RunningApplication> {});
        TessarynHelperApp::Services services { scheduler, *workspace, desktop };
        services.loginItem.status = [this] { return loginStatus; };
        services.loginItem.registerApp = [this] {
            loginCalls << "register";
            loginStatus = registerFails ? throw LoginItemError("LoginItem.register failed: Permission denied") : afterRegister;
        };
        services.loginItem.unregisterApp = [this] { loginCalls << "unregister", loginStatus = LoginItemStatus::notRegistered; };
        services.handleSigterm = handleSigterm;
        services.exitProcess = [this] { ++exits; };
        services.terminateApplication = [this] { ++terminations; };
        services.makeServerManager = [this](std::shared_ptr<Scheduler> mainThread) { // a node and a script that exist
            return std::make_unique<ServerManager>("/bin/sh", "/dev/null", mainThread, launcher,
                                                   ServerManager::answerAtOnce([] { return QString("/usr/bin"); }));
        };
        LogCapture log;
        app = std::make_unique<TessarynHelperApp>(std::move(services));
        // The plugin installer runs to its outcome (its tools on a worker) and is forgotten.
        ASSERT_TRUE(waitFor([&] { return scheduler->runPosted(), !log.messages().filter("PluginInstaller").isEmpty(); }));
        desktop.events.clear(), loginCalls.clear();
        tray = std::make_unique<TrayMenu>(*app);
    }
    QAction* item(Item index) { return tray->menu().actions().at(index); }
    ServerManager& manager() { return app->serverManager(); }

    ScopedHome home;
    std::shared_ptr<VirtualScheduler> scheduler = std::make_shared<VirtualScheduler>();
    std::shared_ptr<ScriptedLauncher> launcher = std::make_shared<ScriptedLauncher>();
    LoginItemStatus loginStatus = LoginItemStatus::enabled, afterRegister = LoginItemStatus::enabled;
    bool registerFails = false, handleSigterm = false;
    QStringList loginCalls;
    int exits = 0, terminations = 0;
    RecordingDesktop desktop;
    std::unique_ptr<FakeWorkspace> workspace;
    std::unique_ptr<TessarynHelperApp> app;
    std::unique_ptr<TrayMenu> tray;
};
} // namespace

TEST_F(AppShell, TheLoginItemSyncTheHeaderAndIconOfEachStatusAndTheLoginToggle)
{
    writeFile(home.supportFolder() + "/.first-launch-done", "");
    for (const auto& [status, line, enabledAfter] : std::vector<std::tuple<LoginItemStatus, QString, bool>> {
             { LoginItemStatus::requiresApproval,
               "Login item requires approval \u2014 enable in System Settings \u2192 General \u2192 Login Items", false },
             { LoginItemStatus::notFound, "Login item was not enabled \u2014 re-registered", true },
             { LoginItemStatus::enabled, "Login item already enabled", true } }) {
        loginStatus = status;
        LogCapture log;
        build(true);
        EXPECT_EQ(log.messages().filter("Login item"), QStringList { line });
        EXPECT_EQ(loginStatus == LoginItemStatus::enabled, enabledAfter) << line;
    }
    const QColor yellow(0xFF, 0xCC, 0x00), red(0xFF, 0x3B, 0x30), grey(0x8E, 0x8E, 0x93);
    for (const auto& [status, colour, text] : std::vector<std::tuple<ServerStatus, QColor, QString>> {
             { ServerStatus::restarting(2), yellow, "Restarting (attempt 2)\u2026" },
             { ServerStatus::preflightFailed("no node at /x"), red, "Pre-flight failed: no node at /x" },
             { ServerStatus::running(), QColor(0x34, 0xC7, 0x59), "Server running on :9876" },
             { ServerStatus::stuck(), red, "Server stuck \u2014 repeated crashes" },
             { ServerStatus::portInUse(), red, "Port 9876 in use" },
             { ServerStatus::stopped(), grey, "Server stopped" }, { ServerStatus::idle(), grey, "Idle (Premiere not running)" },
             // A menu takes a lone "&" for a mnemonic marker and a doubled one for the character.
             { ServerStatus::preflightFailed("at /R&D/node"), red, "Pre-flight failed: at /R&&D/node" } }) {
        manager().setStatus(status);
        EXPECT_EQ(tray->trayIcon()->icon().pixmap(64, 64).toImage().pixelColor(8, 32), colour) << text; // left of the letter
        EXPECT_EQ(item(header)->text(), text);
    }
    using Row = std::tuple<LoginItemStatus, LoginItemStatus, bool, QString, bool>;
    for (const auto& [before, after, fails, call, checked] : std::vector<Row> {
             { LoginItemStatus::notRegistered, LoginItemStatus::enabled, false, "register", true },
             { LoginItemStatus::enabled, LoginItemStatus::enabled, false, "unregister", false },
             { LoginItemStatus::requiresApproval, LoginItemStatus::requiresApproval, false, "register", false },
             { LoginItemStatus::notRegistered, LoginItemStatus::enabled, true, "register", false },
             { LoginItemStatus::notFound, LoginItemStatus::enabled, false, "register", true } }) {
        SCOPED_TRACE(int(before));
        loginStatus = before, afterRegister = after, registerFails = fails;
        manager().setStatus(manager().status()); // a change made outside shows at the next status, equal or not
        ASSERT_EQ(item(launchAtLogin)->isChecked(), before == LoginItemStatus::enabled);
        loginCalls.clear();
        EXPECT_NO_THROW(item(launchAtLogin)->trigger());
        EXPECT_EQ(loginCalls, QStringList { call });
        EXPECT_EQ(item(launchAtLogin)->isChecked(), checked);
    }
}

TEST_F(AppShell, TheIconComesWithPremiereItsCommandsWorkItsQuitClosesAnOpenMenuAndATroubledServerIsLeftAlone)
{
    ASSERT_FALSE(QSystemTrayIcon::isSystemTrayAvailable()); // like a session without a tray host
    LogCapture whole;
    build(false);
    EXPECT_FALSE(app->isInserted() || tray->trayIcon()); // built only when first shown
    workspace->launch(premiere), QCoreApplication::processEvents();
    EXPECT_TRUE(tray->trayIcon()->isVisible());
    scheduler->advance(200ms); // a restart's pause
    EXPECT_EQ(item(header)->text(), "Server running on :9876");
    LogCapture log;
    item(restart)->trigger();
    EXPECT_EQ(item(header)->text(), "Server stopped");
    scheduler->advance(199ms);
    EXPECT_EQ(log.messages(), QStringList { "User-requested restart" });
    scheduler->advance(1ms);
    EXPECT_EQ(log.messages().last(), "Server spawned (pid 4001)");
    item(viewLogs)->trigger(), item(docs)->trigger();
    EXPECT_EQ(desktop.events,
              QStringList({ "open file://" + home.logFolder() + "/", "open https://tessaryn.app/docs/install" }));
    tray->menu().popup(QPoint(10, 10));
    ASSERT_TRUE(waitFor([&] { return tray->menu().isVisible(); }));
    workspace->quit(premiere), QCoreApplication::processEvents(), scheduler->runPosted(); // the server's end
    EXPECT_FALSE(tray->menu().isVisible() || tray->trayIcon()->isVisible());
    EXPECT_EQ(item(header)->text(), "Idle (Premiere not running)");
    for (const ServerStatus& status : { ServerStatus::portInUse(), ServerStatus::stuck(), ServerStatus::preflightFailed("x"),
                                        ServerStatus::restarting(2), ServerStatus::stopped() }) {
        manager().setStatus(status); // a troubled server is left alone, and shown; a stopped one wakes
        workspace->launch(premiere), QCoreApplication::processEvents(), scheduler->advance(1s);
        EXPECT_EQ(manager().status(), status == ServerStatus::stopped() ? ServerStatus::running() : status);
        EXPECT_TRUE(app->isInserted());
        workspace->quit(premiere), QCoreApplication::processEvents(), scheduler->runPosted();
    }
    EXPECT_EQ(launcher->specs.size(), 3u);
    EXPECT_EQ(whole.messages().count("No system tray available \u2014 the status icon cannot be shown"), 1); // of six launches
}

TEST_F(AppShell, SigtermAndQuitEndTheHelperOnceTheServerHasEndedWithinTheBounds)
{
    using ms = std::chrono::milliseconds;
    struct Case { bool sigterm; std::optional<ms> serverEndsAt; bool obeysSigkill; ms helperEndsAt; }; // no end: SIGTERM ignored
    for (const Case& c : std::vector<Case> { { true, 0ms, true, 500ms }, { true, 1200ms, true, 1200ms },
                                             { true, {}, true, 2000ms }, { true, {}, false, 2500ms }, { false, 0ms, true, 0ms },
                                             { false, 1200ms, true, 1200ms }, { false, {}, true, 2000ms } }) {
        SCOPED_TRACE(std::to_string(c.sigterm) + " " + std::to_string(c.helperEndsAt.count()));
        exits = terminations = 0, handleSigterm = c.sigterm;
        build(true);
        ScriptedProcess& server = launcher->last();
        server.obeysSigterm = c.serverEndsAt == 0ms;
        server.obeysSigkill = c.obeysSigkill;
        LogCapture log;
        c.sigterm ? void(::raise(SIGTERM)) : app->quit(); // SIGTERM handled, not fatal
        ASSERT_TRUE(waitFor([&] { return app->isQuitting(); }, 5s));
        workspace->quit(premiere), workspace->launch(premiere), item(restart)->trigger(); // nothing starts any more
        QCoreApplication::processEvents();
        EXPECT_EQ(manager().status(), ServerStatus::stopped());
        std::optional<ms> endedAt;
        for (ms t = 0ms; t <= 3s && !endedAt; t += 100ms) {
            if (c.serverEndsAt == t && server.isRunning()) server.end(0);
            scheduler->advance(0ms);
            if (exits + terminations > 0) endedAt = t;
            scheduler->advance(100ms);
        }
        EXPECT_EQ(endedAt, c.helperEndsAt);
        EXPECT_EQ(std::pair(exits, terminations), c.sigterm ? std::pair(1, 0) : std::pair(0, 1));
        const QString kill = QString("SIGKILL sent to pid %1 (SIGTERM ignored)").arg(server.pid());
        EXPECT_EQ(log.messages().filter(kill).size(), c.serverEndsAt ? 0 : 1);
    }
}

TEST_F(AppShell, WhilePremiereRunsATakenPortIsLookedAtEveryFiveSecondsAndAQuitWhileEndingStillHidesTheIcon)
{
    const int holder = ::socket(AF_INET, SOCK_STREAM, 0); // another user's server, say
    const sockaddr_in address { AF_INET, htons(ServerManager::port), { htonl(INADDR_LOOPBACK) }, {} };
    ASSERT_EQ(::bind(holder, reinterpret_cast<const sockaddr*>(&address), sizeof address) | ::listen(holder, 1), 0);
    build(true);
    LogCapture log;
    scheduler->advance(10s), ::close(holder);
    scheduler->advance(4999ms);
    EXPECT_TRUE(launcher->specs.empty());
    scheduler->advance(201ms); // the look, then a restart's pause
    EXPECT_EQ(log.messages(), QStringList({ "Port 9876 is free again \u2014 starting server", "User-requested restart",
                                            "Server spawned (pid 4000)" }));
    workspace->quit(premiere), QCoreApplication::processEvents(), scheduler->runPosted(); // then the server's end
    manager().setStatus(ServerStatus::portInUse());
    scheduler->advance(60s); // Premiere is not running: nobody looks
    EXPECT_EQ(launcher->specs.size(), 1u);
    build(true), app->quit(), workspace->quit(premiere), QCoreApplication::processEvents(); // a quit while ending
    EXPECT_EQ(log.messages().filter("Premiere quit").size(), 2);
    EXPECT_FALSE(app->isInserted() || tray->trayIcon()->isVisible());
}

TEST(OneHelperLock, ASecondHelperIsRefusedWhateverTheSessionOfEither)
{
    ScopedHome home;
    const QString run = home.path() + "/run";
    QDir().mkpath(run);
    // Runtime folders: none (cron, su -), one not there (kept across su), one where no lock can be made.
    for (const auto& [mine, theirs] : std::vector<std::pair<QString, QString>> {
             { run, run }, { "/proc/gone", "/proc/gone" }, { run, "" }, { "", run }, { run, "/proc/self" } }) {
        SingleInstance first, second;
        ScopedEnv env("XDG_RUNTIME_DIR", QFile::encodeName(mine));
        EXPECT_TRUE(first.acquire() && first.holdsStateLock());
        ScopedEnv other("XDG_RUNTIME_DIR", QFile::encodeName(theirs));
        EXPECT_FALSE(second.acquire()) << mine.toStdString() << " then " << theirs.toStdString();
    }
}
