// How fast the helper carries a server's standard output into server.log, and what that costs it,
// beside the same output going through `cat` into a file.
//
// The "node" executable is a shell script that writes 256 MiB to standard output as fast as it
// can, the last 24 bytes being an end mark. Rotation keeps only about 40 MiB of it on disk, so the
// run is complete when (a) the manager has handled the end of the process on the main thread -
// by then the readers have handed every byte to the log - and (b) the end mark has reached
// server.log or server.log.1, which the log's serial queue only allows once every earlier append
// has run. A counting launcher around the real ChildProcessLauncher checks that exactly 256 MiB
// were handed over.

#include "BenchSupport.h"

#include "Foundation/ChildProcess.h"
#include "Foundation/EventLoopScheduler.h"
#include "Foundation/ProcessLauncher.h"
#include "Platform/HomeFolders.h"
#include "Supervision/ServerManager.h"
#include "Supervision/ServerStatus.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QHash>
#include <QTemporaryDir>
#include <QTimer>

#include <algorithm>
#include <atomic>
#include <csignal>
#include <cstdio>
#include <optional>
#include <unistd.h>

using namespace Bench;

namespace {

constexpr qint64 totalBytes = 256 * mebibyte;
const QByteArray endMark = QByteArrayLiteral("TESSARYN-BENCH-END-MARK\n");
constexpr auto overallTimeout = std::chrono::minutes(5);

// 4095 blocks of 64 KiB from dd, then the rest of the last block from head, then the end mark:
// 268,435,456 bytes in all.
QByteArray serverScript()
{
    const qint64 lastBlock = 65536 - endMark.size();
    return QByteArrayLiteral("#!/bin/sh\n"
                             "dd if=/dev/zero bs=65536 count=4095 status=none\n"
                             "head -c ")
        + QByteArray::number(lastBlock) + QByteArrayLiteral(" /dev/zero\nprintf '") + endMark.trimmed()
        + QByteArrayLiteral("\\n'\n");
}

// The real launcher, counting the standard-output bytes handed to the manager's reader and
// keeping the launched process, so the bench can make sure it has ended.
class CountingLauncher final : public ProcessLauncher {
public:
    std::shared_ptr<LaunchedProcess> launch(const ProcessSpec& spec, ChildProcess::Handlers handlers) override
    {
        handlers.standardOutput = [this,
                                   forward = std::move(handlers.standardOutput)](const QByteArray& data) {
            bytes.fetch_add(data.size(), std::memory_order_relaxed);
            chunks.fetch_add(1, std::memory_order_relaxed);
            forward(data);
        };
        auto process = real_.launch(spec, std::move(handlers));
        launched.push_back(process);
        return process;
    }

