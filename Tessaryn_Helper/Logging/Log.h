#pragma once

#include "LogRotator.h"

// The process-wide helper log, "helper.log", created on first use and kept for the whole run.
namespace Log {
LogRotator& shared();

inline void write(const QString& message)
{
    shared().write(message);
}
}
