#include "LaunchAnnouncements.h"

#include <QDBusConnection>
#include <QDBusMessage>

namespace {

const QString systemdService = QStringLiteral("org.freedesktop.systemd1");
const QString systemdPath = QStringLiteral("/org/freedesktop/systemd1");
const QString systemdManager = QStringLiteral("org.freedesktop.systemd1.Manager");

} // namespace

LaunchAnnouncements::LaunchAnnouncements(SessionBus& bus, QObject* parent)
    : QObject(parent)
{
    bus.onEachConnection([this](QDBusConnection& connection) {
        // From any sender: a name filter would cost a round trip to the bus now and on every change.
        connection.connect(QString(), QStringLiteral("/org/gtk/gio/DesktopAppInfo"),
                           QStringLiteral("org.gtk.gio.DesktopAppInfo"), QStringLiteral("Launched"), this,
                           SLOT(gioLaunched(QDBusMessage)));
        connection.connect(QString(), systemdPath, systemdManager, QStringLiteral("UnitNew"), this,
                           SLOT(unitNew(QString, QDBusMessage)));
        // The manager sends its unit signals only to subscribers; without it on the bus this fails,
        // unheard, and starts nothing.
        QDBusMessage subscribe = QDBusMessage::createMethodCall(systemdService, systemdPath, systemdManager,
                                                                QStringLiteral("Subscribe"));
        subscribe.setAutoStartService(false);
        connection.send(subscribe);
    });
}

LaunchAnnouncements::~LaunchAnnouncements() = default;

bool LaunchAnnouncements::isApplicationUnit(const QString& unit)
{
    return unit.startsWith(QLatin1String("app-"))
        && (unit.endsWith(QLatin1String(".scope")) || unit.endsWith(QLatin1String(".service")));
}

void LaunchAnnouncements::gioLaunched(const QDBusMessage& message)
{
    // (ay desktop_file, s display, x pid, as uris, a{sv} platform_data)
    const QList<QVariant> arguments = message.arguments();
    if (message.signature() != QLatin1String("aysxasa{sv}") || arguments.size() < 3)
        return;
    const qint64 pid = arguments[2].toLongLong();
    emit launchAnnounced(pid > 0 ? pid : 0);
}

void LaunchAnnouncements::unitNew(const QString& unit, const QDBusMessage&)
{
    if (isApplicationUnit(unit))
        emit launchAnnounced(0);
}
