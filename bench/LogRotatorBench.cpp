// Throughput of LogRotator::write(QByteArray) for raw bytes, beside dd copying the same bytes.
//
// Each LogRotator run happens in a fresh copy of this program ("--case <chunk bytes>"), so the
// peak resident set size it reports belongs to that run alone. The parent prepares a temporary
// HOME, runs the cases and the dd references through ChildProcess::run and prints the table.

#include "BenchSupport.h"

#include "Foundation/ChildProcess.h"
#include "Logging/LogRotator.h"
#include "Platform/HomeFolders.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QHash>
#include <QTemporaryDir>

#include <cstdio>
#include <memory>

using namespace Bench;

namespace {

constexpr qint64 totalBytes = 256 * mebibyte;
const QString logName = QStringLiteral("bench.log");

// Checks what the rotator left on disk: with a fixed chunk size every generation ends one chunk
// past the threshold, so the sizes of all four files follow from the total, and the active file
// holds the last bytes of the stream.
QString verifyFiles(const QString& activePath, qint64 chunk)
{
    const qint64 generation = (LogRotator::rotationThreshold / chunk + 1) * chunk;
    const qint64 rotations = totalBytes / generation;
    const qint64 active = totalBytes - rotations * generation;
    if (fileSize(activePath) != (active > 0 ? active : -1))
        return QStringLiteral("active file holds %1 bytes, expected %2")
            .arg(fileSize(activePath))
            .arg(active);
    for (int i = 1; i <= 3; ++i) {
        const qint64 expected = i <= rotations ? generation : -1;
        const QString path = activePath + QLatin1Char('.') + QString::number(i);
        if (fileSize(path) != expected)
            return QStringLiteral("%1 holds %2 bytes, expected %3")
                .arg(path)
                .arg(fileSize(path))
                .arg(expected);
    }
    QFile file(activePath);
    if (active > 0 && file.open(QIODevice::ReadOnly)) {
        const QByteArray& block = payloadBlock();
        const QByteArray content = file.readAll();
        const qint64 start = rotations * generation;
        for (qint64 i = 0; i < content.size(); ++i)
            if (content[i] != block[(start + i) % block.size()])
                return QStringLiteral("active file differs from the payload at byte %1").arg(i);
    }
    return QStringLiteral("ok");
}

// One measured run in this process: fresh buffers for every write (as the server's output
// readers hand over), the caller never waits, and destroying the rotator completes the appends.
int runCase(qint64 chunk)
{
    const QByteArray& block = payloadBlock();
    if (chunk <= 0 || block.size() % chunk != 0) {
        Bench::print(QStringLiteral("error=chunk size must divide %1\n").arg(block.size()));
        return 1;
    }
    auto rotator = std::make_unique<LogRotator>(logName);
    const QString activePath = rotator->filePath();
    const Usage before = selfUsage();

    const auto start = Clock::now();
    for (qint64 offset = 0; offset < totalBytes; offset += chunk)
        rotator->write(QByteArray(block.constData() + offset % block.size(), chunk));
    const auto enqueued = Clock::now();
    rotator.reset();
    const auto onDisk = Clock::now();

    const Usage after = selfUsage();
    Bench::print(QStringLiteral("enqueued=%1 ondisk=%2 cpu=%3 baselinerss=%4 peakrss=%5 check=%6\n")
                     .arg(secondsBetween(start, enqueued))
                     .arg(secondsBetween(start, onDisk))
                     .arg(after.cpuSeconds() - before.cpuSeconds())
                     .arg(before.peakRssKiB)
                     .arg(after.peakRssKiB)
                     .arg(verifyFiles(activePath, chunk).replace(QLatin1Char(' '), QLatin1Char('_'))));
    return 0;
}

QHash<QString, QString> parseFields(const QByteArray& output)
{
    QHash<QString, QString> fields;
    for (const QByteArray& field : output.trimmed().split(' ')) {
        const qsizetype equals = field.indexOf('=');
        if (equals > 0)
            fields.insert(QString::fromUtf8(field.left(equals)), QString::fromUtf8(field.mid(equals + 1)));
    }
    return fields;
}

struct Samples {
    std::vector<double> enqueued, onDisk, cpu, peakRssMiB, baselineRssMiB;
};

bool runRotatorCase(qint64 chunk, const QString& logFolder, Samples& samples)
{
    QDir(logFolder).removeRecursively();
    ProcessSpec spec;
    spec.program = QCoreApplication::applicationFilePath();
    spec.arguments = { QStringLiteral("--case"), QString::number(chunk) };
    spec.nullStandardInput = true;
    const ChildProcess::Output output = ChildProcess::run(spec, std::chrono::minutes(10));
    const QHash<QString, QString> fields = parseFields(output.standardOutput);
    if (output.terminationStatus != 0 || fields.value(QStringLiteral("check")) != QLatin1String("ok")) {
        Bench::print(QStringLiteral("LogRotator case with %1-byte chunks failed: %2\n")
                         .arg(chunk)
                         .arg(QString::fromUtf8(output.standardOutput.trimmed())));
        return false;
    }
    samples.enqueued.push_back(fields.value(QStringLiteral("enqueued")).toDouble());
    samples.onDisk.push_back(fields.value(QStringLiteral("ondisk")).toDouble());
    samples.cpu.push_back(fields.value(QStringLiteral("cpu")).toDouble());
    samples.baselineRssMiB.push_back(fields.value(QStringLiteral("baselinerss")).toDouble() / 1024);
    samples.peakRssMiB.push_back(fields.value(QStringLiteral("peakrss")).toDouble() / 1024);
    QDir(logFolder).removeRecursively();
    return true;
}

bool runDdCase(qint64 chunk, const QString& source, const QString& target, Samples& samples)
{
    QFile::remove(target);
    ProcessSpec spec;
    spec.program = QStringLiteral("/bin/dd");
    spec.arguments = { QStringLiteral("if=") + source, QStringLiteral("of=") + target,
                       QStringLiteral("bs=%1").arg(chunk), QStringLiteral("status=none") };
    spec.nullStandardInput = true;
    const Usage before = childrenUsage();
    const auto start = Clock::now();
    const ChildProcess::Output output = ChildProcess::run(spec, std::chrono::minutes(10));
    const auto end = Clock::now();
    const Usage after = childrenUsage();
    const bool complete = output.terminationStatus == 0 && fileSize(target) == totalBytes;
    QFile::remove(target);
    if (!complete) {
        Bench::print(
            QStringLiteral("dd bs=%1 failed (status %2)\n").arg(chunk).arg(output.terminationStatus));
        return false;
    }
    samples.onDisk.push_back(secondsBetween(start, end));
    samples.cpu.push_back(after.cpuSeconds() - before.cpuSeconds());
    return true;
}

QString range(const std::vector<double>& values, int decimals)
{
    const auto [low, high] = std::minmax_element(values.begin(), values.end());
    return number(median(values), decimals) + QStringLiteral(" (") + number(*low, decimals)
        + QStringLiteral("\u2013") + number(*high, decimals) + QLatin1Char(')');
}

int runAll(int repetitions)
{
    QTemporaryDir work;
    if (!work.isValid()) {
        Bench::print(QStringLiteral("cannot create a temporary folder\n"));
        return 1;
    }
    // The cases inherit this HOME, so the rotator writes below the temporary folder.
    const QString home = work.filePath(QStringLiteral("home"));
    QDir().mkpath(home);
    qputenv("HOME", QFile::encodeName(home));
    const QString logFolder = HomeFolders::logFolder();
    const QString source = work.filePath(QStringLiteral("payload"));
    const QString target = work.filePath(QStringLiteral("copy"));
    if (!writePayloadFile(source, totalBytes)) {
        Bench::print(QStringLiteral("cannot write the payload file\n"));
        return 1;
    }

    Bench::print(
        QStringLiteral(
            "LogRotator::write(QByteArray): 256 MiB in fixed chunks, rotation at 10 MiB into 3 "
            "generations, versus dd copying the same bytes (median of %1 runs, range in brackets)\n\n")
            .arg(repetitions));
    Table table({ QStringLiteral("chunk"), QStringLiteral("writer"), QStringLiteral("caller done s"),
                  QStringLiteral("on disk s"), QStringLiteral("MiB/s"), QStringLiteral("CPU s"),
                  QStringLiteral("CPU ms/MiB"), QStringLiteral("peak RSS MiB"),
                  QStringLiteral("RSS before MiB") });
    const double mib = double(totalBytes) / mebibyte;
    for (qint64 chunk : { qint64(4096), qint64(65536) }) {
        Samples rotator, dd;
        for (int i = 0; i < repetitions; ++i) {
            // Alternating the two keeps a slow spell of a shared machine from hitting one side only.
            if (!runRotatorCase(chunk, logFolder, rotator) || !runDdCase(chunk, source, target, dd))
                return 1;
        }
        const QString label = QStringLiteral("%1 KiB").arg(chunk / 1024);
        table.addRow({ label, QStringLiteral("LogRotator"), range(rotator.enqueued, 2),
                       range(rotator.onDisk, 2), number(mib / median(rotator.onDisk), 0),
                       number(median(rotator.cpu), 2), number(median(rotator.cpu) * 1000 / mib, 2),
                       range(rotator.peakRssMiB, 0), number(median(rotator.baselineRssMiB), 0) });
        table.addRow({ label, QStringLiteral("dd bs=%1").arg(chunk), QString(), range(dd.onDisk, 2),
                       number(mib / median(dd.onDisk), 0), number(median(dd.cpu), 2),
                       number(median(dd.cpu) * 1000 / mib, 2), QString(), QString() });
    }
    Bench::print(table.render());
    Bench::print(QStringLiteral(
        "\ncaller done: the writing loop returned; on disk: the rotator was destroyed, which "
        "completes every queued append.\nLogRotator CPU is the whole case process (writer and "
        "queue threads); dd CPU is the dd process. Peak RSS is ru_maxrss of the case process.\n"));
    return 0;
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    const QStringList arguments = app.arguments();
    if (arguments.size() == 3 && arguments[1] == QLatin1String("--case"))
        return runCase(arguments[2].toLongLong());
    const std::optional<int> repetitions = Bench::repetitionsFrom(arguments);
    return repetitions ? runAll(*repetitions) : 2;
}