    std::atomic<qint64> bytes { 0 };
    std::atomic<qint64> chunks { 0 };
    std::vector<std::shared_ptr<LaunchedProcess>> launched;

private:
    ChildProcessLauncher real_;
};

struct Reference {
    double seconds = 0;
    Usage usage; // of the children of this run
    bool complete = false;
};

// Runs a shell command line with "$0" the script and "$1" the output file.
Reference runShell(const QString& commandLine, const QString& script, const QString& output)
{
    QFile::remove(output);
    ProcessSpec spec;
    spec.program = QStringLiteral("/bin/sh");
    spec.arguments = { QStringLiteral("-c"), commandLine, script, output };
    spec.nullStandardInput = true;
    Reference result;
    const Usage before = childrenUsage();
    const auto start = Clock::now();
    const ChildProcess::Output run = ChildProcess::run(spec, std::chrono::minutes(5));
    result.seconds = secondsBetween(start, Clock::now());
    const Usage after = childrenUsage();
    result.usage.userSeconds = after.userSeconds - before.userSeconds;
    result.usage.systemSeconds = after.systemSeconds - before.systemSeconds;
    result.usage.peakRssKiB = after.peakRssKiB;
    result.complete = run.terminationStatus == 0;
    return result;
}

struct Supervised {
    double exitSeconds = -1;  // the manager handled the end of the process
    double drainSeconds = -1; // the end mark reached the log
    Usage self;               // this process during the run
    Usage children;           // the script and its dd and head
    long rssBeforeKiB = 0;
    qint64 handedBytes = 0;
    qint64 handedChunks = 0;
    QString failure;
};

Supervised runSupervised(const QString& script, const QString& serverJs)
{
    Supervised result;
    auto scheduler = std::make_shared<EventLoopScheduler>();
    auto launcher = std::make_shared<CountingLauncher>();
    auto manager = std::make_unique<ServerManager>(
        script, serverJs, scheduler, launcher,
        ServerManager::answerAtOnce([] { return qEnvironmentVariable("PATH"); }));
    const QString logPath = HomeFolders::logFolder() + QStringLiteral("/server.log");

    std::optional<Clock::time_point> exited, drained;
    const Usage selfBefore = selfUsage();
    result.rssBeforeKiB = selfBefore.peakRssKiB;
    const Usage childrenBefore = childrenUsage();
    const auto start = Clock::now();

    QObject::connect(
        manager.get(), &ServerManager::statusChanged, manager.get(), [&](const ServerStatus& status) {
            if (status.kind() == ServerStatus::Kind::restarting && !exited) {
                exited = Clock::now();
                // The end of the script counts as a crash; stopping once the handler has returned
                // cancels the restart it schedules.
                scheduler->post([&] { manager->stop(ServerStatus::stopped()); });
            } else if (status.kind() == ServerStatus::Kind::portInUse
                       || status.kind() == ServerStatus::Kind::preflightFailed) {
                result.failure = QStringLiteral("server did not start: ") + status.menuHeaderText();
                QCoreApplication::quit();
            }
        });

    QTimer poll;
    QObject::connect(&poll, &QTimer::timeout, [&] {
        if (!drained
            && (readTail(logPath, endMark.size()) == endMark
                || readTail(logPath + QStringLiteral(".1"), endMark.size()) == endMark))
            drained = Clock::now();
        if (exited && drained)
            QCoreApplication::quit();
        else if (Clock::now() - start > overallTimeout) {
            result.failure = QStringLiteral("timed out");
            QCoreApplication::quit();
        }
    });
    poll.start(5);
    scheduler->post([&] { manager->start(); });
    QCoreApplication::exec();
    poll.stop();

    result.self = selfUsage();
    result.self.userSeconds -= selfBefore.userSeconds;
    result.self.systemSeconds -= selfBefore.systemSeconds;
    if (exited)
        result.exitSeconds = secondsBetween(start, *exited);
    if (drained)
        result.drainSeconds = secondsBetween(start, *drained);
    result.handedBytes = launcher->bytes.load();
    result.handedChunks = launcher->chunks.load();

    // Leave nothing running: stop the manager, kill what is left, wait for its end.
    manager->stop(ServerStatus::stopped());
    for (const auto& process : launcher->launched) {
        const auto deadline = Clock::now() + std::chrono::seconds(10);
        while (process->isRunning() && Clock::now() < deadline) {
            if (Clock::now() > deadline - std::chrono::seconds(8))
                process->sendSignal(SIGKILL);
            QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
        }
        if (process->isRunning())
            result.failure += QStringLiteral(" (pid %1 still runs)").arg(process->pid());
    }
    manager.reset(); // the server log finishes its queue here
    result.children = childrenUsage();
    result.children.userSeconds -= childrenBefore.userSeconds;
    result.children.systemSeconds -= childrenBefore.systemSeconds;
    if (result.failure.isEmpty() && result.handedBytes != totalBytes)
        result.failure =
            QStringLiteral("the log was handed %1 bytes, not %2").arg(result.handedBytes).arg(totalBytes);
    return result;
}

// One supervised run in this process, so that its peak RSS is its own; prints its figures.
int runCase(const QString& script, const QString& serverJs)
{
    if (ServerManager::isPortInUse()) {
        Bench::print(QStringLiteral("failure=port_%1_is_in_use\n").arg(ServerManager::port));
        return 1;
    }
    const Supervised run = runSupervised(script, serverJs);
    QString failure = run.failure.isEmpty() ? QStringLiteral("none") : run.failure;
    Bench::print(
        QStringLiteral("exit=%1 drain=%2 cpu=%3 writercpu=%4 peakrss=%5 rssbefore=%6 chunks=%7 failure=%8\n")
            .arg(run.exitSeconds)
            .arg(run.drainSeconds)
            .arg(run.self.cpuSeconds())
            .arg(run.children.cpuSeconds())
            .arg(run.self.peakRssKiB)
            .arg(run.rssBeforeKiB)
            .arg(run.handedChunks)
            .arg(failure.replace(QLatin1Char(' '), QLatin1Char('_'))));
    return run.failure.isEmpty() ? 0 : 1;
}

QHash<QString, double> parseFields(const QByteArray& output, QString& failure)
{
    QHash<QString, double> fields;
    for (const QByteArray& field : output.trimmed().split(' ')) {
        const qsizetype equals = field.indexOf('=');
        if (equals <= 0)
            continue;
        const QString key = QString::fromUtf8(field.left(equals));
        if (key == QLatin1String("failure"))
            failure = QString::fromUtf8(field.mid(equals + 1));
        else
            fields.insert(key, field.mid(equals + 1).toDouble());
    }
    return fields;
}

QString range(const std::vector<double>& values, int decimals)
{
    const auto [low, high] = std::minmax_element(values.begin(), values.end());
    return number(median(values), decimals) + QStringLiteral(" (") + number(*low, decimals)
        + QStringLiteral("\u2013") + number(*high, decimals) + QLatin1Char(')');
}

int runAll(int repetitions)
{
    if (ServerManager::isPortInUse()) {
        Bench::print(QStringLiteral("port %1 is in use; the manager would not start the server\n")
                         .arg(ServerManager::port));
        return 1;
    }
    QTemporaryDir work;
    if (!work.isValid()) {
        Bench::print(QStringLiteral("cannot create a temporary folder\n"));
        return 1;
    }
    // The cases inherit this HOME: server.log and helper.log land below the temporary folder.
    const QString home = work.filePath(QStringLiteral("home"));
    QDir().mkpath(home);
    qputenv("HOME", QFile::encodeName(home));

    const QString serverFolder = work.filePath(QStringLiteral("server"));
    QDir().mkpath(serverFolder);
    const QString script = serverFolder + QStringLiteral("/node");
    const QString serverJs = serverFolder + QStringLiteral("/server.js");
    QFile scriptFile(script);
    QFile serverJsFile(serverJs);
    if (!scriptFile.open(QIODevice::WriteOnly) || scriptFile.write(serverScript()) < 0
        || !scriptFile.setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner)
        || !serverJsFile.open(QIODevice::WriteOnly)) {
        Bench::print(QStringLiteral("cannot write the stand-in server\n"));
        return 1;
    }
    scriptFile.close();
    serverJsFile.close();

