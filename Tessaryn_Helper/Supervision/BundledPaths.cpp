#include "BundledPaths.h"

#include "Foundation/BundleLocation.h"

#include <QDir>

namespace {

QString resolve(const char* overrideVariable, const QString& resource)
{
    // An override is taken as it is: no existence check, no expansion; relative to the current
    // directory like any file path. An empty one names nothing (it would name the current
    // directory) and counts as unset.
    if (!qEnvironmentVariableIsEmpty(overrideVariable))
        return QDir::current().absoluteFilePath(qEnvironmentVariable(overrideVariable));
    return BundleLocation::resourcesFolderPath() + QLatin1Char('/') + resource;
}

} // namespace

QString BundledPaths::node()
{
    return resolve("DEV_NODE_PATH", QStringLiteral("node"));
}

QString BundledPaths::serverScript()
{
    return resolve("DEV_AI_SERVER_PATH", QStringLiteral("ai-server/server.js"));
}
