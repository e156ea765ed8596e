#include "Log.h"

#include "Platform/HomeFolders.h"

#include <cerrno>

namespace Log {

LogRotator& shared()
{
    // Never destroyed: threads may still log while the process exits. Its queue is drained at
    // exit like every other one. The helper's own lines come before the server's output: on a
    // full disk, server.log gives up its oldest generation so that they still land.
    static LogRotator* instance =
        new LogRotator(QStringLiteral("helper.log"), LogRotator::defaultRawBacklogLimit, {},
                       [] { return LogRotator::dropOldest(QStringLiteral("server.log")); });
    return *instance;
}

bool ownFolder(const QString& folder)
{
    QString refusal;
    const bool usable = HomeFolders::usable(folder, &refusal);
    const int why = errno;
    if (!refusal.isEmpty())
        write(refusal);
    errno = why;
    return usable;
}

} // namespace Log
