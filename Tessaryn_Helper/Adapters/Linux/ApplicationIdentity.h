#pragma once

#include <QByteArray>
#include <QString>

#include <functional>
#include <optional>
#include <sys/types.h>

// The rules that give a process its freedesktop application ID, as plain functions over what
// /proc shows of it, in the order they are tried; each gives an empty text for none.
namespace ApplicationIdentity {

// The process that a launch variable's ..._PID names, as /proc shows it; none when no live
// process has that pid.
struct NamedProcess {
    unsigned long long startTime = 0; // clock ticks after boot
    QByteArray environment;           // empty when it cannot be read
};
using NamedProcessLookup = std::function<std::optional<NamedProcess>(pid_t)>;

// `environment` is the NUL-separated content of /proc/PID/environ of the process `pid`, started at
// `startTime`: the desktop file of GIO_LAUNCHED_DESKTOP_FILE. When its ..._PID names another
// process, the variable counts only when that process is alive, started no later than this one
// and was not launched from the same desktop file (a terminal that a launcher started, which
// passes its launch variables on to what runs in it). What an application started inherits its
// launch variables and names the application, or a dead or reused pid once it has quit: no launch.
QString fromEnvironment(const QByteArray& environment, pid_t pid, unsigned long long startTime,
                        const NamedProcessLookup& lookUp);
// The `name` of the [Application] group of a .flatpak-info file.
QString fromFlatpakInfo(const QByteArray& info);
// The application ID of the process's systemd unit, read from /proc/PID/cgroup.
QString fromCgroup(const QByteArray& cgroup);
// `app[-<launcher>]-<id>[@<random>].service` or `app[-<launcher>]-<id>-<random>.scope`.
QString fromUnitName(const QString& unit);

}
