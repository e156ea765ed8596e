#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <chrono>
#include <optional>
#include <vector>

// Small helpers shared by the benchmark programs: clocks, resource usage, the payload and a
// plain text table.
namespace Bench {

constexpr qint64 mebibyte = 1024 * 1024;

using Clock = std::chrono::steady_clock;

double secondsBetween(Clock::time_point start, Clock::time_point end);

// CPU seconds and peak resident set size, as getrusage reports them.
struct Usage {
    double userSeconds = 0;
    double systemSeconds = 0;
    long peakRssKiB = 0; // ru_maxrss: for children, the largest single child's peak
    double cpuSeconds() const { return userSeconds + systemSeconds; }
};
Usage selfUsage();
Usage childrenUsage(); // children that have ended and been reaped, with their own children

// 64 KiB of log-like text; the payload is this block repeated. Offsets into the payload map
// onto it modulo its size, so any chunk size that divides 64 KiB cuts it into whole slices.
const QByteArray& payloadBlock();
// Writes `size` bytes of the payload to a new file; false on any error.
bool writePayloadFile(const QString& path, qint64 size);

qint64 fileSize(const QString& path); // -1 when missing
QByteArray readTail(const QString& path, qint64 count);

QString number(double value, int decimals);
double median(std::vector<double> values);

// A table printed with aligned columns; numbers are right-aligned.
class Table {
public:
    explicit Table(QStringList headers);
    void addRow(QStringList cells);
    QString render() const;

private:
    QStringList headers_;
    std::vector<QStringList> rows_;
};

// Writes to standard output at once, so a long run shows its progress.
void print(const QString& text);

// The N of "--repeat N" (3 without arguments); none, after printing the usage, for anything else.
std::optional<int> repetitionsFrom(const QStringList& arguments);

} // namespace Bench
