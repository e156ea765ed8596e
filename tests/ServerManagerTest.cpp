#include "Supervision/ServerManager.h"

#include "Environment/PathDiscovery.h"
#include "Foundation/ProcessLauncher.h"
#include "RealProcesses.h"
#include "ScriptedLauncher.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <csignal>
#include <unistd.h>

using namespace std::chrono_literals;

namespace {

class ServerManagerTest : public ::testing::Test {
protected:
    ServerManagerTest()
    {
        writeFile(nodePath, "#!/bin/sh\n", true);
        writeFile(scriptPath, "// server\n");
        manager = std::make_unique<ServerManager>(nodePath, scriptPath, scheduler, launcher,
                                                  [this] {
                                                      ++searchPathLookups;
                                                      if (searchPathError)
                                                          throw PathDiscoveryError("PathDiscovery", 1, *searchPathError);
                                                      return QStringLiteral("/login/shell/bin:/usr/bin");
                                                  });
        QObject::connect(manager.get(), &ServerManager::statusChanged,
                         [this](const ServerStatus& status) { statuses.push_back(status); });
    }

    // Launches the first server and forgets what that took.
    void startRunning()
    {
        manager->start();
        ASSERT_EQ(manager->status(), ServerStatus::running());
        statuses.clear();
    }
    // Crashes the current server and handles the end notice.
    void crash(int status = 1, const QByteArray& standardError = {})
    {
        launcher->last().end(status, standardError);
        scheduler->runPosted();
    }

    ScopedHome home;
    QString nodePath = home.path() + "/resources/node";
    QString scriptPath = home.path() + "/resources/ai-server/server.js";
    std::shared_ptr<VirtualScheduler> scheduler = std::make_shared<VirtualScheduler>();
    std::shared_ptr<ScriptedLauncher> launcher = std::make_shared<ScriptedLauncher>();
    std::optional<QString> searchPathError;
    int searchPathLookups = 0;
    std::unique_ptr<ServerManager> manager;
    std::vector<ServerStatus> statuses;
};

} // namespace

TEST_F(ServerManagerTest, StartsStoppedAndLaunchesNodeWithTheScriptItsFolderAndEnvironment)
{
    EXPECT_EQ(manager->status(), ServerStatus::stopped());
    ScopedEnv port("PORT", QByteArray("1234"));
    LogCapture log;
    manager->start();

    ASSERT_EQ(launcher->specs.size(), 1u);
    const ProcessSpec& spec = launcher->specs[0];
    EXPECT_EQ(spec.program, nodePath);
    EXPECT_EQ(spec.arguments, QStringList { scriptPath });
    EXPECT_EQ(spec.workingDirectory, home.path() + "/resources/ai-server");
    ASSERT_TRUE(spec.environment.has_value());
    EXPECT_TRUE(spec.environment->contains("PATH=/login/shell/bin:/usr/bin"));
    EXPECT_TRUE(spec.environment->contains("PORT=9876"));
    EXPECT_FALSE(spec.environment->contains("PORT=1234"));
    EXPECT_TRUE(spec.environment->contains("HOME=" + home.path())); // the rest passes unchanged
    EXPECT_EQ(manager->status(), ServerStatus::running());
    EXPECT_EQ(log.messages(), QStringList { "Server spawned (pid 4000)" });
    EXPECT_EQ(scheduler->pendingDelays(), std::vector<Scheduler::Duration> { 60s });
}

// The reasons themselves are checked with real files and a real spawn in the server process tests.
TEST_F(ServerManagerTest, PreflightFailuresLaunchNothingAndOnlyASpawnAsksForThePath)
{
    LogCapture log;
    QFile::setPermissions(nodePath, QFile::ReadOwner | QFile::WriteOwner);
    manager->start();
    EXPECT_EQ(manager->status(), ServerStatus::preflightFailed("node binary not found at " + nodePath));
    EXPECT_EQ(searchPathLookups, 0);

    writeFile(nodePath, "#!/bin/sh\n", true);
    launcher->failWith = "could not start " + nodePath.toStdString() + ": Exec format error";
    manager->start();
    EXPECT_EQ(manager->status(),
              ServerStatus::preflightFailed("spawn failed: could not start " + nodePath + ": Exec format error"));
    EXPECT_TRUE(launcher->specs.empty());
    EXPECT_EQ(searchPathLookups, 1);
    EXPECT_EQ(log.messages(), QStringList({ "Pre-flight: node binary not found at " + nodePath,
                                            "Pre-flight: spawn failed: could not start " + nodePath + ": Exec format error" }));
    EXPECT_TRUE(scheduler->pendingDelays().empty());
}

