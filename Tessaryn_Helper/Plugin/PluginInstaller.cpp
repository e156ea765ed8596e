#include "PluginInstaller.h"

#include "Foundation/ChildProcess.h"
#include "Foundation/RegularFile.h"
#include "Foundation/Scheduler.h"
#include "Foundation/Utf8.h"
#include "Logging/Log.h"
#include "Platform/Desktop.h"
#include "Platform/HomeFolders.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSaveFile>
#include <QUrl>

#include <algorithm>
#include <charconv>
#include <cstdint>
#include <filesystem>
#include <sys/stat.h>
#include <system_error>
#include <unistd.h>

namespace {

const QString logPrefix = QStringLiteral("PluginInstaller: ");

const QString creativeCloudPattern = QStringLiteral("Adobe Creative Cloud");
const QString premierePattern = QStringLiteral("Adobe Premiere Pro");
const QString packageName = QStringLiteral("Tessaryn.ccx");

// Every external tool here is expected to end within seconds; the bound keeps a hung tool from
// blocking the main thread for good.
constexpr std::chrono::seconds toolTimeout { 60 };

void log(const QString& message)
{
    Log::write(logPrefix + message);
}

std::filesystem::path fsPath(const QString& path)
{
    return std::filesystem::path(QFile::encodeName(path).toStdString());
}

QString describe(const QString& what, const QString& path, const std::error_code& error)
{
    return QStringLiteral("%1 \u201C%2\u201D: %3").arg(what, path, QString::fromLocal8Bit(error.message().c_str()));
}

// One part of a version: an optional single sign and one or more ASCII digits that fit a signed
// 64-bit integer; anything else reads as 0.
std::int64_t versionPart(const QString& part)
{
    qsizetype digitsStart = 0;
    if (part.startsWith(QLatin1Char('+')) || part.startsWith(QLatin1Char('-')))
        digitsStart = 1;
    if (part.size() == digitsStart)
        return 0;
    for (qsizetype i = digitsStart; i < part.size(); ++i)
        if (part[i] < QLatin1Char('0') || part[i] > QLatin1Char('9'))
            return 0;
    // from_chars takes a minus sign but not a plus sign.
    const QByteArray text = part.mid(part.startsWith(QLatin1Char('+')) ? 1 : 0).toLatin1();
    std::int64_t value = 0;
    const auto [end, error] = std::from_chars(text.constData(), text.constData() + text.size(), value);
    if (error != std::errc() || end != text.constData() + text.size())
        return 0;
    return value;
}

std::vector<std::int64_t> versionParts(const QString& version)
{
    std::vector<std::int64_t> parts;
    for (const QString& part : version.split(QLatin1Char('.'), Qt::SkipEmptyParts))
        parts.push_back(versionPart(part));
    return parts;
}

// The marker's text, trimmed; none when it cannot be read as UTF-8. Only a small regular file is
// read: a FIFO or a device in its place would stall or flood the main thread.
std::optional<QString> readMarker()
{
    const std::optional<QByteArray> bytes
        = RegularFile::read(PluginInstaller::markerPath(), 256, RegularFile::Oversize::refuse);
    if (!bytes)
        return std::nullopt;
    const auto text = decodeUtf8Strictly(*bytes);
    if (!text)
        return std::nullopt;
    return trimmedWhitespace(*text);
}

// Replaces the marker atomically; a failure is deliberately silent, the next start then simply
// offers the install again.
void writeMarker(const QString& version)
{
    // Whatever is in the marker's place is replaced, never written through.
    const QByteArray encoded = QFile::encodeName(PluginInstaller::markerPath());
    struct stat existing {};
    if (::lstat(encoded.constData(), &existing) == 0 && !S_ISREG(existing.st_mode))
        ::unlink(encoded.constData());
    QSaveFile file(PluginInstaller::markerPath());
    if (!file.open(QIODevice::WriteOnly))
        return;
    file.write(version.toUtf8());
    file.commit();
}

// Puts a fresh copy of the package in the support folder; answers the reason when it could not.
std::optional<QString> stagePackage(const QString& package)
{
    const QString support = HomeFolders::supportFolder();
    const QString staged = PluginInstaller::stagedPackagePath();
    std::error_code error;
    std::filesystem::create_directories(fsPath(support), error);
    if (error)
        return describe(QStringLiteral("could not create the folder"), support, error);
    if (std::filesystem::exists(std::filesystem::symlink_status(fsPath(staged), error))) {
        std::filesystem::remove_all(fsPath(staged), error);
        if (error)
            return describe(QStringLiteral("could not remove"), staged, error);
    }
    error.clear();
    std::filesystem::copy_file(fsPath(package), fsPath(staged), error);
    if (error)
        return describe(QStringLiteral("could not copy the package to"), staged, error);
    return std::nullopt;
}

// An alert's event loop ends when the helper quits; the user has not answered then, and the
// flow must not act on an answer nobody gave.
bool isQuitting(const PluginInstaller::Services& services)
{
    return services.isQuitting && services.isQuitting();
}

} // namespace

