// The server manager on a virtual clock with scripted processes, then with real shell stand-ins.
#include "Supervision/BundledPaths.h"
#include "Supervision/ServerManager.h"

#include "Environment/PathDiscovery.h"
#include "TestSupport.h"

#include <QRegularExpression>

#include <gtest/gtest.h>


using namespace std::chrono_literals;
using Delays = std::vector<Scheduler::Duration>;

namespace {
class ServerManagerTest : public ::testing::Test {
protected:
    ServerManagerTest()
    {
        writeFile(nodePath, "#!/bin/sh\n", true);
        writeFile(scriptPath, "// server\n");
        manager = std::make_unique<ServerManager>(nodePath, scriptPath, scheduler, launcher, [this] {
            ++pathLookups;
            if (pathError)
                throw PathDiscoveryError("PathDiscovery", 1, *pathError);
            return QStringLiteral("/login/shell/bin:/usr/bin");
        });
        QObject::connect(manager.get(), &ServerManager::statusChanged, [this](const ServerStatus& s) { statuses.push_back(s); });
    }
    void startRunning()
    {
        manager->start();
        ASSERT_EQ(manager->status(), ServerStatus::running());
        statuses.clear();
    }
    void crash(int status = 1, const QByteArray& standardError = {})
    {
        launcher->last().end(status, standardError);
        scheduler->runPosted();
    }
    ScopedHome home;
    QString nodePath = home.path() + "/resources/node", scriptPath = home.path() + "/resources/ai-server/server.js";
    std::shared_ptr<VirtualScheduler> scheduler = std::make_shared<VirtualScheduler>();
    std::shared_ptr<ScriptedLauncher> launcher = std::make_shared<ScriptedLauncher>();
    std::optional<QString> pathError;
    int pathLookups = 0;
    std::unique_ptr<ServerManager> manager;
    std::vector<ServerStatus> statuses;
    LogCapture log;
};
} // namespace

TEST_F(ServerManagerTest, LaunchesNodeWithTheScriptItsFolderTheLoginPathAndPort9876)
{
    EXPECT_EQ(manager->status(), ServerStatus::stopped());
    ScopedEnv port("PORT", QByteArray("1234"));
    manager->start();
    ASSERT_EQ(launcher->specs.size(), 1u);
    const ProcessSpec& spec = launcher->specs[0];
    EXPECT_EQ(spec.program, nodePath);
    EXPECT_EQ(spec.arguments, QStringList { scriptPath });
    EXPECT_EQ(spec.workingDirectory, home.path() + "/resources/ai-server");
    const QStringList environment = spec.environment.value_or(QStringList());
    EXPECT_TRUE(environment.contains("PATH=/login/shell/bin:/usr/bin"));
    EXPECT_EQ(environment.filter(QRegularExpression("^PORT=")), QStringList { "PORT=9876" });
    EXPECT_TRUE(environment.contains("HOME=" + home.path())); // the rest passes unchanged
    EXPECT_EQ(manager->status(), ServerStatus::running());
    EXPECT_EQ(log.messages(), QStringList { "Server spawned (pid 4000)" });
    EXPECT_EQ(scheduler->pendingDelays(), Delays { 60s });
}

TEST_F(ServerManagerTest, PreflightFailuresLaunchNothingAndAFailedPathLookupFallsBack)
{
    QFile::setPermissions(nodePath, QFile::ReadOwner | QFile::WriteOwner);
    manager->start();
    EXPECT_EQ(manager->status(), ServerStatus::preflightFailed("node binary not found at " + nodePath));
    EXPECT_EQ(pathLookups, 0); // only a spawn asks for the PATH
    writeFile(nodePath, "#!/bin/sh\n", true);
    launcher->failWith = "could not start x: Exec format error";
    manager->start();
    EXPECT_EQ(manager->status(), ServerStatus::preflightFailed("spawn failed: could not start x: Exec format error"));
    EXPECT_TRUE(scheduler->pendingDelays().empty());
    launcher->failWith.reset();
    pathError = "the login shell /bin/zsh did not answer within 10 s";
    manager->start();
    EXPECT_TRUE(launcher->specs[0].environment->contains("PATH=/usr/local/bin:/opt/homebrew/bin:/usr/bin:/bin"));
    EXPECT_EQ(log.messages(), QStringList({ "Pre-flight: node binary not found at " + nodePath,
                                            "Pre-flight: spawn failed: could not start x: Exec format error",
                                            "PathDiscovery failed: the login shell /bin/zsh did not answer within 10 s \u2014 falling back to default PATH",
                                            "Server spawned (pid 4000)" }));
}

