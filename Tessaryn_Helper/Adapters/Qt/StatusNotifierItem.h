#pragma once

#include <QIcon>
#include <QObject>
#include <QPoint>
#include <QString>

class QAction;
class QMenu;

// The status icon as a StatusNotifierItem on the session bus, with its menu exported over dbusmenu so
// that the tray's host shows the menu itself, beside the icon, on X11 and Wayland alike. Qt's own item
// cannot do this: it never says that the item is a menu, and Qt chooses between it and XEmbed only
// once per process. Used while a StatusNotifierWatcher is on the bus; the menu's items stay fixed,
// only their texts and states change.
class StatusNotifierItem : public QObject {
    Q_OBJECT

public:
    static constexpr const char* watcherService = "org.kde.StatusNotifierWatcher";

    explicit StatusNotifierItem(QMenu& menu, QObject* parent = nullptr);
    ~StatusNotifierItem() override;

    // Whether a watcher (so a tray that takes such items) is on the session bus now.
    static bool watcherPresent();

    void setIcon(const QIcon& icon);
    void setToolTip(const QString& toolTip);
    // Owns the item's name while shown, and tells the watcher about it; hidden, the name goes.
    void setVisible(bool visible);
    bool isVisible() const { return visible_; }
    // To call again when a watcher comes back.
    void registerWithWatcher();

    const QIcon& icon() const { return icon_; }
    const QString& toolTip() const { return toolTip_; }
    QString serviceName() const;

signals:
    // A host that asked the item itself to show something, at this place on the screen.
    void activated(QPoint at);
    void iconChanged();
    void toolTipChanged();

private:
    QMenu& menu_;
    QObject* menuObject_ = nullptr;
    QIcon icon_;
    QString toolTip_;
    bool visible_ = false;
};
