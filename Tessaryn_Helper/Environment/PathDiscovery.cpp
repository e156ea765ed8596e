#include "PathDiscovery.h"

#include "Foundation/ChildProcess.h"
#include "Foundation/HomeFolders.h"
#include "Foundation/Utf8.h"

#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>
#include <QSaveFile>
#include <QTimeZone>

namespace {

QByteArray jsonString(const QString& text)
{
    // A one-element array, compact, minus its brackets: the string in JSON's own escaping.
    const QByteArray array = QJsonDocument(QJsonArray { text }).toJson(QJsonDocument::Compact);
    return array.mid(1, array.size() - 2);
}

} // namespace

QString PathDiscovery::discover(std::chrono::milliseconds timeout)
{
    const QString shell = qEnvironmentVariableIsSet("SHELL") ? qEnvironmentVariable("SHELL")
                                                              : QStringLiteral("/bin/zsh");
    ProcessSpec spec;
    spec.program = shell;
    spec.arguments = { QStringLiteral("-ilc"), QStringLiteral("echo $PATH") };
    // Its own session: no controlling terminal for an interactive shell to stop on when the
    // helper was started from one, and one group, so that whatever its start-up files started
    // ends with it (or with a timeout). No terminal input either.
    spec.newSession = true;
    spec.nullStandardInput = true;

    ChildProcess::Output output;
    try {
        output = ChildProcess::run(spec, timeout);
    } catch (const SpawnError& error) {
        throw PathDiscoveryError(QStringLiteral("PathDiscovery"), 2, QString::fromStdString(error.what()));
    } catch (const TimeoutError&) {
        throw PathDiscoveryError(QStringLiteral("PathDiscovery"), 3,
                                 QStringLiteral("the login shell %1 did not answer within %2 s")
                                     .arg(shell)
                                     .arg(double(timeout.count()) / 1000.0));
    }
    const std::optional<QString> text = decodeUtf8Strictly(output.standardOutput);
    if (!text)
        throw PathDiscoveryError(QStringLiteral("PathDiscovery"), 1, QStringLiteral("Non-UTF8 PATH output"));
    return trimmedWhitespace(*text);
}

QString PathDiscovery::loadOrDiscover()
{
    return loadOrDiscover([] { return QDateTime::currentDateTimeUtc(); });
}

QString PathDiscovery::loadOrDiscover(const Clock& now, std::chrono::milliseconds timeout)
{
    if (const std::optional<Cache> cache = readCache()) {
        const qint64 ageMs = cache->discoveredAt.toMSecsSinceEpoch() - now().toMSecsSinceEpoch();
        if (ageMs > -cacheLifetimeSeconds * 1000) // a date in the future counts as fresh
            return cache->path;
    }
    const QString path = discover(timeout);
    saveCache(path, now());
    return path;
}

QString PathDiscovery::cacheFilePath()
{
    return HomeFolders::supportFolder() + QStringLiteral("/env.json");
}

bool PathDiscovery::saveCache(const QString& path, const QDateTime& discoveredAt)
{
    if (!QDir().mkpath(HomeFolders::supportFolder()))
        return false;
    const QDateTime wholeSeconds = QDateTime::fromSecsSinceEpoch(discoveredAt.toSecsSinceEpoch(), Qt::UTC);
    const QByteArray json = "{\n  \"path\" : " + jsonString(path) + ",\n  \"discoveredAt\" : "
        + jsonString(wholeSeconds.toString(Qt::ISODate)) + "\n}";
    QSaveFile file(cacheFilePath());
    if (!file.open(QIODevice::WriteOnly))
        return false;
    file.write(json);
    return file.commit();
}

std::optional<PathDiscovery::Cache> PathDiscovery::readCache()
{
    QFile file(cacheFilePath());
    if (!file.open(QIODevice::ReadOnly))
        return std::nullopt;
    const QJsonDocument document = QJsonDocument::fromJson(file.readAll());
    if (!document.isObject())
        return std::nullopt;
    const QJsonObject object = document.object();
    const QJsonValue path = object.value(QStringLiteral("path"));
    const QJsonValue discoveredAt = object.value(QStringLiteral("discoveredAt"));
    if (!path.isString() || !discoveredAt.isString())
        return std::nullopt;
    Cache cache { path.toString(), parseInternetDateTime(discoveredAt.toString()) };
    if (!cache.discoveredAt.isValid())
        return std::nullopt;
    return cache;
}

QDateTime PathDiscovery::parseInternetDateTime(const QString& text)
{
    static const QRegularExpression form(QStringLiteral(
        R"(^(\d{4})-(\d{2})-(\d{2})[Tt](\d{2}):(\d{2}):(\d{2})(?:\.(\d+))?(?:([Zz])|([+-])(\d{2}):(\d{2}))$)"));
    const QRegularExpressionMatch match = form.match(text);
    if (!match.hasMatch())
        return {};
    auto number = [&](int group) { return match.captured(group).toInt(); };
    const QDate date(number(1), number(2), number(3));
    // A leap second is read as the last second of its minute.
    const QTime time(number(4), number(5), std::min(number(6), 59), match.captured(7).left(3).leftJustified(3, u'0').toInt());
    if (!date.isValid() || !time.isValid())
        return {};
    int offsetSeconds = 0;
    if (match.capturedLength(8) == 0) {
        if (number(10) > 23 || number(11) > 59)
            return {};
        offsetSeconds = (number(10) * 3600 + number(11) * 60) * (match.captured(9) == u"-" ? -1 : 1);
    }
    const QDateTime local(date, time, QTimeZone(offsetSeconds));
    return local.toUTC();
}
