#include "PluginInstaller.h"

#include "Foundation/ChildProcess.h"
#include "Foundation/RegularFile.h"
#include "Foundation/Scheduler.h"
#include "Foundation/SerialQueue.h"
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
#include <csignal>
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
// holding up the flow for good.
constexpr std::chrono::seconds toolTimeout { 60 };

ProcessSpec toolSpec(const QString& executable, const QStringList& arguments)
{
    ProcessSpec spec;
    spec.program = executable;
    spec.arguments = arguments;
    // None of these tools reads input; the helper's own standard input may be a terminal.
    spec.nullStandardInput = true;
    // Whatever the tool starts is ended with it, and cannot hold its output open past the bound.
    spec.ownProcessGroup = true;
    // And with the helper, should the helper be killed outright while the tool runs.
    spec.parentDeathSignal = SIGKILL;
    return spec;
}

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
    return QStringLiteral("%1 \u201C%2\u201D: %3")
        .arg(what, path, QString::fromLocal8Bit(error.message().c_str()));
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
    const std::optional<QByteArray> bytes =
        RegularFile::read(PluginInstaller::markerPath(), 256, RegularFile::Oversize::refuse);
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
    // Only in a folder of the user's own: another user's could swap what is written there.
    if (!Log::ownFolder(HomeFolders::supportFolder()))
        return;
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
    // Another user's folder could swap the package before Adobe's installer opens it.
    if (!Log::ownFolder(support))
        return describe(QStringLiteral("will not stage the package in"), support,
                        std::error_code(EACCES, std::generic_category()));
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

// The flow, step by step on the main thread. Where a step needs an external tool, the tool runs on
// the flow's worker and the step's outcome comes back as the next step's argument; nothing else
// moves off the main thread, and the order of steps, lines and alerts is that of one straight run.
class InstallFlow final : public PluginInstaller::Flow, public std::enable_shared_from_this<InstallFlow> {
public:
    InstallFlow(const std::shared_ptr<Scheduler>& mainThread, PluginInstaller::Services services)
        : services_(std::move(services))
        , mainThread_(mainThread)
    {
    }

    // The worker is joined here: the running tool has been killed, so that does not take long.
    ~InstallFlow() override { end(); }

    void end() override
    {
        ended_ = true;
        cancellation_->cancel();
    }
    bool hasEnded() const override { return ended_; }

    void begin();

private:
    template <typename Result>
    void offMainThread(std::function<Result(RunCancellation*)> tool, void (InstallFlow::*next)(Result));
    void finish();

    void withVersion(std::optional<QString> bundled);
    void withCreativeCloud(bool running);
    void withPremiere(bool running);
    void removeLegacyIfPresent();
    void afterLegacyRemoval(std::optional<QString> output);
    void askToRemoveLegacy();
    void stage();
    void handOver(std::optional<QString> quarantineRemoval);

    const PluginInstaller::Services services_;
    const std::weak_ptr<Scheduler> mainThread_;
    const std::shared_ptr<RunCancellation> cancellation_ = std::make_shared<RunCancellation>();
    std::unique_ptr<SerialQueue> tools_ =
        std::make_unique<SerialQueue>(QStringLiteral("app.marovant.tessaryn-helper.plugin-tools"));
    bool ended_ = false;
    QString package_;
    QString version_;
};

// The worker's task owns what it uses: the tool's arguments and the cancellation. Its outcome
// reaches the flow on the main thread, unless the flow has ended or gone by then.
template <typename Result>
void InstallFlow::offMainThread(std::function<Result(RunCancellation*)> tool,
                                void (InstallFlow::*next)(Result))
{
    tools_->async([tool = std::move(tool), next, cancellation = cancellation_, mainThread = mainThread_,
                   flow = weak_from_this()] {
        Result result = tool(cancellation.get());
        if (const auto main = mainThread.lock())
            main->post([flow, next, result = std::move(result)] {
                const auto self = flow.lock();
                if (self && !self->ended_)
                    (self.get()->*next)(result);
            });
    });
}

// A flow that has come to an outcome lets its worker go.
void InstallFlow::finish()
{
    ended_ = true;
    tools_.reset();
}

void InstallFlow::begin()
{
    const auto package = PluginInstaller::bundledCCX(services_);
    if (!package || !QFileInfo::exists(*package)) {
        log(QStringLiteral("no bundled Tessaryn.ccx — skip (dev build?)"));
        return finish();
    }
    package_ = *package;
    offMainThread<std::optional<QString>>(
        [package = package_](RunCancellation* cancellation) {
            return PluginInstaller::manifestVersion(package, cancellation);
        },
        &InstallFlow::withVersion);
}

