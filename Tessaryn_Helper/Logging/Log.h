#pragma once

#include "LogRotator.h"

// The process-wide helper log, "helper.log", created on first use and kept for the whole run. On a
// full disk it takes its room from server.log's oldest output.
namespace Log {
LogRotator& shared();

inline void write(const QString& message)
{
    shared().write(message);
}

// Whether the helper may keep files in one of its folders (HomeFolders::usable); a refusal is
// written here too, once. errno is kept for the caller.
bool ownFolder(const QString& folder);
}
