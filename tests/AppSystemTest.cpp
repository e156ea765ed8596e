// The real tessaryn-helper, started as a user would, headless, under a throw-away HOME and
// XDG_CONFIG_HOME, watched through its helper.log.
#include "RealProcesses.h"
#include "TestSupport.h"

#include <QDir>
#include <QFileInfo>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <csignal>

using namespace std::chrono_literals;

namespace {

const QString buildHelperPath = QStringLiteral(TESSARYN_BUILD_DIR "/bin/tessaryn-helper");

class AppSystemTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(QFileInfo(buildHelperPath).isExecutable()) << buildHelperPath.toStdString(); }
    QTemporaryDir home;
    QTemporaryDir configHome;
    QString autostartEntry() const { return configHome.path() + "/autostart/app.marovant.tessaryn-helper.desktop"; }
};

// The lines written during start-up: everything up to the boot decision.
QStringList startupLines(const QStringList& messages)
{
    const int boot = messages.indexOf("Helper boot \u2014 Premiere closed, staying idle");
    return boot < 0 ? messages : messages.mid(0, boot + 1);
}

} // namespace

TEST_F(AppSystemTest, AFirstStartRegistersAndStaysIdleAndASecondFindsTheLoginItemEnabled)
{
    {
        HelperRun helper(home.path(), configHome.path());
        ASSERT_TRUE(helper.waitForMessage("Helper boot \u2014 Premiere closed, staying idle"));
        ASSERT_TRUE(waitFor([&] { return !helper.messages().filter("PluginInstaller: ").isEmpty(); }));

        const QStringList messages = helper.messages();
        EXPECT_EQ(startupLines(messages),
                  QStringList({ "First launch \u2014 login item registered, marker created", "Login item already enabled",
                                "Helper boot \u2014 Premiere closed, staying idle" }));
        // The installer runs once the event loop turns, after the start-up.
        EXPECT_TRUE(messages.mid(3).first().startsWith("PluginInstaller: ")) << messages.join('\n').toStdString();
        EXPECT_TRUE(QFileInfo::exists(home.path() + "/Library/Application Support/Tessaryn/.first-launch-done"));
        EXPECT_TRUE(QFileInfo::exists(autostartEntry()));
        EXPECT_EQ(helper.terminate(), 0);
    }
    QFile::remove(home.path() + "/Library/Logs/Tessaryn/helper.log");
    HelperRun second(home.path(), configHome.path());
    ASSERT_TRUE(second.waitForMessage("Helper boot \u2014 Premiere closed, staying idle"));
    EXPECT_EQ(startupLines(second.messages()),
              QStringList({ "Login item already enabled", "Helper boot \u2014 Premiere closed, staying idle" }));
    EXPECT_EQ(second.terminate(), 0);
}

TEST_F(AppSystemTest, AnUnwritableLoginItemFolderIsLoggedAndTheStartGoesOn)
{
    QFile blocker(configHome.path() + "/autostart");
    ASSERT_TRUE(blocker.open(QIODevice::WriteOnly)); // a file where the folder should be
    blocker.close();
    HelperRun helper(home.path(), configHome.path());
    ASSERT_TRUE(helper.waitForMessage("Helper boot \u2014 Premiere closed, staying idle"));
    const QStringList startup = startupLines(helper.messages());
    ASSERT_EQ(startup.size(), 5) << startup.join('\n').toStdString();
    EXPECT_TRUE(startup[0].startsWith("LoginItem.register failed: "));
    EXPECT_EQ(startup[1], "First launch \u2014 login item registered, marker created");
    EXPECT_TRUE(startup[2].startsWith("LoginItem.register failed: "));
    EXPECT_EQ(startup[3], "Login item was not enabled \u2014 re-registered");
    EXPECT_EQ(helper.terminate(), 0);
}

