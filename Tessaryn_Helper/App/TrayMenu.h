#pragma once

#include "Supervision/ServerStatus.h"

#include <QColor>
#include <QIcon>
#include <QObject>

#include <memory>

class QAction;
class QMenu;
class QSystemTrayIcon;
class TessarynHelperApp;

// The status icon and its menu: a circle with a "T" in the colour of the server's status, present
// while Premiere Pro runs, and nine items: the status in words, Restart Server, View Logs…, Open
// Tessaryn Docs, Launch at Login, Quit Tessaryn Helper, with separators. Everything follows the
// current values at once, also while the menu is open. The icon itself is built when it is first
// shown: Qt asks the session for a StatusNotifierItem host only then, once for the whole process,
// so a panel that starts after the helper (at login) still gets the icon.
class TrayMenu : public QObject {
    Q_OBJECT

public:
    explicit TrayMenu(TessarynHelperApp& app, QObject* parent = nullptr);
    ~TrayMenu() override;

    static QColor colorFor(const ServerStatus& status);
    static QIcon iconFor(const ServerStatus& status);

    static QString toolTipFor(const ServerStatus& status);

    QMenu& menu() { return *menu_; }
    // None until the icon is first shown.
    QSystemTrayIcon* trayIcon() { return trayIcon_.get(); }

private:
    void showStatus(const ServerStatus& status);
    void showLoginItemStatus();
    void setInserted(bool inserted);
    void buildTrayIcon();
    void sayWhetherTrayAvailable();
    void openMenuBesideIcon();

    TessarynHelperApp& app_;
    std::unique_ptr<QMenu> menu_;
    std::unique_ptr<QSystemTrayIcon> trayIcon_;
    QAction* header_ = nullptr;
    QAction* launchAtLogin_ = nullptr;
    bool noTraySaid_ = false;
};
