#include "Plugin/PluginInstaller.h"

#include "PluginTestSupport.h"
#include "TestSupport.h"

#include <QDir>
#include <QFile>

#include <functional>

#include <gtest/gtest.h>

namespace {

const QString installingTitle = "Installing Tessaryn";
const QString creativeCloudApp = "/Applications/Utilities/Adobe Creative Cloud/ACC/Creative Cloud.app";

} // namespace

// The decision flow against a real package, a real External and support folder under a temporary
// HOME, and real processes for Creative Cloud and Premiere. Creative Cloud runs unless a case
// says otherwise, so the flow can get as far as the hand-over.
class InstallFlow : public ::testing::Test {
protected:
    void SetUp() override
    {
        resources = prefix.path() + "/share/tessaryn-helper";
        makePackage("\"1.4.0\"");
        creativeCloud = std::make_unique<NamedProcess>("Adobe Creative Cloud");
        ASSERT_TRUE(waitFor([] { return PluginInstaller::processRunning("Adobe Creative Cloud"); }));
    }

    void makePackage(const QString& versionJson)
    {
        ZipPackage::create(package(), { { "manifest.json", manifestWithVersion(versionJson) }, { "index.html", "<p>panel</p>" } });
    }
    QString package() const { return resources + "/Tessaryn.ccx"; }

    PluginInstaller::Services services()
    {
        PluginInstaller::Services services { desktop };
        services.resourcesFolder = [this]() -> std::optional<QString> {
            if (!QFileInfo(resources).isDir())
                return std::nullopt;
            return resources;
        };
        services.bundlePath = [this] { return bundlePath; };
        services.installerAgentPath = home.path() + "/no-agent";
        return services;
    }

    QStringList perform()
    {
        LogCapture capture;
        PluginInstaller::perform(services());
        return capture.messages();
    }

    QString marker() const { return QString::fromUtf8(readFile(PluginInstaller::markerPath())); }
    bool markerExists() const { return QFileInfo::exists(PluginInstaller::markerPath()); }
    void writeMarker(const QByteArray& text) { writeFile(PluginInstaller::markerPath(), text); }

    // Everything that a completed hand-over leaves behind.
    void expectHandedOver(const QString& version)
    {
        EXPECT_EQ(readFile(PluginInstaller::stagedPackagePath()), readFile(package()));
        EXPECT_EQ(desktop.openedUrls(), QList<QUrl>({ QUrl::fromLocalFile(PluginInstaller::stagedPackagePath()) }));
        ASSERT_EQ(desktop.alertTitles().value(desktop.alertTitles().size() - 1), installingTitle);
        EXPECT_EQ(desktop.events.back().second,
                  "Click Install in the Adobe dialog that just opened, then open Premiere → Window → Extensions → Tessaryn.");
        EXPECT_EQ(readFile(PluginInstaller::markerPath()), version.toUtf8());
    }
    void expectNothingHandedOver()
    {
        EXPECT_FALSE(QFileInfo::exists(PluginInstaller::stagedPackagePath()));
        EXPECT_TRUE(desktop.openedUrls().isEmpty());
    }

    ScopedHome home;
    QTemporaryDir prefix;
    QString resources;
    QString bundlePath = "/opt/tessaryn";
    RecordingDesktop desktop;
    std::unique_ptr<NamedProcess> creativeCloud;
    const QString opened = "PluginInstaller: opened staged Tessaryn.ccx v1.4.0 via CCXProcess";
};

TEST_F(InstallFlow, RunOnlyQueuesTheFlow)
{
    VirtualScheduler mainThread;
    LogCapture capture;
    PluginInstaller::run(mainThread, services());
    EXPECT_TRUE(capture.messages().isEmpty());
    EXPECT_TRUE(desktop.events.empty());

    mainThread.runPosted();
    EXPECT_EQ(capture.messages(), QStringList({ opened }));
    expectHandedOver("1.4.0");
}

TEST_F(InstallFlow, WithoutAResourcesFolderOrPackageItSkips)
{
    const QString line = "PluginInstaller: no bundled Tessaryn.ccx — skip (dev build?)";
    QFile::remove(package());
    EXPECT_EQ(perform(), QStringList({ line }));
    QDir(resources).removeRecursively();
    EXPECT_EQ(perform(), QStringList({ line }));
    EXPECT_TRUE(desktop.events.empty());
    expectNothingHandedOver();
}

