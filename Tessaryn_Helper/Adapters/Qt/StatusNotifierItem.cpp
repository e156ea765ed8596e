#include "StatusNotifierItem.h"

#include <QAction>
#include <QDBusAbstractAdaptor>
#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusError>
#include <QDBusMessage>
#include <QDBusMetaType>
#include <QDBusObjectPath>
#include <QDBusPendingCall>
#include <QDBusVariant>
#include <QImage>
#include <QMenu>
#include <QPointer>
#include <QtEndian>

#include <unistd.h>

namespace {

const QString itemPath = QStringLiteral("/StatusNotifierItem");
const QString menuPath = QStringLiteral("/MenuBar");

struct IconPixmap {
    int width = 0;
    int height = 0;
    QByteArray argb; // 32 bits a pixel, most significant byte first
};
using IconPixmaps = QList<IconPixmap>;

struct ToolTipValue {
    QString iconName;
    IconPixmaps pixmaps;
    QString title;
    QString text;
};

struct MenuLayout {
    int id = 0;
    QVariantMap properties;
    QList<MenuLayout> children;
};

struct MenuItemProperties {
    int id = 0;
    QVariantMap properties;
};
using MenuItemPropertiesList = QList<MenuItemProperties>;

struct MenuItemKeys {
    int id = 0;
    QStringList keys;
};
using MenuItemKeysList = QList<MenuItemKeys>;

struct MenuEvent {
    int id = 0;
    QString type;
    QDBusVariant data;
    uint timestamp = 0;
};
using MenuEvents = QList<MenuEvent>;

} // namespace

Q_DECLARE_METATYPE(IconPixmap)
Q_DECLARE_METATYPE(ToolTipValue)
Q_DECLARE_METATYPE(MenuLayout)
Q_DECLARE_METATYPE(MenuItemProperties)
Q_DECLARE_METATYPE(MenuItemKeys)
Q_DECLARE_METATYPE(MenuEvent)

