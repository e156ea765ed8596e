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
using S = ServerStatus;

namespace {
struct Manager : ::testing::Test {
    // By default a node and a script that exist.
    std::unique_ptr<ServerManager> make(QString node = "/bin/sh", QString js = "/dev/null",
                                        std::shared_ptr<ProcessLauncher> with = {})
    {
        return std::make_unique<ServerManager>(node, js, clock, with ? with : L,
                                               ServerManager::answerAtOnce([this] {
                                                   if (++lookups, !pathError.isEmpty())
                                                       throw std::runtime_error(pathError.toStdString());
                                                   return QString("/login/shell/bin:/usr/bin");
                                               }));
    }
    void crash(int status = 1, const QByteArray& words = {})
    {
        L->last().end(status, words), clock->runPosted();
    }
    int launches() { return int(L->specs.size()); }
    QString line() { return log.messages().last(); }
    ScopedHome home;
    std::shared_ptr<VirtualScheduler> clock = std::make_shared<VirtualScheduler>();
    std::shared_ptr<ScriptedLauncher> L = std::make_shared<ScriptedLauncher>();
    QString pathError;
    int lookups = 0;
    std::unique_ptr<ServerManager> m = make();
    LogCapture log;
};
} // namespace

TEST_F(Manager, CrashBackOffTo30sStuckFromSixthResetAt60s)
{
    m->start();
    EXPECT_TRUE(L->specs[0].environment->contains("PATH=/login/shell/bin:/usr/bin"));
    EXPECT_TRUE(L->specs[0].ownProcessGroup); // a stop reaches its workers, and they end with it
    clock->advance(120s);                     // a stable run without crashes says nothing
    EXPECT_EQ(log.messages().size(), 1);
    for (int n = 1; int delay : { 1, 2, 4, 8, 16, 30, 30 }) {
        SCOPED_TRACE(n);
        clock->advance(59s); // too short to count as stable
        // Exit 0 is a crash too; a word pushed out of the last 4096 bytes is no EADDRINUSE.
        crash(n > 1, "EADDRINUSE" + QByteArray(4087, ' '));
        EXPECT_EQ(m->status(), n <= 5 ? S::restarting(n) : S::stuck());
        EXPECT_EQ(
            line(),
            QString("Server crashed (exit %1); restart attempt %2 in %3s").arg(int(n > 1)).arg(n).arg(delay));
        clock->advance(1s * delay - 1ms);
        EXPECT_EQ(launches(), n);
        clock->advance(1ms);
        EXPECT_EQ(launches(), ++n);
    }
    clock->advance(60s);
    EXPECT_EQ(line(), "Server stable 60s \u2014 restart counter reset (was 7)");
    crash(), clock->advance(61s); // also after a single crash
    EXPECT_EQ(line(), "Server stable 60s \u2014 restart counter reset (was 1)");
    L->failWith = EMFILE, crash(); // tried again as after a crash
    clock->advance(1s);
    EXPECT_EQ(line(), "Pre-flight: spawn failed: Too many open files; restart attempt 2 in 2s");
    L->failWith = 0, clock->advance(1999ms);
    EXPECT_EQ(m->status(), S::restarting(2));
    clock->advance(1ms);
    EXPECT_EQ(m->status(), S::running());
}

TEST_F(Manager, StopCancelsPendingStartEaddrinuseCountsAfter)
{
    m->start(), crash();
    m->stop(S::idle());               // cancels the crash restart
    m->restart(), m->stop(S::idle()); // and a restart's second half
    clock->advance(60s);
    EXPECT_EQ(launches(), 1);
    m->start(), m->stop(S::idle());
    m->setStatus(S::running()); // the end of a stopped server sets the stop's status again
    clock->runPosted();
    EXPECT_EQ(m->status(), S::idle());
    struct Named final : PortHolders {
        PortHolder holderOf(quint16) const override
        {
            return { PortHolder::Kind::ownProcess, 77, "evil\nname\x1b" };
        }
    };
    m->setPortHolders(std::make_shared<Named>());
    // At the tail's start or among non-UTF-8 bytes; from a server the stop ended, or reaped before.
    for (int i = 0; const QByteArray& tail :
                    { "listen EADDRINUSE" + QByteArray(4086, ' '), QByteArray("\xff listen EADDRINUSE"),
                      "\xE2\x80\xA6"
                      "EADDRINUSE"
                          + QByteArray(4084, ' ') }) {
        m->start(), L->last().handlers.standardError(tail);
        if (i++) L->last().end(1);
        m->stop(S::idle()), clock->runPosted();
        EXPECT_EQ(m->status(), S::portInUse());
    }
    EXPECT_EQ(line(), "Port 9876 is held by pid 77 (evil?name?)"); // no line of its own for a name
}

TEST_F(Manager, RestartWaitsForOldServerClearsCounter)
{
    m->start(), crash();
    clock->advance(1s), L->last().obeysSigterm = false;
    L->last().handlers.standardError("listen EADDRINUSE\n"); // its last words do not end the restart
    m->restart();
    clock->advance(1999ms);
    EXPECT_EQ(launches(), 2); // the old server still holds the port
    clock->advance(1ms);      // SIGKILL, its end, then the start
    EXPECT_EQ(log.messages().count("SIGKILL sent to pid 4001 (SIGTERM ignored)"), 1);
    EXPECT_EQ(launches(), 3);
    crash();
    EXPECT_EQ(m->status(), S::restarting(1));
}

