#pragma once

#include "Adapters/Linux/SessionBus.h"

#include <QObject>
#include <QString>

class QDBusMessage;

// Launches that the desktop announces on the session bus: GLib's launchers (GNOME Shell, most
// panels and docks) send `Launched` of org.gtk.gio.DesktopAppInfo with the new process's pid,
// and the systemd user manager announces each new app-* scope or service it is asked to make.
// Without a session bus it stays silent, and it listens again on each new connection. Anyone on the bus may
// send either, so a notice is only ever a reason to look, never an answer.
class LaunchAnnouncements : public QObject {
    Q_OBJECT

public:
    // Lives as long as the bus: the bus's connections deliver to it.
    explicit LaunchAnnouncements(SessionBus& bus, QObject* parent = nullptr);
    ~LaunchAnnouncements() override;

    // Whether the unit name is one a desktop launch makes: app-….scope or app-….service.
    static bool isApplicationUnit(const QString& unit);

signals:
    // The launched process, or 0 when the notice names none.
    void launchAnnounced(qint64 pid);

private slots:
    void gioLaunched(const QDBusMessage& message);
    void unitNew(const QString& unit, const QDBusMessage& message);
};
