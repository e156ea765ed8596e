#include "ApplicationIdentity.h"

#include "Foundation/Utf8.h"

#include <QList>
#include <QStringList>

#include <climits>

namespace {

// systemd's unit-name escaping: `\xNN` stands for the byte NN (a dash is `\x2d`).
std::optional<QString> unescapeUnitPart(const QString& part)
{
    const QByteArray bytes = part.toUtf8();
    QByteArray decoded;
    for (qsizetype i = 0; i < bytes.size(); ++i) {
        if (bytes[i] == '\\' && i + 3 < bytes.size() && bytes[i + 1] == 'x') {
            bool ok = false;
            const int value = bytes.mid(i + 2, 2).toInt(&ok, 16);
            if (ok) {
                decoded.append(char(value));
                i += 3;
                continue;
            }
        }
        decoded.append(bytes[i]);
    }
    return decodeUtf8Strictly(decoded);
}

struct LaunchVariables {
    std::optional<QByteArray> desktopFile;
    std::optional<QByteArray> launchedPid;
};

LaunchVariables launchVariablesOf(const QByteArray& environment)
{
    // Views, with nothing to destroy: the workspace's thread may still read them while the process ends.
    constexpr QByteArrayView fileKey = "GIO_LAUNCHED_DESKTOP_FILE=";
    constexpr QByteArrayView pidKey = "GIO_LAUNCHED_DESKTOP_FILE_PID=";
    LaunchVariables variables;
    for (const QByteArray& entry : environment.split('\0')) {
        if (entry.startsWith(fileKey))
            variables.desktopFile = entry.mid(fileKey.size());
        else if (entry.startsWith(pidKey))
            variables.launchedPid = entry.mid(pidKey.size());
    }
    return variables;
}

} // namespace

QString ApplicationIdentity::fromEnvironment(const QByteArray& environment, pid_t pid,
                                             unsigned long long startTime, const NamedProcessLookup& lookUp)
{
    const LaunchVariables variables = launchVariablesOf(environment);
    if (!variables.desktopFile)
        return {};
    bool ok = false;
    const long long launched = variables.launchedPid ? variables.launchedPid->toLongLong(&ok) : 0;
    if (ok && launched != pid) {
        const std::optional<NamedProcess> named =
            launched > 0 && launched <= INT_MAX ? lookUp(pid_t(launched)) : std::nullopt;
        if (!named || named->startTime > startTime || named->environment.isEmpty()
            || launchVariablesOf(named->environment).desktopFile == variables.desktopFile)
            return {};
    }
    const QByteArray& desktopFile = *variables.desktopFile;
    QByteArray name = desktopFile.mid(desktopFile.lastIndexOf('/') + 1);
    if (name.endsWith(".desktop"))
        name.chop(int(sizeof ".desktop") - 1);
    return decodeUtf8Strictly(name).value_or(QString());
}

QString ApplicationIdentity::fromFlatpakInfo(const QByteArray& info)
{
    bool inApplication = false;
    for (const QByteArray& rawLine : info.split('\n')) {
        const QByteArray line = rawLine.trimmed();
        if (line.startsWith('[')) {
            inApplication = line == "[Application]";
            continue;
        }
        if (!inApplication)
            continue;
        const qsizetype equals = line.indexOf('=');
        if (equals < 0 || line.left(equals).trimmed() != "name")
            continue;
        return decodeUtf8Strictly(line.mid(equals + 1).trimmed()).value_or(QString());
    }
    return {};
}

QString ApplicationIdentity::fromCgroup(const QByteArray& cgroup)
{
    // The unified hierarchy ("0::path") names the unit; on a legacy layout, systemd's own one.
    QByteArray path;
    for (const QByteArray& line : cgroup.split('\n')) {
        const QList<QByteArray> parts = line.split(':');
        if (parts.size() < 3)
            continue;
        const QByteArray entryPath = line.mid(parts[0].size() + parts[1].size() + 2);
        if (parts[0] == "0" && parts[1].isEmpty()) {
            path = entryPath;
            break;
        }
        if (parts[1] == "name=systemd")
            path = entryPath;
    }
    // The innermost unit is the process's own.
    const QList<QByteArray> components = path.split('/');
    for (auto component = components.crbegin(); component != components.crend(); ++component) {
        if (component->endsWith(".service") || component->endsWith(".scope"))
            return fromUnitName(QString::fromUtf8(*component));
    }
    return {};
}

QString ApplicationIdentity::fromUnitName(const QString& unit)
{
    constexpr QLatin1String prefix("app-"); // nothing to destroy, as the launch variables' names
    QString base;
    bool scope = false;
    if (unit.endsWith(QLatin1String(".service"))) {
        base = unit.chopped(8);
        base = base.section(QLatin1Char('@'), 0, 0);
    } else if (unit.endsWith(QLatin1String(".scope"))) {
        base = unit.chopped(6);
        scope = true;
    } else {
        return {};
    }
    if (!base.startsWith(prefix))
        return {};
    // Dashes separate launcher, ID and random part; a dash inside the ID is escaped.
    const QStringList parts = base.mid(prefix.size()).split(QLatin1Char('-'));
    QString escaped;
    if (scope && (parts.size() == 2 || parts.size() == 3))
        escaped = parts[parts.size() - 2];
    else if (!scope && (parts.size() == 1 || parts.size() == 2))
        escaped = parts.last();
    if (escaped.isEmpty())
        return {};
    return unescapeUnitPart(escaped).value_or(QString());
}
