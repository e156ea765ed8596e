#include "Platform/ExecutablePath.h"

#include <QFile>
#include <QFileInfo>

#include <climits>
#include <unistd.h>

QString runningExecutablePath()
{
    // The link's own text, not the resolved file: once a package upgrade has replaced the
    // executable by rename, the link names the path it was started from followed by
    // " (deleted)", and that path, where the new executable now is, is still the helper's.
    char target[PATH_MAX];
    const ssize_t length = ::readlink("/proc/self/exe", target, sizeof target);
    if (length <= 0 || length == ssize_t(sizeof target))
        return QString();
    QString path = QFile::decodeName(QByteArray(target, length));
    const QString deleted = QStringLiteral(" (deleted)");
    if (path.endsWith(deleted) && !QFileInfo::exists(path))
        path.chop(deleted.size());
    return path.startsWith(QLatin1Char('/')) ? path : QString();
}
