// Serial queues, child processes, the logs and the stderr tail.
#include "Foundation/SerialQueue.h"
#include "Logging/Log.h"
#include "Logging/LogRotator.h"
#include "Supervision/StderrTail.h"
#include "TestSupport.h"

#include <QRegularExpression>
#include <QThread>
#include <QTimeZone>

#include <gtest/gtest.h>

#include <atomic>
#include <fcntl.h>
#include <future>
#include <numeric>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

using namespace std::chrono_literals;

// Lines in order under concurrent writers, and completed appends at a rotator's end, are
// checked through the logs below.
TEST(SerialQueue, SyncRunsAfterEarlierTasksOnTheNamedWorkerAndDrainGivesUpAtItsDeadline)
{
    SerialQueue queue("app.marovant.tessaryn-helper.server.stderr");
    std::atomic<bool> release { false }, earlierDone { false };
    queue.async([&] { waitFor([&] { return release.load(); }, 60s), earlierDone = true; });
    EXPECT_FALSE(queue.drain(std::chrono::steady_clock::now() + 30ms));
    release = true;
    QString threadName;
    std::thread::id worker;
    queue.sync([&] { threadName = QThread::currentThread()->objectName(), worker = std::this_thread::get_id(); });
    EXPECT_TRUE(earlierDone);
    EXPECT_NE(worker, std::this_thread::get_id());
    EXPECT_EQ(threadName, "server.stderr");
    EXPECT_TRUE(queue.drain(std::chrono::steady_clock::now() + 20s));
}

namespace {
ProcessSpec shell(const QString& script) { return makeSpec("/bin/sh", { "-c", script }); }

struct Collected {
    std::shared_ptr<ChildProcess> child;
    std::shared_ptr<std::pair<QByteArray, QByteArray>> output = std::make_shared<std::pair<QByteArray, QByteArray>>();
    std::shared_ptr<std::mutex> mutex = std::make_shared<std::mutex>();
    std::shared_ptr<QByteArray> errorsAtEnd = std::make_shared<QByteArray>(); // "<bytes of standard error>;" per end notice
};
// Starts the child with both streams read, noting how much standard error each end notice found.
Collected collect(const ProcessSpec& spec)
{
    Collected c;
    ChildProcess::Handlers handlers;
    handlers.standardOutput = [c](const QByteArray& b) { std::lock_guard l(*c.mutex); c.output->first += b; };
    handlers.standardError = [c](const QByteArray& b) { std::lock_guard l(*c.mutex); c.output->second += b; };
    handlers.finished = [c](int) { std::lock_guard l(*c.mutex); *c.errorsAtEnd += QByteArray::number(c.output->second.size()) + ";"; };
    c.child = ChildProcess::start(spec, std::move(handlers));
    return c;
}
} // namespace

TEST(ChildProcess, RunCollectsStandardOutputAndTheExitCodeOrSignal)
{
    const auto output = ChildProcess::run(shell("printf out; printf err >&2; exit 3"));
    EXPECT_EQ(output.standardOutput, "out");
    EXPECT_EQ(output.terminationStatus, 3);
    EXPECT_EQ(ChildProcess::run(shell("kill -KILL $$")).terminationStatus, SIGKILL);
    EXPECT_THROW(ChildProcess::run(shell("exec sleep 60"), 100ms), TimeoutError);
    EXPECT_THROW(ChildProcess::run(makeSpec("/no/such/program")), SpawnError);
}

TEST(ChildProcess, OneStreamClosingEarlyLeavesTheOtherReadToTheEndBeforeTheEndNotice)
{
    for (const QString script : { "exec >&-; sleep 0.3; head -c 300000 /dev/zero | tr '\\0' e >&2",
                                   "exec 2>&-; sleep 0.3; head -c 300000 /dev/zero | tr '\\0' o" }) {
        Collected c = collect(shell(script));
        ASSERT_TRUE(c.child->waitForFinished(std::chrono::steady_clock::now() + 20s)) << script.toStdString();
        std::lock_guard l(*c.mutex);
        const QByteArray& expected = script.contains(">&2") ? c.output->second : c.output->first;
        EXPECT_EQ(expected.size(), 300000) << script.toStdString();
        if (script.contains(">&2")) {
            EXPECT_EQ(*c.errorsAtEnd, "300000;"); // standard error drained before the one end notice
        }
        EXPECT_EQ(c.child->terminationStatus(), 0);
    }
}

TEST(ChildProcess, ADescendantHoldingThePipeDoesNotDelayTheEnd)
{
    QTemporaryDir dir;
    Collected c = collect(shell("sleep 60 & echo $! > " + dir.filePath("descendant") + "; exit 0"));
    EXPECT_TRUE(c.child->waitForFinished(std::chrono::steady_clock::now() + 20s));
    ::kill(readFile(dir.filePath("descendant")).trimmed().toInt(), SIGKILL);
}

