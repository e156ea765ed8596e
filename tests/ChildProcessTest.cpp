#include "Foundation/ChildProcess.h"

#include "TestSupport.h"

#include <QDir>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <csignal>
#include <unistd.h>

namespace {

ProcessSpec shell(const QString& script)
{
    ProcessSpec spec;
    spec.program = "/bin/sh";
    spec.arguments = { "-c", script };
    return spec;
}

} // namespace

TEST(ChildProcessRun, CollectsStandardOutputAndTheExitCodeOnly)
{
    const auto output = ChildProcess::run(shell("printf 'out'; printf 'err' >&2; exit 3"));
    EXPECT_EQ(output.standardOutput, "out");
    EXPECT_EQ(output.terminationStatus, 3);
}

TEST(ChildProcessRun, ReportsTheSignalThatEndedTheChild)
{
    EXPECT_EQ(ChildProcess::run(shell("kill -KILL $$")).terminationStatus, SIGKILL);
}

TEST(ChildProcessRun, AProgramThatCannotStartIsASpawnErrorNamingItAndTheReason)
{
    ProcessSpec spec;
    spec.program = "/nonexistent/tool";
    try {
        ChildProcess::run(spec);
        FAIL() << "no error";
    } catch (const SpawnError& error) {
        const QString text = error.what();
        EXPECT_TRUE(text.contains("/nonexistent/tool")) << error.what();
        EXPECT_TRUE(text.contains("No such file or directory")) << error.what();
    }
}

TEST(ChildProcessRun, WorkingDirectoryAndEnvironmentAreTheOnesGiven)
{
    QTemporaryDir dir;
    ProcessSpec spec = shell("pwd; echo \"$ONLY\"; env | wc -l");
    spec.workingDirectory = dir.path();
    spec.environment = QStringList { "ONLY=this" };
    const QStringList lines = QString::fromUtf8(ChildProcess::run(spec).standardOutput).split('\n');
    EXPECT_EQ(lines.value(0), QDir(dir.path()).canonicalPath());
    EXPECT_EQ(lines.value(1), "this");
    EXPECT_LE(lines.value(2).trimmed().toInt(), 4); // ONLY plus what sh itself sets
}

TEST(ChildProcessRun, ATimeoutKillsTheWholeGroupAndSaysSo)
{
    QTemporaryDir dir;
    const QString pidFile = dir.filePath("grandchild");
    ProcessSpec spec = shell(QString("sleep 30 & echo $! > %1; wait").arg(pidFile));
    spec.ownProcessGroup = true;
    const auto started = std::chrono::steady_clock::now();
    EXPECT_THROW(ChildProcess::run(spec, std::chrono::milliseconds(300)), TimeoutError);
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(5));
    const pid_t grandchild = readFile(pidFile).trimmed().toInt();
    ASSERT_GT(grandchild, 0);
    EXPECT_TRUE(waitFor([&] { return ::kill(grandchild, 0) != 0; }, std::chrono::seconds(5)));
}

TEST(ChildProcessStart, EverythingWrittenBeforeTheEndArrivesBeforeFinished)
{
    for (int i = 0; i < 200; ++i) {
        auto received = std::make_shared<QByteArray>();
        auto receivedAtFinish = std::make_shared<QByteArray>();
        auto mutex = std::make_shared<std::mutex>();
        ChildProcess::Handlers handlers;
        handlers.standardError = [=](const QByteArray& chunk) {
            std::lock_guard lock(*mutex);
            received->append(chunk);
        };
        handlers.finished = [=](int) {
            std::lock_guard lock(*mutex);
            *receivedAtFinish = *received;
        };
        auto child = ChildProcess::start(shell("echo 'Error: listen EADDRINUSE: address already in use' >&2; exit 1"),
                                         std::move(handlers));
        ASSERT_TRUE(child->waitForFinished(std::chrono::steady_clock::now() + std::chrono::seconds(10)));
        std::lock_guard lock(*mutex);
        ASSERT_TRUE(receivedAtFinish->contains("EADDRINUSE")) << "run " << i;
        EXPECT_EQ(child->terminationStatus(), 1);
        EXPECT_FALSE(child->isRunning());
    }
}

TEST(ChildProcessStart, ADescendantHoldingThePipeDoesNotDelayTheEnd)
{
    QTemporaryDir dir;
    const QString pidFile = dir.filePath("descendant");
    ChildProcess::Handlers handlers;
    handlers.standardOutput = [](const QByteArray&) {};
    auto child = ChildProcess::start(shell(QString("sleep 30 & echo $! > %1; exit 0").arg(pidFile)), std::move(handlers));
    EXPECT_TRUE(child->waitForFinished(std::chrono::steady_clock::now() + std::chrono::seconds(5)));
    ::kill(readFile(pidFile).trimmed().toInt(), SIGKILL);
}

TEST(ChildProcessStart, SignalsReachTheChildOnlyWhileItRuns)
{
    ChildProcess::Handlers handlers;
    handlers.standardOutput = [](const QByteArray&) {};
    auto child = ChildProcess::start(shell("exec sleep 30"), std::move(handlers));
    EXPECT_TRUE(child->isRunning());
    child->sendSignal(SIGTERM);
    ASSERT_TRUE(child->waitForFinished(std::chrono::steady_clock::now() + std::chrono::seconds(5)));
    EXPECT_EQ(child->terminationStatus(), SIGTERM);
    EXPECT_FALSE(child->isRunning());
    child->sendSignal(SIGKILL); // reaped: must not reach whatever now has that pid
}
