#include "SessionBus.h"

#include "Logging/Log.h"

#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QFileInfo>
#include <QTimer>

#include <dbus/dbus.h>

namespace {

const QString busService = QStringLiteral("org.freedesktop.DBus");
const QString busPath = QStringLiteral("/org/freedesktop/DBus");
const char* const addressVariable = "DBUS_SESSION_BUS_ADDRESS";

} // namespace

QString SessionBus::address()
{
    if (!qEnvironmentVariableIsEmpty(addressVariable))
        return qEnvironmentVariable(addressVariable);
    const QString runtime = qEnvironmentVariable("XDG_RUNTIME_DIR");
    const QString socket = runtime + QStringLiteral("/bus");
    if (runtime.isEmpty() || !QFileInfo::exists(socket))
        return {};
    // As in a D-Bus address: every byte but a few plain ones escaped.
    QString escaped;
    for (const char byte : socket.toUtf8()) {
        if (QByteArrayView("-_/\\.*").contains(byte) || (byte >= '0' && byte <= '9')
            || (byte >= 'a' && byte <= 'z') || (byte >= 'A' && byte <= 'Z'))
            escaped += QLatin1Char(byte);
        else
            escaped += QStringLiteral("%%1").arg(uchar(byte), 2, 16, QLatin1Char('0'));
    }
    return QStringLiteral("unix:path=") + escaped;
}

bool SessionBus::answers(const QString& address, std::chrono::milliseconds bound)
{
    DBusError error;
    dbus_error_init(&error);
    DBusConnection* connection = dbus_connection_open_private(address.toUtf8().constData(), &error);
    bool answered = false;
    if (connection) {
        dbus_connection_set_exit_on_disconnect(connection, false);
        DBusMessage* hello = dbus_message_new_method_call("org.freedesktop.DBus", "/org/freedesktop/DBus",
                                                          "org.freedesktop.DBus", "Hello");
        DBusMessage* reply = hello
            ? dbus_connection_send_with_reply_and_block(connection, hello, int(bound.count()), &error)
            : nullptr;
        answered = reply != nullptr;
        if (reply)
            dbus_message_unref(reply);
        if (hello)
            dbus_message_unref(hello);
        dbus_connection_close(connection);
        dbus_connection_unref(connection);
    }
    dbus_error_free(&error);
    return answered;
}

SessionBus::SessionBus(QString address, QObject* parent)
    : QObject(parent)
    , address_(std::move(address))
    , worker_(new QObject)
{
    thread_.setObjectName(QStringLiteral("session bus"));
    worker_->moveToThread(&thread_);
    QObject::connect(&thread_, &QThread::finished, worker_, &QObject::deleteLater);
    thread_.start();
    if (address_.isEmpty())
        firstAnswer_ = false;
    else
        onBusThread([this] { join(firstRetry); });
}

SessionBus::~SessionBus()
{
    onBusThread([this] {
        wanted_.clear(); // no retry
        QDBusConnection::disconnectFromBus(currentName_);
    });
    thread_.quit();
    thread_.wait();
}

void SessionBus::onBusThread(std::function<void()> work, std::chrono::milliseconds after)
{
    QTimer::singleShot(after, worker_, std::move(work));
}

void SessionBus::admitQtIfAnswering()
{
    bool answered = false;
    bool silent = false; // there, but not answering (a bus that is not there at all is not news)
    {
        std::unique_lock lock(firstAnswerLock_);
        silent = !firstAnswerCame_.wait_for(lock, startWait, [this] { return firstAnswer_.has_value(); });
        answered = firstAnswer_.value_or(false);
    }
    answeredAtStart_ = answered;
    if (answered) {
        QDBusConnection::sessionBus(); // made now, while the bus answers
        return;
    }
    // Made now, to a bus that is not there, so that Qt never waits for one (nor starts one).
    const bool wasSet = qEnvironmentVariableIsSet(addressVariable);
    const QByteArray kept = qgetenv(addressVariable);
    qputenv(addressVariable, "unix:path=/dev/null");
    QDBusConnection::sessionBus();
    if (wasSet)
        qputenv(addressVariable, kept);
    else
        qunsetenv(addressVariable);
    if (silent && !std::exchange(silenceSaid_, true))
        Log::write(QStringLiteral(
            "Session bus not answering \u2014 the status icon's item and launch notices wait for it"));
}

void SessionBus::onEachConnection(std::function<void(QDBusConnection&)> subscribe)
{
    onBusThread([this, subscribe = std::move(subscribe)] {
        subscriptions_.push_back(subscribe);
        if (!currentName_.isEmpty()) {
            QDBusConnection bus(currentName_);
            subscribe(bus);
        }
    });
}