void PluginInstaller::run(Scheduler& mainThread, Services services)
{
    mainThread.post([services = std::move(services)] { perform(services); });
}

void PluginInstaller::perform(const Services& services)
{
    const auto package = bundledCCX(services);
    if (!package || !QFileInfo::exists(*package)) {
        log(QStringLiteral("no bundled Tessaryn.ccx — skip (dev build?)"));
        return;
    }

    const auto bundled = manifestVersion(*package);
    if (!bundled) {
        log(QStringLiteral("could not read .ccx manifest version — skip"));
        return;
    }
    const QString& version = *bundled;

    const bool codeFolderPresent = QFileInfo::exists(installedCodeDir(version));
    const auto marker = readMarker();

    if (marker && codeFolderPresent && *marker == version) {
        log(QStringLiteral("plugin current (v%1) — skip").arg(version));
        return;
    }

    for (const QString& installed : installedVersions(pluginIdentifier)) {
        if (installed == version)
            continue;
        if (isVersion(installed, version)) {
            log(QStringLiteral("v%1 already installed (newer than bundled v%2, Exchange?) — skip").arg(installed, version));
            return;
        }
    }

    if (!codeFolderPresent && marker && *marker == version)
        log(QStringLiteral("marker says v%1 but External/ absent — self-heal, re-triggering install").arg(version));

    const QString bundle = services.bundlePath();
    if (bundle.startsWith(QStringLiteral("/Volumes/"))) {
        log(QStringLiteral("running from DMG — abort install, prompt"));
        alert(services, QStringLiteral("Move Tessaryn Helper to Applications first"),
              QStringLiteral("Drag Tessaryn Helper into your Applications folder, then open it again."));
        return;
    }
    if (bundle.contains(QStringLiteral("/AppTranslocation/")))
        log(QStringLiteral("app is translocated — proceeding (Finder-drag avoids this)"));

    if (!processRunning(creativeCloudPattern)) {
        // Opening an application that is not there fails, often with the desktop's own error
        // dialog; the alert would then promise a start that never comes.
        if (!QFileInfo::exists(services.creativeCloudApplication)) {
            log(QStringLiteral("Creative Cloud not installed — skip"));
            return;
        }
        log(QStringLiteral("Creative Cloud not running — launching it, prompt"));
        services.desktop.open(QUrl::fromLocalFile(services.creativeCloudApplication));
        alert(services, QStringLiteral("Creative Cloud is starting"),
              QStringLiteral("Reopen Tessaryn Helper in about 20 seconds to install the plugin."));
        return;
    }
    if (processRunning(premierePattern)) {
        log(QStringLiteral("Premiere running — abort install, prompt"));
        alert(services, QStringLiteral("Quit Premiere first"),
              QStringLiteral("Quit Premiere, then open Tessaryn Helper again to install the plugin."));
        return;
    }

    removeLegacyIfPresent(services);
    if (isQuitting(services))
        return;

    if (const auto failure = stagePackage(*package)) {
        log(QStringLiteral("contained error — %1; skip").arg(*failure));
        return;
    }
    const QString staged = stagedPackagePath();
    // A package that never carried the attribute is fine: the outcome does not matter.
    runProcess(QStringLiteral("/usr/bin/xattr"), { QStringLiteral("-d"), QStringLiteral("com.apple.quarantine"), staged });

    services.desktop.open(QUrl::fromLocalFile(staged));
    log(QStringLiteral("opened staged Tessaryn.ccx v%1 via CCXProcess").arg(version));
    alert(services, QStringLiteral("Installing Tessaryn"),
          QStringLiteral("Click Install in the Adobe dialog that just opened, then open Premiere → Window → Extensions → Tessaryn."));
    if (isQuitting(services))
        return;
    // Only now: the marker records what was handed over, after the user has been told what to do.
    writeMarker(version);
}

std::optional<QString> PluginInstaller::bundledCCX(const Services& services)
{
    const auto folder = services.resourcesFolder();
    if (!folder)
        return std::nullopt;
    return *folder + QLatin1Char('/') + packageName;
}

std::optional<QString> PluginInstaller::manifestVersion(const QString& packagePath)
{
    // The tool's exit status is not looked at: a missing member prints nothing, which then fails
    // to parse.
    const auto text = runProcess(QStringLiteral("/usr/bin/unzip"), { QStringLiteral("-p"), packagePath, QStringLiteral("manifest.json") });
    if (!text)
        return std::nullopt;
    QJsonParseError error;
    const QJsonDocument document = QJsonDocument::fromJson(text->toUtf8(), &error);
    if (error.error != QJsonParseError::NoError || !document.isObject())
        return std::nullopt;
    const QJsonValue version = document.object().value(QStringLiteral("version"));
    if (!version.isString())
        return std::nullopt;
    return version.toString();
}