// The parent blocks one signal, ignores another and holds a descriptor open without close-on-exec:
// the child must start with none of them.
TEST(ChildProcess, TheChildStartsWithDefaultSignalsAnEmptyMaskAndOnlyDescriptorsZeroToTwo)
{
    sigset_t blocked, previousMask;
    sigemptyset(&blocked);
    sigaddset(&blocked, SIGUSR1);
    ASSERT_EQ(pthread_sigmask(SIG_BLOCK, &blocked, &previousMask), 0);
    struct sigaction ignore {}, previousAction {};
    ignore.sa_handler = SIG_IGN;
    sigaction(SIGUSR2, &ignore, &previousAction);
    int inheritable[2];
    ASSERT_EQ(::pipe(inheritable), 0);

    // Read by the spawned programs themselves (a shell between would clear the mask), started both
    // ways: plainly, and as the server is, with a parent-death signal.
    std::vector<std::pair<Collected, Collected>> children;
    for (int deathSignal : { 0, SIGTERM }) {
        ProcessSpec status = makeSpec("/bin/grep", { "-E", "^Sig(Blk|Ign):", "/proc/self/status" }), fds = makeSpec("/bin/ls", { "/proc/self/fd" });
        status.parentDeathSignal = fds.parentDeathSignal = deathSignal;
        children.emplace_back(collect(status), collect(fds));
    }

    pthread_sigmask(SIG_SETMASK, &previousMask, nullptr);
    sigaction(SIGUSR2, &previousAction, nullptr);
    ::close(inheritable[0]);
    ::close(inheritable[1]);
    for (auto& [c, fds] : children) {
        ASSERT_TRUE(c.child->waitForFinished(std::chrono::steady_clock::now() + 20s));
        ASSERT_TRUE(fds.child->waitForFinished(std::chrono::steady_clock::now() + 20s));
        std::lock_guard l(*c.mutex), m(*fds.mutex);
        EXPECT_TRUE(QRegularExpression("^SigBlk:\\s+0+\nSigIgn:\\s+0+\n$").match(QString::fromUtf8(c.output->first)).hasMatch()) << c.output->first.toStdString();
        EXPECT_EQ(fds.output->first, "0\n1\n2\n3\n"); // 3: ls reading the folder
    }
}

TEST(LogRotator, LinesAreStampedInUtcWithOneLineFeed)
{
    const QDateTime time(QDate(2026, 12, 5), QTime(5, 39, 50, 123), QTimeZone::utc());
    for (const auto& [message, line] : std::vector<std::pair<QString, QByteArray>> {
             { "hello", "2026-12-05T05:39:50.123Z hello\n" }, { "", "2026-12-05T05:39:50.123Z \n" },
             { "ends\n", "2026-12-05T05:39:50.123Z ends\n" }, { "a\nb", "2026-12-05T05:39:50.123Z a\nb\n" },
             { "waking \u2014 server", "2026-12-05T05:39:50.123Z waking \xE2\x80\x94 server\n" } })
        EXPECT_EQ(LogRotator::formatLine(time, message), line);
    EXPECT_EQ(LogRotator::formatLine(QDateTime(QDate(2026, 12, 5), QTime(6, 39, 50, 7), QTimeZone(3600)), "x"),
              "2026-12-05T05:39:50.007Z x\n");
    LogCapture capture;
    Log::shared().write(QStringLiteral("x"));
    EXPECT_EQ(capture.messages(), QStringList { "x" });
    EXPECT_EQ(Log::shared().filePath(), QDir::homePath() + "/Library/Logs/Tessaryn/helper.log");
}

TEST(LogRotator, RawDataPassesUnchangedAndRotationComesOnlyPastTenMebibytesKeepingThreeGenerations)
{
    ScopedHome home;
    const QString path = home.logFolder() + "/server.log";
    auto log = std::make_unique<LogRotator>("server.log");
    EXPECT_EQ(log->filePath(), path);
    log->write(QByteArray("\xff\x00 raw", 6));
    log->write(QByteArray(LogRotator::rotationThreshold - 7, 'a'));
    log->write(QByteArray("b")); // exactly at the threshold: kept
    log.reset();
    EXPECT_EQ(readFile(path).left(6), QByteArray("\xff\x00 raw", 6));
    EXPECT_FALSE(QFile::exists(path + ".1"));
    writeFile(path + ".2", "gen2");
    writeFile(path + ".3", "gen3");
    for (const QByteArray& chunk : { QByteArray("c"), QByteArray("fresh") }) {
        log = std::make_unique<LogRotator>("server.log");
        log->write(chunk);
        log.reset();
    }
    EXPECT_EQ(readFile(path), "fresh");
    EXPECT_EQ(QFileInfo(path + ".1").size(), LogRotator::rotationThreshold + 1);
    EXPECT_EQ(readFile(path + ".3"), "gen2");
    EXPECT_FALSE(QFile::exists(path + ".4"));
}