namespace {

QDBusArgument& operator<<(QDBusArgument& out, const IconPixmap& pixmap)
{
    out.beginStructure();
    out << pixmap.width << pixmap.height << pixmap.argb;
    out.endStructure();
    return out;
}

const QDBusArgument& operator>>(const QDBusArgument& in, IconPixmap& pixmap)
{
    in.beginStructure();
    in >> pixmap.width >> pixmap.height >> pixmap.argb;
    in.endStructure();
    return in;
}

QDBusArgument& operator<<(QDBusArgument& out, const ToolTipValue& toolTip)
{
    out.beginStructure();
    out << toolTip.iconName << toolTip.pixmaps << toolTip.title << toolTip.text;
    out.endStructure();
    return out;
}

const QDBusArgument& operator>>(const QDBusArgument& in, ToolTipValue& toolTip)
{
    in.beginStructure();
    in >> toolTip.iconName >> toolTip.pixmaps >> toolTip.title >> toolTip.text;
    in.endStructure();
    return in;
}

// Children go as variants, each holding a layout of the same shape.
QDBusArgument& operator<<(QDBusArgument& out, const MenuLayout& layout)
{
    out.beginStructure();
    out << layout.id << layout.properties;
    out.beginArray(qMetaTypeId<QDBusVariant>());
    for (const MenuLayout& child : layout.children)
        out << QDBusVariant(QVariant::fromValue(child));
    out.endArray();
    out.endStructure();
    return out;
}

const QDBusArgument& operator>>(const QDBusArgument& in, MenuLayout& layout)
{
    in.beginStructure();
    in >> layout.id >> layout.properties;
    in.beginArray();
    while (!in.atEnd()) {
        QDBusVariant child;
        in >> child;
        layout.children << qdbus_cast<MenuLayout>(child.variant());
    }
    in.endArray();
    in.endStructure();
    return in;
}

QDBusArgument& operator<<(QDBusArgument& out, const MenuItemProperties& item)
{
    out.beginStructure();
    out << item.id << item.properties;
    out.endStructure();
    return out;
}

const QDBusArgument& operator>>(const QDBusArgument& in, MenuItemProperties& item)
{
    in.beginStructure();
    in >> item.id >> item.properties;
    in.endStructure();
    return in;
}

QDBusArgument& operator<<(QDBusArgument& out, const MenuItemKeys& item)
{
    out.beginStructure();
    out << item.id << item.keys;
    out.endStructure();
    return out;
}

const QDBusArgument& operator>>(const QDBusArgument& in, MenuItemKeys& item)
{
    in.beginStructure();
    in >> item.id >> item.keys;
    in.endStructure();
    return in;
}

QDBusArgument& operator<<(QDBusArgument& out, const MenuEvent& event)
{
    out.beginStructure();
    out << event.id << event.type << event.data << event.timestamp;
    out.endStructure();
    return out;
}

const QDBusArgument& operator>>(const QDBusArgument& in, MenuEvent& event)
{
    in.beginStructure();
    in >> event.id >> event.type >> event.data >> event.timestamp;
    in.endStructure();
    return in;
}

void registerTypes()
{
    static const bool registered = [] {
        qDBusRegisterMetaType<IconPixmap>();
        qDBusRegisterMetaType<IconPixmaps>();
        qDBusRegisterMetaType<ToolTipValue>();
        qDBusRegisterMetaType<MenuLayout>();
        qDBusRegisterMetaType<MenuItemProperties>();
        qDBusRegisterMetaType<MenuItemPropertiesList>();
        qDBusRegisterMetaType<MenuItemKeys>();
        qDBusRegisterMetaType<MenuItemKeysList>();
        qDBusRegisterMetaType<MenuEvent>();
        qDBusRegisterMetaType<MenuEvents>();
        // The bus finds the types of arguments by the names the slots and signals use.
        qRegisterMetaType<MenuItemPropertiesList>("MenuItemPropertiesList");
        qRegisterMetaType<MenuItemKeysList>("MenuItemKeysList");
        qRegisterMetaType<MenuEvents>("MenuEvents");
        return true;
    }();
    Q_UNUSED(registered);
}

IconPixmaps pixmapsOf(const QIcon& icon)
{
    IconPixmaps pixmaps;
    for (const int size : { 22, 32, 64 }) {
        QImage image = icon.pixmap(QSize(size, size)).toImage();
        if (image.isNull())
            continue;
        if (image.size() != QSize(size, size))
            image = image.scaled(size, size, Qt::KeepAspectRatio, Qt::SmoothTransformation);
        image = image.convertToFormat(QImage::Format_ARGB32);
        IconPixmap pixmap { image.width(), image.height(), QByteArray() };
        pixmap.argb.resize(qsizetype(image.width()) * image.height() * 4);
        auto* out = reinterpret_cast<quint32*>(pixmap.argb.data());
        for (int y = 0; y < image.height(); ++y) {
            const auto* line = reinterpret_cast<const QRgb*>(image.constScanLine(y));
            for (int x = 0; x < image.width(); ++x)
                *out++ = qToBigEndian<quint32>(line[x]);
        }
        pixmaps << pixmap;
    }
    return pixmaps;
}

// dbusmenu marks mnemonics with "_"; Qt with "&", and "&&" is a plain "&".
QString dbusMenuLabel(const QString& text)
{
    QString label;
    for (qsizetype i = 0; i < text.size(); ++i) {
        if (text[i] == QLatin1Char('&')) {
            if (i + 1 < text.size() && text[i + 1] == QLatin1Char('&'))
                label += text[++i];
        } else if (text[i] == QLatin1Char('_')) {
            label += QStringLiteral("__");
        } else {
            label += text[i];
        }
    }
    return label;
}

// The item itself, at /StatusNotifierItem.
class ItemAdaptor : public QDBusAbstractAdaptor {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.kde.StatusNotifierItem")
    Q_PROPERTY(QString Category READ category)
    Q_PROPERTY(QString Id READ id)
    Q_PROPERTY(QString Title READ title)
    Q_PROPERTY(QString Status READ status)
    Q_PROPERTY(int WindowId READ windowId)
    Q_PROPERTY(QString IconThemePath READ empty)
    Q_PROPERTY(QString IconName READ empty)
    Q_PROPERTY(IconPixmaps IconPixmap READ iconPixmap)
    Q_PROPERTY(QString OverlayIconName READ empty)
    Q_PROPERTY(IconPixmaps OverlayIconPixmap READ noPixmaps)
    Q_PROPERTY(QString AttentionIconName READ empty)
    Q_PROPERTY(IconPixmaps AttentionIconPixmap READ noPixmaps)
    Q_PROPERTY(QString AttentionMovieName READ empty)
    Q_PROPERTY(ToolTipValue ToolTip READ toolTip)
    Q_PROPERTY(bool ItemIsMenu READ itemIsMenu)
    Q_PROPERTY(QDBusObjectPath Menu READ menu)
    Q_PROPERTY(QString IconAccessibleDesc READ accessibleDescription)
    Q_PROPERTY(QString AttentionAccessibleDesc READ accessibleDescription)

public:
    explicit ItemAdaptor(StatusNotifierItem& item)
        : QDBusAbstractAdaptor(&item)
        , item_(item)
    {
        connect(&item, &StatusNotifierItem::iconChanged, this, &ItemAdaptor::NewIcon);
        connect(&item, &StatusNotifierItem::toolTipChanged, this, &ItemAdaptor::NewToolTip);
    }

