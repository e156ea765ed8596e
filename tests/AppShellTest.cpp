#include "App/SingleInstance.h"
#include "App/TessarynHelperApp.h"
#include "App/TrayMenu.h"
#include "Supervision/ServerManager.h"
#include "TestSupport.h"

#include <QAction>
#include <QCoreApplication>
#include <QImage>
#include <QMenu>
#include <QSystemTrayIcon>

#include <gtest/gtest.h>

#include <netinet/in.h>

using namespace std::chrono_literals;
using L = LoginItemStatus;
using S = ServerStatus;

namespace {
const RunningApplication premiere { 7001, "com.adobe.PremierePro.25" };

struct AppShell : ::testing::Test {
    enum Item { header, restart = 2, viewLogs, docs, atLogin = 6 };
    void build(bool withPremiere = true)
    {
        tray.reset(), app.reset();
        ws = std::make_unique<FakeWorkspace>(QList<RunningApplication>(withPremiere, premiere));
        TessarynHelperApp::Services s { clock, *ws, desktop };
        s.loginItem = { [this] { return login; },
                        [this] { // an approval still pending stays so
                            did << "register",
                                login = fails                  ? throw LoginItemError("denied")
                                : login == L::requiresApproval ? login
                                                               : L::enabled;
                        },
                        [this] { did << "unregister", login = L::notRegistered; } };
        s.handleSigterm = sigterm;
        s.exitProcess = [this] { did << "exit"; };
        s.terminateApplication = [this] { did << "quit"; };
        s.makeServerManager = [this](auto thread) {
            return std::make_unique<ServerManager>(
                "/bin/sh", "/dev/null", thread, launcher,
                ServerManager::answerAtOnce([] { return QString("/usr/bin"); }));
        };
        LogCapture log;
        app = std::make_unique<TessarynHelperApp>(std::move(s));
        // The installer's tools run on a worker.
        ASSERT_TRUE(
            waitFor([&] { return clock->runPosted(), !log.messages().filter("PluginInstaller").isEmpty(); }));
        desktop.events.clear();
        tray = std::make_unique<TrayMenu>(*app);
    }
    void premiereGoes()
    {
        ws->quit(premiere), QCoreApplication::processEvents(), clock->runPosted();
    } // and the server
    void premiereComes() { ws->launch(premiere), QCoreApplication::processEvents(); }
    QAction* item(Item index) { return tray->menu().actions().at(index); }
    QString head() { return item(header)->text(); }
    ServerManager& manager() { return app->serverManager(); }

    ScopedHome home;
    std::shared_ptr<VirtualScheduler> clock = std::make_shared<VirtualScheduler>();
    std::shared_ptr<ScriptedLauncher> launcher = std::make_shared<ScriptedLauncher>();
    L login = L::enabled;
    bool fails = false, sigterm = false;
    QStringList did; // to the login item, and the helper's end
    RecordingDesktop desktop;
    std::unique_ptr<FakeWorkspace> ws;
    std::unique_ptr<TessarynHelperApp> app;
    std::unique_ptr<TrayMenu> tray;
};
} // namespace

