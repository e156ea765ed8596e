#include "LaunchAnnouncements.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QFileInfo>

namespace {

const QString systemdService = QStringLiteral("org.freedesktop.systemd1");
const QString systemdPath = QStringLiteral("/org/freedesktop/systemd1");
const QString systemdManager = QStringLiteral("org.freedesktop.systemd1.Manager");

// Only a bus that is there: with no address libdbus would try to start one of its own.
bool sessionBusConfigured()
{
    if (!qEnvironmentVariableIsEmpty("DBUS_SESSION_BUS_ADDRESS"))
        return true;
    const QString runtime = qEnvironmentVariable("XDG_RUNTIME_DIR");
    return !runtime.isEmpty() && QFileInfo::exists(runtime + QStringLiteral("/bus"));
}

} // namespace

LaunchAnnouncements::LaunchAnnouncements(QObject* parent)
    : QObject(parent)
{
    if (!sessionBusConfigured())
        return;
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected())
        return;
    // From any sender: a name filter would cost a round trip to the bus now and on every change.
    bus.connect(QString(), QStringLiteral("/org/gtk/gio/DesktopAppInfo"), QStringLiteral("org.gtk.gio.DesktopAppInfo"),
                QStringLiteral("Launched"), this, SLOT(gioLaunched(QDBusMessage)));
    bus.connect(QString(), systemdPath, systemdManager, QStringLiteral("UnitNew"), this,
                SLOT(unitNew(QString, QDBusMessage)));
    // The manager sends its unit signals only to subscribers; without it on the bus this fails,
    // unheard, and starts nothing.
    QDBusMessage subscribe = QDBusMessage::createMethodCall(systemdService, systemdPath, systemdManager, QStringLiteral("Subscribe"));
    subscribe.setAutoStartService(false);
    bus.send(subscribe);
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