    QString category() const { return QStringLiteral("ApplicationStatus"); }
    QString id() const { return QStringLiteral("app.marovant.tessaryn-helper"); }
    QString title() const { return QStringLiteral("Tessaryn Helper"); }
    QString status() const { return QStringLiteral("Active"); }
    int windowId() const { return 0; }
    QString empty() const { return QString(); }
    IconPixmaps iconPixmap() const { return pixmapsOf(item_.icon()); }
    IconPixmaps noPixmaps() const { return {}; }
    ToolTipValue toolTip() const { return { QString(), {}, item_.toolTip(), QString() }; }
    bool itemIsMenu() const { return true; }
    // The status in words, as the tooltip says it.
    QString accessibleDescription() const { return item_.toolTip(); }
    QDBusObjectPath menu() const { return QDBusObjectPath(menuPath); }

public slots:
    void Activate(int x, int y) { emit item_.activated(QPoint(x, y)); }
    void SecondaryActivate(int, int) {}
    void ContextMenu(int x, int y) { emit item_.activated(QPoint(x, y)); }
    void Scroll(int, const QString&) {}

signals:
    void NewIcon();
    void NewToolTip();
    void NewStatus(const QString& status);

private:
    StatusNotifierItem& item_;
};

// The menu, at /MenuBar: the root is 0, the menu's actions are 1, 2, … in their order.
class MenuAdaptor : public QDBusAbstractAdaptor {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "com.canonical.dbusmenu")
    Q_PROPERTY(uint Version READ version)
    Q_PROPERTY(QString Status READ status)
    Q_PROPERTY(QString TextDirection READ textDirection)
    Q_PROPERTY(QStringList IconThemePath READ iconThemePath)

public:
    MenuAdaptor(QObject& object, QMenu& menu, StatusNotifierItem& item)
        : QDBusAbstractAdaptor(&object)
        , menu_(menu)
        , item_(item)
    {
        connect(&item, &StatusNotifierItem::menuItemsChanged, this, [this](const QList<int>& ids) {
            MenuItemPropertiesList updated;
            for (const int id : ids)
                updated << MenuItemProperties { id, propertiesOf(id) };
            emit ItemsPropertiesUpdated(updated, {});
            emit LayoutUpdated(++revision_, 0);
        });
    }

    uint version() const { return 3; }
    QString status() const { return QStringLiteral("normal"); }
    QString textDirection() const { return QStringLiteral("ltr"); }
    QStringList iconThemePath() const { return {}; }

public slots:
    uint GetLayout(int parentId, int recursionDepth, const QStringList& propertyNames,
                   const QDBusMessage& message, MenuLayout& layout)
    {
        if (refusedAsTooLarge(message, propertyNames.size()))
            return 0;
        layout = { parentId, propertiesOf(parentId, propertyNames), {} };
        if (parentId == 0 && recursionDepth != 0) {
            for (int id = 1; id <= menu_.actions().size(); ++id)
                layout.children << MenuLayout { id, propertiesOf(id, propertyNames), {} };
        }
        return revision_;
    }

    // Each known item once, in the order asked.
    MenuItemPropertiesList GetGroupProperties(const QList<int>& ids, const QStringList& propertyNames,
                                              const QDBusMessage& message)
    {
        MenuItemPropertiesList items;
        if (refusedAsTooLarge(message, std::max(ids.size(), propertyNames.size())))
            return items;
        QList<int> answered;
        for (const int id : ids) {
            if ((id == 0 || action(id)) && !answered.contains(id)) {
                answered << id;
                items << MenuItemProperties { id, propertiesOf(id, propertyNames) };
            }
        }
        return items;
    }

    // An unset property is its default; a property without one, or an item that is not there, is an error
    // reply: a reply of no value is never sent, and the caller would wait for one until its timeout.
    QDBusVariant GetProperty(int id, const QString& name, const QDBusMessage& message)
    {
        static const QVariantMap defaults {
            { QStringLiteral("type"), QStringLiteral("standard") },
            { QStringLiteral("label"), QString() },
            { QStringLiteral("enabled"), true },
            { QStringLiteral("visible"), true },
            { QStringLiteral("icon-name"), QString() },
            { QStringLiteral("toggle-type"), QString() },
            { QStringLiteral("toggle-state"), -1 },
            { QStringLiteral("children-display"), QString() },
            { QStringLiteral("disposition"), QStringLiteral("normal") },
        };
        const QVariant value =
            id == 0 || action(id) ? propertiesOf(id).value(name, defaults.value(name)) : QVariant();
        if (value.isValid())
            return QDBusVariant(value);
        message.setDelayedReply(true);
        item_.reply(message.createErrorReply(
            QDBusError::InvalidArgs,
            QStringLiteral("no property %1 on item %2").arg(name, QString::number(id))));
        return QDBusVariant(QString());
    }

