// The server manager with real processes, real node and the real bundled server. The main thread
// runs on a virtual clock; the processes, pipes and sockets are real.
#include "Supervision/BundledPaths.h"
#include "Supervision/ServerManager.h"

#include "Foundation/ChildProcess.h"
#include "Foundation/ProcessLauncher.h"
#include "RealProcesses.h"
#include "TestSupport.h"

#include <QFileInfo>
#include <QRegularExpression>

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <csignal>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

using namespace std::chrono_literals;

namespace {

const QString stagedResources = QStringLiteral(TESSARYN_BUILD_DIR "/share/tessaryn-helper");

class ServerProcessTest : public ::testing::Test {
protected:
    ~ServerProcessTest() override
    {
        // Leave nothing running, whatever the test did.
        if (manager) {
            manager->stop(ServerStatus::stopped());
            scheduler->runUntil([&] { return !serverPid() || ::kill(serverPid(), 0) != 0; }, 3s);
            scheduler->advance(2s);
            scheduler->runUntil([] { return false; }, 100ms);
        }
    }

    void makeManager(const QString& node, const QString& script)
    {
        manager = std::make_unique<ServerManager>(node, script, scheduler, std::make_shared<ChildProcessLauncher>(),
                                                  [] { return qEnvironmentVariable("PATH"); });
    }
    // A stand-in server: a shell script run as the "node" executable.
    void makeScriptedServer(const QByteArray& body, const QByteArray& shell = "/bin/sh")
    {
        writeFile(home.path() + "/node", "#!" + shell + "\n" + body + "\n", true);
        writeFile(home.path() + "/server.js", "");
        makeManager(home.path() + "/node", home.path() + "/server.js");
    }
    pid_t serverPid()
    {
        const QStringList lines = log.messages().filter("Server spawned (pid ");
        return lines.isEmpty() ? 0 : lines.last().section("pid ", 1).chopped(1).toInt();
    }
    bool waitForStatus(const ServerStatus& status, std::chrono::milliseconds timeout = 10s)
    {
        return scheduler->runUntil([&] { return manager->status() == status; }, timeout);
    }
    QByteArray serverLog() { return readFile(home.logFolder() + "/server.log"); }

    ScopedHome home;
    LogCapture log;
    std::shared_ptr<VirtualScheduler> scheduler = std::make_shared<VirtualScheduler>();
    std::unique_ptr<ServerManager> manager;
};

} // namespace

TEST_F(ServerProcessTest, TheBundledServerAnswersHealthComesBackAfterAKillAndEndsOnSigterm)
{
    ASSERT_TRUE(QFileInfo(stagedResources + "/node").isExecutable());
    makeManager(stagedResources + "/node", stagedResources + "/ai-server/server.js");
    manager->start();
    ASSERT_EQ(manager->status(), ServerStatus::running());
    ASSERT_TRUE(waitFor(healthOk));
    EXPECT_TRUE(waitFor([&] { return serverLog().contains("listening"); }));

    // Killed while a plugin holds a connection open: not taken for another program on the port.
    const int client = connectToServer();
    ASSERT_GE(client, 0);
    ASSERT_TRUE(waitFor([] { return healthOk(); })); // the connection is established server-side too
    const pid_t first = serverPid();
    ::kill(first, SIGKILL);
    ASSERT_TRUE(waitForStatus(ServerStatus::restarting(1)));
    EXPECT_TRUE(log.messages().contains("Server crashed (exit 9); restart attempt 1 in 1s"));
    scheduler->advance(1s);
    EXPECT_EQ(manager->status(), ServerStatus::running());
    EXPECT_NE(serverPid(), first);
    EXPECT_TRUE(waitFor(healthOk));
    ::close(client);

    manager->stop(ServerStatus::stopped());
    EXPECT_TRUE(scheduler->runUntil([&] { return ::kill(serverPid(), 0) != 0; }, 5s)) << "ends on SIGTERM";
    EXPECT_EQ(manager->status(), ServerStatus::stopped());
    EXPECT_FALSE(log.messages().join('\n').contains("SIGKILL"));
}

TEST_F(ServerProcessTest, AnotherProgramOnThePortGivesPortInUse)
{
    PortHolder other;
    ASSERT_TRUE(other.waitUntilListening());

    makeManager(home.path() + "/missing-node", home.path() + "/missing.js");
    manager->start();
    EXPECT_EQ(manager->status(), ServerStatus::portInUse());
    EXPECT_EQ(log.messages(), QStringList { "Pre-flight: port 9876 in use" });
    EXPECT_EQ(serverPid(), 0);
}

TEST_F(ServerProcessTest, AServerThatIgnoresSigtermIsKilled)
{
    makeScriptedServer("trap '' TERM\necho ready\nexec sleep 600");
    manager->start();
    ASSERT_TRUE(waitFor([&] { return serverLog().contains("ready"); }));
    const pid_t pid = serverPid();
    manager->stop(ServerStatus::stopped());
    scheduler->runUntil([] { return false; }, 300ms);
    EXPECT_EQ(::kill(pid, 0), 0) << "still alive after SIGTERM";
    scheduler->advance(2s);
    EXPECT_TRUE(log.messages().contains(QString("SIGKILL sent to pid %1 (SIGTERM ignored)").arg(pid)));
    EXPECT_TRUE(scheduler->runUntil([&] { return ::kill(pid, 0) != 0; }, 5s));
    EXPECT_EQ(manager->status(), ServerStatus::stopped());
}

