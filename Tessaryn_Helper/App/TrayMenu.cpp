#include "TrayMenu.h"

#include "Premiere/PremiereWatcher.h"
#include "Supervision/ServerManager.h"
#include "TessarynHelperApp.h"

#include "Adapters/Linux/SessionBus.h"
#include "Adapters/Qt/StatusNotifierItem.h"
#include "Logging/Log.h"

#include <QAction>
#include <QCursor>
#include <QGuiApplication>
#include <QMenu>
#include <QScreen>
#include <QPainter>
#include <QPixmap>
#include <QSystemTrayIcon>

#include <algorithm>

TrayMenu::TrayMenu(TessarynHelperApp& app, SessionBus* bus, QObject* parent)
    : QObject(parent)
    , app_(app)
    , menu_(std::make_unique<QMenu>())
{
    header_ = menu_->addAction(QString());
    header_->setEnabled(false);
    menu_->addSeparator();
    connect(menu_->addAction(tr("Restart Server")), &QAction::triggered, &app_,
            &TessarynHelperApp::restartServer);
    connect(menu_->addAction(tr("View Logs\u2026")), &QAction::triggered, &app_,
            &TessarynHelperApp::openLogsFolder);
    connect(menu_->addAction(tr("Open Tessaryn Docs")), &QAction::triggered, &app_,
            &TessarynHelperApp::openDocs);
    menu_->addSeparator();
    launchAtLogin_ = menu_->addAction(tr("Launch at Login"));
    launchAtLogin_->setCheckable(true);
    // Toggled by the user only; the shown state is always set from the status read afterwards.
    connect(launchAtLogin_, &QAction::triggered, &app_, &TessarynHelperApp::setLaunchAtLogin);
    menu_->addSeparator();
    connect(menu_->addAction(tr("Quit Tessaryn Helper")), &QAction::triggered, &app_,
            &TessarynHelperApp::quit);

    connect(&app_.serverManager(), &ServerManager::statusChanged, this, &TrayMenu::showStatus);
    connect(&app_, &TessarynHelperApp::loginItemStatusChanged, this, &TrayMenu::showLoginItemStatus);
    connect(&app_, &TessarynHelperApp::isInsertedChanged, this, &TrayMenu::setInserted);

    if (bus) {
        bus_ = bus;
        connect(bus_, &SessionBus::nameOwnerChanged, this, [this](const QString& name, const QString& owner) {
            if (name == QLatin1String(StatusNotifierItem::watcherService))
                watcherOwnerIs(owner);
        });
        connect(bus_, &SessionBus::lost, this, [this] { watcherOwnerIs(QString()); });
        bus_->watchName(QLatin1String(StatusNotifierItem::watcherService));
        watcherAsked_ = bus_->answeredAtStart();
    }

    showStatus(app_.serverManager().status());
    showLoginItemStatus();
    setInserted(app_.isInserted());
}

TrayMenu::~TrayMenu() = default;

QColor TrayMenu::colorFor(const ServerStatus& status)
{
    switch (status.kind()) {
    case ServerStatus::Kind::restarting:
        return QColor(0xFF, 0xCC, 0x00);
    case ServerStatus::Kind::running:
        return QColor(0x34, 0xC7, 0x59);
    case ServerStatus::Kind::preflightFailed:
    case ServerStatus::Kind::stuck:
    case ServerStatus::Kind::portInUse:
        return QColor(0xFF, 0x3B, 0x30);
    case ServerStatus::Kind::stopped:
    case ServerStatus::Kind::idle:
        break;
    }
    return QColor(0x8E, 0x8E, 0x93);
}

QIcon TrayMenu::iconFor(const ServerStatus& status)
{
    constexpr int size = 64;
    QPixmap pixmap(size, size);
    pixmap.fill(Qt::transparent);
    QPainter painter(&pixmap);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setPen(Qt::NoPen);
    painter.setBrush(colorFor(status));
    painter.drawEllipse(QRectF(2, 2, size - 4, size - 4));
    QFont font = painter.font();
    font.setBold(true);
    font.setPixelSize(size * 5 / 8);
    painter.setFont(font);
    painter.setPen(Qt::white);
    painter.drawText(QRect(0, 0, size, size), Qt::AlignCenter, QStringLiteral("T"));
    painter.end();
    return QIcon(pixmap);
}

QString TrayMenu::toolTipFor(const ServerStatus& status)
{
    return QStringLiteral("Tessaryn Helper \u2014 ") + status.menuHeaderText();
}

void TrayMenu::showStatus(const ServerStatus& status)
{
    // Shown as it is: a menu would take a lone "&" for a mnemonic marker.
    header_->setText(status.menuHeaderText().replace(QLatin1Char('&'), QStringLiteral("&&")));
    if (trayIcon_) {
        trayIcon_->setIcon(iconFor(status));
        trayIcon_->setToolTip(toolTipFor(status));
    }
    // Ending: a host hears nothing more from an item that is about to go.
    if (item_ && !app_.isQuitting()) {
        item_->setIcon(iconFor(status));
        item_->setToolTip(toolTipFor(status));
    }
}

