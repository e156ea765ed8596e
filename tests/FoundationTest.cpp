#include "Logging/LogRotator.h"
#include "Platform/HomeFolders.h"
#include "TestSupport.h"

#include <QDir>
#include <QFileInfo>
#include <QRegularExpression>
#include <QTimeZone>

#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <pwd.h>
#include <sys/resource.h>
#include <thread>
#include <unistd.h>

using namespace std::chrono_literals;

namespace {
struct Output {
    QByteArray out, err, ends;
}; // ends: the size of err at each end notice
// Stderr read slowly: its last bytes are still in the pipe at the end.
Output runScript(const QString& script)
{
    struct Shared {
        std::mutex m;
        Output o;
    };
    auto s = std::make_shared<Shared>();
    ChildProcess::Handlers h;
    h.standardOutput = [s](const QByteArray& b) {
        std::lock_guard l(s->m);
        s->o.out += b;
    };
    h.standardError = [s](const QByteArray& b) {
        std::this_thread::sleep_for(20ms);
        std::lock_guard l(s->m);
        s->o.err += b;
    };
    h.finished = [s](int) {
        std::lock_guard l(s->m);
        s->o.ends += QByteArray::number(s->o.err.size()) + ";";
    };
    EXPECT_TRUE(ChildProcess::start(makeSpec("/bin/sh", { "-c", script }), h)
                    ->waitForFinished(std::chrono::steady_clock::now() + 20s));
    std::lock_guard l(s->m);
    return s->o;
}
} // namespace

TEST(ChildProcess, StreamsReadToTheEndNoDescendantDelaysIt)
{
    const QString late300k = "sleep 0.3; head -c 300000 /dev/zero | tr '\\0' ";
    EXPECT_EQ(runScript("exec >&-; " + late300k + "e >&2").ends, "300000;");
    EXPECT_EQ(runScript("exec 2>&-; " + late300k + "o").out.size(), 300000);
    for (const QString descendant :
         { "sleep 60 &", "yes >&2 & sleep 0.3;" }) { // holding the pipes, even writing on
        const pid_t pid = runScript(descendant + " echo $!").out.trimmed().toInt();
        ASSERT_GT(pid, 0);
        ::kill(pid, SIGKILL);
    }
}

// A server that forked its worker.
TEST(ChildProcess, WhatIsLeftOfItsGroupEndsWithTheChild)
{
    QTemporaryDir dir;
    ProcessSpec spec = makeSpec("/bin/sh", { "-c", "sleep 60 & echo $! >\"$0\"", dir.path() + "/pid" });
    spec.ownProcessGroup = true;
    ASSERT_TRUE(ChildProcess::start(spec, {})->waitForFinished(std::chrono::steady_clock::now() + 20s));
    const pid_t worker = readFile(dir.path() + "/pid").trimmed().toInt();
    EXPECT_TRUE(worker > 0 && waitFor([&] { return processGone(worker); }));
    ::kill(worker, SIGKILL);
}

// Though a descendant holds the pipe.
TEST(ChildProcess, ARunEndsAtItsBoundWithTheChildsGroup)
{
    QTemporaryDir dir;
    ProcessSpec spec =
        makeSpec("/bin/sh", { "-c", "sleep 60 & echo $! $$ >\"$0\"; exec sleep 60", dir.path() + "/pids" });
    spec.ownProcessGroup = true;
    EXPECT_THROW(ChildProcess::run(spec, 300ms), TimeoutError);
    for (const QByteArray& pid : readFile(dir.path() + "/pids").trimmed().split(' '))
        EXPECT_TRUE(waitFor([&] { return processGone(pid.toInt()); }));
}

// Plainly and as the server is (parent-death signal).
TEST(ChildProcess, StartsWithDefaultSignalsAndOnlyFdsZeroToTwo)
{
    sigset_t blocked;
    sigemptyset(&blocked), sigaddset(&blocked, SIGUSR1);
    ASSERT_EQ(pthread_sigmask(SIG_BLOCK, &blocked, nullptr), 0);
    std::signal(SIGUSR2, SIG_IGN);
    const int inheritable = ::dup(2);
    ASSERT_GE(inheritable, 3);
    for (int deathSignal : { 0, SIGTERM }) // no shell between: it would reset them
        for (ProcessSpec spec : { makeSpec("/bin/grep", { "-E", "^Sig(Blk|Ign):", "/proc/self/status" }),
                                  makeSpec("/bin/ls", { "/proc/self/fd" }) }) {
            spec.parentDeathSignal = deathSignal;
            const QString out =
                ChildProcess::run(spec, 20s).standardOutput; // ls holds 3 while it reads the folder
            EXPECT_TRUE(out == "0\n1\n2\n3\n"
                        || QRegularExpression("^SigBlk:\\s+0+\nSigIgn:\\s+0+\n$").match(out).hasMatch())
                << out;
        }
    pthread_sigmask(SIG_UNBLOCK, &blocked, nullptr), std::signal(SIGUSR2, SIG_DFL), ::close(inheritable);
}