TEST_F(AppShell, LoginSyncHeaderIconToggle)
{
    writeFile(home.supportFolder() + "/.first-launch-done", "");
    for (const auto& [status, text, registers] : std::vector<std::tuple<L, QString, int>> {
             { L::requiresApproval,
               "requires approval \u2014 enable in System Settings \u2192 General \u2192 Login Items", 0 },
             { L::notFound, "was not enabled \u2014 re-registered", 1 },
             { L::enabled, "already enabled", 0 } }) {
        LogCapture log;
        login = status, did.clear(), build();
        EXPECT_EQ(log.messages().filter("Login item"), QStringList { "Login item " + text });
        EXPECT_EQ(did.count("register"), registers) << text;
    }
    for (const auto& [status, colour, text] : std::vector<std::tuple<S, QString, QString>> {
             { S::restarting(2), "#ffcc00", "Restarting (attempt 2)\u2026" },
             { S::preflightFailed("no node at /x"), "#ff3b30", "Pre-flight failed: no node at /x" },
             { S::running(), "#34c759", "Server running on :9876" },
             { S::stuck(), "#ff3b30", "Server stuck \u2014 repeated crashes" },
             { S::portInUse(), "#ff3b30", "Port 9876 in use" },
             { S::stopped(), "#8e8e93", "Server stopped" },
             { S::idle(), "#8e8e93", "Idle (Premiere not running)" },
             // A lone "&" marks a mnemonic.
             { S::preflightFailed("at /R&D/node"), "#ff3b30", "Pre-flight failed: at /R&&D/node" } }) {
        manager().setStatus(status);
        EXPECT_EQ(tray->trayIcon()->icon().pixmap(64, 64).toImage().pixelColor(8, 32).name(), colour)
            << text; // left of the T
        EXPECT_EQ(head(), text);
    }
    for (const auto& [before, failing, checked] :
         std::vector<std::tuple<L, bool, bool>> { { L::notRegistered, 0, 1 },
                                                  { L::enabled, 0, 0 },
                                                  { L::requiresApproval, 0, 0 },
                                                  { L::notRegistered, 1, 0 },
                                                  { L::notFound, 0, 1 } }) {
        SCOPED_TRACE(int(before));
        login = before, fails = failing, did.clear();
        manager().setStatus(manager().status()); // an outside change shows at the next status, even equal
        ASSERT_EQ(item(atLogin)->isChecked(), before == L::enabled);
        EXPECT_NO_THROW(item(atLogin)->trigger());
        EXPECT_EQ(did, QStringList { before == L::enabled ? "unregister" : "register" });
        EXPECT_EQ(item(atLogin)->isChecked(), checked);
    }
}

TEST_F(AppShell, IconWithPremiereCommandsTroubleLeftAlone)
{
    ASSERT_FALSE(QSystemTrayIcon::isSystemTrayAvailable());
    LogCapture whole;
    build(false);
    EXPECT_FALSE(app->isInserted() || tray->trayIcon()); // built only when first shown
    premiereComes();
    EXPECT_TRUE(tray->trayIcon()->isVisible());
    clock->advance(200ms); // a restart's pause: pid 4000
    LogCapture log;
    item(restart)->trigger();
    EXPECT_EQ(head(), "Server stopped");
    clock->advance(199ms);
    EXPECT_EQ(log.messages(), QStringList { "User-requested restart" });
    clock->advance(1ms);
    EXPECT_EQ(log.messages().last(), "Server spawned (pid 4001)");
    item(viewLogs)->trigger(), item(docs)->trigger();
    EXPECT_EQ(
        desktop.events,
        QStringList({ "open file://" + home.logFolder() + "/", "open https://tessaryn.app/docs/install" }));
    tray->menu().popup(QPoint(10, 10));
    ASSERT_TRUE(waitFor([&] { return tray->menu().isVisible(); }));
    premiereGoes();
    EXPECT_FALSE(tray->menu().isVisible() || tray->trayIcon()->isVisible());
    EXPECT_EQ(head(), "Idle (Premiere not running)");
    for (const S& status :
         { S::portInUse(), S::stuck(), S::preflightFailed("x"), S::restarting(2), S::stopped() }) {
        manager().setStatus(status); // a troubled server is left alone, and shown; a stopped one wakes
        premiereComes(), clock->advance(1s);
        EXPECT_EQ(manager().status(), status == S::stopped() ? S::running() : status);
        EXPECT_TRUE(app->isInserted());
        premiereGoes();
    }
    EXPECT_EQ(launcher->specs.size(), 3u);
    EXPECT_EQ(whole.messages().count("No system tray available \u2014 the status icon cannot be shown"),
              1); // of six launches
}

