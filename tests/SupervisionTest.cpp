// The server manager on a virtual clock with scripted processes, and with a real shell stand-in.
#include "Environment/PathDiscovery.h"
#include "Logging/Log.h"
#include "Platform/PortHolders.h"
#include "Platform/ProcessInfo.h"
#include "Supervision/BundledPaths.h"
#include "Supervision/ServerManager.h"
#include "Supervision/ServerRecord.h"
#include "TestSupport.h"

#include <QFileInfo>

#include <gtest/gtest.h>

#include <sys/mount.h>

using namespace std::chrono_literals;

namespace {
class ServerManagerTest : public ::testing::Test {
protected:
    ServerManagerTest() { manager = makeManager("/bin/sh", "/dev/null", launcher); } // a node and a script that exist
    ~ServerManagerTest() override
    {
        if (manager) {
            manager->stop(ServerStatus::stopped());
            scheduler->advance(2s);
            EXPECT_TRUE(waitFor([&] { return scheduler->runPosted(), !manager->holdsProcess(); }));
        }
    }
    std::unique_ptr<ServerManager> makeManager(const QString& node, const QString& script, std::shared_ptr<ProcessLauncher> with)
    {
        return std::make_unique<ServerManager>(node, script, scheduler, with, ServerManager::answerAtOnce([this] {
            ++pathLookups;
            if (pathError) throw PathDiscoveryError("PathDiscovery", 1, *pathError);
            return QStringLiteral("/login/shell/bin:/usr/bin");
        }));
    }
    void crash(int status = 1, const QByteArray& lastWords = {}) { launcher->last().end(status, lastWords), scheduler->runPosted(); }
    ScopedHome home;
    std::shared_ptr<VirtualScheduler> scheduler = std::make_shared<VirtualScheduler>();
    std::shared_ptr<ScriptedLauncher> launcher = std::make_shared<ScriptedLauncher>();
    std::optional<QString> pathError;
    int pathLookups = 0;
    std::unique_ptr<ServerManager> manager;
    LogCapture log;
};
} // namespace

TEST_F(ServerManagerTest, CrashesBackOffToThirtySecondsStuckFromTheSixthAndSixtySecondsOfRunningResetTheCount)
{
    manager->start();
    EXPECT_TRUE(launcher->specs[0].environment->contains("PATH=/login/shell/bin:/usr/bin"));
    scheduler->advance(120s); // a stable run without crashes says nothing
    EXPECT_EQ(log.messages().size(), 1);
    const std::vector<std::chrono::seconds> delays = { 1s, 2s, 4s, 8s, 16s, 30s, 30s };
    // None says EADDRINUSE: the word's first byte is pushed out of the last 4096.
    const QList<QByteArray> noise { {}, "EADDRINUSE" + QByteArray(4087, ' ') };
    for (int attempt = 1; attempt <= int(delays.size()); ++attempt) {
        SCOPED_TRACE(attempt);
        scheduler->advance(59s); // too short a run to count as stable
        // An exit nobody asked for is a crash, also with code 0, and also with the word pushed out of the tail.
        crash(attempt == 1 ? 0 : 1, attempt == 1 ? "EADDRINUSE" + QByteArray(4096, ' ') : "");
        EXPECT_EQ(manager->status(), attempt <= 5 ? ServerStatus::restarting(attempt) : ServerStatus::stuck());
        EXPECT_EQ(log.messages().last(), QString("Server crashed (exit %1); restart attempt %2 in %3s")
                                             .arg(attempt == 1 ? 0 : 1).arg(attempt).arg(delays[attempt - 1].count()));
        const size_t launches = launcher->specs.size();
        scheduler->advance(delays[attempt - 1] - 1ms);
        EXPECT_EQ(launcher->specs.size(), launches);
        scheduler->advance(1ms);
        ASSERT_EQ(launcher->specs.size(), launches + 1);
        EXPECT_EQ(manager->status(), ServerStatus::running());
    }
    scheduler->advance(60s);
    EXPECT_EQ(log.messages().last(), "Server stable 60s \u2014 restart counter reset (was 7)");
    crash();
    EXPECT_EQ(manager->status(), ServerStatus::restarting(1));
    EXPECT_EQ(scheduler->pendingDelays(), std::vector<Scheduler::Duration> { 1s });
    scheduler->advance(61s); // also after a single crash
    EXPECT_EQ(log.messages().last(), "Server stable 60s \u2014 restart counter reset (was 1)");
    launcher->failWith = EMFILE, crash(); // out of descriptors for a moment: tried again as after a crash
    scheduler->advance(1s);
    EXPECT_EQ(log.messages().last(), "Pre-flight: spawn failed: could not start: Too many open files; restart attempt 2 in 2s");
    EXPECT_EQ(manager->status(), ServerStatus::restarting(2));
    launcher->failWith = 0, scheduler->advance(2s);
    EXPECT_EQ(manager->status(), ServerStatus::running());
}