TEST(LogRotator, LinesAreStampedInUtcWithOneLineFeed)
{
    const QDateTime time(QDate(2026, 12, 5), QTime(6, 39, 50, 7), QTimeZone(3600));
    for (const auto& [message, line] : std::vector<std::pair<QString, QByteArray>> {
             { "ends\n", "ends\n" },
             { "waking \u2014 server", "waking \xE2\x80\x94 server\n" },
             // No forged line, nor one hidden behind a terminal's escape.
             { "at /a\n2026-01-01T00:00:00.000Z forged\r\x1b[2K\x7f",
               "at /a?2026-01-01T00:00:00.000Z forged??[2K?\n" } })
        EXPECT_EQ(LogRotator::formatLine(time, message), "2026-12-05T05:39:50.007Z " + line);
}

// Concurrent writers' lines stay whole, in order.
TEST(LogRotator, RotatesPastTenMebibytesIntoThreeGenerations)
{
    ScopedHome home;
    const qint64 tenMiB = 10 << 20;
    const QString path = home.logFolder() + "/server.log";
    const QByteArray raw("\xff\x00 raw", 6);
    auto log = std::make_unique<LogRotator>("server.log");
    log->write(raw), log->write(QByteArray(tenMiB - 7, 'a')), log->write(QByteArray("\n"));
    log.reset(); // exactly ten mebibytes: kept
    EXPECT_FALSE(QFile::exists(path + ".1"));
    for (const char* n : { "1", "2", "3" }) writeFile(path + "." + n, QByteArray("gen") + n);
    const int threads = 8, lines = 15000; // about 11 MiB
    log = std::make_unique<LogRotator>("server.log");
    std::vector<std::thread> writers;
    for (int t = 0; t < threads; ++t)
        writers.emplace_back([&, t] {
            for (int i = 0; i < lines; ++i)
                log->write(QString("thread %1 line %2 %3").arg(t).arg(i).arg(QString(50, 'p')));
        });
    for (auto& writer : writers) writer.join();
    log.reset();
    EXPECT_EQ(readFile(path + ".3"), "gen1");
    EXPECT_FALSE(QFile::exists(path + ".4"));
    EXPECT_TRUE(readFile(path + ".2").startsWith(raw));
    const qint64 full = QFileInfo(path + ".2").size(); // at most a 256-KiB batch past the limit
    EXPECT_TRUE(full > tenMiB && full <= tenMiB + (256 << 10)) << full;
    const QRegularExpression form(R"(^\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}Z thread (\d) line (\d+) p{50}$)");
    std::vector<int> next(threads, 0);
    for (const QString& line : readLines(path + ".2").mid(1) + readLines(path + ".1") + readLines(path)) {
        const auto match = form.match(line);
        ASSERT_TRUE(match.hasMatch()) << line;
        ASSERT_EQ(match.captured(2).toInt(), next[match.captured(1).toInt()]++);
    }
    EXPECT_EQ(next, std::vector<int>(threads, lines));
}

TEST(LogRotator, RawWritesWaitOnAFullBacklogLinesDoNot)
{
    ScopedHome home;
    const int limit = 256 << 10, chunk = 64 << 10, chunks = 32;
    std::promise<void> disk;
    auto log = std::make_unique<LogRotator>("server.log", limit,
                                            [stalled = disk.get_future().share()] { stalled.wait(); });
    std::atomic<int> handedOver { 0 }, tid { 0 };
    std::thread writer([&] {
        tid = ::gettid();
        for (int i = 0; i < chunks; ++i, ++handedOver) log->write(QByteArray(chunk, char('a' + i % 26)));
    });
    const auto asleep = [&] {
        return readFile(QString("/proc/self/task/%1/stat").arg(tid)).split(')').last().startsWith(" S");
    };
    ASSERT_TRUE(waitFor([&] { return handedOver == chunks || (handedOver >= limit / chunk && asleep()); }));
    EXPECT_LE(handedOver.load(),
              1 + limit / chunk + 1); // one in the blocked append, the limit's worth behind it
    auto line = std::async(std::launch::async,
                           [&] { log->write(QString("a text line is never held up")), log->flush(); });
    EXPECT_EQ(line.wait_for(20s), std::future_status::ready); // flush gives up after a second
    disk.set_value();
    const QString path = log->filePath();
    writer.join(), log.reset();
    QByteArray received = readFile(path);
    const qsizetype at = received.indexOf(" a text line is never held up\n");
    ASSERT_GE(at, 24);
    received.remove(at - 24, 54);
    for (int i = 0; i < chunks; ++i)
        ASSERT_EQ(received.mid(i * chunk, chunk), QByteArray(chunk, char('a' + i % 26))) << i;
}