void InstallFlow::withVersion(std::optional<QString> bundled)
{
    if (!bundled) {
        log(QStringLiteral("could not read .ccx manifest version — skip"));
        return finish();
    }
    version_ = *bundled;
    const QString& version = version_;

    const bool codeFolderPresent = QFileInfo::exists(PluginInstaller::installedCodeDir(version));
    const auto marker = readMarker();

    if (marker && codeFolderPresent && *marker == version) {
        log(QStringLiteral("plugin current (v%1) — skip").arg(version));
        return finish();
    }

    for (const QString& installed : PluginInstaller::installedVersions(PluginInstaller::pluginIdentifier)) {
        if (installed == version)
            continue;
        if (PluginInstaller::isVersion(installed, version)) {
            log(QStringLiteral("v%1 already installed (newer than bundled v%2, Exchange?) — skip")
                    .arg(installed, version));
            return finish();
        }
    }

    if (!codeFolderPresent && marker && *marker == version)
        log(QStringLiteral("marker says v%1 but External/ absent — self-heal, re-triggering install")
                .arg(version));

    const QString bundle = services_.bundlePath();
    if (bundle.startsWith(QStringLiteral("/Volumes/"))) {
        log(QStringLiteral("running from DMG — abort install, prompt"));
        PluginInstaller::alert(
            services_, QStringLiteral("Move Tessaryn Helper to Applications first"),
            QStringLiteral("Drag Tessaryn Helper into your Applications folder, then open it again."));
        return finish();
    }
    if (bundle.contains(QStringLiteral("/AppTranslocation/")))
        log(QStringLiteral("app is translocated — proceeding (Finder-drag avoids this)"));

    offMainThread<bool>(
        [](RunCancellation* cancellation) {
            return PluginInstaller::processRunning(creativeCloudPattern, cancellation);
        },
        &InstallFlow::withCreativeCloud);
}

void InstallFlow::withCreativeCloud(bool running)
{
    if (!running) {
        // Opening an application that is not there fails, often with the desktop's own error
        // dialog; the alert would then promise a start that never comes.
        if (!QFileInfo::exists(services_.creativeCloudApplication)) {
            log(QStringLiteral("Creative Cloud not installed — skip"));
            return finish();
        }
        log(QStringLiteral("Creative Cloud not running — launching it, prompt"));
        services_.desktop.open(QUrl::fromLocalFile(services_.creativeCloudApplication));
        PluginInstaller::alert(
            services_, QStringLiteral("Creative Cloud is starting"),
            QStringLiteral("Reopen Tessaryn Helper in about 20 seconds to install the plugin."));
        return finish();
    }
    offMainThread<bool>(
        [](RunCancellation* cancellation) {
            return PluginInstaller::processRunning(premierePattern, cancellation);
        },
        &InstallFlow::withPremiere);
}

void InstallFlow::withPremiere(bool running)
{
    if (running) {
        log(QStringLiteral("Premiere running — abort install, prompt"));
        PluginInstaller::alert(
            services_, QStringLiteral("Quit Premiere first"),
            QStringLiteral("Quit Premiere, then open Tessaryn Helper again to install the plugin."));
        return finish();
    }
    removeLegacyIfPresent();
}

// Removes a copy published under the legacy identifier through Adobe's installer agent, or asks the
// user to remove it when that is not possible or not safe; the flow goes on either way.
void InstallFlow::removeLegacyIfPresent()
{
    const QStringList legacy = PluginInstaller::installedVersions(PluginInstaller::legacyPluginIdentifier);
    if (legacy.isEmpty())
        return stage();
    log(QStringLiteral("legacy plugin present (%1) — removing via UPIA")
            .arg(legacy.join(QStringLiteral(", "))));

    const QString& agent = services_.installerAgentPath;
    const QFileInfo agentInfo(agent);
    if (!agentInfo.isFile() || !agentInfo.isExecutable()) {
        log(QStringLiteral("UPIA not found at %1").arg(agent));
        return askToRemoveLegacy();
    }
    if (!PluginInstaller::installedVersions(PluginInstaller::pluginIdentifier).isEmpty()) {
        // The agent removes by name, and both copies carry the same name.
        log(QStringLiteral(
                "a %1 copy is already installed — not removing by name (ambiguous); asking the user")
                .arg(PluginInstaller::pluginIdentifier));
        return askToRemoveLegacy();
    }
    offMainThread<std::optional<QString>>(
        [agent](RunCancellation* cancellation) {
            return PluginInstaller::runProcess(
                agent, { QStringLiteral("--remove"), QStringLiteral("Tessaryn") }, cancellation);
        },
        &InstallFlow::afterLegacyRemoval);
}

