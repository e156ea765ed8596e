#include "Platform/LoginItem.h"

#include "AutostartEntry.h"
#include "Foundation/RegularFile.h"
#include "Logging/Log.h"
#include "Platform/ExecutablePath.h"
#include "Platform/HomeFolders.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>

#include <filesystem>
#include <optional>
#include <system_error>

// The login item is the XDG autostart entry of the helper's application ID.

namespace {

const QString entryFileName = QStringLiteral("app.marovant.tessaryn-helper.desktop");

QString configHome()
{
    // Only an absolute XDG_CONFIG_HOME counts; otherwise the default applies.
    const QString configured = qEnvironmentVariable("XDG_CONFIG_HOME");
    if (!configured.isEmpty() && QDir::isAbsolutePath(configured))
        return configured;
    return HomeFolders::home() + QStringLiteral("/.config");
}

QString autostartFolder()
{
    return configHome() + QStringLiteral("/autostart");
}

QString entryPath()
{
    return autostartFolder() + QLatin1Char('/') + entryFileName;
}

// One argument of an Exec key: quoted in whole, with the characters that keep a meaning inside
// double quotes escaped, and "%" doubled so that it is no field code.
QString quotedExecArgument(const QString& argument)
{
    QString quoted = QStringLiteral("\"");
    for (const QChar c : argument) {
        if (c == QLatin1Char('"') || c == QLatin1Char('`') || c == QLatin1Char('$') || c == QLatin1Char('\\'))
            quoted += QLatin1Char('\\');
        if (c == QLatin1Char('%'))
            quoted += QLatin1Char('%');
        quoted += c;
    }
    return quoted + QLatin1Char('"');
}

// The escapes of a string value in a desktop entry; applied to the Exec line after quoting.
QString escapedValue(const QString& value)
{
    QString escaped;
    for (const QChar c : value) {
        switch (c.unicode()) {
        case '\\':
            escaped += QStringLiteral("\\\\");
            break;
        case '\n':
            escaped += QStringLiteral("\\n");
            break;
        case '\t':
            escaped += QStringLiteral("\\t");
            break;
        case '\r':
            escaped += QStringLiteral("\\r");
            break;
        default:
            escaped += c;
        }
    }
    return escaped;
}

QString unescapedValue(const QString& value)
{
    QString text;
    for (qsizetype i = 0; i < value.size(); ++i) {
        if (value[i] != QLatin1Char('\\') || i + 1 == value.size()) {
            text += value[i];
            continue;
        }
        const QChar next = value[++i];
        switch (next.unicode()) {
        case 's':
            text += QLatin1Char(' ');
            break;
        case 'n':
            text += QLatin1Char('\n');
            break;
        case 't':
            text += QLatin1Char('\t');
            break;
        case 'r':
            text += QLatin1Char('\r');
            break;
        case '\\':
            text += QLatin1Char('\\');
            break;
        default:
            text += QLatin1Char('\\');
            text += next;
        }
    }
    return text;
}

} // namespace

QString Autostart::execProgram(const QString& exec)
{
    QString program;
    qsizetype i = 0;
    if (exec.startsWith(QLatin1Char('"'))) {
        for (i = 1; i < exec.size() && exec[i] != QLatin1Char('"'); ++i) {
            if (exec[i] == QLatin1Char('\\') && i + 1 < exec.size())
                ++i;
            program += exec[i];
        }
    } else {
        program = exec.section(QLatin1Char(' '), 0, 0);
    }
    return program.replace(QStringLiteral("%%"), QStringLiteral("%"));
}

Autostart::Entry Autostart::parseEntry(const QByteArray& content)
{
    Entry entry;
    bool inMainGroup = false;
    for (const QByteArray& rawLine : content.split('\n')) {
        const QString line = QString::fromUtf8(rawLine).trimmed();
        if (line.isEmpty() || line.startsWith(QLatin1Char('#')))
            continue;
        if (line.startsWith(QLatin1Char('['))) {
            inMainGroup = line == QLatin1String("[Desktop Entry]");
            continue;
        }
        const qsizetype equals = line.indexOf(QLatin1Char('='));
        if (!inMainGroup || equals < 0)
            continue;
        const QString key = line.left(equals).trimmed();
        const QString value = line.mid(equals + 1).trimmed();
        if (key == QLatin1String("Exec"))
            entry.exec = unescapedValue(value);
        else if (key == QLatin1String("Hidden"))
            entry.hidden = value == QLatin1String("true");
        else if (key == QLatin1String("X-GNOME-Autostart-enabled"))
            entry.autostartEnabled = value != QLatin1String("false");
    }
    return entry;
}

