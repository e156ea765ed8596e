#include "Foundation/ChildProcess.h"

#include "TestSupport.h"

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