QString PluginInstaller::externalFolder()
{
    return HomeFolders::home() + QStringLiteral("/Library/Application Support/Adobe/UXP/Plugins/External");
}

QString PluginInstaller::markerPath()
{
    return HomeFolders::supportFolder() + QStringLiteral("/plugin-installed-version");
}

QString PluginInstaller::stagedPackagePath()
{
    return HomeFolders::supportFolder() + QLatin1Char('/') + packageName;
}

QString PluginInstaller::installedCodeDir(const QString& version)
{
    return externalFolder() + QLatin1Char('/') + pluginIdentifier + QLatin1Char('_') + version;
}

QStringList PluginInstaller::installedVersions(const QString& identifier)
{
    const QString prefix = identifier + QLatin1Char('_');
    // Every kind of entry counts, hidden ones and dangling links included; only names are read.
    const QStringList names = QDir(externalFolder())
                                  .entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                                             QDir::Unsorted);
    QStringList versions;
    for (const QString& name : names)
        if (name.startsWith(prefix, Qt::CaseSensitive))
            versions << name.mid(prefix.size());
    return versions;
}

bool PluginInstaller::isVersion(const QString& version, const QString& atLeast)
{
    const auto a = versionParts(version);
    const auto b = versionParts(atLeast);
    for (size_t i = 0; i < std::max(a.size(), b.size()); ++i) {
        const std::int64_t x = i < a.size() ? a[i] : 0;
        const std::int64_t y = i < b.size() ? b[i] : 0;
        if (x != y)
            return x > y;
    }
    return true;
}

void PluginInstaller::removeLegacyIfPresent(const Services& services)
{
    const QStringList legacy = installedVersions(legacyPluginIdentifier);
    if (legacy.isEmpty())
        return;
    log(QStringLiteral("legacy plugin present (%1) — removing via UPIA").arg(legacy.join(QStringLiteral(", "))));

    const QString& agent = services.installerAgentPath;
    const QFileInfo agentInfo(agent);
    if (!agentInfo.isFile() || !agentInfo.isExecutable()) {
        log(QStringLiteral("UPIA not found at %1").arg(agent));
    } else if (!installedVersions(pluginIdentifier).isEmpty()) {
        // The agent removes by name, and both copies carry the same name.
        log(QStringLiteral("a %1 copy is already installed — not removing by name (ambiguous); asking the user").arg(pluginIdentifier));
    } else {
        const QString output = trimmedWhitespace(runProcess(agent, { QStringLiteral("--remove"), QStringLiteral("Tessaryn") }).value_or(QString()));
        log(QStringLiteral("UPIA --remove Tessaryn → %1").arg(output.isEmpty() ? QStringLiteral("(no output)") : output));
        // Only what is left in the folder tells whether the removal worked.
        if (installedVersions(legacyPluginIdentifier).isEmpty()) {
            log(QStringLiteral("legacy plugin removed"));
            return;
        }
    }

    log(QStringLiteral("legacy plugin still present — asking the user"));
    alert(services, QStringLiteral("Tessaryn has a new plugin ID"),
          QStringLiteral("Remove the old copy so Premiere shows one Tessaryn: Creative Cloud → Stock & Marketplace → "
                         "Plugins → Manage plugins → Tessaryn (old version) → Uninstall. Then reopen Premiere."));
}

std::optional<QString> PluginInstaller::runProcess(const QString& executable, const QStringList& arguments)
{
    ProcessSpec spec;
    spec.program = executable;
    spec.arguments = arguments;
    // None of these tools reads input; the helper's own standard input may be a terminal.
    spec.nullStandardInput = true;
    try {
        return decodeUtf8Strictly(ChildProcess::run(spec, toolTimeout).standardOutput);
    } catch (const std::exception&) {
        return std::nullopt;
    }
}

bool PluginInstaller::processRunning(const QString& pattern)
{
    ProcessSpec spec;
    spec.program = QStringLiteral("/usr/bin/pgrep");
    // Only this user's processes: another user's Premiere is not in this user's way.
    spec.arguments = { QStringLiteral("-u"), QString::number(::geteuid()), QStringLiteral("-f"), pattern };
    spec.nullStandardInput = true;
    try {
        return ChildProcess::run(spec, toolTimeout).terminationStatus == 0;
    } catch (const std::exception&) {
        return false;
    }
}

void PluginInstaller::alert(const Services& services, const QString& title, const QString& text)
{
    services.desktop.alert(title, text);
}