TEST(LogRotator, BacklogAppendedIn256KiBBatchesWholeOrAbsent)
{
    ScopedHome home;
    std::promise<void> disk;
    std::atomic<int> appends { 0 };
    LogRotator log("server.log", 16 << 20,
                   [&appends, stalled = disk.get_future().share()] { ++appends, stalled.wait(); });
    rlimit saved {}; // the full disk: a write is cut short, the next one fails
    ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &saved), 0);
    ::signal(SIGXFSZ, SIG_IGN);
    const rlimit full { 10, saved.rlim_max };
    ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &full), 0);
    log.write(QByteArray("first\n"));
    waitFor([&] { return appends == 1; }, 5s);
    log.write(QByteArray("cut short\n")), log.write(QByteArray("together\n")); // queued behind it: one append
    for (int i = 0; i < 8; ++i)
        log.write(QByteArray(64 << 10, 'x')); // with three chunks, then four, then one
    disk.set_value(), log.flush();
    ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &saved), 0);
    log.write(QByteArray("whole\n")), log.flush();
    EXPECT_EQ(readFile(log.filePath()), "first\nwhole\n");
    EXPECT_EQ(appends, 5);
}

// Without HOME, the password database's home.
TEST(HomeFolders, XdgVariablesAndHomeOnlyAsAbsolutePaths)
{
    const QString user = QFile::decodeName(::getpwuid(::getuid())->pw_dir);
    const auto under = [](const QString& h) {
        return QStringList { h + "/.local/state/tessaryn/logs", h + "/.local/state/tessaryn",
                             h + "/.cache/tessaryn", "" };
    };
    struct Row {
        std::optional<QByteArray> home, state, cache, runtime;
        QStringList folders;
    };
    for (const Row& r :
         std::vector<Row> { { "/h", {}, {}, {}, under("/h") },
                            { "/h/",
                              "/s",
                              "/c/",
                              "/r",
                              { "/s/tessaryn/logs", "/s/tessaryn", "/c/tessaryn", "/r/tessaryn" } },
                            { "h", "s", "c", "r", under(user) },
                            { {}, "", "", "", under(user) } }) {
        ScopedEnv home("HOME", r.home), state("XDG_STATE_HOME", r.state), cache("XDG_CACHE_HOME", r.cache),
            run("XDG_RUNTIME_DIR", r.runtime);
        EXPECT_EQ(QStringList({ HomeFolders::logFolder(), HomeFolders::supportFolder(),
                                HomeFolders::cacheFolder(), HomeFolders::runtimeFolder() }),
                  r.folders)
            << r.home.value_or("-");
    }
}

// One the group may write to is made the user's alone; a refusal is said once.
TEST(HomeFolders, OnlyTheUsersOwnFoldersTakeLogsNeverViaALink)
{
    struct Row {
        mode_t mode;
        uid_t owner;
        bool link;
        mode_t after;
    }; // of the state folder; a link at server.log
    for (const Row& r : std::vector<Row> { { 0, 0, false, 0700 },
                                           { 0770, ::getuid(), false, 0750 },
                                           { 0700, ::getuid() + 1, false, 0 },
                                           { 0700, ::getuid(), true, 0 } }) {
        ScopedHome home;
        StderrCapture err;
        const QString log = home.logFolder() + "/server.log", target = home.path() + "/target";
        const QByteArray state = QFile::encodeName(home.supportFolder());
        if (r.mode && (QDir().mkpath(home.logFolder()), ::chmod(state, r.mode), ::chown(state, r.owner, -1)))
            continue; // needs root
        if (r.link) QFile::link(target, log);
        {
            LogRotator rotator("server.log");
            rotator.write(QByteArray("bytes")), rotator.flush(), rotator.write(QByteArray("bytes"));
        }
        struct stat made {};
        EXPECT_EQ(readFile(log) + readFile(target), r.after ? "bytesbytes" : "") << r.mode << r.link;
        EXPECT_TRUE(!r.after || (::stat(state, &made) == 0 && (made.st_mode & 0777) == r.after)) << r.mode;
        EXPECT_EQ(err.text().count('\n'), r.after ? 0 : 1) << r.mode << r.link;
    }
}