TEST_F(InstallFlow, APackageWithoutAReadableVersionSkips)
{
    writeMarker("1.3.0");
    const std::map<QString, std::map<QString, QByteArray>> packages {
        { "no manifest", { { "index.html", "<p>" } } },
        { "not JSON", { { "manifest.json", "{version: 1.4.0" } } },
        { "top-level array", { { "manifest.json", R"(["1.4.0"])" } } },
        { "version a number", { { "manifest.json", manifestWithVersion("1.4") } } },
    };
    for (const auto& [name, files] : packages) {
        QFile::remove(package());
        ZipPackage::create(package(), files);
        EXPECT_EQ(perform(), QStringList({ "PluginInstaller: could not read .ccx manifest version — skip" })) << name.toStdString();
    }
    EXPECT_TRUE(desktop.events.empty());
    expectNothingHandedOver();
    EXPECT_EQ(marker(), "1.3.0");
}

TEST_F(InstallFlow, AVersionWithATrailingSpaceIsUsedAsItIs)
{
    QFile::remove(package());
    makePackage("\"1.4.0 \"");
    makeExternalEntry("5d1e93b0_1.4.0"); // not the code folder of "1.4.0 ", and equal in number
    EXPECT_EQ(perform(), QStringList({ "PluginInstaller: v1.4.0 already installed (newer than bundled v1.4.0 , Exchange?) — skip" }));
}

TEST_F(InstallFlow, AMarkerWithALineFeedAndTheCodeFolderMeanCurrent)
{
    writeMarker("1.4.0\n");
    makeExternalEntry("5d1e93b0_1.4.0");
    bundlePath = "/Volumes/Tessaryn"; // the version checks come first: no disk-image prompt
    creativeCloud.reset();
    EXPECT_EQ(perform(), QStringList({ "PluginInstaller: plugin current (v1.4.0) — skip" }));
    EXPECT_TRUE(desktop.events.empty());
    expectNothingHandedOver();
    EXPECT_EQ(marker(), "1.4.0\n");
}

TEST_F(InstallFlow, ANewerOrEqualInstalledCopyStopsTheFlowWhateverTheListingOrder)
{
    const std::vector<std::pair<QStringList, QString>> cases {
        { { "1.5.0", "1.3.0", "1.4.0" }, "1.5.0" },
        { { "1.3.0", "1.5.0", "1.4.0" }, "1.5.0" },
        { { "1.4", "1.3.9" }, "1.4" },               // equal, written differently
        { { "1.3.0", "1.4.0-beta" }, "1.4.0-beta" }, // reads as 1.4.0
    };
    for (const auto& [versions, found] : cases) {
        QDir(PluginInstaller::externalFolder()).removeRecursively();
        for (const QString& version : versions)
            makeExternalEntry("5d1e93b0_" + version);
        EXPECT_EQ(perform(), QStringList({ "PluginInstaller: v" + found + " already installed (newer than bundled v1.4.0, Exchange?) \u2014 skip" }));
    }
    EXPECT_TRUE(desktop.events.empty());
    expectNothingHandedOver();
    // Only older copies do not stop it.
    QDir(PluginInstaller::externalFolder() + "/5d1e93b0_1.4.0-beta").removeRecursively();
    EXPECT_EQ(perform(), QStringList({ opened }));
    expectHandedOver("1.4.0");
}

TEST_F(InstallFlow, ADiskImageIsRefusedWithAPrompt)
{
    writeMarker("1.3.0");
    bundlePath = "/Volumes/Tessaryn Helper";
    EXPECT_EQ(perform(), QStringList({ "PluginInstaller: running from DMG — abort install, prompt" }));
    ASSERT_EQ(desktop.alertTitles(), QStringList({ "Move Tessaryn Helper to Applications first" }));
    EXPECT_EQ(desktop.events[0].second, "Drag Tessaryn Helper into your Applications folder, then open it again.");
    expectNothingHandedOver();
    EXPECT_EQ(marker(), "1.3.0");
}

TEST_F(InstallFlow, CreativeCloudNotRunningIsOpenedAndTheFlowStops)
{
    creativeCloud.reset();
    NamedProcess premiere("Adobe Premiere Pro");
    EXPECT_EQ(perform(), QStringList({ "PluginInstaller: Creative Cloud not running — launching it, prompt" }));
    ASSERT_EQ(desktop.events.size(), 2u);
    EXPECT_EQ(desktop.events[0].kind, RecordingDesktop::Event::Open);
    EXPECT_EQ(QUrl(desktop.events[0].first), QUrl::fromLocalFile(creativeCloudApp));
    EXPECT_EQ(desktop.events[1].first, "Creative Cloud is starting");
    EXPECT_EQ(desktop.events[1].second, "Reopen Tessaryn Helper in about 20 seconds to install the plugin.");
    EXPECT_FALSE(QFileInfo::exists(PluginInstaller::stagedPackagePath()));
    EXPECT_FALSE(markerExists());
}

