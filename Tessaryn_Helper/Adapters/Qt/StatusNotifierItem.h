#pragma once

#include "Adapters/Linux/SessionBus.h"

#include <QDBusConnection>
#include <QElapsedTimer>
#include <QIcon>
#include <QObject>
#include <QPoint>
#include <QString>
#include <QTimer>

#include <chrono>
#include <optional>

class QAction;
class QMenu;

// The status icon as a StatusNotifierItem on the session bus, with its menu exported over dbusmenu so
// that the tray's host shows the menu itself, beside the icon, on X11 and Wayland alike. Qt's own item
// cannot do this: it never says that the item is a menu, and Qt chooses between it and XEmbed only
// once per process. Used while a StatusNotifierWatcher is on the bus; the menu's items stay fixed,
// only their texts and states change.
//
// Each showing is an item of its own: a bus connection opened for it (off the main thread: see
// SessionBus), registered with the watcher by
// object path, so that hosts know the item by that connection's unique name, which stays the same
// until the item is hidden (a host that tracks a well-known name may drop an item whose name it sees
// change hands). Changes are announced once the current event is handled, so a change and a hide in
// one go send nothing. Hidden, the item announces nothing more and closes its connection once it has
// been quiet for `quietBeforeLeaving`: a host still fetching the layout or the properties of an item
// whose connection is gone may crash (Xfce's tray does).
class StatusNotifierItem : public QObject {
    Q_OBJECT

public:
    static constexpr const char* watcherService = "org.kde.StatusNotifierWatcher";
    static constexpr std::chrono::milliseconds quietBeforeLeaving { 500 };

    StatusNotifierItem(QMenu& menu, SessionBus& bus, QObject* parent = nullptr);
    ~StatusNotifierItem() override;

    void setIcon(const QIcon& icon);
    void setToolTip(const QString& toolTip);
    void setVisible(bool visible);
    bool isVisible() const { return visible_; }
    // To call again when a watcher comes back.
    void registerWithWatcher();

    const QIcon& icon() const { return icon_; }
    const QString& toolTip() const { return toolTip_; }
    // A late answer to a call, on the showing's connection (none once it has ended).
    void reply(const QDBusMessage& message);

signals:
    // A host that asked the item itself to show something, at this place on the screen.
    void activated(QPoint at);
    // The announcements, each at most once per event.
    void iconChanged();
    void toolTipChanged();
    void menuItemsChanged(const QList<int>& ids);

private:
    void menuItemChanged(int id);
    void announceSoon();
    void announce();
    void connectionOpened(const QString& name, const QDBusConnection& connection);
    void leaveBus();

    QMenu& menu_;
    SessionBus& bus_;
    QObject* menuObject_ = nullptr;
    QIcon icon_;
    QString toolTip_;
    bool visible_ = false;
    QString connectionName_;                    // of the showing's own connection; empty while there is none
    std::optional<QDBusConnection> connection_; // once opened
    bool iconPending_ = false;
    bool toolTipPending_ = false;
    QList<int> menuItemsPending_;
    QTimer* announcement_ = nullptr;
    QTimer* leaving_ = nullptr;
    QElapsedTimer sinceLastWord_; // the last announcement or registration
};
