// The plugin installer: version rules, the package, Adobe's folders, its process tools, the legacy
// removal and the decision flow, against real ZIP packages, folders under a temporary HOME and
// real processes for Creative Cloud and Premiere (which pgrep must see, or not see).
#include "Plugin/PluginInstaller.h"
#include "TestSupport.h"

#include <QDir>
#include <QRegularExpression>
#include <QUuid>

#include <gtest/gtest.h>

#include <unistd.h>

TEST(PluginVersions, EveryRuleOfTheComparison)
{
    const std::vector<std::tuple<const char*, const char*, bool>> cases {
        // Parts compare numerically; missing parts count as zero; empty parts are dropped.
        { "1.10", "1.9", true }, { "1.9", "1.10", false }, { "2.0", "1.99.99", true }, { "1.2", "1.2.1", false },
        { "1.2.1", "1.2", true }, { "1.2", "1.2.0", true }, { "1.2.0", "1.2", true }, { "", "0", true }, { "", "0.0.1", false },
        { "1..2", "1.2", true }, { "1..2", "1.3", false }, { ".1.2.", "1.2", true }, { "1.2", ".1.2.", true },
        // Parts that are not integers read as zero; signs are read; beyond 64 bits reads as zero.
        { "1.2.3-rc1", "1.2.3", false }, { "1.2.3", "1.2.3-rc1", true }, { "1.+", "1.1", false }, { "1. 2", "1.1", false },
        { "1.++2", "1.1", false }, { "1.2a", "1.1", false }, { "1.\u0663", "1.1", false }, { "abc", "0", true },
        { "+2", "2", true }, { "1.-1", "1.0", false }, { "1.0", "1.-1", true }, { "1", "+2", false },
        { "9223372036854775807", "9223372036854775806", true }, { "9223372036854775808", "1", false },
        { "-9223372036854775808", "-9223372036854775807", false }, { "-9223372036854775809", "-1", true },
        // Identical texts are always at least each other.
        { "x.y", "x.y", true }, { "1..", "1..", true }, { "9223372036854775808.1", "9223372036854775808.1", true },
    };
    for (const auto& [a, b, atLeast] : cases)
        EXPECT_EQ(PluginInstaller::isVersion(QString::fromUtf8(a), QString::fromUtf8(b)), atLeast) << a << " vs " << b;
}

TEST(PluginPackage, TheManifestVersionIsReadOnlyFromAWellFormedTopLevelManifest)
{
    QTemporaryDir dir;
    const QString package = dir.filePath("Tessaryn.ccx");
    for (const auto& [name, files] : std::map<QString, std::map<QString, QByteArray>> {
             { "no manifest", { { "index.html", "<p>" } } },
             { "in a subfolder", { { "sub/manifest.json", manifestWithVersion("\"1.4.0\"") } } },
             { "not JSON", { { "manifest.json", "version: 1.4.0" } } },
             { "top-level array", { { "manifest.json", R"([{"version": "1.4.0"}])" } } },
             { "version a number", { { "manifest.json", manifestWithVersion("1.4") } } },
             { "version null", { { "manifest.json", manifestWithVersion("null") } } },
             { "version missing", { { "manifest.json", R"({"id": "5d1e93b0"})" } } },
             { "not UTF-8", { { "manifest.json", "{\"version\": \"1.4\xff\"}" } } } }) {
        makeZip(package, files);
        EXPECT_EQ(PluginInstaller::manifestVersion(package), std::nullopt) << name.toStdString();
    }
    writeFile(package, manifestWithVersion("\"1.4.0\"")); // no archive
    EXPECT_EQ(PluginInstaller::manifestVersion(package), std::nullopt);
    EXPECT_EQ(PluginInstaller::manifestVersion(dir.filePath("missing.ccx")), std::nullopt);
    // The build stages a package of the project's version.
    EXPECT_EQ(PluginInstaller::manifestVersion(TESSARYN_BUILD_DIR "/share/tessaryn-helper/Tessaryn.ccx"), QString("1.0.0"));
}

