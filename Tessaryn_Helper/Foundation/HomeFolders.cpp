#include "Platform/HomeFolders.h"

#include <QDir>
#include <QFile>
#include <QScopeGuard>
#include <QSet>

#include <cerrno>
#include <mutex>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace HomeFolders {

QString absoluteFromEnvironment(const char* variable)
{
    const QString value = qEnvironmentVariable(variable);
    return !value.isEmpty() && QDir::isAbsolutePath(value) ? QDir::cleanPath(value) : QString();
}

QString home()
{
    if (const QString fromEnvironment = absoluteFromEnvironment("HOME"); !fromEnvironment.isEmpty())
        return fromEnvironment;
    // A HOME that is unset, empty or relative would scatter the helper's files over whatever
    // folder it was started in.
    std::vector<char> buffer(16384);
    passwd entry {};
    passwd* found = nullptr;
    int error = 0;
    while ((error = ::getpwuid_r(::getuid(), &entry, buffer.data(), buffer.size(), &found)) == ERANGE
           && buffer.size() < (1u << 20))
        buffer.resize(buffer.size() * 2);
    if (error == 0 && found && found->pw_dir && found->pw_dir[0] == '/')
        return QDir::cleanPath(QFile::decodeName(found->pw_dir));
    return QDir::rootPath();
}

namespace {

// Why the folder may not be used, made first when missing; empty when it may. `made` turns false
// when it is missing and cannot be made.
QString whyNot(const QString& folder, bool& made)
{
    const QByteArray path = QFile::encodeName(folder);
    struct stat info {};
    if (::lstat(path.constData(), &info) != 0) {
        // Its parents as `mkdir -p` makes them (they are the user's business, not ours), then it,
        // for the user alone; errno tells why one could not be made.
        for (qsizetype slash = path.indexOf('/', 1); slash > 0; slash = path.indexOf('/', slash + 1))
            if (::mkdir(path.left(slash).constData(), 0777) != 0 && errno != EEXIST)
                return made = false, QString();
        if ((::mkdir(path.constData(), 0700) != 0 && errno != EEXIST)
            || ::lstat(path.constData(), &info) != 0)
            return made = false, QString();
    }
    // A link of the user's own (a folder kept elsewhere) leads to the folder that counts.
    if (S_ISLNK(info.st_mode) && info.st_uid == ::getuid() && ::stat(path.constData(), &info) != 0)
        return made = false, QString();
    if (!S_ISDIR(info.st_mode))
        return QStringLiteral("it is not a folder");
    if (info.st_uid != ::getuid())
        return QStringLiteral("it belongs to another user (uid %1)").arg(info.st_uid);
    // The user's own, but writable by the group or others, as earlier versions made it under a umask of
    // 002: made the user's alone, since what others may have put in it is checked file by file.
    if ((info.st_mode & (S_IWGRP | S_IWOTH)) && ::chmod(path.constData(), info.st_mode & 0755 & 07777) != 0)
        return QStringLiteral("the group or others may write to it (mode %1)")
            .arg(info.st_mode & 07777, 4, 8, QLatin1Char('0'));
    return QString();
}

} // namespace

bool usable(const QString& folder, QString* firstRefusal)
{
    if (folder.isEmpty())
        return false;
    // The helper's folder that holds it comes first: whoever may change that may change all below.
    QStringList chain { folder };
    for (const QString& own : { supportFolder(), cacheFolder() }) {
        if (!folder.startsWith(own + QLatin1Char('/')))
            continue;
        chain = QStringList { own };
        for (const QString& part : folder.mid(own.size() + 1).split(QLatin1Char('/'), Qt::SkipEmptyParts))
            chain << chain.last() + QLatin1Char('/') + part;
        break;
    }
    for (const QString& each : chain) {
        bool made = true;
        const QString why = whyNot(each, made);
        if (!made)
            return false; // errno says why
        if (why.isEmpty())
            continue;
        const auto refused = qScopeGuard([] { errno = EACCES; });
        static std::mutex mutex;
        static QSet<QString> said;
        std::lock_guard lock(mutex);
        if (!said.contains(each)) {
            said.insert(each);
            const QString line = QStringLiteral("Not using %1: %2 \u2014 running without it").arg(each, why);
            const QByteArray text = "Tessaryn Helper: " + line.toUtf8() + '\n';
            [[maybe_unused]] const ssize_t ignored =
                ::write(STDERR_FILENO, text.constData(), size_t(text.size()));
            if (firstRefusal)
                *firstRefusal = line;
        }
        return false;
    }
    return true;
}

} // namespace HomeFolders