void InstallFlow::afterLegacyRemoval(std::optional<QString> output)
{
    const QString text = trimmedWhitespace(output.value_or(QString()));
    log(QStringLiteral("UPIA --remove Tessaryn → %1")
            .arg(text.isEmpty() ? QStringLiteral("(no output)") : text));
    // Only what is left in the folder tells whether the removal worked.
    if (PluginInstaller::installedVersions(PluginInstaller::legacyPluginIdentifier).isEmpty()) {
        log(QStringLiteral("legacy plugin removed"));
        return stage();
    }
    askToRemoveLegacy();
}

void InstallFlow::askToRemoveLegacy()
{
    log(QStringLiteral("legacy plugin still present — asking the user"));
    PluginInstaller::alert(
        services_, QStringLiteral("Tessaryn has a new plugin ID"),
        QStringLiteral(
            "Remove the old copy so Premiere shows one Tessaryn: Creative Cloud → Stock & Marketplace → "
            "Plugins → Manage plugins → Tessaryn (old version) → Uninstall. Then reopen Premiere."));
    stage();
}

void InstallFlow::stage()
{
    // An alert's event loop ends when the helper quits, and the flow with it; the user has not
    // answered then, and the flow must not act on an answer nobody gave.
    if (ended_)
        return finish();
    if (const auto failure = stagePackage(package_)) {
        log(QStringLiteral("contained error — %1; skip").arg(*failure));
        return finish();
    }
    // A package that never carried the attribute is fine: the outcome does not matter.
    offMainThread<std::optional<QString>>(
        [staged = PluginInstaller::stagedPackagePath()](RunCancellation* cancellation) {
            return PluginInstaller::runProcess(
                QStringLiteral("/usr/bin/xattr"),
                { QStringLiteral("-d"), QStringLiteral("com.apple.quarantine"), staged }, cancellation);
        },
        &InstallFlow::handOver);
}

void InstallFlow::handOver(std::optional<QString>)
{
    const QString staged = PluginInstaller::stagedPackagePath();
    services_.desktop.open(QUrl::fromLocalFile(staged));
    log(QStringLiteral("opened staged Tessaryn.ccx v%1 via CCXProcess").arg(version_));
    PluginInstaller::alert(services_, QStringLiteral("Installing Tessaryn"),
                           QStringLiteral("Click Install in the Adobe dialog that just opened, then open "
                                          "Premiere → Window → Extensions → Tessaryn."));
    if (ended_)
        return finish();
    // Only now: the marker records what was handed over, after the user has been told what to do.
    writeMarker(version_);
    finish();
}

} // namespace

std::shared_ptr<PluginInstaller::Flow> PluginInstaller::run(const std::shared_ptr<Scheduler>& mainThread,
                                                            Services services)
{
    auto flow = std::make_shared<InstallFlow>(mainThread, std::move(services));
    mainThread->post([flow = std::weak_ptr<InstallFlow>(flow)] {
        if (const auto self = flow.lock(); self && !self->hasEnded())
            self->begin();
    });
    return flow;
}

std::optional<QString> PluginInstaller::bundledCCX(const Services& services)
{
    const auto folder = services.resourcesFolder();
    if (!folder)
        return std::nullopt;
    return *folder + QLatin1Char('/') + packageName;
}

std::optional<QString> PluginInstaller::manifestVersion(const QString& packagePath,
                                                        RunCancellation* cancellation)
{
    // The tool's exit status is not looked at: a missing member prints nothing, which then fails
    // to parse.
    const auto text =
        runProcess(QStringLiteral("/usr/bin/unzip"),
                   { QStringLiteral("-p"), packagePath, QStringLiteral("manifest.json") }, cancellation);
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
    const QStringList names =
        QDir(externalFolder())
            .entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot, QDir::Unsorted);
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

std::optional<QString> PluginInstaller::runProcess(const QString& executable, const QStringList& arguments,
                                                   RunCancellation* cancellation)
{
    try {
        const auto output = ChildProcess::run(toolSpec(executable, arguments), toolTimeout, cancellation);
        return decodeUtf8Strictly(output.standardOutput);
    } catch (const std::exception&) {
        return std::nullopt;
    }
}

bool PluginInstaller::processRunning(const QString& pattern, RunCancellation* cancellation)
{
    // Only this user's processes: another user's Premiere is not in this user's way.
    const QStringList arguments { QStringLiteral("-u"), QString::number(::geteuid()), QStringLiteral("-f"),
                                  pattern };
    try {
        return ChildProcess::run(toolSpec(QStringLiteral("/usr/bin/pgrep"), arguments), toolTimeout,
                                 cancellation)
                   .terminationStatus
            == 0;
    } catch (const std::exception&) {
        return false;
    }
}

void PluginInstaller::alert(const Services& services, const QString& title, const QString& text)
{
    services.desktop.alert(title, text);
}