TEST(LogRotator, FileSystemErrorsAreSwallowed)
{
    ScopedHome home;
    auto log = std::make_unique<LogRotator>("helper.log");
    QDir(home.path() + "/Library/Logs").removeRecursively();
    writeFile(home.path() + "/Library/Logs", "a file where the folder should be");
    log->write(QStringLiteral("lost"));
    log.reset();
    EXPECT_EQ(readFile(home.path() + "/Library/Logs"), "a file where the folder should be");
}

TEST(LogRotator, ConcurrentWritersKeepLinesWholeAndInOrderAcrossRotations)
{
    ScopedHome home;
    constexpr int threads = 8, linesPerThread = 20000; // about 14 MiB: one rotation or two
    auto log = std::make_unique<LogRotator>("helper.log");
    const QString path = log->filePath(), padding(40, 'p');
    std::vector<std::thread> writers;
    for (int t = 0; t < threads; ++t)
        writers.emplace_back([&, t] {
            for (int i = 0; i < linesPerThread; ++i)
                log->write(QStringLiteral("thread %1 line %2 %3").arg(t).arg(i).arg(padding));
        });
    for (auto& writer : writers)
        writer.join();
    log.reset();
    QByteArray all;
    for (const QString& file : { path + ".3", path + ".2", path + ".1", path })
        all += readFile(file);
    const QRegularExpression form(R"(^\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}Z thread (\d) line (\d+) p{40}$)");
    std::vector<int> next(threads, 0);
    for (const QByteArray& line : all.split('\n')) {
        if (line.isEmpty())
            continue;
        const auto match = form.match(QString::fromUtf8(line));
        ASSERT_TRUE(match.hasMatch()) << line.toStdString();
        ASSERT_EQ(match.captured(2).toInt(), next[match.captured(1).toInt()]++);
    }
    EXPECT_EQ(std::accumulate(next.begin(), next.end(), 0), threads * linesPerThread);
    EXPECT_TRUE(QFile::exists(path + ".1"));
}

TEST(LogRotator, RawWritesWaitWhileTheBacklogIsFullButLinesDoNot)
{
    ScopedHome home;
    constexpr qint64 limit = 256 * 1024;
    constexpr int chunkSize = 64 * 1024, chunks = 32;
    auto log = std::make_unique<LogRotator>("server.log", limit);
    // A FIFO as the log file: every append blocks in open until a reader comes, like a stalled disk.
    ASSERT_EQ(::mkfifo(QFile::encodeName(log->filePath()).constData(), 0600), 0);
    std::atomic<int> handedOver { 0 };
    std::thread writer([&] {
        for (int i = 0; i < chunks; ++i, ++handedOver)
            log->write(QByteArray(chunkSize, char('a' + i % 26)));
    });
    // The first chunk sits in the blocked append; at most the limit's worth waits behind it.
    constexpr int bound = 1 + limit / chunkSize + 1;
    waitFor([&] { return handedOver >= limit / chunkSize; }, 5s); // the backlog filled
    std::this_thread::sleep_for(200ms);
    EXPECT_LE(handedOver.load(), bound);
    auto line = std::async(std::launch::async, [&] { log->write(QStringLiteral("a text line is never held up")); });
    EXPECT_EQ(line.wait_for(20s), std::future_status::ready);
    EXPECT_LT(handedOver.load(), chunks);

    const qsizetype total = qsizetype(chunks) * chunkSize + 25 + 29;
    QByteArray received;
    std::thread drain([&] { // holding both ends, the reader sees no end of file between appends
        const int fd = ::open(QFile::encodeName(log->filePath()).constData(), O_RDWR);
        char buffer[65536];
        for (ssize_t n; received.size() < total && (n = ::read(fd, buffer, sizeof buffer)) > 0;)
            received.append(buffer, int(n));
        ::close(fd);
    });
    writer.join();
    drain.join();
    log.reset();
    const qsizetype at = received.indexOf(" a text line is never held up\n");
    ASSERT_GE(at, 24);
    received.remove(at - 24, 54);
    ASSERT_EQ(received.size(), qsizetype(chunks) * chunkSize);
    for (int i = 0; i < chunks; ++i)
        ASSERT_EQ(received.mid(qsizetype(i) * chunkSize, chunkSize), QByteArray(chunkSize, char('a' + i % 26))) << i;
}

TEST(StderrTail, KeepsTheLast4096BytesAndInvalidOrCutUtf8GivesTheEmptyText)
{
    StderrTail tail;
    tail.append(QByteArray(4095, 'x') + "y");
    tail.append("z");
    EXPECT_EQ(tail.snapshot(), QString(4094, 'x') + "yz");
    tail.clear();
    EXPECT_EQ(tail.snapshot(), "");
    tail.append("Error: listen EADDRINUSE\n");
    EXPECT_EQ(tail.snapshot(), "Error: listen EADDRINUSE\n");
    for (const QByteArray& bytes : { QByteArray("\xff EADDRINUSE"), QByteArray("\xE2\x80\xA6") + QByteArray(4094, 'a') }) {
        tail.clear();
        tail.append(bytes);
        EXPECT_EQ(tail.snapshot(), "");
    }
}
