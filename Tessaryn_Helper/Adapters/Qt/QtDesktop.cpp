#include "QtDesktop.h"

#include "Logging/Log.h"

#include <QApplication>
#include <QDesktopServices>
#include <QGuiApplication>
#include <QMessageBox>

#include <cstdio>

namespace {

bool hasDisplay()
{
    // A message box needs the widgets application, not just a GUI one.
    if (!qobject_cast<QApplication*>(QCoreApplication::instance()))
        return false;
    const QString platform = QGuiApplication::platformName();
    return platform != QLatin1String("offscreen") && platform != QLatin1String("minimal");
}

} // namespace

void QtDesktop::open(const QUrl& url)
{
    // Qt's desktop services need the GUI application's platform; without one there is nothing
    // to open with.
    if (!qobject_cast<QGuiApplication*>(QCoreApplication::instance()))
        return;
    if (!QDesktopServices::openUrl(url))
        Log::write(
            QStringLiteral("Could not open %1").arg(url.isLocalFile() ? url.toLocalFile() : url.toString()));
}

void QtDesktop::alert(const QString& title, const QString& text)
{
    if (!hasDisplay()) {
        const QByteArray line = QStringLiteral("alert: %1: %2\n").arg(title, text).toUtf8();
        std::fwrite(line.constData(), 1, size_t(line.size()), stderr);
        std::fflush(stderr);
        return;
    }
    // Laid out like the platform's alerts: the title as the bold message, the text beneath it.
    QMessageBox box(QMessageBox::Information, title, title, QMessageBox::Ok);
    box.setInformativeText(text);
    box.exec();
}
