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

} // namespace HomeFolders
