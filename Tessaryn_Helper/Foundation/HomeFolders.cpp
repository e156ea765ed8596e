#include "HomeFolders.h"

#include <QDir>

namespace HomeFolders {

QString home()
{
    return QDir::homePath();
}

QString logFolder()
{
    return home() + QStringLiteral("/Library/Logs/Tessaryn");
}

QString supportFolder()
{
    return home() + QStringLiteral("/Library/Application Support/Tessaryn");
}

QString runtimeFolder()
{
    const QString runtime = qEnvironmentVariable("XDG_RUNTIME_DIR");
    return runtime.startsWith(QLatin1Char('/')) ? runtime + QStringLiteral("/tessaryn") : QString();
}

} // namespace HomeFolders