TEST_F(ServerManagerTest, AFailedPathLookupFallsBackToTheDefaultPath)
{
    searchPathError = "the login shell /bin/zsh did not answer within 10 s";
    LogCapture log;
    manager->start();
    EXPECT_EQ(manager->status(), ServerStatus::running());
    EXPECT_TRUE(launcher->specs[0].environment->contains("PATH=/usr/local/bin:/opt/homebrew/bin:/usr/bin:/bin"));
    EXPECT_EQ(log.messages().value(0), QString::fromUtf8("PathDiscovery failed: the login shell /bin/zsh did not "
                                                         "answer within 10 s \u2014 falling back to default PATH"));
}

TEST_F(ServerManagerTest, CrashesBackOffUpToThirtySecondsAndShowStuckFromTheSixth)
{
    startRunning();
    LogCapture log;
    const std::vector<std::chrono::seconds> delays = { 1s, 2s, 4s, 8s, 16s, 30s, 30s };
    for (size_t i = 0; i < delays.size(); ++i) {
        const int attempt = int(i) + 1;
        crash(i == 0 ? 0 : 1); // an exit nobody asked for is a crash, also with code 0
        const ServerStatus expected = attempt <= 5 ? ServerStatus::restarting(attempt) : ServerStatus::stuck();
        EXPECT_EQ(manager->status(), expected) << attempt;
        EXPECT_EQ(log.messages().last(), QString("Server crashed (exit %1); restart attempt %2 in %3s")
                                             .arg(i == 0 ? 0 : 1)
                                             .arg(attempt)
                                             .arg(delays[i].count()));
        const size_t launches = launcher->specs.size();
        scheduler->advance(delays[i] - 1ms);
        EXPECT_EQ(launcher->specs.size(), launches) << "started early after crash " << attempt;
        scheduler->advance(1ms);
        ASSERT_EQ(launcher->specs.size(), launches + 1) << "not started after crash " << attempt;
        EXPECT_EQ(manager->status(), ServerStatus::running());
    }
}

TEST_F(ServerManagerTest, SixtySecondsOfRunningResetTheCounter)
{
    startRunning();
    for (int i = 0; i < 3; ++i) {
        crash();
        scheduler->advance(ServerManager::backoffDelay(i + 1));
    }
    LogCapture log;
    scheduler->advance(59s);
    EXPECT_TRUE(log.messages().isEmpty());
    scheduler->advance(1s);
    EXPECT_EQ(log.messages(), QStringList { QString::fromUtf8("Server stable 60s \u2014 restart counter reset (was 3)") });
    EXPECT_EQ(manager->status(), ServerStatus::running());
    crash();
    EXPECT_EQ(manager->status(), ServerStatus::restarting(1));
    EXPECT_EQ(scheduler->pendingDelays(), std::vector<Scheduler::Duration> { 1s });
}

TEST_F(ServerManagerTest, ACrashAfterFiftyNineSecondsKeepsCounting)
{
    startRunning();
    crash();
    scheduler->advance(1s);
    scheduler->advance(59s);
    crash();
    EXPECT_EQ(manager->status(), ServerStatus::restarting(2));
    LogCapture log;
    scheduler->advance(10s); // the cancelled timer of the crashed run stays quiet
    EXPECT_FALSE(log.messages().join('\n').contains("stable"));
}

TEST_F(ServerManagerTest, AStableRunWithoutCrashesLogsNothing)
{
    startRunning();
    LogCapture log;
    scheduler->advance(120s);
    EXPECT_TRUE(log.messages().isEmpty());
    EXPECT_TRUE(statuses.empty());
}

TEST_F(ServerManagerTest, EaddrinuseOnStandardErrorEndsTheRestartLoop)
{
    startRunning();
    crash();
    scheduler->advance(1s);
    LogCapture log;
    crash(1, "Error: listen EADDRINUSE: address already in use 127.0.0.1:9876\n");
    EXPECT_EQ(manager->status(), ServerStatus::portInUse());
    EXPECT_EQ(log.messages(), QStringList { QString::fromUtf8("Server exited with EADDRINUSE \u2014 abandoning restart loop") });
    EXPECT_TRUE(scheduler->pendingDelays().empty());
    scheduler->advance(120s);
    EXPECT_EQ(launcher->specs.size(), 2u);
}

TEST_F(ServerManagerTest, AStopEndsInItsFinalStatusAtOnceAndAgainAtTheEnd)
{
    startRunning();
    LogCapture log;
    manager->stop(ServerStatus::idle());
    EXPECT_EQ(manager->status(), ServerStatus::idle());
    EXPECT_EQ(launcher->last().receivedSignals(), std::vector<int> { SIGTERM });
    scheduler->runPosted();
    EXPECT_EQ(statuses, (std::vector<ServerStatus> { ServerStatus::idle(), ServerStatus::idle() }));
    scheduler->advance(5s);
    EXPECT_TRUE(log.messages().isEmpty());
    EXPECT_EQ(launcher->last().receivedSignals(), std::vector<int> { SIGTERM });
}

