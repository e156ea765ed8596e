// The helper's folders on Linux: the XDG base directories. A variable that is unset, empty or
// relative is ignored and the default applies.
#include "Platform/HomeFolders.h"

namespace HomeFolders {

namespace {

QString under(const char* variable, const char* defaultBelowHome)
{
    const QString configured = absoluteFromEnvironment(variable);
    return (configured.isEmpty() ? home() + QLatin1String(defaultBelowHome) : configured)
        + QStringLiteral("/tessaryn");
}

} // namespace

QString supportFolder()
{
    return under("XDG_STATE_HOME", "/.local/state");
}

QString logFolder()
{
    return supportFolder() + QStringLiteral("/logs");
}

QString cacheFolder()
{
    return under("XDG_CACHE_HOME", "/.cache");
}

QString runtimeFolder()
{
    const QString runtime = absoluteFromEnvironment("XDG_RUNTIME_DIR");
    return runtime.isEmpty() ? QString() : runtime + QStringLiteral("/tessaryn");
}

} // namespace HomeFolders