TEST_F(ServerManagerTest, CrashesBackOffUpToThirtySecondsAndShowStuckFromTheSixth)
{
    startRunning();
    const std::vector<std::chrono::seconds> delays = { 1s, 2s, 4s, 8s, 16s, 30s, 30s };
    for (int attempt = 1; attempt <= int(delays.size()); ++attempt) {
        const auto delay = delays[attempt - 1];
        crash(attempt == 1 ? 0 : 1); // an exit nobody asked for is a crash, also with code 0
        EXPECT_EQ(manager->status(), attempt <= 5 ? ServerStatus::restarting(attempt) : ServerStatus::stuck()) << attempt;
        EXPECT_EQ(log.messages().last(), QString("Server crashed (exit %1); restart attempt %2 in %3s").arg(attempt == 1 ? 0 : 1).arg(attempt).arg(delay.count()));
        const size_t launches = launcher->specs.size();
        scheduler->advance(delay - 1ms);
        EXPECT_EQ(launcher->specs.size(), launches) << "started early after crash " << attempt;
        scheduler->advance(1ms);
        ASSERT_EQ(launcher->specs.size(), launches + 1) << "not started after crash " << attempt;
        EXPECT_EQ(manager->status(), ServerStatus::running());
    }
}

TEST_F(ServerManagerTest, SixtySecondsOfRunningResetTheCounterFiftyNineDoNot)
{
    startRunning();
    scheduler->advance(120s); // a stable run without crashes says nothing
    EXPECT_EQ(log.messages().size(), 1);
    for (int i = 1; i <= 3; ++i) {
        crash();
        scheduler->advance(ServerManager::backoffDelay(i));
    }
    scheduler->advance(59s);
    crash();
    EXPECT_EQ(manager->status(), ServerStatus::restarting(4));
    scheduler->advance(8s + 59s);
    EXPECT_FALSE(log.messages().join('\n').contains("stable")); // the crashed run's timer stays quiet
    scheduler->advance(1s);
    EXPECT_EQ(log.messages().last(), "Server stable 60s \u2014 restart counter reset (was 4)");
    crash();
    EXPECT_EQ(manager->status(), ServerStatus::restarting(1));
    EXPECT_EQ(scheduler->pendingDelays(), Delays { 1s });
}

TEST_F(ServerManagerTest, EaddrinuseOnStandardErrorEndsTheRestartLoopAlsoAfterAStop)
{
    startRunning();
    crash(1, "Error: listen EADDRINUSE: address already in use 127.0.0.1:9876\n");
    EXPECT_EQ(manager->status(), ServerStatus::portInUse());
    EXPECT_EQ(log.messages().last(), "Server exited with EADDRINUSE \u2014 abandoning restart loop");
    scheduler->advance(120s);
    EXPECT_EQ(launcher->specs.size(), 1u);
    manager->restart();
    scheduler->advance(200ms);
    launcher->last().obeysSigterm = false;
    manager->stop(ServerStatus::idle());
    crash(1, "listen EADDRINUSE\n");
    EXPECT_EQ(manager->status(), ServerStatus::portInUse());
}

TEST_F(ServerManagerTest, AStopSendsSigtermPublishesItsStatusAtOnceAndAtTheEndAndKillsAfterTwoSeconds)
{
    for (const bool obeys : { true, false }) {
        startRunning();
        launcher->last().obeysSigterm = obeys;
        const int lines = log.messages().size();
        manager->stop(ServerStatus::idle());
        EXPECT_EQ(manager->status(), ServerStatus::idle());
        scheduler->advance(1999ms);
        EXPECT_EQ(launcher->last().received, std::vector<int> { SIGTERM });
        scheduler->advance(1ms);
        EXPECT_EQ(launcher->last().received, (obeys ? std::vector<int> { SIGTERM } : std::vector<int> { SIGTERM, SIGKILL }));
        EXPECT_EQ(log.messages().mid(lines), obeys ? QStringList() : QStringList { "SIGKILL sent to pid 4001 (SIGTERM ignored)" });
        EXPECT_EQ(statuses, std::vector<ServerStatus>(2, ServerStatus::idle()));
    }
}

