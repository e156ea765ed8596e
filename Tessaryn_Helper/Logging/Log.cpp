#include "Log.h"

#include "Platform/HomeFolders.h"

#include <cerrno>

namespace Log {

LogRotator& shared()
{
    // Never destroyed: threads may still log while the process exits. Its queue is drained at
    // exit like every other one.
    static LogRotator* instance = new LogRotator(QStringLiteral("helper.log"));
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