TEST_F(ServerManagerTest, AServerThatIgnoresSigtermIsKilledAfterTwoSeconds)
{
    startRunning();
    launcher->last().obeysSigterm = false;
    LogCapture log;
    manager->stop(ServerStatus::stopped());
    EXPECT_EQ(manager->status(), ServerStatus::stopped());
    scheduler->advance(1999ms);
    EXPECT_EQ(launcher->last().receivedSignals(), std::vector<int> { SIGTERM });
    scheduler->advance(1ms);
    EXPECT_EQ(launcher->last().receivedSignals(), (std::vector<int> { SIGTERM, SIGKILL }));
    EXPECT_EQ(log.messages(), QStringList { "SIGKILL sent to pid 4000 (SIGTERM ignored)" });
    EXPECT_EQ(statuses, (std::vector<ServerStatus> { ServerStatus::stopped(), ServerStatus::stopped() }));
}

TEST_F(ServerManagerTest, AStopCancelsAPendingCrashRestartOrTheStartOfAnEarlierRestart)
{
    startRunning();
    crash();
    manager->stop(ServerStatus::idle());
    scheduler->advance(60s);
    EXPECT_EQ(launcher->specs.size(), 1u);
    EXPECT_EQ(manager->status(), ServerStatus::idle());

    manager->restart();
    manager->stop(ServerStatus::idle());
    scheduler->advance(10s);
    EXPECT_EQ(launcher->specs.size(), 1u);
    EXPECT_EQ(manager->status(), ServerStatus::idle());
}

TEST_F(ServerManagerTest, AStoppedRunThatReportsEaddrinuseEndsInPortInUse)
{
    startRunning();
    launcher->last().obeysSigterm = false;
    manager->stop(ServerStatus::idle());
    EXPECT_EQ(manager->status(), ServerStatus::idle());
    crash(1, "listen EADDRINUSE\n");
    EXPECT_EQ(manager->status(), ServerStatus::portInUse());
}

TEST_F(ServerManagerTest, RestartFromPortInUseOrPreflightFailedStartsAfterThePause)
{
    for (const ServerStatus& from : { ServerStatus::portInUse(), ServerStatus::preflightFailed("x") }) {
        manager->setStatus(from);
        LogCapture log;
        const size_t launches = launcher->specs.size();
        manager->restart();
        EXPECT_EQ(manager->status(), ServerStatus::stopped());
        EXPECT_EQ(log.messages(), QStringList { "User-requested restart" });
        scheduler->advance(199ms);
        EXPECT_EQ(launcher->specs.size(), launches);
        scheduler->advance(1ms);
        EXPECT_EQ(launcher->specs.size(), launches + 1);
        EXPECT_EQ(manager->status(), ServerStatus::running());
        launcher->last().end(0);
        manager->stop(ServerStatus::stopped());
        scheduler->runPosted();
    }
}

TEST_F(ServerManagerTest, RestartClearsTheCounter)
{
    startRunning();
    crash();
    scheduler->advance(1s);
    crash();
    scheduler->advance(2s);
    manager->restart();
    scheduler->runPosted();
    scheduler->advance(200ms);
    crash();
    EXPECT_EQ(manager->status(), ServerStatus::restarting(1));
}

TEST_F(ServerManagerTest, RestartWaitsForTheOldServerToEnd)
{
    startRunning();
    launcher->last().obeysSigterm = false;
    manager->restart();
    scheduler->advance(500ms);
    EXPECT_EQ(launcher->specs.size(), 1u); // the old server still holds the port
    launcher->last().end(SIGTERM);
    scheduler->runPosted();
    EXPECT_EQ(launcher->specs.size(), 2u);
    EXPECT_EQ(manager->status(), ServerStatus::running());

    // One that never ends by itself is killed after two seconds, and then replaced.
    launcher->last().obeysSigterm = false;
    manager->restart();
    scheduler->advance(2s);
    EXPECT_EQ(launcher->processes[1]->receivedSignals(), (std::vector<int> { SIGTERM, SIGKILL }));
    EXPECT_EQ(launcher->specs.size(), 3u);
    EXPECT_EQ(manager->status(), ServerStatus::running());
}

TEST_F(ServerManagerTest, TheEndOfAProcessNoLongerHeldChangesNothing)
{
    startRunning();
    ScriptedProcess& old = launcher->last();
    old.end(1); // ended, its notice not yet handled
    manager->stop(ServerStatus::idle()); // finds it no longer running and lets it go
    manager->start();
    ASSERT_EQ(launcher->specs.size(), 2u);
    statuses.clear();
    LogCapture log;
    scheduler->runPosted(); // the old notice
    EXPECT_EQ(manager->status(), ServerStatus::running());
    EXPECT_TRUE(statuses.empty());
    EXPECT_TRUE(log.messages().isEmpty());
    crash(); // the new one is still the one held
    EXPECT_EQ(manager->status(), ServerStatus::restarting(1));
}
