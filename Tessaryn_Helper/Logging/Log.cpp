#include "Log.h"

namespace Log {

LogRotator& shared()
{
    // Never destroyed: threads may still log while the process exits. Its queue is drained at
    // exit like every other one.
    static LogRotator* instance = new LogRotator(QStringLiteral("helper.log"));
    return *instance;
}

} // namespace Log