TEST_F(ServerManagerTest, AStopCancelsAPendingCrashRestartOrTheSecondHalfOfARestart)
{
    startRunning();
    crash();
    manager->stop(ServerStatus::idle());
    manager->restart();
    manager->stop(ServerStatus::idle());
    scheduler->advance(60s);
    EXPECT_EQ(launcher->specs.size(), 1u);
    EXPECT_EQ(manager->status(), ServerStatus::idle());
}

TEST_F(ServerManagerTest, ARestartWaitsForTheOldServerClearsTheCounterAndPausesBeforeTheStart)
{
    startRunning();
    crash();
    scheduler->advance(1s);
    launcher->last().obeysSigterm = false;
    manager->restart();
    EXPECT_EQ(manager->status(), ServerStatus::stopped());
    scheduler->advance(500ms);
    EXPECT_EQ(launcher->specs.size(), 2u); // the old server still holds the port
    launcher->last().end(SIGTERM);
    scheduler->runPosted();
    EXPECT_EQ(launcher->specs.size(), 3u);
    launcher->last().obeysSigterm = false;
    manager->restart(); // one that never ends is killed after two seconds, then replaced
    scheduler->advance(2s);
    EXPECT_EQ(launcher->processes[2]->received, (std::vector<int> { SIGTERM, SIGKILL }));
    EXPECT_EQ(launcher->specs.size(), 4u);
    crash();
    EXPECT_EQ(manager->status(), ServerStatus::restarting(1));
    for (const ServerStatus& from : { ServerStatus::portInUse(), ServerStatus::preflightFailed("x") }) {
        manager->stop(ServerStatus::stopped());
        manager->setStatus(from);
        const size_t launches = launcher->specs.size();
        manager->restart();
        scheduler->advance(199ms);
        EXPECT_EQ(launcher->specs.size(), launches);
        scheduler->advance(1ms);
        EXPECT_EQ(launcher->specs.size(), launches + 1);
        EXPECT_EQ(manager->status(), ServerStatus::running());
    }
    EXPECT_EQ(log.messages().filter("User-requested restart").size(), 4);
}

TEST_F(ServerManagerTest, TheEndOfAProcessNoLongerHeldChangesNothing)
{
    startRunning();
    launcher->last().end(1); // ended, its notice not yet handled
    manager->stop(ServerStatus::idle());
    manager->start();
    statuses.clear();
    const int lines = log.messages().size();
    scheduler->runPosted(); // the old notice
    EXPECT_EQ(manager->status(), ServerStatus::running());
    EXPECT_TRUE(statuses.empty());
    EXPECT_EQ(log.messages().size(), lines);
    crash();
    EXPECT_EQ(manager->status(), ServerStatus::restarting(1));
}

TEST_F(ServerManagerTest, DestroyedWhileItsServerRunsItLeavesItAloneAndTheLateEndNoticeChangesNothing)
{
    startRunning();
    crash();
    manager.reset();
    scheduler->advance(10s); // the pending restart went with it
    EXPECT_EQ(launcher->specs.size(), 1u);
    manager = std::make_unique<ServerManager>(nodePath, scriptPath, scheduler, launcher, [] { return QString("/usr/bin"); });
    manager->start();
    manager.reset();
    EXPECT_TRUE(launcher->last().received.empty());
    const int lines = log.messages().size();
    launcher->last().end(1);
    scheduler->advance(60s);
    EXPECT_EQ(log.messages().size(), lines);
    EXPECT_EQ(launcher->specs.size(), 2u);
}

namespace {
// With real processes; the main thread stays on the virtual clock.
class ServerProcessTest : public ::testing::Test {
protected:
    ~ServerProcessTest() override
    {
        if (manager) { // leave nothing running, whatever the test did
            manager->stop(ServerStatus::stopped());
            scheduler->advance(2s);
            scheduler->runUntil([&] { return !serverPid() || processGone(serverPid()); });
        }
    }
    void makeManager(const QString& node, const QString& script)
    {
        manager = std::make_unique<ServerManager>(node, script, scheduler, std::make_shared<ChildProcessLauncher>(),
                                                  [] { return qEnvironmentVariable("PATH"); });
    }
    void makeScriptedServer(const QByteArray& body) // a shell script as the "node" executable
    {
        writeFile(home.path() + "/node", "#!/bin/sh\n" + body + "\n", true);
        writeFile(home.path() + "/server.js", "");
        makeManager(home.path() + "/node", home.path() + "/server.js");
    }
    pid_t serverPid() const
    {
        const QStringList spawned = log.messages().filter("Server spawned (pid ");
        return spawned.isEmpty() ? 0 : spawned.last().section("pid ", 1).chopped(1).toInt();
    }
    bool waitForStatus(const ServerStatus& status) { return scheduler->runUntil([&] { return manager->status() == status; }); }
    QByteArray serverLog() { return readFile(home.logFolder() + "/server.log"); }