TEST(PluginPackage, InstalledVersionsAreEveryEntryNamedAfterTheIdentifierAndAnUnderscore)
{
    ScopedHome home;
    EXPECT_TRUE(PluginInstaller::installedVersions("5d1e93b0").isEmpty()); // no External folder
    for (const QString name : { "5d1e93b0_1.4.0", "5d1e93b0_", "x5d1e93b0_9.9", "5D1E93B0_9.9", "5d1e93b0-9.9", "com.tessaryn.premierepro_1.0.0" })
        makeExternalEntry(name);
    makeExternalEntry("5d1e93b0_2.0", false); // a plain file counts too
    QStringList versions = PluginInstaller::installedVersions("5d1e93b0");
    versions.sort(); // in no particular order
    EXPECT_EQ(versions, QStringList({ "", "1.4.0", "2.0" }));
    EXPECT_EQ(PluginInstaller::installedVersions("com.tessaryn.premierepro"), QStringList({ "1.0.0" }));
}

TEST(PluginTools, RunProcessAnswersTheOutputOfAProgramThatRanReadingNothingFromTheHelper)
{
    const auto shell = [](const QString& script) { return PluginInstaller::runProcess("/bin/sh", { "-c", script }); };
    EXPECT_EQ(shell("printf 'out\\n'; printf err >&2; exit 7"), QString("out\n"));
    EXPECT_EQ(shell("printf 'caf\\303\\251'"), QString("café"));
    EXPECT_EQ(PluginInstaller::runProcess("/bin/echo", { "a  b", "$HOME", "*" }), QString("a  b $HOME *\n"));
    EXPECT_EQ(shell("printf 'caf\\351'"), std::nullopt);
    EXPECT_EQ(PluginInstaller::runProcess("/no/such/program", {}), std::nullopt);
    EXPECT_EQ(shell("head -c 1048576 /dev/zero >&2; echo done"), QString("done\n")); // a full stderr pipe does not stall it
    // The helper's standard input open and silent, like a terminal no one types into.
    const int saved = ::dup(0);
    int idle[2];
    ASSERT_EQ(::pipe(idle), 0);
    ::dup2(idle[0], 0);
    EXPECT_EQ(shell("cat; echo end"), QString("end\n"));
    ::dup2(saved, 0);
    for (int fd : { saved, idle[0], idle[1] })
        ::close(fd);
    // pgrep over full command lines.
    const QString name = "Adobe tessaryn-probe-" + QUuid::createUuid().toString(QUuid::WithoutBraces);
    EXPECT_FALSE(PluginInstaller::processRunning(name));
    {
        NamedProcess process(name + " helper");
        EXPECT_TRUE(waitFor([&] { return PluginInstaller::processRunning(name); }));
    }
    EXPECT_FALSE(PluginInstaller::processRunning(name));
}

namespace {
const QString legacyLine = "PluginInstaller: legacy plugin present (%1) \u2014 removing via UPIA";
const QString stillPresent = "PluginInstaller: legacy plugin still present \u2014 asking the user";
const QString newIdAlert = "alert Tessaryn has a new plugin ID: Remove the old copy so Premiere shows one Tessaryn: Creative Cloud \u2192 "
                           "Stock & Marketplace \u2192 Plugins \u2192 Manage plugins \u2192 Tessaryn (old version) \u2192 Uninstall. Then reopen Premiere.";
const QString removeAll = "rm -rf \"$HOME/Library/Application Support/Adobe/UXP/Plugins/External\"/";
} // namespace