TEST_F(InstallFlow, PremiereRunningIsRefusedWithAPrompt)
{
    NamedProcess premiere("Adobe Premiere Pro");
    ASSERT_TRUE(waitFor([] { return PluginInstaller::processRunning("Adobe Premiere Pro"); }));
    makeExternalEntry("com.tessaryn.premierepro_1.0.0"); // not looked at on a run that stops here
    EXPECT_EQ(perform(), QStringList({ "PluginInstaller: Premiere running — abort install, prompt" }));
    ASSERT_EQ(desktop.alertTitles(), QStringList({ "Quit Premiere first" }));
    EXPECT_EQ(desktop.events[0].second, "Quit Premiere, then open Tessaryn Helper again to install the plugin.");
    expectNothingHandedOver();
    EXPECT_FALSE(markerExists());
}

TEST_F(InstallFlow, ALegacyCopyIsDealtWithBeforeTheHandOver)
{
    makeExternalEntry("com.tessaryn.premierepro_1.0.0");
    EXPECT_EQ(perform(), QStringList({ "PluginInstaller: legacy plugin present (1.0.0) — removing via UPIA",
                                       "PluginInstaller: UPIA not found at " + home.path() + "/no-agent",
                                       "PluginInstaller: legacy plugin still present — asking the user", opened }));
    EXPECT_EQ(desktop.alertTitles(), QStringList({ "Tessaryn has a new plugin ID", installingTitle }));
    expectHandedOver("1.4.0");
}

TEST_F(InstallFlow, ASupportFolderThatCannotBeCreatedEndsTheFlowWithTheError)
{
    // A file where a folder of the path should be.
    writeFile(home.path() + "/Library/Application Support", "in the way");
    const QStringList messages = perform();
    ASSERT_EQ(messages.size(), 1) << messages.join('\n').toStdString();
    EXPECT_TRUE(messages[0].startsWith("PluginInstaller: contained error — ")) << messages[0].toStdString();
    EXPECT_TRUE(messages[0].contains(home.supportFolder())) << messages[0].toStdString();
    EXPECT_TRUE(messages[0].endsWith("; skip")) << messages[0].toStdString();
    EXPECT_TRUE(desktop.events.empty());
    EXPECT_FALSE(markerExists());
}

TEST_F(InstallFlow, TheMarkerIsWrittenOnlyAfterTheInstallingAlertReturns)
{
    writeMarker("1.3.0");
    QString markerWhileOpen;
    bool stagedWhileOpen = false;
    desktop.whileAlertIsOpen = [&](const QString& title) {
        if (title != installingTitle)
            return;
        markerWhileOpen = marker();
        stagedWhileOpen = QFileInfo::exists(PluginInstaller::stagedPackagePath());
    };
    EXPECT_EQ(perform(), QStringList({ opened }));
    EXPECT_EQ(markerWhileOpen, "1.3.0");
    EXPECT_TRUE(stagedWhileOpen);
    ASSERT_EQ(desktop.events.size(), 2u);
    EXPECT_EQ(desktop.events[0].kind, RecordingDesktop::Event::Open);
    expectHandedOver("1.4.0");
}

TEST_F(InstallFlow, EachWayToAHandOver)
{
    struct Case {
        const char* name;
        std::function<void()> arrange;
        QStringList linesBefore;
    };
    const std::vector<Case> cases {
        { "marker without the code folder: self-heal", [&] { writeMarker(" 1.4.0\r\n"); },
          { "PluginInstaller: marker says v1.4.0 but External/ absent \u2014 self-heal, re-triggering install" } },
        { "code folder without a marker", [&] { makeExternalEntry("5d1e93b0_1.4.0"); }, {} },
        { "code folder with an older marker", [&] { makeExternalEntry("5d1e93b0_1.4.0"); writeMarker("1.3.0"); }, {} },
        { "marker not UTF-8", [&] { writeMarker("1.4.0\xff"); }, {} },
        { "a folder named VolumesX is no disk image", [&] { bundlePath = "/VolumesX/tessaryn"; }, {} },
        { "translocated", [&] { bundlePath = "/private/var/folders/x1/T/AppTranslocation/7F3A/d/Tessaryn Helper.app"; },
          { "PluginInstaller: app is translocated \u2014 proceeding (Finder-drag avoids this)" } },
        { "an old staged copy", [&] { writeFile(PluginInstaller::stagedPackagePath(), "an older package"); }, {} },
        { "a folder in the way of the staged copy", [&] { writeFile(PluginInstaller::stagedPackagePath() + "/inside", "x"); }, {} },
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        QDir(home.supportFolder()).removeRecursively();
        QDir(PluginInstaller::externalFolder()).removeRecursively();
        bundlePath = "/opt/tessaryn";
        desktop.events.clear();
        c.arrange();
        EXPECT_EQ(perform(), c.linesBefore + QStringList { opened });
        expectHandedOver("1.4.0");
    }
}