    ScopedHome home;
    LogCapture log;
    std::shared_ptr<VirtualScheduler> scheduler = std::make_shared<VirtualScheduler>();
    std::unique_ptr<ServerManager> manager;
};
} // namespace

TEST_F(ServerProcessTest, AServerThatIgnoresSigtermIsKilled)
{
    makeScriptedServer("trap '' TERM\necho ready\nexec sleep 600");
    manager->start();
    ASSERT_TRUE(waitFor([&] { return serverLog().contains("ready"); }));
    const pid_t pid = serverPid();
    manager->stop(ServerStatus::stopped());
    scheduler->advance(1999ms);
    EXPECT_FALSE(processGone(pid));
    scheduler->advance(1ms);
    EXPECT_TRUE(log.messages().contains(QString("SIGKILL sent to pid %1 (SIGTERM ignored)").arg(pid)));
    EXPECT_TRUE(scheduler->runUntil([&] { return processGone(pid); }));
}

TEST_F(ServerProcessTest, EachPreflightReasonFromRealFilesAndOverrides)
{
    const QString plain = home.path() + "/plain", missing = home.path() + "/nowhere/node", missingScript = home.path() + "/missing.js",
                  badInterpreter = home.path() + "/bad";
    writeFile(plain, "");
    writeFile(badInterpreter, "#!/no/such/interpreter\n", true);
    writeFile(home.path() + "/server.js", "");
    QStringList expected;
    for (const auto& [node, script, reason] : std::vector<std::tuple<QString, QString, QString>> {
             { missing, {}, "node binary not found at " + missing }, { plain, {}, "node binary not found at " + plain },
             { "/bin/sh", missingScript, "server.js not found at " + missingScript },
             { badInterpreter, home.path() + "/server.js", "spawn failed: could not start " + badInterpreter + ": No such file or directory" } }) {
        ScopedEnv nodeOverride("DEV_NODE_PATH", QFile::encodeName(node));
        ScopedEnv scriptOverride("DEV_AI_SERVER_PATH", script.isEmpty() ? std::nullopt : std::optional(QFile::encodeName(script)));
        makeManager(BundledPaths::node(), BundledPaths::serverScript());
        manager->start();
        EXPECT_EQ(manager->status(), ServerStatus::preflightFailed(reason));
        expected << "Pre-flight: " + reason;
    }
    EXPECT_EQ(log.messages(), expected);
}

TEST_F(ServerProcessTest, OutputReachesServerLogByteForByteAndOnlyStandardErrorDecidesPortInUse)
{
    ScopedEnv port("PORT", QByteArray("1111"));
    makeScriptedServer("printf 'out EADDRINUSE PORT=%s\\n' \"$PORT\"; printf 'err \\377\\n' >&2; printf 'args=%s cwd=%s\\n' \"$*\" \"$PWD\"; exit 3");
    manager->start();
    ASSERT_TRUE(waitForStatus(ServerStatus::restarting(1)));
    EXPECT_TRUE(waitFor([&] { return serverLog().contains("cwd=") && serverLog().contains("err "); }));
    for (const QByteArray& part : { QByteArray("out EADDRINUSE PORT=9876\n"), QByteArray("err \xff\n"),
                                    ("args=" + home.path() + "/server.js cwd=" + home.path() + "\n").toUtf8() })
        EXPECT_TRUE(serverLog().contains(part)) << part.toStdString();
    EXPECT_TRUE(log.messages().contains("Server crashed (exit 3); restart attempt 1 in 1s"));
}

// The end notice must wait for the standard error already written: every run is recognised.
TEST_F(ServerProcessTest, AServerThatCannotTakeThePortIsRecognisedEveryTime)
{
    makeScriptedServer("echo 'Error: listen EADDRINUSE: address already in use 127.0.0.1:9876' >&2; exit 1");
    for (int run = 0; run < 200; ++run) {
        manager->restart();
        scheduler->advance(200ms);
        ASSERT_TRUE(waitForStatus(ServerStatus::portInUse())) << "run " << run;
    }
    EXPECT_TRUE(log.messages().filter("Server crashed").isEmpty());
}