TEST(PluginLegacyRemoval, EachOutcome)
{
    struct Case {
        const char* name;
        QStringList entries; // a trailing "!" makes a file
        QString agent;       // empty: no agent
        QStringList lines;   // %1: the listed legacy versions, %2: the agent's path
        bool agentRuns;
        bool alerts;
    };
    const std::vector<Case> cases {
        { "no legacy entry", { "5d1e93b0_1.0.0" }, "exit 0", {}, false, false },
        { "no agent", { "com.tessaryn.premierepro_1.0.0", "com.tessaryn.premierepro_1.1.0" }, "",
          { legacyLine, "PluginInstaller: UPIA not found at %2", stillPresent }, false, true },
        { "a current copy beside it", { "com.tessaryn.premierepro_1.0.0", "5d1e93b0_1.4.0" }, removeAll + "*",
          { legacyLine, "PluginInstaller: a 5d1e93b0 copy is already installed \u2014 not removing by name (ambiguous); asking the user", stillPresent },
          false, true },
        { "removed, white space printed", { "com.tessaryn.premierepro_1.0.0", "com.tessaryn.premierepro_1.1.0!" },
          removeAll + "com.tessaryn.premierepro_*\nprintf '  \\n\\t\\n'",
          { legacyLine, "PluginInstaller: UPIA --remove Tessaryn \u2192 (no output)", "PluginInstaller: legacy plugin removed" }, true, false },
        { "one left behind", { "com.tessaryn.premierepro_1.0.0", "com.tessaryn.premierepro_1.1.0" },
          removeAll + "com.tessaryn.premierepro_1.0.0\necho '  Removed Tessaryn 1.0.0 '",
          { legacyLine, "PluginInstaller: UPIA --remove Tessaryn \u2192 Removed Tessaryn 1.0.0", stillPresent }, true, true },
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ScopedHome home;
        for (const QString& entry : c.entries)
            makeExternalEntry(QString(entry).remove('!'), !entry.endsWith('!'));
        FakeAgent agent(c.agent);
        RecordingDesktop desktop;
        PluginInstaller::Services services { desktop };
        services.installerAgentPath = c.agent.isEmpty() ? home.path() + "/no-agent" : agent.path();
        QStringList versions = PluginInstaller::installedVersions("com.tessaryn.premierepro");
        QStringList expected;
        for (const QString& line : c.lines)
            expected << QString(line).replace("%1", versions.join(", ")).replace("%2", services.installerAgentPath);
        LogCapture log;
        PluginInstaller::removeLegacyIfPresent(services);
        EXPECT_EQ(log.messages(), expected);
        EXPECT_EQ(agent.runs(), c.agentRuns ? QStringList { "--remove Tessaryn" } : QStringList {});
        EXPECT_EQ(desktop.events, c.alerts ? QStringList { newIdAlert } : QStringList {});
    }
}

namespace {
const QString opened = "PluginInstaller: opened staged Tessaryn.ccx v1.4.0 via CCXProcess";
const QString installingAlert = "alert Installing Tessaryn: Click Install in the Adobe dialog that just opened, then open Premiere \u2192 "
                                "Window \u2192 Extensions \u2192 Tessaryn.";

// The flow with a package of v1.4.0 and Creative Cloud running, unless a case says otherwise.
class InstallFlow : public ::testing::Test {
protected:
    void SetUp() override { makePackage("\"1.4.0\""); }
    void makePackage(const QString& version) { makeZip(package(), { { "manifest.json", manifestWithVersion(version) }, { "index.html", "<p>" } }); }
    QString package() const { return resources.path() + "/share/tessaryn-helper/Tessaryn.ccx"; }
    PluginInstaller::Services services()
    {
        PluginInstaller::Services services { desktop };
        services.resourcesFolder = [this]() -> std::optional<QString> {
            const QString folder = resources.path() + "/share/tessaryn-helper";
            return QFileInfo(folder).isDir() ? std::optional(folder) : std::nullopt;
        };
        services.bundlePath = [this] { return bundlePath; };
        services.installerAgentPath = home.path() + "/no-agent";
        return services;
    }
    void writeMarker(const QByteArray& text) { writeFile(PluginInstaller::markerPath(), text); }

    ScopedHome home;
    QTemporaryDir resources;
    QString bundlePath = "/opt/tessaryn";
    RecordingDesktop desktop;
};
} // namespace

TEST_F(InstallFlow, RunOnlyQueuesTheFlow)
{
    NamedProcess creativeCloud("Adobe Creative Cloud");
    ASSERT_TRUE(waitFor([] { return PluginInstaller::processRunning("Adobe Creative Cloud"); }));
    VirtualScheduler mainThread;
    LogCapture log;
    PluginInstaller::run(mainThread, services());
    EXPECT_TRUE(log.messages().isEmpty());
    mainThread.runPosted();
    EXPECT_EQ(log.messages(), QStringList { opened });
}