    // Clicks reach the menu only while the icon is shown, and a click on an item whose last click is still
    // to be carried out is the same click.
    void Event(int id, const QString& eventId, const QDBusVariant&, uint)
    {
        QAction* clicked = action(id);
        if (!clicked || eventId != QLatin1String("clicked") || !item_.isVisible() || clicking_.contains(id))
            return;
        clicking_ << id;
        // After the reply: what it starts may end the process.
        QMetaObject::invokeMethod(
            this,
            [this, id, clicked = QPointer<QAction>(clicked)] {
                clicking_.removeOne(id);
                if (clicked && item_.isVisible())
                    clicked->trigger();
            },
            Qt::QueuedConnection);
    }

    QList<int> EventGroup(const MenuEvents& events, const QDBusMessage& message)
    {
        QList<int> unknown;
        if (refusedAsTooLarge(message, events.size()))
            return unknown;
        for (const MenuEvent& event : events) {
            if (event.id != 0 && !action(event.id)) {
                if (!unknown.contains(event.id))
                    unknown << event.id;
            } else {
                Event(event.id, event.type, event.data, event.timestamp);
            }
        }
        return unknown;
    }

    bool AboutToShow(int) { return false; }

    QList<int> AboutToShowGroup(const QList<int>&, QList<int>& unknown)
    {
        unknown.clear();
        return {};
    }

signals:
    void LayoutUpdated(uint revision, int parent);
    void ItemsPropertiesUpdated(const MenuItemPropertiesList& updated, const MenuItemKeysList& removed);

private:
    // A request for more than the menu could ever hold is refused, so that no caller can make the
    // helper build (or the bus carry) an answer of any size.
    static constexpr qsizetype largestRequest = 64;

    bool refusedAsTooLarge(const QDBusMessage& message, qsizetype size)
    {
        if (size <= largestRequest)
            return false;
        message.setDelayedReply(true);
        item_.reply(message.createErrorReply(
            QDBusError::LimitsExceeded, QStringLiteral("at most %1 entries a request").arg(largestRequest)));
        return true;
    }

    QAction* action(int id) const
    {
        const QList<QAction*> actions = menu_.actions();
        return id >= 1 && id <= actions.size() ? actions[id - 1] : nullptr;
    }

    QVariantMap propertiesOf(int id, const QStringList& wanted = {}) const
    {
        QVariantMap properties;
        if (id == 0) {
            properties.insert(QStringLiteral("children-display"), QStringLiteral("submenu"));
        } else if (const QAction* item = action(id); item && item->isSeparator()) {
            properties.insert(QStringLiteral("type"), QStringLiteral("separator"));
        } else if (item) {
            properties.insert(QStringLiteral("label"), dbusMenuLabel(item->text()));
            if (!item->isEnabled())
                properties.insert(QStringLiteral("enabled"), false);
            if (!item->isVisible())
                properties.insert(QStringLiteral("visible"), false);
            if (item->isCheckable()) {
                properties.insert(QStringLiteral("toggle-type"), QStringLiteral("checkmark"));
                properties.insert(QStringLiteral("toggle-state"), item->isChecked() ? 1 : 0);
            }
        }
        if (!wanted.isEmpty()) {
            for (auto it = properties.begin(); it != properties.end();)
                it = wanted.contains(it.key()) ? std::next(it) : properties.erase(it);
        }
        return properties;
    }

    QMenu& menu_;
    StatusNotifierItem& item_;
    QList<int> clicking_;
    uint revision_ = 1;
};

} // namespace

StatusNotifierItem::StatusNotifierItem(QMenu& menu, SessionBus& bus, QObject* parent)
    : QObject(parent)
    , menu_(menu)
    , bus_(bus)
    , menuObject_(new QObject(this))
    , announcement_(new QTimer(this))
    , leaving_(new QTimer(this))
{
    registerTypes();
    new ItemAdaptor(*this);
    new MenuAdaptor(*menuObject_, menu_, *this);
    const QList<QAction*> actions = menu_.actions();
    for (qsizetype i = 0; i < actions.size(); ++i)
        connect(actions[i], &QAction::changed, this, [this, id = int(i + 1)] { menuItemChanged(id); });
    announcement_->setSingleShot(true);
    connect(announcement_, &QTimer::timeout, this, &StatusNotifierItem::announce);
    leaving_->setSingleShot(true);
    connect(leaving_, &QTimer::timeout, this, &StatusNotifierItem::leaveBus);
    connect(&bus_, &SessionBus::opened, this, &StatusNotifierItem::connectionOpened);
}

