#pragma once

#include "Foundation/BundleLocation.h"

#include <QString>
#include <QStringList>

#include <functional>
#include <memory>
#include <optional>

class Desktop;
class RunCancellation;
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
    static inline const QString defaultInstallerAgentPath =
        QStringLiteral("/Library/Application Support/Adobe/Adobe Desktop Common/RemoteComponents/UPI/"
                       "UnifiedPluginInstallerAgent/UnifiedPluginInstallerAgent.app/Contents/MacOS/"
                       "UnifiedPluginInstallerAgent");
    static inline const QString defaultCreativeCloudApplication =
        QStringLiteral("/Applications/Utilities/Adobe Creative Cloud/ACC/Creative Cloud.app");

    // What the flow needs from the platform. The program passes its desktop and keeps the other
    // defaults; tests replace them. The desktop must outlive the flow's handle.
    struct Services {
        Desktop& desktop;
        std::function<std::optional<QString>()> resourcesFolder = &BundleLocation::resourcesFolder;
        std::function<QString()> bundlePath = &BundleLocation::bundlePath;
        QString installerAgentPath = defaultInstallerAgentPath;
        QString creativeCloudApplication = defaultCreativeCloudApplication;
    };

    // An install flow under way. Main thread only.
    class Flow {
    public:
        virtual ~Flow() = default;
        // Ends the flow where it is: its running tool is killed with the tool's process group, and
        // nothing more is done, said or shown. Dropping the last handle does the same.
        virtual void end() = 0;
        // Whether the flow has stopped, at one of its outcomes or through end().
        virtual bool hasEnded() const = 0;
    };
    // Queues the install flow on the main thread and returns at once; every outcome ends in one
    // log line, some also in an alert. Its external tools run one at a time on a worker thread of
    // the flow's own, and each tool's outcome is handed back to the main thread, where the flow
    // goes on: the main thread waits for no tool, only for the alerts, which are modal. The flow
    // lives as long as the handle.
    static std::shared_ptr<Flow> run(const std::shared_ptr<Scheduler>& mainThread, Services services);

    // The package in the resources folder; none when there is no resources folder. Whether the
    // file exists is not tested here.
    static std::optional<QString> bundledCCX(const Services& services);
    // The "version" string of the package's manifest.json, unchanged; none when the archive, the
    // member, the JSON or the member's type is not as expected.
    static std::optional<QString> manifestVersion(const QString& packagePath,
                                                  RunCancellation* cancellation = nullptr);
    // Where Adobe's installer puts the current plugin's code for a version; nothing is read.
    static QString installedCodeDir(const QString& version);
    // The versions of a plugin in Adobe's External folder, in listing order, unsorted.
    static QStringList installedVersions(const QString& identifier);
    // Numeric comparison of dot-separated versions; a part that is not a signed 64-bit decimal
    // integer counts as 0, and missing parts count as 0.
    static bool isVersion(const QString& version, const QString& atLeast);

    // The tools below block the calling thread, which in the flow is its worker. Each tool runs
    // in a process group of its own that is killed once the tool has ended, at the bound of a
    // minute, or through `cancellation`: nothing it started outlives it.

    // Runs a program to its end and answers its standard output as UTF-8 text; none when it
    // cannot be started, does not end within a minute, or prints bytes that are not UTF-8. The exit
    // status does not matter; standard error is discarded.
    static std::optional<QString> runProcess(const QString& executable, const QStringList& arguments,
                                             RunCancellation* cancellation = nullptr);
    // Whether another process of the current user has a full command line that matches the
    // pattern (pgrep -u -f); false when pgrep cannot be run.
    static bool processRunning(const QString& pattern, RunCancellation* cancellation = nullptr);
    static void alert(const Services& services, const QString& title, const QString& text);

    // Adobe's folder of installed UXP plugins under the current home folder.
    static QString externalFolder();
    static QString markerPath();
    static QString stagedPackagePath();
};