    const QString copy = work.filePath(QStringLiteral("copy"));
    std::vector<double> aloneSeconds, aloneCpu, pipedSeconds, catCpu;
    std::vector<double> exitSeconds, allSeconds, helperCpu, writerCpu, peakRss, rssBefore, chunks;
    for (int i = 0; i < repetitions; ++i) {
        const Reference alone = runShell(QStringLiteral("\"$0\" > /dev/null"), script, copy);
        const Reference piped = runShell(QStringLiteral("\"$0\" | cat > \"$1\""), script, copy);
        const bool pipedComplete =
            piped.complete && fileSize(copy) == totalBytes && readTail(copy, endMark.size()) == endMark;
        QFile::remove(copy);
        if (!alone.complete || !pipedComplete) {
            Bench::print(QStringLiteral("the reference runs failed\n"));
            return 1;
        }
        aloneSeconds.push_back(alone.seconds);
        aloneCpu.push_back(alone.usage.cpuSeconds());
        pipedSeconds.push_back(piped.seconds);
        catCpu.push_back(piped.usage.cpuSeconds() - alone.usage.cpuSeconds());

        QDir(HomeFolders::logFolder()).removeRecursively();
        ProcessSpec spec;
        spec.program = QCoreApplication::applicationFilePath();
        spec.arguments = { QStringLiteral("--case"), script, serverJs };
        spec.nullStandardInput = true;
        spec.ownProcessGroup = true; // a timeout also ends the stand-in server
        const ChildProcess::Output output = ChildProcess::run(spec, std::chrono::minutes(10));
        QString failure;
        const QHash<QString, double> fields = parseFields(output.standardOutput, failure);
        if (output.terminationStatus != 0 || failure != QLatin1String("none")) {
            Bench::print(QStringLiteral("supervised run failed: %1\n")
                             .arg(QString::fromUtf8(output.standardOutput.trimmed())));
            return 1;
        }
        exitSeconds.push_back(fields.value(QStringLiteral("exit")));
        allSeconds.push_back(
            std::max(fields.value(QStringLiteral("exit")), fields.value(QStringLiteral("drain"))));
        helperCpu.push_back(fields.value(QStringLiteral("cpu")));
        writerCpu.push_back(fields.value(QStringLiteral("writercpu")));
        peakRss.push_back(fields.value(QStringLiteral("peakrss")) / 1024);
        rssBefore.push_back(fields.value(QStringLiteral("rssbefore")) / 1024);
        chunks.push_back(fields.value(QStringLiteral("chunks")));
    }

