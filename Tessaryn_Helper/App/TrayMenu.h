#pragma once

#include "Supervision/ServerStatus.h"

#include <QColor>
#include <QIcon>
#include <QObject>

#include <memory>

class QAction;
class QMenu;
class QSystemTrayIcon;
class SessionBus;
class StatusNotifierItem;
class TessarynHelperApp;

// The status icon and its menu: a circle with a "T" in the colour of the server's status, present
// while Premiere Pro runs, and nine items: the status in words, Restart Server, View Logs…, Open
// Tessaryn Docs, Launch at Login, Quit Tessaryn Helper, with separators. Everything follows the
// current values at once, also while the menu is open. The icon is built when it is first shown, as
// a StatusNotifierItem of our own while a watcher is on the session bus (the host shows the menu
// beside the icon), else through Qt's tray icon (XEmbed; never on Wayland, which has none); it
// moves between them as watchers come and go, so a panel that starts after the helper (at login)
// still gets it, and to Qt's while the bus is lost. Qt's tray icon is made as soon as the bus says
// there is no watcher, while the bus answers: Qt asks the bus, waiting, when it is made.
class TrayMenu : public QObject {
    Q_OBJECT

public:
    // Without a bus, the icon is always Qt's.
    explicit TrayMenu(TessarynHelperApp& app, SessionBus* bus = nullptr, QObject* parent = nullptr);
    ~TrayMenu() override;

    static QColor colorFor(const ServerStatus& status);
    static QIcon iconFor(const ServerStatus& status);

    static QString toolTipFor(const ServerStatus& status);

    QMenu& menu() { return *menu_; }
    // None until the icon is first shown, and none while it is shown as our own item.
    QSystemTrayIcon* trayIcon() { return trayIcon_.get(); }

private:
    void showStatus(const ServerStatus& status);
    void showLoginItemStatus();
    void setInserted(bool inserted);
    void buildIcon();
    void buildTrayIcon();
    void buildItem();
    void watcherOwnerIs(const QString& owner);
    void watcherCame();
    void watcherWent();
    void sayWhetherTrayAvailable();
    void openMenuBesideIcon(const QRect& icon, const QPoint& pointer);

    TessarynHelperApp& app_;
    std::unique_ptr<QMenu> menu_;
    std::unique_ptr<QSystemTrayIcon> trayIcon_;
    std::unique_ptr<StatusNotifierItem> item_;
    SessionBus* bus_ = nullptr;
    QString watcher_;           // the watcher's unique name; empty while there is none, or no bus
    bool watcherAsked_ = false; // of a bus that answered at start, not answered yet: no icon until then
    QAction* header_ = nullptr;
    QAction* launchAtLogin_ = nullptr;
    bool noTraySaid_ = false;
};
