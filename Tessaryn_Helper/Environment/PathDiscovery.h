#pragma once

#include <QDateTime>
#include <QString>

#include <chrono>
#include <memory>
#include <functional>
#include <optional>
#include <stdexcept>

class Cancellable;
class RunCancellation;
class Scheduler;

// An error of PATH discovery; what() is its description, the text that log lines quote.
class PathDiscoveryError : public std::runtime_error {
public:
    PathDiscoveryError(QString domain, int code, const QString& description)
        : std::runtime_error(description.toStdString())
        , domain_(std::move(domain))
        , code_(code)
    {
    }
    const QString& domain() const { return domain_; }
    int code() const { return code_; }

private:
    QString domain_;
    int code_;
};

// Learns the PATH that the user's login shell builds, and keeps it for seven days in
// "env.json" in the support folder.
//
// The answer is the last non-empty line that the shell prints, so that what a profile says on
// its way ("Welcome back!") does not become part of it. Its empty, relative and "~" elements are
// left out; it fails when no absolute folder remains, or for control characters or more than
// 32 KiB, and so does a cache. After a failure the
// shell is not asked again for five minutes (remembered in memory only), so a hanging shell does
// not cost every start of the server its timeout.
class PathDiscovery {
public:
    using Clock = std::function<QDateTime()>;
    static constexpr std::chrono::milliseconds shellTimeout { 10'000 };
    static constexpr qint64 cacheLifetimeSeconds = 7 * 24 * 60 * 60;
    static constexpr qint64 retryAfterFailureSeconds = 5 * 60;
    static constexpr qsizetype maximumPathBytes = 32 * 1024;
    static constexpr qsizetype maximumCacheFileBytes = 64 * 1024;

    static constexpr int cancelledCode = 6;

    // Runs `$SHELL -ilc '/usr/bin/printenv PATH'` (zsh when SHELL is unset) and returns the search
    // path it prints. Throws PathDiscoveryError when the shell cannot start, does not answer in
    // time, is ended through `cancellation`, or prints no valid search path.
    static QString discover(std::chrono::milliseconds timeout = shellTimeout,
                            RunCancellation* cancellation = nullptr);

    // The cached PATH while the cache is fresh; otherwise, unless the previous discovery failed
    // less than five minutes ago, discovers it and saves it. Throws PathDiscoveryError.
    static QString loadOrDiscover();
    static QString loadOrDiscover(const Clock& now, std::chrono::milliseconds timeout = shellTimeout,
                                  RunCancellation* cancellation = nullptr);
    static std::optional<QString> freshCachedPath(const QDateTime& now);

    // loadOrDiscover() for the main thread, which must not wait for a login shell: `answer` gets
    // the PATH or the error's description on the main thread, at once from a fresh cache, else
    // once a worker has asked the shell. Cancelling the handle (main thread) ends the shell, and
    // no answer comes.
    using Answer = std::function<void(const QString& path, const std::optional<QString>& error)>;
    static std::shared_ptr<Cancellable>
    loadOrDiscoverInBackground(const std::shared_ptr<Scheduler>& mainThread, Answer answer);

    // The search path in a login shell's standard output; throws PathDiscoveryError.
    static QString pathFromShellOutput(const QByteArray& output);
    // Why a text is no search path to hand to the server; none when it is one.
    static std::optional<QString> whyNotASearchPath(const QString& path);

    static QString cacheFilePath();
    // Writes the cache atomically; false when the folder or the file cannot be written.
    static bool saveCache(const QString& path, const QDateTime& discoveredAt);

    struct Cache {
        QString path;
        QDateTime discoveredAt;
    };
    // None when the file is missing, unreadable, not a regular file of at most 64 KiB, or not a
    // valid cache; also when it, or its folder, is not the user's own, or it is a link.
    static std::optional<Cache> readCache();
    static std::optional<Cache> parseCache(const QByteArray& json);
    // An RFC 3339 date-time ("internet date-time"); invalid for anything else.
    static QDateTime parseInternetDateTime(const QString& text);

    PathDiscovery() = delete;
};