TEST_F(ServerManagerTest, AStopCancelsAPendingStartAndEaddrinuseAtTheEndOfAStoppedServerStillCounts)
{
    manager->start(), crash();
    manager->stop(ServerStatus::idle()); // the crash restart
    manager->restart();
    manager->stop(ServerStatus::idle()); // the second half of a restart
    scheduler->advance(60s);
    EXPECT_EQ(launcher->specs.size(), 1u);
    EXPECT_EQ(manager->status(), ServerStatus::idle());
    manager->start(), manager->stop(ServerStatus::idle());
    manager->setStatus(ServerStatus::running()); // the end of a stopped server sets the stop's status again
    scheduler->runPosted();
    EXPECT_EQ(manager->status(), ServerStatus::idle());
    manager->start(), launcher->last().obeysSigterm = false;
    manager->stop(ServerStatus::idle());
    crash(1, "listen EADDRINUSE" + QByteArray(4086, ' ')); // its last 4096 bytes begin with the word
    EXPECT_EQ(manager->status(), ServerStatus::portInUse()); // also at the end of a stopped server
    // Whatever surrounds the word, also from a server reaped before the stop.
    struct NamedHolder final : PortHolders {
        PortHolder holderOf(quint16) const override { return { PortHolder::Kind::ownProcess, 77, "evil\nname\x1b" }; } };
    manager->setPortHolders(std::make_shared<NamedHolder>());
    for (const QByteArray& tail : { QByteArray("\xff listen EADDRINUSE"), "\xE2\x80\xA6" "EADDRINUSE" + QByteArray(4084, ' ') }) {
        manager->start(), launcher->last().end(1, tail), manager->stop(ServerStatus::idle()), scheduler->runPosted();
        EXPECT_EQ(manager->status(), ServerStatus::portInUse());
    }
    EXPECT_EQ(log.messages().last(), "Port 9876 is held by pid 77 (evil?name?)"); // no line of its own for a name
}

TEST_F(ServerManagerTest, ARestartWaitsForTheOldServerClearsTheCounterAndPausesBeforeTheStart)
{
    manager->start(), crash();
    scheduler->advance(1s), launcher->last().obeysSigterm = false;
    launcher->last().handlers.standardError("listen EADDRINUSE\n"); // its last words do not end the restart
    manager->restart();
    EXPECT_EQ(manager->status(), ServerStatus::stopped());
    scheduler->advance(500ms);
    EXPECT_EQ(launcher->specs.size(), 2u); // the old server still holds the port
    scheduler->advance(1499ms);
    EXPECT_EQ(launcher->last().received, std::vector<int> { SIGTERM });
    scheduler->advance(1ms); // SIGKILL, its end, then the start
    EXPECT_EQ(launcher->processes[1]->received, (std::vector<int> { SIGTERM, SIGKILL }));
    EXPECT_EQ(log.messages().filter("SIGKILL sent to pid 4001 (SIGTERM ignored)").size(), 1);
    EXPECT_EQ(launcher->specs.size(), 3u);
    crash();
    EXPECT_EQ(manager->status(), ServerStatus::restarting(1));
    manager->stop(ServerStatus::stopped());
    manager->setStatus(ServerStatus::portInUse()); // from a troubled state too, after the pause
    manager->restart();
    scheduler->advance(199ms);
    EXPECT_EQ(launcher->specs.size(), 3u);
    scheduler->advance(1ms);
    EXPECT_EQ(launcher->specs.size(), 4u);
}

