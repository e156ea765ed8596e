#include "Logging/Log.h"
#include "Logging/LogRotator.h"

#include "TestSupport.h"

#include <QFile>
#include <QRegularExpression>
#include <QTimeZone>

#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <thread>

// A rotator's queued appends are all completed when it is destroyed: the tests wait for them so.
TEST(LogLineFormat, StampSpaceMessageAndOneLineFeed)
{
    const QDateTime time(QDate(2026, 12, 5), QTime(5, 39, 50, 123), QTimeZone::utc());
    EXPECT_EQ(LogRotator::formatLine(time, "hello"), "2026-12-05T05:39:50.123Z hello\n");
    EXPECT_EQ(LogRotator::formatLine(time, ""), "2026-12-05T05:39:50.123Z \n");
    EXPECT_EQ(LogRotator::formatLine(time, "ends\n"), "2026-12-05T05:39:50.123Z ends\n");
    EXPECT_EQ(LogRotator::formatLine(time, "a\nb"), "2026-12-05T05:39:50.123Z a\nb\n");
    EXPECT_EQ(LogRotator::formatLine(time, "Premiere launched \u2014 waking server"),
              QByteArray("2026-12-05T05:39:50.123Z Premiere launched \xE2\x80\x94 waking server\n"));
    // A stamp is UTC whatever zone the time was taken in.
    const QDateTime local(QDate(2026, 12, 5), QTime(6, 39, 50, 7), QTimeZone(3600));
    EXPECT_EQ(LogRotator::formatLine(local, "x"), "2026-12-05T05:39:50.007Z x\n");
}

TEST(LogRotator, SharedLogWritesStampedLinesToHelperLogUnderHome)
{
    const QString path = QDir::homePath() + "/Library/Logs/Tessaryn/helper.log";
    LogCapture capture;
    Log::shared().write(QStringLiteral("x"));
    EXPECT_EQ(capture.messages(), QStringList { "x" });
    EXPECT_EQ(Log::shared().filePath(), path);
    EXPECT_TRUE(QString::fromUtf8(readFile(path)).contains(
        QRegularExpression(R"((^|\n)\d{4}-\d{2}-\d{2}T\d{2}:\d{2}:\d{2}\.\d{3}Z x\n$)")));
}

TEST(LogRotator, RawDataIsAppendedUnchangedAndCreatesTheFile)
{
    ScopedHome home;
    auto log = std::make_unique<LogRotator>("server.log");
    EXPECT_TRUE(QDir(home.logFolder()).exists()); // made at construction
    EXPECT_FALSE(QFile::exists(log->filePath()));
    log->write(QByteArray("partial line, no end"));
    log->write(QByteArray("\xff\x00 more", 7));
    const QString path = log->filePath();
    log.reset();
    EXPECT_EQ(readFile(path), QByteArray("partial line, no end\xff\x00 more", 27));
}

TEST(LogRotator, RotatesOnlyAfterTheFileGoesPastTenMebibytes)
{
    ScopedHome home;
    auto log = std::make_unique<LogRotator>("server.log");
    const QString path = log->filePath();
    log->write(QByteArray(LogRotator::rotationThreshold - 1, 'a'));
    log->write(QByteArray(1, 'b')); // exactly at the threshold: kept
    log->write(QByteArray()); // an empty append changes nothing
    log.reset();
    EXPECT_EQ(QFileInfo(path).size(), LogRotator::rotationThreshold);
    EXPECT_FALSE(QFile::exists(path + ".1"));

    log = std::make_unique<LogRotator>("server.log");
    log->write(QByteArray("c")); // one byte over: rotated right after this append
    log.reset();
    EXPECT_FALSE(QFile::exists(path));
    EXPECT_EQ(QFileInfo(path + ".1").size(), LogRotator::rotationThreshold + 1);
    EXPECT_TRUE(readFile(path + ".1").endsWith("bc"));

    log = std::make_unique<LogRotator>("server.log");
    log->write(QByteArray("fresh"));
    log.reset();
    EXPECT_EQ(readFile(path), "fresh");
}

