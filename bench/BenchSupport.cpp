#include "BenchSupport.h"

#include <QFile>

#include <algorithm>
#include <cstdio>
#include <sys/resource.h>

namespace Bench {

double secondsBetween(Clock::time_point start, Clock::time_point end)
{
    return std::chrono::duration<double>(end - start).count();
}

namespace {

Usage usageOf(int who)
{
    rusage usage {};
    ::getrusage(who, &usage);
    Usage result;
    result.userSeconds = double(usage.ru_utime.tv_sec) + double(usage.ru_utime.tv_usec) / 1e6;
    result.systemSeconds = double(usage.ru_stime.tv_sec) + double(usage.ru_stime.tv_usec) / 1e6;
    result.peakRssKiB = usage.ru_maxrss;
    return result;
}

} // namespace

Usage selfUsage()
{
    return usageOf(RUSAGE_SELF);
}

Usage childrenUsage()
{
    return usageOf(RUSAGE_CHILDREN);
}

const QByteArray& payloadBlock()
{
    static const QByteArray block = [] {
        QByteArray bytes;
        bytes.reserve(65536);
        for (int line = 0; bytes.size() < 65536; ++line)
            bytes += QByteArrayLiteral("[server] request ") + QByteArray::number(line).rightJustified(5, '0')
                + QByteArrayLiteral(" handled: status 200, 1234 bytes, took 12 ms\n");
        bytes.truncate(65536);
        return bytes;
    }();
    return block;
}

bool writePayloadFile(const QString& path, qint64 size)
{
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        return false;
    const QByteArray& block = payloadBlock();
    for (qint64 written = 0; written < size;) {
        const qint64 n = std::min<qint64>(block.size(), size - written);
        if (file.write(block.constData(), n) != n)
            return false;
        written += n;
    }
    return file.flush();
}

qint64 fileSize(const QString& path)
{
    QFile file(path);
    return file.exists() ? file.size() : -1;
}

QByteArray readTail(const QString& path, qint64 count)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    const qint64 size = file.size();
    if (size > count)
        file.seek(size - count);
    return file.readAll();
}

QString number(double value, int decimals)
{
    return QString::number(value, 'f', decimals);
}

double median(std::vector<double> values)
{
    if (values.empty())
        return 0;
    std::sort(values.begin(), values.end());
    const size_t middle = values.size() / 2;
    return values.size() % 2 ? values[middle] : (values[middle - 1] + values[middle]) / 2;
}

Table::Table(QStringList headers)
    : headers_(std::move(headers))
{
}

void Table::addRow(QStringList cells)
{
    while (cells.size() < headers_.size())
        cells.append(QString());
    rows_.push_back(std::move(cells));
}

QString Table::render() const
{
    std::vector<qsizetype> widths;
    for (const QString& header : headers_)
        widths.push_back(header.size());
    for (const QStringList& row : rows_)
        for (qsizetype i = 0; i < row.size() && i < qsizetype(widths.size()); ++i)
            widths[size_t(i)] = std::max(widths[size_t(i)], row[i].size());

    auto isNumeric = [](const QString& cell) {
        bool ok = false;
        cell.toDouble(&ok);
        return ok;
    };
    auto line = [&](const QStringList& cells) {
        QString text = QStringLiteral("|");
        for (size_t i = 0; i < widths.size(); ++i) {
            const QString& cell = cells[qsizetype(i)];
            const int width = int(widths[i]);
            text += QLatin1Char(' ')
                + (isNumeric(cell) ? cell.rightJustified(width) : cell.leftJustified(width))
                + QStringLiteral(" |");
        }
        return text + QLatin1Char('\n');
    };
    QString rule = QStringLiteral("|");
    for (qsizetype width : widths)
        rule += QString(int(width) + 2, QLatin1Char('-')) + QLatin1Char('|');
    rule += QLatin1Char('\n');

    QString text = line(headers_) + rule;
    for (const QStringList& row : rows_)
        text += line(row);
    return text;
}

void print(const QString& text)
{
    std::fputs(text.toLocal8Bit().constData(), stdout);
    std::fflush(stdout);
}

std::optional<int> repetitionsFrom(const QStringList& arguments)
{
    if (arguments.size() == 1)
        return 3;
    if (arguments.size() == 3 && arguments[1] == QLatin1String("--repeat"))
        return std::max(1, arguments[2].toInt());
    std::fputs(qPrintable(QStringLiteral("usage: %1 [--repeat N]\n").arg(arguments.value(0))), stderr);
    return std::nullopt;
}

} // namespace Bench