// A leftover is stopped only while its identifier still names it: the same start time, its script on its command line,
// and only from a note of the user's own.
TEST(ServerRecord, ALeftoverIsStoppedOnlyWhileItsIdentifierStillNamesIt)
{
    ScopedHome home;
    for (const QString row : { "itself", "a later start", "another command line", "another user's note" }) {
        NamedProcess process("node"); // node 300
        const pid_t pid = process.child->pid();
        ServerRecord::save(pid, row == "another command line" ? "/elsewhere/server.js" : "300");
        const QByteArray start = '"' + QByteArray::number(ProcessInfo::startTime(pid).value_or(0)) + '"', later = "\"1\"";
        writeFile(ServerRecord::filePath(), readFile(ServerRecord::filePath()).replace(start, row == "a later start" ? later : start));
        if (row == "another user's note" && ::chown(QFile::encodeName(ServerRecord::filePath()), 65534, -1))
            continue; // needs root
        LogCapture log;
        ServerRecord::stopLeftover(100ms);
        EXPECT_EQ(processGone(pid), row == "itself") << row.toStdString();
        const QString stopped = QString("Stopped a server left by an earlier run (pid %1)").arg(pid);
        EXPECT_EQ(log.messages().filter(stopped).size(), int(row == "itself"));
    }
}

TEST_F(ServerManagerTest, TheEndOfAProcessNoLongerHeldOrOfOneLeftByADestroyedManagerChangesNothing)
{
    manager->start();
    launcher->last().end(1); // ended, its notice not yet handled
    manager->stop(ServerStatus::idle());
    manager->start();
    int lines = log.messages().size();
    scheduler->runPosted(); // the old notice
    EXPECT_EQ(manager->status(), ServerStatus::running());
    EXPECT_EQ(log.messages().size(), lines);
    crash();
    EXPECT_EQ(manager->status(), ServerStatus::restarting(1));
    manager.reset();
    scheduler->advance(10s); // the pending restart went with it
    EXPECT_EQ(launcher->specs.size(), 2u);
    manager = makeManager("/bin/sh", "/dev/null", launcher);
    manager->start();
    manager.reset(); // leaves its server running
    EXPECT_TRUE(launcher->last().received.empty());
    lines = log.messages().size();
    launcher->last().end(1);
    scheduler->advance(60s);
    EXPECT_EQ(log.messages().size(), lines);
    EXPECT_EQ(launcher->specs.size(), 3u);
}