    const double mib = double(totalBytes) / mebibyte;
    Bench::print(
        QStringLiteral(
            "A stand-in server writes 256 MiB to standard output as fast as it can (median of %1 runs, "
            "range in brackets; the log was handed %2 chunks, %3 KiB each on average)\n\n")
            .arg(repetitions)
            .arg(median(chunks))
            .arg(number(double(totalBytes) / 1024 / std::max(1.0, median(chunks)), 1)));
    Table table(
        { QStringLiteral("path"), QStringLiteral("process ended s"), QStringLiteral("all bytes written s"),
          QStringLiteral("MiB/s"), QStringLiteral("reader CPU s"), QStringLiteral("reader CPU ms/MiB"),
          QStringLiteral("writer CPU s"), QStringLiteral("peak RSS MiB"), QStringLiteral("RSS before MiB") });
    table.addRow({ QStringLiteral("writer > /dev/null"), range(aloneSeconds, 3), range(aloneSeconds, 3),
                   number(mib / median(aloneSeconds), 0), QString(), QString(),
                   number(median(aloneCpu), 2) });
    table.addRow({ QStringLiteral("writer piped to cat > file"), range(pipedSeconds, 3),
                   range(pipedSeconds, 3), number(mib / median(pipedSeconds), 0), range(catCpu, 2),
                   number(median(catCpu) * 1000 / mib, 2), number(median(aloneCpu), 2) });
    table.addRow({ QStringLiteral("ServerManager \u2192 server.log"), range(exitSeconds, 3),
                   range(allSeconds, 3), number(mib / median(allSeconds), 0), range(helperCpu, 2),
                   number(median(helperCpu) * 1000 / mib, 2), number(median(writerCpu), 2), range(peakRss, 0),
                   number(median(rssBefore), 0) });
    Bench::print(table.render());
    Bench::print(QStringLiteral(
        "\nprocess ended: the manager handled the end of the process on the main thread (for the references: "
        "the "
        "shell ended).\nall bytes written: also the end mark was in server.log or server.log.1 (polled every "
        "5 ms), "
        "i.e. the log's queue had run every append.\nreader CPU: the helper process (getrusage RUSAGE_SELF) "
        "during "
        "the run; for cat, the pipeline's CPU less the writer's.\nwriter CPU: the stand-in server with its "
        "dd and "
        "head (RUSAGE_CHILDREN). Peak RSS: ru_maxrss of the helper process, each run in a fresh process.\n"));
    return 0;
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    const QStringList arguments = app.arguments();
    if (arguments.size() == 4 && arguments[1] == QLatin1String("--case"))
        return runCase(arguments[2], arguments[3]);
    const std::optional<int> repetitions = Bench::repetitionsFrom(arguments);
    return repetitions ? runAll(*repetitions) : 2;
}