StatusNotifierItem::~StatusNotifierItem()
{
    leaveBus();
    // Qt's bus would be told of their end and waited for, from this thread: they are off the bus already.
    for (QObject* exported : { static_cast<QObject*>(this), menuObject_ })
        QObject::disconnect(exported, &QObject::destroyed, nullptr, nullptr);
}

void StatusNotifierItem::setIcon(const QIcon& icon)
{
    icon_ = icon;
    iconPending_ = true;
    announceSoon();
}

void StatusNotifierItem::setToolTip(const QString& toolTip)
{
    if (toolTip_ == toolTip)
        return;
    toolTip_ = toolTip;
    toolTipPending_ = true;
    announceSoon();
}

void StatusNotifierItem::menuItemChanged(int id)
{
    if (!menuItemsPending_.contains(id))
        menuItemsPending_ << id;
    announceSoon();
}

void StatusNotifierItem::announceSoon()
{
    if (visible_ && !announcement_->isActive())
        announcement_->start(0);
}

void StatusNotifierItem::announce()
{
    if (!visible_ || !connection_)
        return;
    if (std::exchange(iconPending_, false))
        emit iconChanged();
    if (std::exchange(toolTipPending_, false))
        emit toolTipChanged();
    if (!menuItemsPending_.isEmpty())
        emit menuItemsChanged(std::exchange(menuItemsPending_, {}));
    sinceLastWord_.start();
}

void StatusNotifierItem::setVisible(bool visible)
{
    if (visible_ == visible)
        return;
    visible_ = visible;
    if (!visible) {
        // What was not announced yet is for no one: the next showing is a new item.
        announcement_->stop();
        iconPending_ = toolTipPending_ = false;
        menuItemsPending_.clear();
        const auto quiet = std::chrono::milliseconds(sinceLastWord_.isValid() ? sinceLastWord_.elapsed()
                                                                              : quietBeforeLeaving.count());
        leaving_->start(std::max(quietBeforeLeaving - quiet, std::chrono::milliseconds(0)));
        return;
    }
    if (leaving_->isActive()) {
        // Shown again before it left: the host still has this item, and hears what changed meanwhile.
        leaving_->stop();
        iconPending_ = toolTipPending_ = true;
        for (int id = 1; id <= menu_.actions().size(); ++id)
            menuItemsPending_ << id;
        announceSoon();
        return;
    }
    static int showings = 0;
    connectionName_ = QStringLiteral("app.marovant.tessaryn-helper.item-%1").arg(++showings);
    bus_.open(connectionName_);
}

void StatusNotifierItem::connectionOpened(const QString& name, const QDBusConnection& connection)
{
    if (name != connectionName_)
        return; // a showing that ended meanwhile; closed already
    connection_ = connection;
    connection_->registerObject(itemPath, this, QDBusConnection::ExportAdaptors);
    connection_->registerObject(menuPath, menuObject_, QDBusConnection::ExportAdaptors);
    iconPending_ = toolTipPending_ = false; // the host reads them afresh
    menuItemsPending_.clear();
    registerWithWatcher();
}

void StatusNotifierItem::reply(const QDBusMessage& message)
{
    if (connection_)
        connection_->send(message);
}

void StatusNotifierItem::registerWithWatcher()
{
    if (!visible_ || !connection_)
        return;
    // Not waited for: the watcher may be busy, and the helper's loop must not stop for it.
    QDBusMessage call = QDBusMessage::createMethodCall(
        QLatin1String(watcherService), QStringLiteral("/StatusNotifierWatcher"),
        QLatin1String(watcherService), QStringLiteral("RegisterStatusNotifierItem"));
    call << itemPath;
    connection_->asyncCall(call);
    sinceLastWord_.start();
}

void StatusNotifierItem::leaveBus()
{
    leaving_->stop();
    if (connectionName_.isEmpty())
        return;
    if (connection_) {
        connection_->unregisterObject(itemPath);
        connection_->unregisterObject(menuPath);
        connection_.reset();
    }
    bus_.close(std::exchange(connectionName_, QString()));
}

#include "StatusNotifierItem.moc"