TEST(LogRotator, RotationShiftsGenerationsAndDropsTheOldest)
{
    ScopedHome home;
    const QString path = home.logFolder() + "/helper.log";
    writeFile(path + ".1", "gen1");
    writeFile(path + ".2", "gen2");
    writeFile(path + ".3", "gen3");
    auto log = std::make_unique<LogRotator>("helper.log");
    log->write(QByteArray(LogRotator::rotationThreshold + 1, 'z'));
    log.reset();
    EXPECT_FALSE(QFile::exists(path));
    EXPECT_EQ(QFileInfo(path + ".1").size(), LogRotator::rotationThreshold + 1);
    EXPECT_EQ(readFile(path + ".2"), "gen1");
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
    constexpr int threads = 8;
    constexpr int linesPerThread = 20000;
    auto log = std::make_unique<LogRotator>("helper.log");
    const QString path = log->filePath();
    // Lines of about 90 bytes: 160,000 of them make about 14 MiB, a rotation or two, well within
    // what the active file and three generations hold.
    const QString padding(40, QChar('p'));
    std::vector<std::thread> writers;
    for (int t = 0; t < threads; ++t)
        writers.emplace_back([&, t] {
            for (int i = 0; i < linesPerThread; ++i)
                log->write(QStringLiteral("thread %1 line %2 %3").arg(t).arg(i).arg(padding));
        });
    for (auto& writer : writers)
        writer.join();
    log.reset();

    EXPECT_TRUE(QFile::exists(path + ".1"));
    QByteArray all;
    for (const QString& file : { path + ".3", path + ".2", path + ".1", path })
        all += readFile(file);
    const QRegularExpression form(R"(^\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}Z thread (\d) line (\d+) p{40}$)");
    std::vector<int> next(threads, 0);
    int count = 0;
    for (const QByteArray& line : all.split('\n')) {
        if (line.isEmpty())
            continue;
        const auto match = form.match(QString::fromUtf8(line));
        ASSERT_TRUE(match.hasMatch()) << line.toStdString();
        const int t = match.captured(1).toInt();
        ASSERT_EQ(match.captured(2).toInt(), next[t]) << "thread " << t << " out of order";
        ++next[t];
        ++count;
    }
    EXPECT_EQ(count, threads * linesPerThread);
}

TEST(LogRotator, RawWritesWaitWhileTheBacklogIsFullButLinesDoNot)
{
    ScopedHome home;
    constexpr qint64 limit = 256 * 1024;
    constexpr int chunkSize = 64 * 1024;
    constexpr int chunks = 32;
    auto log = std::make_unique<LogRotator>("server.log", limit);
    // A FIFO as the log file: every append blocks in open until a reader comes, like a disk that
    // has stopped taking data.
    ASSERT_EQ(::mkfifo(QFile::encodeName(log->filePath()).constData(), 0600), 0);

    std::atomic<int> handedOver { 0 };
    std::thread reader([&] {
        for (int i = 0; i < chunks; ++i) {
            log->write(QByteArray(chunkSize, char('a' + i % 26)));
            ++handedOver;
        }
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    // The first chunk sits in the blocked append; at most the limit's worth waits behind it.
    EXPECT_LE(handedOver.load(), 1 + limit / chunkSize + 1);
    EXPECT_LT(handedOver.load(), chunks);

    // A text line goes through while the raw writer is still held up.
    auto lineWritten = std::async(std::launch::async, [&] { log->write(QStringLiteral("a text line is never held up")); });
    EXPECT_EQ(lineWritten.wait_for(std::chrono::seconds(10)), std::future_status::ready);
    EXPECT_LT(handedOver.load(), chunks);

    // Open the "disk" again: everything arrives, in order, the line among the chunks.
    const QByteArray line = LogRotator::formatLine(QDateTime::currentDateTimeUtc(), "a text line is never held up");
    const qsizetype total = qsizetype(chunks) * chunkSize + line.size();
    QByteArray received;
    std::thread drain([&] {
        // Holding both ends, the test's reader never sees an end of file between appends.
        const int fd = ::open(QFile::encodeName(log->filePath()).constData(), O_RDWR);
        char buffer[65536];
        ssize_t n;
        while (received.size() < total && (n = ::read(fd, buffer, sizeof buffer)) > 0)
            received.append(buffer, int(n));
        ::close(fd);
    });
    reader.join();
    drain.join();
    log.reset();
    EXPECT_EQ(handedOver.load(), chunks);
    const qsizetype at = received.indexOf(" a text line is never held up\n");
    ASSERT_GE(at, 24);
    received.remove(at - 24, line.size());
    ASSERT_EQ(received.size(), qsizetype(chunks) * chunkSize);
    for (int i = 0; i < chunks; ++i)
        ASSERT_TRUE(received.mid(qsizetype(i) * chunkSize, chunkSize) == QByteArray(chunkSize, char('a' + i % 26)))
            << "chunk " << i;
}