TEST(ServerRecord, ALeftoverIsStoppedOnlyWhileItsNoteNamesIt)
{
    ScopedHome home;
    for (const QString row : { "itself", "a later start", "another command line", "another user's note" }) {
        NamedProcess process("node");
        const pid_t pid = process.child->pid();
        ServerRecord::save(pid, row == "another command line" ? "/elsewhere/server.js" : "300");
        const QByteArray start = '"' + QByteArray::number(ProcessInfo::startTime(pid).value_or(0)) + '"',
                         later = "\"1\"";
        writeFile(ServerRecord::filePath(),
                  readFile(ServerRecord::filePath()).replace(start, row == "a later start" ? later : start));
        if (row == "another user's note" && ::chown(QFile::encodeName(ServerRecord::filePath()), 65534, -1))
            continue; // needs root
        LogCapture log;
        ServerRecord::stopLeftover(100ms);
        EXPECT_EQ(processGone(pid), row == "itself") << row;
        EXPECT_EQ(log.messages().count(QString("Stopped a server left by an earlier run (pid %1)").arg(pid)),
                  int(row == "itself"));
    }
}

TEST_F(Manager, StaleEndOrDestroyedManagerChangesNothing)
{
    m->start(), L->last().end(1); // its end notice not yet handled
    m->stop(S::idle()), m->start();
    LogCapture none;
    clock->runPosted();
    EXPECT_EQ(m->status(), S::running());
    EXPECT_TRUE(none.messages().isEmpty());
    crash(), m.reset();                // its pending restart goes with it
    m = make(), m->start(), m.reset(); // leaves its server running
    EXPECT_TRUE(L->last().received.empty());
    LogCapture after;
    L->last().end(1), clock->advance(60s);
    EXPECT_TRUE(after.messages().isEmpty());
    EXPECT_EQ(launches(), 3);
}

// Only stderr says "port in use"; the end notice waits for what it wrote.
TEST_F(Manager, PreflightServerLogEveryTakenPortSeen)
{
    const auto real = std::make_shared<ChildProcessLauncher>();
    const QString h = home.path(), node = h + "/node", bad = h + "/bad";
    writeFile(node,
              "#!/bin/sh\n[ \"$TAKEN\" ] && { echo 'listen EADDRINUSE' >&2; exit 1; }\n"
              "echo \"out EADDRINUSE $PORT $* $PWD $HOME $PATH\"; printf 'err \\377\\n' >&2; exit 3\n",
              true);
    writeFile(bad, "#!/no/such/interpreter\n", true);
    for (const auto& [nodeVar, jsVar, reason] : std::vector<std::tuple<QString, QString, QString>> {
             { "/dev/null", "/dev/null", "node binary not found at /dev/null" },
             { "/bin/sh", "/no.js", "server.js not found at /no.js" },
             { bad, "/dev/null", "spawn failed: could not start " + bad + ": No such file or directory" } }) {
        ScopedEnv n("DEV_NODE_PATH", QFile::encodeName(nodeVar)),
            s("DEV_AI_SERVER_PATH", QFile::encodeName(jsVar));
        m = make(BundledPaths::node(), BundledPaths::serverScript(), real);
        m->start();
        EXPECT_EQ(m->status(), S::preflightFailed(reason));
        EXPECT_EQ(line(), "Pre-flight: " + reason);
    }
    EXPECT_EQ(lookups, 1); // only the spawn asks for the PATH
    m = make(node, "/dev/null", real);
    const auto reaches = [&](const S& status) {
        return waitFor([&] { return clock->runPosted(), m->status() == status; });
    };
    ScopedEnv port("PORT", "1111");
    pathError = "the login shell /bin/zsh did not answer within 10 s";
    m->start();
    ASSERT_TRUE(reaches(S::restarting(1)));
    EXPECT_EQ(line(), "Server crashed (exit 3); restart attempt 1 in 1s");
    EXPECT_TRUE(log.messages().contains("PathDiscovery failed: " + pathError
                                        + " \u2014 falling back to default PATH"));
    for (const QByteArray& part :
         { ("out EADDRINUSE 9876 /dev/null /dev " + h + " /usr/local/bin:/opt/homebrew/bin:/usr/bin:/bin\n")
               .toUtf8(),
           QByteArray("err \xff\n") })
        EXPECT_TRUE(waitFor([&] { return readFile(home.logFolder() + "/server.log").contains(part); }))
            << part;
    ScopedEnv taken("TAKEN", "1");
    for (int run = 0; run < 200; ++run) {
        m->restart(), clock->advance(200ms);
        ASSERT_TRUE(reaches(S::portInUse())) << run;
    }
    EXPECT_EQ(line(), "Server exited with EADDRINUSE \u2014 abandoning restart loop");
}

TEST(LogRotator, OnAFullDiskServerLogGivesWayAndSaysSoOnce)
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
