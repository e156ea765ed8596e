#include "TrayMenu.h"

#include "Premiere/PremiereWatcher.h"
#include "Supervision/ServerManager.h"
#include "TessarynHelperApp.h"

#include <QAction>
#include <QCursor>
#include <QMenu>
#include <QPainter>
#include <QPixmap>
#include <QSystemTrayIcon>

TrayMenu::TrayMenu(TessarynHelperApp& app, QObject* parent)
    : QObject(parent)
    , app_(app)
    , menu_(std::make_unique<QMenu>())
    , trayIcon_(std::make_unique<QSystemTrayIcon>())
{
    header_ = menu_->addAction(QString());
    header_->setEnabled(false);
    menu_->addSeparator();
    connect(menu_->addAction(tr("Restart Server")), &QAction::triggered, &app_, &TessarynHelperApp::restartServer);
    connect(menu_->addAction(tr("View Logs\u2026")), &QAction::triggered, &app_, &TessarynHelperApp::openLogsFolder);
    connect(menu_->addAction(tr("Open Tessaryn Docs")), &QAction::triggered, &app_, &TessarynHelperApp::openDocs);
    menu_->addSeparator();
    launchAtLogin_ = menu_->addAction(tr("Launch at Login"));
    launchAtLogin_->setCheckable(true);
    // Toggled by the user only; the shown state is always set from the status read afterwards.
    connect(launchAtLogin_, &QAction::triggered, &app_, &TessarynHelperApp::setLaunchAtLogin);
    menu_->addSeparator();
    connect(menu_->addAction(tr("Quit Tessaryn Helper")), &QAction::triggered, &app_, &TessarynHelperApp::quit);

    trayIcon_->setContextMenu(menu_.get());
    trayIcon_->setToolTip(QStringLiteral("Tessaryn Helper"));
    // A click opens the menu too, as on a menu bar.
    connect(trayIcon_.get(), &QSystemTrayIcon::activated, this, [this](QSystemTrayIcon::ActivationReason reason) {
        if (reason == QSystemTrayIcon::Trigger)
            menu_->popup(QCursor::pos());
    });

    connect(&app_.serverManager(), &ServerManager::statusChanged, this, &TrayMenu::showStatus);
    connect(&app_, &TessarynHelperApp::loginItemStatusChanged, this, &TrayMenu::showLoginItemStatus);
    connect(&app_, &TessarynHelperApp::isInsertedChanged, this, &TrayMenu::setInserted);

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

void TrayMenu::showStatus(const ServerStatus& status)
{
    // Shown as it is: a menu would take a lone "&" for a mnemonic marker.
    header_->setText(status.menuHeaderText().replace(QLatin1Char('&'), QStringLiteral("&&")));
    trayIcon_->setIcon(iconFor(status));
}

void TrayMenu::showLoginItemStatus()
{
    launchAtLogin_->setChecked(app_.loginItemStatus() == LoginItemStatus::enabled);
}

void TrayMenu::setInserted(bool inserted)
{
    if (!inserted)
        menu_->hide();
    trayIcon_->setVisible(inserted);
}