// Each row: how the machine is before the flow, the lines it writes (a line starting with "~" is a
// pattern), whether it hands the package over (stages it, opens it, says so, then writes the
// marker), and otherwise what it asks of the desktop and what marker it leaves.
TEST_F(InstallFlow, EachOutcome)
{
    struct Case {
        const char* name;
        std::function<void()> arrange;
        QStringList lines;
        bool handsOver;
        QStringList events = {};
        QByteArray marker = "1.3.0";
        bool creativeCloud = true;
        bool premiere = false;
    };
    const QString support = home.supportFolder();
    const QString creativeCloudApp = QUrl::fromLocalFile("/Applications/Utilities/Adobe Creative Cloud/ACC/Creative Cloud.app").toString();
    const auto newer = [](QStringList versions) {
        return [versions] { for (const QString& v : versions) makeExternalEntry("5d1e93b0_" + v); };
    };
    const auto newerLine = [](const QString& v) { return "PluginInstaller: v" + v + " already installed (newer than bundled v1.4.0, Exchange?) \u2014 skip"; };
    const QString noPackage = "PluginInstaller: no bundled Tessaryn.ccx \u2014 skip (dev build?)";
    const QString noVersion = "PluginInstaller: could not read .ccx manifest version \u2014 skip";
    const std::vector<Case> cases {
        { "an older marker", [] { }, { opened }, true },
        { "no marker", [] { QFile::remove(PluginInstaller::markerPath()); }, { opened }, true },
        { "marker without the code folder: self-heal", [&] { writeMarker(" 1.4.0\r\n"); },
          { "PluginInstaller: marker says v1.4.0 but External/ absent \u2014 self-heal, re-triggering install", opened }, true },
        { "code folder with an older marker", newer({ "1.4.0" }), { opened }, true },
        { "code folder without a marker", [] { QFile::remove(PluginInstaller::markerPath()), makeExternalEntry("5d1e93b0_1.4.0"); }, { opened }, true },
        { "an older copy only", newer({ "1.3.9" }), { opened }, true },
        { "marker not UTF-8", [&] { writeMarker("1.4.0\xff"); }, { opened }, true },
        { "a folder named VolumesX is no disk image", [&] { bundlePath = "/VolumesX/tessaryn"; }, { opened }, true },
        { "translocated", [&] { bundlePath = "/private/var/folders/x1/T/AppTranslocation/7F3A/d/Tessaryn Helper.app"; },
          { "PluginInstaller: app is translocated \u2014 proceeding (Finder-drag avoids this)", opened }, true },
        { "an old staged copy", [] { writeFile(PluginInstaller::stagedPackagePath(), "older"); }, { opened }, true },
        { "a folder in the way of the staged copy", [] { writeFile(PluginInstaller::stagedPackagePath() + "/inside", "x"); }, { opened }, true },
        { "no package", [&] { QFile::remove(package()); }, { noPackage }, false },
        { "no resources folder", [&] { QDir(resources.path() + "/share").removeRecursively(); }, { noPackage }, false },
        { "no manifest", [&] { makeZip(package(), { { "index.html", "<p>" } }); }, { noVersion }, false },
        { "manifest not JSON", [&] { makeZip(package(), { { "manifest.json", "{version: 1.4.0" } }); }, { noVersion }, false },
        { "version a number", [&] { makePackage("1.4"); }, { noVersion }, false },
        { "a version with a trailing space is used as it is", [&] { makePackage("\"1.4.0 \""), makeExternalEntry("5d1e93b0_1.4.0"); },
          { "PluginInstaller: v1.4.0 already installed (newer than bundled v1.4.0 , Exchange?) \u2014 skip" }, false },
        { "current: the version checks come before the disk image and Creative Cloud",
          [&] { writeMarker("1.4.0\n"), makeExternalEntry("5d1e93b0_1.4.0"), bundlePath = "/Volumes/Tessaryn"; },
          { "PluginInstaller: plugin current (v1.4.0) \u2014 skip" }, false, {}, "1.4.0\n", false },
        { "newer, listed first", newer({ "1.5.0", "1.3.0", "1.4.0" }), { newerLine("1.5.0") }, false },
        { "newer, listed between", newer({ "1.3.0", "1.5.0", "1.4.0" }), { newerLine("1.5.0") }, false },
        { "equal, written differently", newer({ "1.4", "1.3.9" }), { newerLine("1.4") }, false },
        { "a pre-release reads as its version", newer({ "1.3.0", "1.4.0-beta" }), { newerLine("1.4.0-beta") }, false },
        { "a disk image", [&] { bundlePath = "/Volumes/Tessaryn Helper"; }, { "PluginInstaller: running from DMG \u2014 abort install, prompt" }, false,
          { "alert Move Tessaryn Helper to Applications first: Drag Tessaryn Helper into your Applications folder, then open it again." } },
        { "Creative Cloud not running, Premiere running", [] { }, { "PluginInstaller: Creative Cloud not running \u2014 launching it, prompt" }, false,
          { "open " + creativeCloudApp, "alert Creative Cloud is starting: Reopen Tessaryn Helper in about 20 seconds to install the plugin." },
          "1.3.0", false, true },
        { "Premiere running", [] { makeExternalEntry("com.tessaryn.premierepro_1.0.0"); },
          { "PluginInstaller: Premiere running \u2014 abort install, prompt" }, false,
          { "alert Quit Premiere first: Quit Premiere, then open Tessaryn Helper again to install the plugin." }, "1.3.0", true, true },
        { "a legacy copy first", [] { makeExternalEntry("com.tessaryn.premierepro_1.0.0"); },
          { legacyLine.arg("1.0.0"), "PluginInstaller: UPIA not found at " + home.path() + "/no-agent", stillPresent, opened }, true, { newIdAlert } },
        { "a support folder that cannot be made", [&] { QDir(home.path() + "/Library").removeRecursively(), writeFile(home.path() + "/Library/Application Support", "x"); },
          { "~^PluginInstaller: contained error \u2014 .*" + QRegularExpression::escape(support) + ".*; skip$" }, false, {}, "" },
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        QDir(home.path() + "/Library").removeRecursively();
        makePackage("\"1.4.0\"");
        writeMarker("1.3.0");
        bundlePath = "/opt/tessaryn";
        desktop.events.clear();
        c.arrange();
        const std::optional<NamedProcess> creativeCloud = c.creativeCloud ? std::optional<NamedProcess>(std::in_place, "Adobe Creative Cloud") : std::nullopt;
        const std::optional<NamedProcess> premiere = c.premiere ? std::optional<NamedProcess>(std::in_place, "Adobe Premiere Pro") : std::nullopt;
        ASSERT_TRUE(waitFor([&] { return PluginInstaller::processRunning("Adobe Creative Cloud") == c.creativeCloud
                                      && PluginInstaller::processRunning("Adobe Premiere Pro") == c.premiere; }));
        const QByteArray markerBefore = readFile(PluginInstaller::markerPath());
        QByteArray markerWhileInstalling = "(no alert)";
        desktop.whileAlertIsOpen = [&](const QString& title) {
            if (title == "Installing Tessaryn" && QFileInfo::exists(PluginInstaller::stagedPackagePath()))
                markerWhileInstalling = readFile(PluginInstaller::markerPath());
        };
        LogCapture log;
        PluginInstaller::perform(services());
        const QStringList lines = log.messages();
        ASSERT_EQ(lines.size(), c.lines.size()) << lines.join('\n').toStdString();
        for (int i = 0; i < lines.size(); ++i)
            if (c.lines[i].startsWith('~'))
                EXPECT_TRUE(lines[i].contains(QRegularExpression(c.lines[i].mid(1)))) << lines[i].toStdString();
            else
                EXPECT_EQ(lines[i], c.lines[i]);
        const QString staged = PluginInstaller::stagedPackagePath();
        if (c.handsOver) {
            EXPECT_EQ(desktop.events, (c.events + QStringList { "open " + QUrl::fromLocalFile(staged).toString(), installingAlert }));
            EXPECT_EQ(readFile(staged), readFile(package()));
            EXPECT_EQ(markerWhileInstalling, markerBefore); // the marker follows the alert
            EXPECT_EQ(readFile(PluginInstaller::markerPath()), "1.4.0");
        } else {
            EXPECT_EQ(desktop.events, c.events);
            EXPECT_FALSE(QFileInfo(staged).isFile());
            EXPECT_EQ(readFile(PluginInstaller::markerPath()), c.marker);
        }
    }
}