void SessionBus::watchName(const QString& name)
{
    ownersToAsk_ << name;
    onBusThread([this, name] {
        namesToFollow_ << name;
        if (!currentName_.isEmpty()) {
            QDBusConnection bus(currentName_);
            follow(bus, name);
        }
    });
    if (connection_)
        askOwner(name);
}

void SessionBus::open(const QString& name)
{
    onBusThread([this, name] {
        wanted_ << name;
        tryOpen(name, firstRetry);
    });
}

void SessionBus::close(const QString& name)
{
    onBusThread([this, name] {
        wanted_.removeAll(name);
        QDBusConnection::disconnectFromBus(name);
    });
}

std::optional<QDBusConnection> SessionBus::connectAs(const QString& name)
{
    waiting_ = true;
    std::optional<QDBusConnection> made;
    if (answers(address_, greetingBound)) {
        QDBusConnection bus = QDBusConnection::connectToBus(address_, name);
        if (bus.isConnected())
            made = bus;
        else
            QDBusConnection::disconnectFromBus(name);
    }
    waiting_ = false;
    return made;
}

void SessionBus::tryOpen(const QString& name, std::chrono::milliseconds retry)
{
    if (!wanted_.contains(name))
        return;
    if (const std::optional<QDBusConnection> bus = connectAs(name)) {
        QMetaObject::invokeMethod(
            this, [this, name, bus = *bus] { emit opened(name, bus); }, Qt::QueuedConnection);
        return;
    }
    onBusThread([this, name, next = std::min(retry * 2, lastRetry)] { tryOpen(name, next); }, retry);
}

void SessionBus::join(std::chrono::milliseconds retry)
{
    currentName_.clear();
    const QString name = QStringLiteral("app.marovant.tessaryn-helper.bus-%1").arg(++generation_);
    std::optional<QDBusConnection> bus = connectAs(name);
    {
        const std::lock_guard lock(firstAnswerLock_);
        if (!firstAnswer_) {
            firstAnswer_ = bus.has_value();
            firstAnswerCame_.notify_all();
        }
    }
    if (!bus) {
        onBusThread([this, next = std::min(retry * 2, lastRetry)] { join(next); }, retry);
        return;
    }
    currentName_ = name;
    bus->connect(QString(), QStringLiteral("/org/freedesktop/DBus/Local"),
                 QStringLiteral("org.freedesktop.DBus.Local"), QStringLiteral("Disconnected"), this,
                 SLOT(disconnected()));
    for (const QString& watched : std::as_const(namesToFollow_))
        follow(*bus, watched);
    for (const auto& subscribe : subscriptions_)
        subscribe(*bus);
    QMetaObject::invokeMethod(
        this, [this, bus = *bus] { joined(bus); }, Qt::QueuedConnection);
}

void SessionBus::joined(const QDBusConnection& bus)
{
    connection_ = bus;
    silenceSaid_ = false;
    for (const QString& name : std::as_const(ownersToAsk_))
        askOwner(name);
}

void SessionBus::follow(QDBusConnection& bus, const QString& name)
{
    bus.connect(busService, busPath, busService, QStringLiteral("NameOwnerChanged"), { name }, QString(),
                this, SLOT(ownerChanged(QString, QString, QString)));
}

void SessionBus::ownerChanged(const QString& name, const QString&, const QString& owner)
{
    emit nameOwnerChanged(name, owner);
}

void SessionBus::disconnected()
{
    if (!connection_)
        return;
    connection_.reset();
    if (!std::exchange(silenceSaid_, true))
        Log::write(QStringLiteral(
            "Session bus connection lost \u2014 the status icon's item and launch notices wait for it"));
    emit lost();
    onBusThread([this] {
        QDBusConnection::disconnectFromBus(currentName_);
        join(firstRetry);
    });
}

// Asked without waiting; a change after the answer comes after it, as both come through Qt's bus thread.
void SessionBus::askOwner(const QString& name)
{
    QDBusMessage call =
        QDBusMessage::createMethodCall(busService, busPath, busService, QStringLiteral("GetNameOwner"));
    call << name;
    auto* watcher = new QDBusPendingCallWatcher(connection_->asyncCall(call), this);
    QObject::connect(watcher, &QDBusPendingCallWatcher::finished, this,
                     [this, name](QDBusPendingCallWatcher* call) {
                         call->deleteLater();
                         const QDBusPendingReply<QString> reply = *call;
                         if (connection_ && reply.error().type() != QDBusError::Disconnected)
                             emit nameOwnerChanged(name, reply.isValid() ? reply.value() : QString());
                     });
}
