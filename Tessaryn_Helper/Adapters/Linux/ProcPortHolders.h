#pragma once

#include "Platform/PortHolders.h"

// Finds the socket bound to the port in /proc/net/tcp and /proc/net/tcp6 (listening, or bound
// and not yet listening), then the process of the current user that has it open among its
// descriptors in /proc/PID/fd.
class ProcPortHolders final : public PortHolders {
public:
    PortHolder holderOf(quint16 port) const override;
};
