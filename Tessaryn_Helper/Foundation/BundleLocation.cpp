#include "BundleLocation.h"

#include "Platform/ExecutablePath.h"

#include <QDir>
#include <QFileInfo>

namespace BundleLocation {

QString bundlePath()
{
    const QString executable = runningExecutablePath();
    if (executable.isEmpty())
        return {};
    return QDir::cleanPath(QFileInfo(executable).path() + QStringLiteral("/.."));
}

QString resourcesFolderPath()
{
    return bundlePath() + QStringLiteral("/share/tessaryn-helper");
}

std::optional<QString> resourcesFolder()
{
    const QString path = resourcesFolderPath();
    if (!QFileInfo(path).isDir())
        return std::nullopt;
    return path;
}

} // namespace BundleLocation
