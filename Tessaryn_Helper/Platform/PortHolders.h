#pragma once

#include <QString>

#include <sys/types.h>

// Who holds a local TCP port, as far as the current user may see.
struct PortHolder {
    enum class Kind {
        nobody,     // no socket is bound to the port (any more)
        ownProcess, // a process of the current user: `pid` and its short `name`
        otherUser,  // a socket is bound, but no process of the current user holds it
    };
    Kind kind = Kind::nobody;
    pid_t pid = 0;
    QString name;
};

// The platform's lookup of port holders; Linux reads /proc.
class PortHolders {
public:
    virtual ~PortHolders() = default;
    virtual PortHolder holderOf(quint16 port) const = 0;
};
