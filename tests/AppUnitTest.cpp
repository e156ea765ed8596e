// The application shell in-process: a fake workspace, a recording desktop, a scripted login item
// and scripted server processes, on a virtual clock.
#include "App/TessarynHelperApp.h"

#include "FakeWorkspace.h"
#include "PluginTestSupport.h"
#include "Premiere/PremiereWatcher.h"
#include "ScriptedLauncher.h"
#include "Supervision/ServerManager.h"
#include "TestSupport.h"

#include <QCoreApplication>
#include <QFile>

#include <gtest/gtest.h>

#include <csignal>

using namespace std::chrono_literals;

namespace {

const RunningApplication premiere { 7001, "com.adobe.PremierePro.25" };

class AppUnitTest : public ::testing::Test {
protected:
    AppUnitTest()
    {
        writeFile(home.path() + "/node", "#!/bin/sh\n", true);
        writeFile(home.path() + "/server.js", "");
    }

    std::unique_ptr<TessarynHelperApp> makeApp(bool handleSigterm = false)
    {
        TessarynHelperApp::Services services(scheduler, workspace, desktop);
        services.handleSigterm = handleSigterm;
        services.loginItem.status = [this] { return loginStatus; };
        services.loginItem.registerApp = [this] {
            ++registrations;
            if (registrationFails)
                throw LoginItemError("refused");
            loginStatus = LoginItemStatus::enabled;
        };
        services.loginItem.unregisterApp = [this] { loginStatus = LoginItemStatus::notRegistered; };
        services.exitProcess = [this] { ++exits; };
        services.terminateApplication = [this] { ++terminations; };
        services.makeServerManager = [this](std::shared_ptr<Scheduler> mainThread) {
            return std::make_unique<ServerManager>(home.path() + "/node", home.path() + "/server.js", mainThread,
                                                   launcher, [] { return QStringLiteral("/usr/bin"); });
        };
        return std::make_unique<TessarynHelperApp>(std::move(services));
    }
    // Runs what the event loop and the main thread have queued: the Premiere reaction is queued.
    void settle()
    {
        QCoreApplication::processEvents();
        scheduler->runPosted();
    }

    ScopedHome home;
    std::shared_ptr<VirtualScheduler> scheduler = std::make_shared<VirtualScheduler>();
    std::shared_ptr<ScriptedLauncher> launcher = std::make_shared<ScriptedLauncher>();
    FakeWorkspace workspace;
    RecordingDesktop desktop;
    LoginItemStatus loginStatus = LoginItemStatus::notRegistered;
    bool registrationFails = false;
    int registrations = 0;
    int exits = 0;
    int terminations = 0;
};

} // namespace

TEST_F(AppUnitTest, AFirstStartRegistersTheLoginItemOnceAndStaysIdle)
{
    LogCapture log;
    auto app = makeApp();
    EXPECT_EQ(app->loginItemStatus(), LoginItemStatus::enabled); // re-read with the boot's status
    EXPECT_EQ(registrations, 1);
    EXPECT_EQ(log.messages(), QStringList({ "First launch \u2014 login item registered, marker created",
                                            "Login item already enabled",
                                            "Helper boot \u2014 Premiere closed, staying idle" }));
    EXPECT_EQ(app->serverManager().status(), ServerStatus::idle());
    EXPECT_FALSE(app->isInserted());
    EXPECT_TRUE(launcher->specs.empty());
}

TEST_F(AppUnitTest, LoginItemSyncSaysOneOfItsThreeLines)
{
    writeFile(home.supportFolder() + "/.first-launch-done", "");
    {
        loginStatus = LoginItemStatus::requiresApproval;
        LogCapture log;
        makeApp();
        EXPECT_EQ(log.messages().value(0), "Login item requires approval \u2014 enable in System Settings "
                                           "\u2192 General \u2192 Login Items");
        EXPECT_EQ(registrations, 0);
    }
    {
        loginStatus = LoginItemStatus::notFound;
        registrationFails = true;
        LogCapture log;
        makeApp();
        EXPECT_EQ(log.messages().value(0), "Login item was not enabled \u2014 re-registered");
        EXPECT_EQ(registrations, 1);
    }
}