TEST_F(ServerProcessTest, DevelopmentOverridesAreCheckedBeforeTheLaunch)
{
    const QString notExecutable = home.path() + "/plain-file", missing = home.path() + "/nowhere/node",
                  missingScript = home.path() + "/missing.js";
    writeFile(notExecutable, "");
    QStringList reasons;
    for (const auto& [node, script, reason] : std::vector<std::tuple<QString, QString, QString>> {
             { missing, {}, "node binary not found at " + missing },
             { notExecutable, {}, "node binary not found at " + notExecutable },
             { "/bin/sh", missingScript, "server.js not found at " + missingScript } }) {
        ScopedEnv nodeOverride("DEV_NODE_PATH", QFile::encodeName(node));
        ScopedEnv scriptOverride("DEV_AI_SERVER_PATH",
                                 script.isEmpty() ? std::nullopt : std::optional(QFile::encodeName(script)));
        EXPECT_EQ(BundledPaths::node(), node);
        makeManager(BundledPaths::node(), BundledPaths::serverScript());
        manager->start();
        EXPECT_EQ(manager->status(), ServerStatus::preflightFailed(reason));
        reasons << "Pre-flight: " + reason;
    }
    EXPECT_EQ(log.messages(), reasons);
}

TEST_F(ServerProcessTest, ASpawnThatFailsIsAPreflightFailure)
{
    writeFile(home.path() + "/node", "#!/no/such/interpreter\n", true);
    writeFile(home.path() + "/server.js", "");
    makeManager(home.path() + "/node", home.path() + "/server.js");
    manager->start();
    const QString reason = "spawn failed: could not start " + home.path() + "/node: No such file or directory";
    EXPECT_EQ(manager->status(), ServerStatus::preflightFailed(reason));
    EXPECT_EQ(log.messages(), QStringList { "Pre-flight: " + reason });
}

TEST_F(ServerProcessTest, OutputReachesServerLogByteForByteAndOnlyStandardErrorTheTail)
{
    ScopedEnv port("PORT", QByteArray("1111"));
    // EADDRINUSE on standard output alone is no reason to give up; bytes that are not text pass too.
    makeScriptedServer("printf 'out EADDRINUSE PORT=%s\\n' \"$PORT\"; printf 'err \\377\\n' >&2; printf 'args=%s cwd=%s\\n' \"$*\" \"$PWD\"; exit 3");
    manager->start();
    ASSERT_TRUE(waitForStatus(ServerStatus::restarting(1)));
    // Standard output and standard error reach the file through separate readers, in either order.
    EXPECT_TRUE(waitFor([&] { return serverLog().contains("cwd=") && serverLog().contains("err "); }));
    const QByteArray logged = serverLog();
    EXPECT_TRUE(logged.contains("out EADDRINUSE PORT=9876\n"));
    EXPECT_TRUE(logged.contains("err \xff\n"));
    EXPECT_TRUE(logged.contains(("args=" + home.path() + "/server.js cwd=" + home.path() + "\n").toUtf8()));
    EXPECT_TRUE(log.messages().contains("Server crashed (exit 3); restart attempt 1 in 1s"));
}

TEST_F(ServerProcessTest, AServerThatCannotTakeThePortIsRecognisedEveryTime)
{
    makeScriptedServer("echo 'Error: listen EADDRINUSE: address already in use 127.0.0.1:9876' >&2; exit 1");
    for (int run = 0; run < 200; ++run) {
        manager->restart();
        scheduler->advance(200ms);
        ASSERT_TRUE(waitForStatus(ServerStatus::portInUse())) << "run " << run;
    }
    EXPECT_EQ(log.messages().filter("abandoning restart loop").size(), 200);
    EXPECT_TRUE(log.messages().filter("Server crashed").isEmpty());
}

TEST_F(ServerProcessTest, TheServerStartsWithCleanSignalsAndDescriptors)
{
    // bash, unlike dash, keeps the signal mask it was started with.
    makeScriptedServer("grep -E '^Sig(Blk|Ign):' /proc/self/status; ls /proc/self/fd | tr '\\n' ' '; echo; exec sleep 600", "/bin/bash");
    // State of the helper that a careless launch would pass on.
    struct sigaction ignore {};
    ignore.sa_handler = SIG_IGN;
    struct sigaction previous {};
    sigaction(SIGTERM, &ignore, &previous);
    const int inheritable = ::dup(1);
    sigset_t blocked, unblocked;
    sigemptyset(&blocked);
    sigaddset(&blocked, SIGUSR1);
    pthread_sigmask(SIG_BLOCK, &blocked, &unblocked);
    manager->start();
    pthread_sigmask(SIG_SETMASK, &unblocked, nullptr);
    ::close(inheritable);
    sigaction(SIGTERM, &previous, nullptr);
    ASSERT_TRUE(waitFor([&] { return serverLog().contains("SigIgn") && serverLog().endsWith("\n") && serverLog().count('\n') >= 3; }));
    const QString text = QString::fromUtf8(serverLog());
    EXPECT_TRUE(text.contains(QRegularExpression("SigBlk:\\s+0+\n"))) << text.toStdString();
    EXPECT_TRUE(text.contains(QRegularExpression("SigIgn:\\s+0+\n"))) << text.toStdString();
    EXPECT_TRUE(text.contains("\n0 1 2 3 \n")) << text.toStdString(); // 3 is ls reading /proc/self/fd
    // SIGTERM reaches it with its default action.
    manager->stop(ServerStatus::stopped());
    EXPECT_TRUE(scheduler->runUntil([&] { return ::kill(serverPid(), 0) != 0; }, 3s));
    EXPECT_FALSE(log.messages().join('\n').contains("SIGKILL"));
}
