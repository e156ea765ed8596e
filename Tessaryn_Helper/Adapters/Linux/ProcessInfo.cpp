#include "Platform/ProcessInfo.h"

#include <QFile>

namespace {

QByteArray readProcFile(pid_t pid, const char* name)
{
    QFile file(QStringLiteral("/proc/%1/%2").arg(pid).arg(QLatin1String(name)));
    if (!file.open(QIODevice::ReadOnly))
        return {};
    return file.readAll();
}

} // namespace

namespace ProcessInfo {

std::optional<quint64> startTime(pid_t pid)
{
    if (pid <= 0)
        return std::nullopt;
    // The name in parentheses may hold spaces and parentheses itself: fields are counted after
    // its last closing one. Then come the state (field 3) and, as field 22, the start time in
    // clock ticks since boot.
    const QByteArray stat = readProcFile(pid, "stat");
    const qsizetype nameEnd = stat.lastIndexOf(')');
    if (nameEnd < 0)
        return std::nullopt;
    const QList<QByteArray> fields = stat.mid(nameEnd + 1).simplified().split(' ');
    if (fields.size() < 20 || fields[0] == "Z" || fields[0] == "X")
        return std::nullopt;
    bool ok = false;
    const quint64 ticks = fields[19].toULongLong(&ok);
    return ok ? std::optional<quint64>(ticks) : std::nullopt;
}

QStringList commandLine(pid_t pid)
{
    QStringList arguments;
    if (pid <= 0)
        return arguments;
    QByteArray bytes = readProcFile(pid, "cmdline");
    if (bytes.endsWith('\0'))
        bytes.chop(1);
    if (bytes.isEmpty())
        return arguments;
    for (const QByteArray& argument : bytes.split('\0'))
        arguments << QFile::decodeName(argument);
    return arguments;
}

} // namespace ProcessInfo
