#include "ServerStatus.h"

QString ServerStatus::menuHeaderText() const
{
    switch (kind_) {
    case Kind::restarting:
        return QStringLiteral("Restarting (attempt %1)\u2026").arg(attempt_);
    case Kind::preflightFailed:
        return QStringLiteral("Pre-flight failed: ") + reason_;
    case Kind::running:
        return QStringLiteral("Server running on :9876");
    case Kind::stuck:
        return QStringLiteral("Server stuck \u2014 repeated crashes");
    case Kind::portInUse:
        return QStringLiteral("Port 9876 in use");
    case Kind::stopped:
        return QStringLiteral("Server stopped");
    case Kind::idle:
        return QStringLiteral("Idle (Premiere not running)");
    }
    return {};
}