namespace {

// Qt's own tray icon docks through XEmbed without a watcher, which no Wayland session has.
bool qtTrayPossible()
{
    return !QGuiApplication::platformName().startsWith(QLatin1String("wayland"));
}

} // namespace

// Qt's tray icon is never built while a watcher is there: Qt would then take its own item for good.
void TrayMenu::buildIcon()
{
    if (watcherAsked_)
        return; // built with the answer
    if (!watcher_.isEmpty())
        buildItem();
    else if (qtTrayPossible())
        buildTrayIcon();
}

void TrayMenu::buildTrayIcon()
{
    trayIcon_ = std::make_unique<QSystemTrayIcon>();
    trayIcon_->setContextMenu(menu_.get());
    showStatus(app_.serverManager().status());
    // A click opens the menu too, as on a menu bar.
    connect(trayIcon_.get(), &QSystemTrayIcon::activated, this,
            [this](QSystemTrayIcon::ActivationReason reason) {
                if (reason == QSystemTrayIcon::Trigger)
                    openMenuBesideIcon(trayIcon_->geometry(), QCursor::pos());
            });
}

// The host shows the menu itself; a host that asks the item instead says where.
void TrayMenu::buildItem()
{
    item_ = std::make_unique<StatusNotifierItem>(*menu_, *bus_);
    showStatus(app_.serverManager().status());
    connect(item_.get(), &StatusNotifierItem::activated, this,
            [this](QPoint at) { openMenuBesideIcon(QRect(), at); });
}

// A watcher handed over to another process is a new one, that has yet to hear of the item.
void TrayMenu::watcherOwnerIs(const QString& owner)
{
    if (std::exchange(watcherAsked_, false)) {
        watcher_ = owner;
        if (owner.isEmpty() && qtTrayPossible())
            buildTrayIcon(); // hidden until shown
        setInserted(app_.isInserted());
        return;
    }
    if (owner == std::exchange(watcher_, owner))
        return;
    if (!owner.isEmpty()) {
        watcherCame();
        return;
    }
    watcherWent();
    if (!trayIcon_ && qtTrayPossible())
        buildTrayIcon(); // hidden until shown
}

void TrayMenu::watcherCame()
{
    if (item_) {
        item_->registerWithWatcher();
        return;
    }
    if (!trayIcon_ && !app_.isInserted())
        return; // built when first shown
    trayIcon_.reset();
    buildItem();
    item_->setVisible(app_.isInserted());
    sayWhetherTrayAvailable();
}

void TrayMenu::watcherWent()
{
    if (!item_)
        return;
    item_.reset();
    if (!app_.isInserted())
        return; // built when next shown
    if (qtTrayPossible()) {
        buildTrayIcon();
        trayIcon_->setVisible(true);
    }
    sayWhetherTrayAvailable();
}

// Below the icon, or above it where the screen ends. An icon shown through a host has no known place:
// on X11 the pointer that clicked it is on it, and the menu goes there, off the panel (outside the
// screen's free area) as the panel's own menus do; elsewhere (Wayland) no client can place a menu
// next to another's icon, so the menu is the host's, which shows it from the item.
void TrayMenu::openMenuBesideIcon(const QRect& icon, const QPoint& pointer)
{
    const bool onX11 = QGuiApplication::platformName() == QLatin1String("xcb");
    if (!icon.isValid() && !onX11)
        return;
    const QRect at = icon.isValid() ? icon : QRect(pointer, QSize(1, 1));
    const QScreen* screen = QGuiApplication::screenAt(at.center());
    const QRect area = screen ? screen->availableGeometry() : QRect();
    const int height = menu_->sizeHint().height();
    const int below = icon.isValid() ? at.bottom() + 1 : std::max(at.top(), area.top());
    const bool fitsBelow = !screen || below + height <= area.bottom() + 1;
    const int above = icon.isValid() ? at.top() - height : std::min(at.top(), area.bottom() + 1 - height);
    menu_->popup(QPoint(at.left(), fitsBelow ? below : above));
}

// Asked whenever the icon is shown; said once, and again only once a tray has been seen since.
void TrayMenu::sayWhetherTrayAvailable()
{
    if (!app_.isInserted() || watcherAsked_)
        return;
    if (item_ || (trayIcon_ && QSystemTrayIcon::isSystemTrayAvailable())) {
        noTraySaid_ = false;
    } else if (!noTraySaid_) {
        noTraySaid_ = true;
        Log::write(QStringLiteral("No system tray available \u2014 the status icon cannot be shown"));
    }
}

void TrayMenu::showLoginItemStatus()
{
    launchAtLogin_->setChecked(app_.loginItemStatus() == LoginItemStatus::enabled);
}

void TrayMenu::setInserted(bool inserted)
{
    if (!inserted)
        menu_->hide();
    if (inserted && !trayIcon_ && !item_)
        buildIcon();
    if (trayIcon_)
        trayIcon_->setVisible(inserted);
    if (item_)
        item_->setVisible(inserted);
    sayWhetherTrayAvailable();
}
