#pragma once

#include <QDateTime>
#include <QString>

#include <chrono>
#include <functional>
#include <optional>
#include <stdexcept>

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
class PathDiscovery {
public:
    using Clock = std::function<QDateTime()>;
    static constexpr std::chrono::milliseconds shellTimeout { 10'000 };
    static constexpr qint64 cacheLifetimeSeconds = 7 * 24 * 60 * 60;

    // Runs `$SHELL -ilc 'echo $PATH'` (zsh when SHELL is unset) and returns its output, trimmed.
    // Throws PathDiscoveryError when the shell cannot start, does not answer in time, or prints
    // something that is not UTF-8.
    static QString discover(std::chrono::milliseconds timeout = shellTimeout);

    // The cached PATH while the cache is fresh; otherwise discovers it and saves it. Throws only
    // what discover() throws.
    static QString loadOrDiscover();
    static QString loadOrDiscover(const Clock& now, std::chrono::milliseconds timeout = shellTimeout);

    static QString cacheFilePath();
    // Writes the cache atomically; false when the folder or the file cannot be written.
    static bool saveCache(const QString& path, const QDateTime& discoveredAt);

    struct Cache {
        QString path;
        QDateTime discoveredAt;
    };
    // None when the file is missing, unreadable or not a valid cache.
    static std::optional<Cache> readCache();
    // An RFC 3339 date-time ("internet date-time"); invalid for anything else.
    static QDateTime parseInternetDateTime(const QString& text);

    PathDiscovery() = delete;
};
