// The helper's folders on macOS, under the home folder's Library. There is no per-session runtime
// folder: the one-helper lock stays in the support folder.
#include "Platform/HomeFolders.h"

namespace HomeFolders {

QString logFolder()
{
    return home() + QStringLiteral("/Library/Logs/Tessaryn");
}

QString supportFolder()
{
    return home() + QStringLiteral("/Library/Application Support/Tessaryn");
}

QString cacheFolder()
{
    return supportFolder();
}

QString runtimeFolder()
{
    return QString();
}

} // namespace HomeFolders