// Output reaches server.log byte for byte, with the fallback PATH when the login shell fails; only standard error says
// "port in use", and the end notice waits for what it has written.
TEST_F(ServerManagerTest, PreflightReasonsOutputToServerLogAndEveryServerThatCannotTakeThePortIsRecognised)
{
    const auto real = std::make_shared<ChildProcessLauncher>();
    const QString node = home.path() + "/node", script = home.path() + "/server.js", missing = home.path() + "/missing.js",
                  bad = home.path() + "/bad";
    writeFile(node, QStringLiteral("#!/bin/sh\nif [ -e '%1/taken' ]; then echo 'Error: listen EADDRINUSE' >&2; exit 1; fi\n"
                                   "printf 'out EADDRINUSE PORT=%s\\n' \"$PORT\"; printf 'err \\377\\n' >&2\n"
                                   "printf 'args=%s cwd=%s home=%s path=%s\\n' \"$*\" \"$PWD\" \"$HOME\" \"$PATH\"; exit 3\n")
                        .arg(home.path()).toUtf8(), true);
    writeFile(script, "");
    writeFile(bad, "#!/no/such/interpreter\n", true);
    for (const auto& [nodeOverride, scriptOverride, reason] : std::vector<std::tuple<QString, QString, QString>> {
             { script, script, "node binary not found at " + script }, { "/bin/sh", missing, "server.js not found at " + missing },
             { bad, script, "spawn failed: could not start " + bad + ": No such file or directory" } }) {
        ScopedEnv nodeEnv("DEV_NODE_PATH", QFile::encodeName(nodeOverride));
        ScopedEnv scriptEnv("DEV_AI_SERVER_PATH", QFile::encodeName(scriptOverride));
        manager = makeManager(BundledPaths::node(), BundledPaths::serverScript(), real);
        manager->start();
        EXPECT_EQ(manager->status(), ServerStatus::preflightFailed(reason));
        EXPECT_EQ(log.messages().last(), "Pre-flight: " + reason);
    }
    EXPECT_EQ(pathLookups, 1); // only the launch that got as far as the spawn asked for the PATH
    manager = makeManager(node, script, real);
    const auto waitForStatus = [&](const ServerStatus& status) {
        return waitFor([&] { return scheduler->runPosted(), manager->status() == status; });
    };
    ScopedEnv port("PORT", QByteArray("1111"));
    pathError = "the login shell /bin/zsh did not answer within 10 s";
    manager->start();
    ASSERT_TRUE(waitForStatus(ServerStatus::restarting(1)));
    EXPECT_EQ(log.messages().last(), "Server crashed (exit 3); restart attempt 1 in 1s");
    EXPECT_TRUE(log.messages().contains("PathDiscovery failed: " + *pathError + " \u2014 falling back to default PATH"));
    for (const QByteArray& part : { QByteArray("out EADDRINUSE PORT=9876\n"), QByteArray("err \xff\n"),
                                    ("args=" + script + " cwd=" + home.path() + " home=" + home.path()).toUtf8(),
                                    QByteArray(" path=/usr/local/bin:/opt/homebrew/bin:/usr/bin:/bin\n") })
        EXPECT_TRUE(waitFor([&] { return readFile(home.logFolder() + "/server.log").contains(part); }))
            << part.toStdString();
    writeFile(home.path() + "/taken", "");
    for (int run = 0; run < 200; ++run) {
        manager->restart();
        scheduler->advance(200ms);
        ASSERT_TRUE(waitForStatus(ServerStatus::portInUse())) << "run " << run;
    }
    EXPECT_EQ(log.messages().last(), "Server exited with EADDRINUSE \u2014 abandoning restart loop");
}

// On a full disk a log says so once until an append lands again, and server.log gives way to the helper's lines.
TEST(LogRotator, OnAFullDiskServerLogGivesWayToTheHelpersLinesAndSaysSoOnce)
{
    const QByteArray folder = QFile::encodeName(QFileInfo(Log::shared().filePath()).path());
    if (::mount("tmpfs", folder, "tmpfs", 0, "size=64k,mode=0700") != 0)
        GTEST_SKIP() << "no tmpfs of our own here";
    StderrCapture err;
    LogRotator server("server.log");
    for (int round = 1; round <= 2; ++round) {
        for (int page = 0; page < 20; ++page) server.write(QByteArray(4096, 's')), server.flush();
        EXPECT_EQ(err.text().count(folder + "/server.log"), round);
        LogCapture log;
        Log::write("still heard");
        EXPECT_EQ(log.messages(), QStringList { "still heard" });
    }
    EXPECT_EQ(err.text().count('\n'), 2); // none for helper.log
    ::umount2(folder, MNT_DETACH);
}