TEST_F(AppShell, SigtermOrQuitEndOnceServerEnded)
{
    // serverEnds: ms after the request; 0: at its SIGTERM; -1: not before its SIGKILL.
    struct Row {
        bool sigterm;
        int serverEnds, helperEnds;
        bool killable = true;
    };
    for (const Row r : std::vector<Row> { { 1, 0, 500 },
                                          { 1, 1200, 1200 },
                                          { 1, -1, 2000 },
                                          { 1, -1, 2500, 0 },
                                          { 0, 0, 0 },
                                          { 0, 1200, 1200 },
                                          { 0, -1, 2000 } }) {
        SCOPED_TRACE(r.helperEnds);
        sigterm = r.sigterm, build(), did.clear();
        ScriptedProcess& server = launcher->last();
        server.obeysSigterm = !r.serverEnds, server.obeysSigkill = r.killable;
        LogCapture log;
        r.sigterm ? void(::raise(SIGTERM)) : app->quit(); // SIGTERM handled, not fatal
        ASSERT_TRUE(waitFor([&] { return app->isQuitting(); }, 5s));
        ws->quit(premiere), premiereComes(), item(restart)->trigger(); // nothing starts any more
        EXPECT_FALSE(app->isInserted());
        EXPECT_EQ(manager().status(), S::stopped());
        int t = 0;
        for (; t <= 3000; t += 100, clock->advance(100ms)) {
            if (r.serverEnds == t && server.isRunning()) server.end(0);
            if (clock->advance(0ms), !did.isEmpty()) break;
        }
        EXPECT_EQ(t, r.helperEnds);
        EXPECT_EQ(did, QStringList { r.sigterm ? "exit" : "quit" });
        EXPECT_EQ(log.messages().count(QString("SIGKILL sent to pid %1 (SIGTERM ignored)").arg(server.pid())),
                  int(r.serverEnds < 0));
    }
}

TEST_F(AppShell, TakenPortProbedEveryFiveSeconds)
{
    const int holder = ::socket(AF_INET, SOCK_STREAM, 0); // another user's server, say
    const sockaddr_in address { AF_INET, htons(ServerManager::port), { htonl(INADDR_LOOPBACK) }, {} };
    ASSERT_EQ(
        ::bind(holder, reinterpret_cast<const sockaddr*>(&address), sizeof address) | ::listen(holder, 1), 0);
    build();
    LogCapture log;
    clock->advance(10s), ::close(holder);
    clock->advance(4999ms);
    EXPECT_TRUE(launcher->specs.empty());
    clock->advance(201ms); // the look, then a restart's pause
    EXPECT_EQ(log.messages(),
              QStringList({ "Port 9876 is free again \u2014 starting server", "User-requested restart",
                            "Server spawned (pid 4000)" }));
    premiereGoes();
    manager().setStatus(S::portInUse());
    clock->advance(60s); // Premiere is not running: nobody looks
    EXPECT_EQ(launcher->specs.size(), 1u);
}

TEST(OneHelperLock, ASecondIsRefusedWhateverTheSession)
{
    ScopedHome home;
    const QString run = home.path() + "/run";
    QDir().mkpath(run);
    // Runtime folders: none (cron, su -), gone (kept across su), one where no lock can be made.
    for (const auto& [mine, theirs] :
         std::vector<std::pair<QString, QString>> { { run, run },
                                                    { "/proc/gone", "/proc/gone" },
                                                    { run, "" },
                                                    { "", run },
                                                    { run, "/proc/self" } }) {
        SingleInstance first, second;
        ScopedEnv env("XDG_RUNTIME_DIR", QFile::encodeName(mine));
        EXPECT_TRUE(first.acquire() && first.holdsStateLock());
        ScopedEnv other("XDG_RUNTIME_DIR", QFile::encodeName(theirs));
        EXPECT_FALSE(second.acquire()) << mine << " then " << theirs;
    }
}