TEST_F(AppSystemTest, PremiereLaunchWakesTheServerAndItsQuitStopsIt)
{
    HelperRun helper(home.path(), configHome.path());
    ASSERT_TRUE(helper.waitForMessage("Helper boot \u2014 Premiere closed, staying idle"));
    auto premiere = std::make_unique<PremiereStandIn>();
    ASSERT_TRUE(helper.waitForMessage("PremiereWatcher: isPremiereRunning = true", 5s));
    ASSERT_TRUE(waitFor([&] { return !helper.messages().filter("Server spawned (pid ").isEmpty(); }));
    const QStringList messages = helper.messages();
    const int watcher = messages.indexOf("PremiereWatcher: isPremiereRunning = true");
    EXPECT_EQ(messages.mid(watcher, 3), QStringList({ "PremiereWatcher: isPremiereRunning = true",
                                                      "Premiere launched \u2014 waking server",
                                                      "User-requested restart" }));
    EXPECT_TRUE(waitFor(healthOk));

    const pid_t server = helper.serverPid();
    premiere->quit();
    ASSERT_TRUE(helper.waitForMessage("PremiereWatcher: isPremiereRunning = false", 5s));
    EXPECT_TRUE(helper.waitForMessage("Premiere quit \u2014 stopping server, hiding icon"));
    EXPECT_TRUE(waitFor([&] { return !processAlive(server); }, 5s));
    EXPECT_EQ(helper.terminate(), 0);
}

TEST_F(AppSystemTest, AStartWithPremiereRunningStartsTheServerAtOnceAndSigtermStopsIt)
{
    PremiereStandIn premiere;
    HelperRun helper(home.path(), configHome.path());
    ASSERT_TRUE(waitFor([&] { return helper.serverPid() != 0; }));
    const QStringList messages = helper.messages();
    EXPECT_EQ(messages.value(0), "PremiereWatcher: isPremiereRunning = true");
    EXPECT_FALSE(messages.contains("Helper boot \u2014 Premiere closed, staying idle"));
    EXPECT_FALSE(messages.contains("User-requested restart"));
    ASSERT_TRUE(waitFor(healthOk));
    const pid_t server = helper.serverPid();

    const auto sent = std::chrono::steady_clock::now();
    EXPECT_EQ(helper.terminate(), 0);
    EXPECT_LT(std::chrono::steady_clock::now() - sent, 1500ms);
    EXPECT_TRUE(helper.messages().contains("SIGTERM received \u2014 graceful shutdown"));
    EXPECT_TRUE(waitFor([&] { return !processAlive(server); }, 3s)) << "the server was left behind";
}

TEST_F(AppSystemTest, AnInstalledHelperRunsTheSameAsTheBuiltOne)
{
    QTemporaryDir prefix;
    ProcessSpec install;
    install.program = TESSARYN_CMAKE_COMMAND;
    install.arguments = { "--install", TESSARYN_BUILD_DIR, "--prefix", prefix.path() };
    ASSERT_EQ(ChildProcess::run(install, 120s).terminationStatus, 0);
    for (const char* file : { "/bin/tessaryn-helper", "/share/tessaryn-helper/node",
                              "/share/tessaryn-helper/ai-server/server.js", "/share/tessaryn-helper/Tessaryn.ccx",
                              "/share/applications/app.marovant.tessaryn-helper.desktop" })
        EXPECT_TRUE(QFileInfo::exists(prefix.path() + file)) << file;

    PremiereStandIn premiere;
    HelperRun::Options installed;
    installed.executable = prefix.path() + "/bin/tessaryn-helper";
    HelperRun helper(home.path(), configHome.path(), installed);
    ASSERT_TRUE(waitFor([&] { return helper.serverPid() != 0; }));
    EXPECT_TRUE(waitFor(healthOk));
    // The installer finds the installed package, and the login item names the installed helper.
    ASSERT_TRUE(waitFor([&] { return !helper.messages().filter("PluginInstaller: ").isEmpty(); }));
    EXPECT_FALSE(helper.messages().filter("PluginInstaller: ").first().contains("no bundled Tessaryn.ccx"));
    EXPECT_TRUE(readFile(autostartEntry()).contains(QFile::encodeName(prefix.path() + "/bin/tessaryn-helper")));
    EXPECT_EQ(helper.terminate(), 0);
}

TEST_F(AppSystemTest, AnUnreachableDisplayLeavesTheHelperRunningHeadless)
{
    HelperRun::Options unreachable;
    unreachable.display = ":997"; // no X server listens there
    ASSERT_FALSE(QFileInfo::exists("/tmp/.X11-unix/X997"));
    HelperRun helper(home.path(), configHome.path(), unreachable);
    ASSERT_TRUE(helper.waitForMessage("Helper boot \u2014 Premiere closed, staying idle")) << helper.diagnostics();
    EXPECT_EQ(helper.terminate(), 0);
}
