#include "Platform/ExecutablePath.h"

#include <QFileInfo>

QString runningExecutablePath()
{
    return QFileInfo(QStringLiteral("/proc/self/exe")).canonicalFilePath();
}
