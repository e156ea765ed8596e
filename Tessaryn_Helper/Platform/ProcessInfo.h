#pragma once

#include <QString>
#include <QStringList>

#include <optional>
#include <sys/types.h>

// What the helper may learn about a process of this machine without touching it.
namespace ProcessInfo {
// A value that tells apart two processes that had the same identifier one after the other; none
// once the process has ended (an unreaped one included) or when it cannot be read.
std::optional<quint64> startTime(pid_t pid);
// Its arguments, the program first; empty when they cannot be read.
QStringList commandLine(pid_t pid);
}