TEST_F(AppUnitTest, PremiereLaunchWakesAnIdleServerAndQuitPutsItToRest)
{
    auto app = makeApp();
    std::vector<bool> inserted;
    QObject::connect(app.get(), &TessarynHelperApp::isInsertedChanged, [&](bool value) { inserted.push_back(value); });
    settle(); // the queued install flow
    LogCapture log;
    workspace.launch(premiere);
    settle();
    EXPECT_TRUE(app->isInserted());
    EXPECT_EQ(log.messages(), QStringList({ "PremiereWatcher: isPremiereRunning = true",
                                            "Premiere launched \u2014 waking server", "User-requested restart" }));
    scheduler->advance(200ms);
    EXPECT_EQ(app->serverManager().status(), ServerStatus::running());

    workspace.quit(premiere);
    settle();
    EXPECT_EQ(app->serverManager().status(), ServerStatus::idle());
    EXPECT_EQ(launcher->last().receivedSignals(), std::vector<int> { SIGTERM });
    EXPECT_FALSE(app->isInserted());
    EXPECT_EQ(inserted, (std::vector<bool> { true, false }));
    EXPECT_TRUE(log.messages().contains("Premiere quit \u2014 stopping server, hiding icon"));
}

TEST_F(AppUnitTest, PremiereLaunchLeavesATroubledServerAlone)
{
    auto app = makeApp();
    for (const ServerStatus& status : { ServerStatus::portInUse(), ServerStatus::stuck(),
                                        ServerStatus::preflightFailed("x"), ServerStatus::restarting(2) }) {
        app->serverManager().setStatus(status);
        LogCapture log;
        workspace.launch(premiere);
        settle();
        scheduler->advance(1s);
        EXPECT_EQ(app->serverManager().status(), status);
        EXPECT_FALSE(log.messages().contains("Premiere launched \u2014 waking server"));
        EXPECT_TRUE(app->isInserted()); // shown in that status's colour
        workspace.quit(premiere);
        settle();
    }
    EXPECT_TRUE(launcher->specs.empty());
}

TEST_F(AppUnitTest, AStartWithPremiereRunningStartsTheServerAndShowsTheIcon)
{
    workspace.launch(premiere);
    LogCapture log;
    auto app = makeApp();
    EXPECT_EQ(log.messages().value(0), "PremiereWatcher: isPremiereRunning = true");
    EXPECT_FALSE(log.messages().contains("Helper boot \u2014 Premiere closed, staying idle"));
    EXPECT_EQ(app->serverManager().status(), ServerStatus::running());
    EXPECT_TRUE(app->isInserted());
}

TEST_F(AppUnitTest, SigtermStopsTheServerAndExitsHalfASecondLater)
{
    workspace.launch(premiere);
    auto app = makeApp(true);
    LogCapture log;
    ASSERT_EQ(::raise(SIGTERM), 0); // handled, not fatal
    ASSERT_TRUE(waitFor([&] { return log.messages().contains("SIGTERM received \u2014 graceful shutdown"); }, 5s));
    EXPECT_EQ(app->serverManager().status(), ServerStatus::stopped());
    EXPECT_EQ(launcher->last().receivedSignals(), std::vector<int> { SIGTERM });

    scheduler->advance(300ms);
    ::raise(SIGTERM); // a second one within the half second: its own line, stop and exit
    ASSERT_TRUE(waitFor([&] { return log.messages().count("SIGTERM received \u2014 graceful shutdown") == 2; }, 5s));
    scheduler->advance(199ms);
    EXPECT_EQ(exits, 0);
    scheduler->advance(1ms);
    EXPECT_EQ(exits, 1);
    scheduler->advance(300ms);
    EXPECT_EQ(exits, 2);
}

TEST_F(AppUnitTest, ChangesOfTheServerStatusReReadTheLoginItem)
{
    auto app = makeApp();
    EXPECT_EQ(app->loginItemStatus(), LoginItemStatus::enabled);
    loginStatus = LoginItemStatus::notRegistered; // switched off outside the helper
    EXPECT_EQ(app->loginItemStatus(), LoginItemStatus::enabled);
    app->serverManager().setStatus(ServerStatus::stopped());
    EXPECT_EQ(app->loginItemStatus(), LoginItemStatus::notRegistered);
    loginStatus = LoginItemStatus::enabled;
    app->serverManager().setStatus(ServerStatus::stopped()); // an unchanged status is a change too
    EXPECT_EQ(app->loginItemStatus(), LoginItemStatus::enabled);
}