namespace {

using Autostart::Entry;
using Autostart::execProgram;

// Read without blocking and within bounds: anything but a small regular file is no entry.
std::optional<Entry> readEntry(const QString& path)
{
    const std::optional<QByteArray> content =
        RegularFile::read(path, 64 * 1024, RegularFile::Oversize::refuse);
    if (!content)
        return std::nullopt;
    return Autostart::parseEntry(*content);
}

bool namesExecutable(const QString& program, const QString& executablePath)
{
    if (program == executablePath)
        return true;
    const QString canonical = QFileInfo(program).canonicalFilePath();
    return !canonical.isEmpty() && canonical == QFileInfo(executablePath).canonicalFilePath();
}

[[noreturn]] void fail(const char* operation, const QString& description)
{
    Log::shared().write(QStringLiteral("LoginItem.%1 failed: %2").arg(QLatin1String(operation), description));
    throw LoginItemError(description.toStdString());
}

} // namespace

LoginItemStatus LoginItem::status()
{
    return status(runningExecutablePath());
}

LoginItemStatus LoginItem::status(const QString& executablePath)
{
    if (executablePath.isEmpty())
        return LoginItemStatus::notFound;
    const std::optional<Entry> entry = readEntry(entryPath());
    if (!entry || entry->hidden || !entry->autostartEnabled)
        return LoginItemStatus::notRegistered;
    if (!namesExecutable(execProgram(entry->exec), executablePath))
        return LoginItemStatus::notRegistered;
    return LoginItemStatus::enabled;
}

void LoginItem::registerApp()
{
    registerApp(runningExecutablePath());
}

void LoginItem::registerApp(const QString& executablePath)
{
    if (executablePath.isEmpty())
        fail("register", QStringLiteral("The running executable cannot be determined"));

    const QString folder = autostartFolder();
    std::error_code error;
    std::filesystem::create_directories(QFile::encodeName(folder).toStdString(), error);
    if (error)
        fail("register",
             QStringLiteral("Cannot create the folder %1: %2")
                 .arg(folder, QString::fromStdString(error.message())));

    const QString path = entryPath();
    // Version 1.4: the newest that the validators of current distributions all know.
    const QString content =
        QStringLiteral("[Desktop Entry]\n"
                       "Type=Application\n"
                       "Version=1.4\n"
                       "Name=Tessaryn Helper\n"
                       "Comment=Keeps the Tessaryn server running beside Adobe Premiere Pro\n"
                       "Icon=app.marovant.tessaryn-helper\n"
                       "Exec=%1\n"
                       // Once the program is gone (the package removed), desktops skip the entry instead of
                       // failing to start it.
                       "TryExec=%2\n"
                       "Terminal=false\n"
                       "X-GNOME-Autostart-enabled=true\n")
            .arg(escapedValue(quotedExecArgument(executablePath)), escapedValue(executablePath));
    // Written whole or not at all: a half-written entry would start nothing.
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly))
        fail("register", QStringLiteral("Cannot write %1: %2").arg(path, file.errorString()));
    file.write(content.toUtf8());
    if (!file.commit())
        fail("register", QStringLiteral("Cannot write %1: %2").arg(path, file.errorString()));
}

void LoginItem::unregisterApp()
{
    const QString path = entryPath();
    std::error_code error;
    // A missing entry is already what was asked for.
    std::filesystem::remove(QFile::encodeName(path).toStdString(), error);
    if (error)
        fail("unregister",
             QStringLiteral("Cannot remove %1: %2").arg(path, QString::fromStdString(error.message())));
}
