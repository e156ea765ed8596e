#pragma once

#include "Foundation/BundleLocation.h"

#include <QString>
#include <QStringList>

#include <functional>
#include <optional>

class Desktop;
class Scheduler;

// Makes sure, once per start, that the Premiere panel plugin carried in the resources is installed
// for the user at its version or newer. It never places plugin files itself: it stages the package
// in the support folder and hands it to Adobe's installer, refusing with a prompt when the helper
// runs from a disk image or when Creative Cloud or Premiere are in the way. Stateless: the marker
// file and the staged package in the support folder are all that persists.
class PluginInstaller {
public:
    PluginInstaller() = delete;

    static inline const QString pluginIdentifier = QStringLiteral("5d1e93b0");
    static inline const QString legacyPluginIdentifier = QStringLiteral("com.tessaryn.premierepro");
    static inline const QString defaultInstallerAgentPath = QStringLiteral(
        "/Library/Application Support/Adobe/Adobe Desktop Common/RemoteComponents/UPI/"
        "UnifiedPluginInstallerAgent/UnifiedPluginInstallerAgent.app/Contents/MacOS/UnifiedPluginInstallerAgent");
    static inline const QString defaultCreativeCloudApplication =
        QStringLiteral("/Applications/Utilities/Adobe Creative Cloud/ACC/Creative Cloud.app");

    // What the flow needs from the platform. The program passes its desktop and keeps the other
    // defaults; tests replace them. The desktop must outlive the queued flow.
    struct Services {
        Desktop& desktop;
        std::function<std::optional<QString>()> resourcesFolder = &BundleLocation::resourcesFolder;
        std::function<QString()> bundlePath = &BundleLocation::bundlePath;
        QString installerAgentPath = defaultInstallerAgentPath;
        // True once the helper is quitting: the flow then does nothing more after an alert.
        std::function<bool()> isQuitting = nullptr;
        QString creativeCloudApplication = defaultCreativeCloudApplication;
    };

    // Queues the install flow on the main thread and returns at once; nothing is reported back.
    static void run(Scheduler& mainThread, Services services);
    // The install flow itself; every outcome ends in one log line, some also in an alert.
    static void perform(const Services& services);

    // The package in the resources folder; none when there is no resources folder. Whether the
    // file exists is not tested here.
    static std::optional<QString> bundledCCX(const Services& services);
    // The "version" string of the package's manifest.json, unchanged; none when the archive, the
    // member, the JSON or the member's type is not as expected.
    static std::optional<QString> manifestVersion(const QString& packagePath);
    // Where Adobe's installer puts the current plugin's code for a version; nothing is read.
    static QString installedCodeDir(const QString& version);
    // The versions of a plugin in Adobe's External folder, in listing order, unsorted.
    static QStringList installedVersions(const QString& identifier);
    // Numeric comparison of dot-separated versions; a part that is not a signed 64-bit decimal
    // integer counts as 0, and missing parts count as 0.
    static bool isVersion(const QString& version, const QString& atLeast);

    // Removes a copy published under the legacy identifier through Adobe's installer agent, or
    // asks the user to remove it when that is not possible or not safe.
    static void removeLegacyIfPresent(const Services& services);

    // Runs a program to its end and answers its standard output as UTF-8 text; none when it
    // cannot be started, does not end within a minute, or prints bytes that are not UTF-8. The exit
    // status does not matter; standard error is discarded.
    static std::optional<QString> runProcess(const QString& executable, const QStringList& arguments);
    // Whether another process of the current user has a full command line that matches the
    // pattern (pgrep -u -f); false when pgrep cannot be run.
    static bool processRunning(const QString& pattern);
    static void alert(const Services& services, const QString& title, const QString& text);

    // Adobe's folder of installed UXP plugins under the current home folder.
    static QString externalFolder();
    static QString markerPath();
    static QString stagedPackagePath();
};
