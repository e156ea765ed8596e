#include "PathDiscovery.h"

#include "Foundation/ChildProcess.h"
#include "Foundation/RegularFile.h"
#include "Foundation/Scheduler.h"
#include "Foundation/Utf8.h"
#include "Logging/Log.h"
#include "Platform/HomeFolders.h"

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>
#include <QSaveFile>
#include <QTimeZone>

#include <mutex>
#include <pthread.h>
#include <system_error>
#include <thread>
#include <sys/stat.h>
#include <unistd.h>

namespace {

QByteArray jsonString(const QString& text)
{
    // A one-element array, compact, minus its brackets: the string in JSON's own escaping.
    const QByteArray array = QJsonDocument(QJsonArray { text }).toJson(QJsonDocument::Compact);
    return array.mid(1, array.size() - 2);
}

// The last failed discovery, for the pause before the shell is asked again.
struct LastFailure {
    std::mutex mutex;
    std::optional<QDateTime> at;
    QString why;
};

LastFailure& lastFailure()
{
    static LastFailure failure;
    return failure;
}

PathDiscoveryError notASearchPath(const QString& why)
{
    return PathDiscoveryError(QStringLiteral("PathDiscovery"), 4, why);
}

std::optional<QString> whyUnprintableOrTooLong(const QString& path)
{
    const qsizetype bytes = path.toUtf8().size();
    if (bytes > PathDiscovery::maximumPathBytes)
        return QStringLiteral("the PATH is %1 bytes long, more than %2")
            .arg(bytes)
            .arg(PathDiscovery::maximumPathBytes);
    for (const QChar character : path)
        if (character.category() == QChar::Other_Control)
            return QStringLiteral("the PATH holds control characters");
    return std::nullopt;
}

// Quoted in part only, and only once it is known to be printable.
QString shown(const QString& path)
{
    return path.size() > 80 ? path.left(80) + QStringLiteral("\u2026") : path;
}

// The search path's absolute folders. Empty, relative and "~" elements are common in profiles and
// mean nothing to the server: left out. Throws when none remains, or for control characters or size.
QString absoluteFolders(const QString& path)
{
    if (const std::optional<QString> why = whyUnprintableOrTooLong(path))
        throw notASearchPath(*why);
    QStringList folders = path.split(QLatin1Char(':'));
    folders.removeIf([](const QString& folder) { return !folder.startsWith(QLatin1Char('/')); });
    if (folders.isEmpty())
        throw notASearchPath(QStringLiteral("\"%1\" holds no absolute folder").arg(shown(path)));
    return folders.join(QLatin1Char(':'));
}

} // namespace

QString PathDiscovery::discover(std::chrono::milliseconds timeout, RunCancellation* cancellation)
{
    const QString shell =
        qEnvironmentVariableIsSet("SHELL") ? qEnvironmentVariable("SHELL") : QStringLiteral("/bin/zsh");
    ProcessSpec spec;
    spec.program = shell;
    // The exported value, colon-joined, as every shell passes it on: fish would print its list
    // joined by spaces. By its full name, so a profile's PATH cannot hide it.
    spec.arguments = { QStringLiteral("-ilc"), QStringLiteral("/usr/bin/printenv PATH") };
    // Its own session: no controlling terminal for an interactive shell to stop on when the
    // helper was started from one, and one group, so that whatever its start-up files started
    // ends with it (or with a timeout). No terminal input either.
    spec.newSession = true;
    spec.nullStandardInput = true;

    ChildProcess::Output output;
    try {
        output = ChildProcess::run(spec, timeout, cancellation);
    } catch (const SpawnError& error) {
        throw PathDiscoveryError(QStringLiteral("PathDiscovery"), 2, QString::fromStdString(error.what()));
    } catch (const TimeoutError&) {
        throw PathDiscoveryError(QStringLiteral("PathDiscovery"), 3,
                                 QStringLiteral("the login shell %1 did not answer within %2 s")
                                     .arg(shell, QString::number(double(timeout.count()) / 1000.0)));
    }
    if (cancellation && cancellation->isCancelled())
        throw PathDiscoveryError(QStringLiteral("PathDiscovery"), cancelledCode,
                                 QStringLiteral("the login shell was ended"));
    return pathFromShellOutput(output.standardOutput);
}

QString PathDiscovery::pathFromShellOutput(const QByteArray& output)
{
    const std::optional<QString> text = decodeUtf8Strictly(output);
    if (!text)
        throw PathDiscoveryError(QStringLiteral("PathDiscovery"), 1, QStringLiteral("Non-UTF8 PATH output"));
    QString path;
    const QStringList lines = text->split(QLatin1Char('\n'));
    for (auto line = lines.crbegin(); line != lines.crend() && path.isEmpty(); ++line)
        path = trimmedWhitespace(*line);
    if (path.isEmpty())
        throw notASearchPath(QStringLiteral("the login shell printed no PATH"));
    return absoluteFolders(path);
}

std::optional<QString> PathDiscovery::whyNotASearchPath(const QString& path)
{
    if (const std::optional<QString> why = whyUnprintableOrTooLong(path))
        return why;
    for (const QString& folder : path.split(QLatin1Char(':')))
        if (!folder.startsWith(QLatin1Char('/')))
            return QStringLiteral("\"%1\" is not a list of absolute folders").arg(shown(path));
    return std::nullopt;
}

std::shared_ptr<Cancellable>
PathDiscovery::loadOrDiscoverInBackground(const std::shared_ptr<Scheduler>& mainThread, Answer answer)
{
    if (const std::optional<QString> cached = freshCachedPath(QDateTime::currentDateTimeUtc())) {
        answer(*cached, std::nullopt);
        return nullptr;
    }
    struct Job final : Cancellable {
        RunCancellation run;
        void cancel() override { run.cancel(); }
    };
    auto job = std::make_shared<Job>();
    const auto work = [job, scheduler = std::weak_ptr<Scheduler>(mainThread), answer] {
        ::pthread_setname_np(::pthread_self(), "tessaryn-path");
        QString path;
        std::optional<QString> error;
        try {
            path = loadOrDiscover([] { return QDateTime::currentDateTimeUtc(); }, shellTimeout, &job->run);
        } catch (const std::exception& failure) {
            error = QString::fromStdString(failure.what());
        }
        // Cancelled on the main thread, and answered there: once cancelled, never answered.
        if (const auto main = scheduler.lock())
            main->post([job, answer, path, error] {
                if (!job->run.isCancelled())
                    answer(path, error);
            });
    };
    try {
        std::thread(work).detach();
    } catch (const std::system_error& error) { // no thread to be had: a failed discovery
        answer(QString(), QString::fromStdString(error.what()));
        return nullptr;
    }
    return job;
}

QString PathDiscovery::loadOrDiscover()
{
    return loadOrDiscover([] { return QDateTime::currentDateTimeUtc(); });
}

std::optional<QString> PathDiscovery::freshCachedPath(const QDateTime& now)
{
    if (const std::optional<Cache> cache = readCache()) {
        const qint64 ageMs = cache->discoveredAt.toMSecsSinceEpoch() - now.toMSecsSinceEpoch();
        if (ageMs > -cacheLifetimeSeconds * 1000) // a date in the future counts as fresh
            return cache->path;
    }
    return std::nullopt;
}

QString PathDiscovery::loadOrDiscover(const Clock& now, std::chrono::milliseconds timeout,
                                      RunCancellation* cancellation)
{
    const QDateTime start = now();
    if (const std::optional<QString> cached = freshCachedPath(start))
        return *cached;
    LastFailure& failure = lastFailure();
    {
        std::lock_guard lock(failure.mutex);
        // A clock set back ends the pause rather than making it longer.
        const qint64 sinceFailure = failure.at ? failure.at->secsTo(start) : -1;
        if (sinceFailure >= 0 && sinceFailure < retryAfterFailureSeconds)
            throw PathDiscoveryError(
                QStringLiteral("PathDiscovery"), 5,
                QStringLiteral("%1 (%2 s ago; the login shell is asked again after %3 s)")
                    .arg(failure.why, QString::number(sinceFailure),
                         QString::number(retryAfterFailureSeconds)));
    }
    QString path;
    try {
        path = discover(timeout, cancellation);
    } catch (const PathDiscoveryError& error) {
        if (error.code() == cancelledCode)
            throw; // not the shell's failure: asked again next time
        std::lock_guard lock(failure.mutex);
        failure.at = now();
        failure.why = QString::fromStdString(error.what());
        throw;
    }
    {
        std::lock_guard lock(failure.mutex);
        failure.at.reset();
    }
    saveCache(path, now());
    return path;
}

QString PathDiscovery::cacheFilePath()
{
    return HomeFolders::cacheFolder() + QStringLiteral("/env.json");
}

bool PathDiscovery::saveCache(const QString& path, const QDateTime& discoveredAt)
{
    if (!Log::ownFolder(HomeFolders::cacheFolder()))
        return false;
    const QDateTime wholeSeconds = QDateTime::fromSecsSinceEpoch(discoveredAt.toSecsSinceEpoch(), Qt::UTC);
    const QByteArray json = "{\n  \"path\" : " + jsonString(path)
        + ",\n  \"discoveredAt\" : " + jsonString(wholeSeconds.toString(Qt::ISODate)) + "\n}";
    // The new file replaces whatever is in its place. A link is replaced, never written
    // through: its target may be anything, a device among them.
    const QByteArray encoded = QFile::encodeName(cacheFilePath());
    struct stat existing {};
    if (::lstat(encoded.constData(), &existing) == 0 && !S_ISREG(existing.st_mode))
        ::unlink(encoded.constData());
    QSaveFile file(cacheFilePath());
    if (!file.open(QIODevice::WriteOnly))
        return false;
    file.write(json);
    return file.commit();
}

std::optional<PathDiscovery::Cache> PathDiscovery::readCache()
{
    // Only the user's own: another user's file would choose the server's PATH.
    if (!Log::ownFolder(HomeFolders::cacheFolder()))
        return std::nullopt;
    const std::optional<QByteArray> content = RegularFile::read(
        cacheFilePath(), maximumCacheFileBytes, RegularFile::Oversize::refuse, RegularFile::Origin::ownOnly);
    return content ? parseCache(*content) : std::nullopt;
}

std::optional<PathDiscovery::Cache> PathDiscovery::parseCache(const QByteArray& json)
{
    const QJsonDocument document = QJsonDocument::fromJson(json);
    if (!document.isObject())
        return std::nullopt;
    const QJsonObject object = document.object();
    const QJsonValue path = object.value(QStringLiteral("path"));
    const QJsonValue discoveredAt = object.value(QStringLiteral("discoveredAt"));
    if (!path.isString() || !discoveredAt.isString())
        return std::nullopt;
    Cache cache { path.toString(), parseInternetDateTime(discoveredAt.toString()) };
    try {
        cache.path = absoluteFolders(cache.path); // as a fresh answer would be
    } catch (const PathDiscoveryError&) {
        return std::nullopt;
    }
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
    const QTime time(number(4), number(5), std::min(number(6), 59),
                     match.captured(7).left(3).leftJustified(3, u'0').toInt());
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
