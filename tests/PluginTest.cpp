// The plugin installer: version rules, its process tools and the install flow with the legacy removal, against real
// ZIP packages, folders under a temporary HOME and real processes for Creative Cloud and Premiere.
#include "Plugin/PluginInstaller.h"
#include "TestSupport.h"

#include <QDir>
#include <QUuid>

#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

// Parts compare numerically, missing ones as zero; empty parts are dropped; parts that are no integer, or do not fit
// 64 bits, read as zero; signs are read.
TEST(PluginVersions, EveryRuleOfTheComparison)
{
    for (const auto& [a, b, atLeast] : std::vector<std::tuple<const char*, const char*, bool>> {
             { "1.10", "1.9", true }, { "2.0", "1.99.99", true }, { "1.2", "1.2.1", false }, { "1.2", "1.2.0", true },
             { "", "0", true }, { "", "0.0.1", false }, { "1..2", "1.2", true }, { ".1.2.", "1.2", true },
             { "1.2.3-rc1", "1.2.3", false }, { "1.2a", "1.1", false }, { "1.\u0663", "1.1", false }, { "+2", "2", true },
             { "1.-1", "1.0", false }, { "1", "+2", false }, { "9223372036854775807", "9223372036854775806", true },
             { "9223372036854775808", "1", false }, { "-9223372036854775808", "-9223372036854775807", false },
             { "-9223372036854775809", "-1", true } })
        EXPECT_EQ(PluginInstaller::isVersion(QString::fromUtf8(a), QString::fromUtf8(b)), atLeast) << a << " vs " << b;
}

TEST(PluginTools, RunProcessAnswersTheOutputOfAProgramThatRanAndPgrepSeesOnlyThisUsersProcesses)
{
    const auto shell = [](const QString& script) { return PluginInstaller::runProcess("/bin/sh", { "-c", script }); };
    EXPECT_EQ(shell("printf 'out\\n'; printf err >&2; exit 7"), QString("out\n"));
    EXPECT_EQ(PluginInstaller::runProcess("/bin/echo", { "a  b", "$HOME", "*" }), QString("a  b $HOME *\n"));
    EXPECT_EQ(shell("printf 'caf\\351'"), std::nullopt);
    EXPECT_EQ(shell("head -c 1048576 /dev/zero >&2; echo done"), QString("done\n")); // a full stderr pipe does not stall it
    const int left = shell("sleep 60 & echo $!").value_or("").toInt(); // what it started goes with it
    EXPECT_TRUE(left > 0 && waitFor([&] { return processGone(left); }));
    const int input = ::dup(0), zero = ::open("/dev/zero", O_RDONLY); // the helper's input (a terminal perhaps) is not passed on
    ::dup2(zero, 0);
    EXPECT_EQ(shell("readlink /proc/self/fd/0"), QString("/dev/null\n"));
    ::dup2(input, 0), ::close(input), ::close(zero);
    if (!canActAsAnotherUser()) GTEST_SKIP() << "only root with all users mapped starts a process as another user";
    const QString name = "Adobe Premiere Pro " + QUuid::createUuid().toString(QUuid::WithoutBraces);
    const QStringList asAnotherUser { "--reuid=9", "--regid=9", "--clear-groups", "/bin/bash", "-c", "exec -a \"$0\" sleep 300", name };
    const auto other = ChildProcess::start(makeSpec("/usr/bin/setpriv", asAnotherUser), {});
    EXPECT_TRUE(waitFor([&] { return !PluginInstaller::runProcess("/usr/bin/pgrep", { "-f", "^" + name }).value_or("").isEmpty(); }));
    EXPECT_FALSE(PluginInstaller::processRunning(name));
    other->sendSignal(SIGKILL);
    other->waitForFinished(std::chrono::steady_clock::now() + std::chrono::seconds(20));
}

// Each row from a package of v1.4.0, a marker of 1.3.0 and Creative Cloud running: the lines the flow writes; whether
// it hands the package over (stages and opens it, then alerts: its lines end with `opened`); what it asks of the desktop
// before that; and the marker it leaves (by default 1.4.0 after a hand-over, else 1.3.0).
TEST(PluginInstallFlow, EachOutcome)
{
    struct Case {
        const char* name;
        std::function<void()> arrange;
        QStringList lines, events = {};
        std::optional<QByteArray> marker = {};
        bool creativeCloud = true, premiere = false;
        QString agent = {}, quitOn = {}; // the installer agent's script (none when empty); the alert during which the helper quits
    };
    ScopedHome home;
    QTemporaryDir resources;
    const QString package = resources.path() + "/share/tessaryn-helper/Tessaryn.ccx";
    std::optional<QString> resourcesFolder;
    QString bundlePath;
    RecordingDesktop desktop;
    PluginInstaller::Services services { desktop, [&] { return resourcesFolder; }, [&] { return bundlePath; }, {},
                                         home.path() + "/Library/Creative Cloud.app" };
    const auto main = std::make_shared<VirtualScheduler>();
    std::shared_ptr<PluginInstaller::Flow> flow;
    const QString id = "5d1e93b0_", legacy = "com.tessaryn.premierepro_", p = "PluginInstaller: ";
    const auto manifest = [](const char* version) { return R"({"id": "5d1e93b0", "name": "Tessaryn", "version": )" + QByteArray(version) + "}"; };
    const auto zip = [&](const QByteArray& manifest, const QString& name = "manifest.json") {
        return [=] { makeZip(package, { { name, manifest }, { "index.html", "<p>" } }); };
    };
    const auto entries = [](const QStringList& names) { // a trailing "!" makes a file
        return [names] {
            for (const QString& n : names)
                n.endsWith('!') ? writeFile(PluginInstaller::externalFolder() + "/" + n.chopped(1), "x")
                                : void(QDir().mkpath(PluginInstaller::externalFolder() + "/" + n));
        };
    };
    const auto marker = [](const QByteArray& text) { return [text] { writeFile(PluginInstaller::markerPath(), text); }; };
    const auto newer = [&](auto v) { return p + "v" + v + " already installed (newer than bundled v1.4.0, Exchange?) — skip"; };
    const QString opened = p + "opened staged Tessaryn.ccx v1.4.0 via CCXProcess", noPackage = p + "no bundled Tessaryn.ccx — skip (dev build?)",
                  noVersion = p + "could not read .ccx manifest version — skip", noAgent = p + "UPIA not found at " + home.path() + "/no-agent",
                  legacyLine = p + "legacy plugin present (1.0.0) — removing via UPIA", still = p + "legacy plugin still present — asking the user",
                  newIdAlert = "alert Tessaryn has a new plugin ID: Remove the old copy so Premiere shows one Tessaryn: Creative Cloud → Stock & "
                               "Marketplace → Plugins → Manage plugins → Tessaryn (old version) → Uninstall. Then reopen Premiere.";
    const std::vector<Case> cases {
        { "an older marker; an agent but no legacy copy", [] { }, { opened }, {}, {}, true, false, "exit 0" },
        { "no marker", [] { QFile::remove(PluginInstaller::markerPath()); }, { opened } },
        { "marker without the code folder: self-heal", marker(" 1.4.0\r\n"),
          { p + "marker says v1.4.0 but External/ absent — self-heal, re-triggering install", opened } },
        { "code folder without a marker", [&] { QFile::remove(PluginInstaller::markerPath()), entries({ id + "1.4.0" })(); }, { opened } },
        { "names that are no copies", entries({ "x5d1e93b0_9.9", "5D1E93B0_9.9", "5d1e93b0-9.9", id, id + "1.3.9" }), { opened } },
        { "a folder named VolumesX is no disk image", [&] { bundlePath = "/VolumesX/tessaryn"; }, { opened } },
        { "translocated", [&] { bundlePath = "/private/var/folders/x1/T/AppTranslocation/7F3A/d/Tessaryn Helper.app"; },
          { p + "app is translocated — proceeding (Finder-drag avoids this)", opened } },
        { "a staged copy in the way, as a folder", [] { writeFile(PluginInstaller::stagedPackagePath() + "/x", "x"); }, { opened } },
        { "no package", [&] { QFile::remove(package); }, { noPackage } },
        { "no resources folder", [&] { resourcesFolder.reset(); }, { noPackage } },
        { "manifest in a subfolder", zip(manifest("\"1.4.0\""), "sub/manifest.json"), { noVersion } },
        { "manifest an array", zip(R"([{"version": "1.4.0"}])"), { noVersion } },
        { "version a number", zip(manifest("1.4")), { noVersion } },
        { "a version with a trailing space", [&] { zip(manifest("\"1.4.0 \""))(), entries({ id + "1.4.0" })(); },
          { p + "v1.4.0 already installed (newer than bundled v1.4.0 , Exchange?) — skip" } },
        { "current: the version checks come before the disk image and Creative Cloud",
          [&] { marker("1.4.0\n")(), entries({ id + "1.4.0" })(), bundlePath = "/Volumes/Tessaryn"; },
          { p + "plugin current (v1.4.0) — skip" }, {}, "1.4.0\n", false },
        { "newer, listed between, a file", entries({ id + "1.3.0", id + "1.5.0!", id + "1.4.0" }), { newer("1.5.0") } },
        { "equal, written differently", entries({ id + "1.4", id + "1.3.9" }), { newer("1.4") } },
        { "a disk image", [&] { bundlePath = "/Volumes/Tessaryn Helper"; }, { p + "running from DMG — abort install, prompt" },
          { "alert Move Tessaryn Helper to Applications first: Drag Tessaryn Helper into your Applications folder, then open it again." } },
        { "Creative Cloud not running, Premiere running", [&] { writeFile(services.creativeCloudApplication + "/x", "x"); },
          { p + "Creative Cloud not running — launching it, prompt" },
          { "open " + QUrl::fromLocalFile(services.creativeCloudApplication).toString(),
            "alert Creative Cloud is starting: Reopen Tessaryn Helper in about 20 seconds to install the plugin." }, {}, false, true },
        { "Creative Cloud neither running nor installed", [] { }, { p + "Creative Cloud not installed — skip" }, {}, {}, false, true },
        { "Premiere running", entries({ legacy + "1.0.0" }), { p + "Premiere running — abort install, prompt" },
          { "alert Quit Premiere first: Quit Premiere, then open Tessaryn Helper again to install the plugin." }, {}, true, true },
        { "two legacy copies, no agent", entries({ legacy + "1.0.0", legacy + "1.1.0" }),
          { p + "legacy plugin present (1.0.0, 1.1.0) — removing via UPIA", noAgent, still, opened }, { newIdAlert } },
        { "a legacy copy beside a current one", entries({ legacy + "1.0.0", id + "1.4.0" }),
          { legacyLine, p + "a 5d1e93b0 copy is already installed — not removing by name (ambiguous); asking the user", still, opened },
          { newIdAlert }, {}, true, false, "exit 0" },
        { "a legacy file removed, white space printed", entries({ legacy + "1.0.0!" }),
          { legacyLine, p + "UPIA --remove Tessaryn → (no output)", p + "legacy plugin removed", opened }, {}, {}, true, false,
           "rm \"$HOME/Library/Application Support/Adobe/UXP/Plugins/External/com.tessaryn.premierepro_1.0.0\"; printf '  \\n\\t\\n'" },
        { "a legacy copy left behind", entries({ legacy + "1.0.0" }),
          { legacyLine, p + "UPIA --remove Tessaryn → Removed Tessaryn 1.0.0", still, opened }, { newIdAlert }, {}, true, false, "echo '  Removed Tessaryn 1.0.0 '" },
        { "quitting during the legacy alert", entries({ legacy + "1.0.0" }), { legacyLine, noAgent, still }, { newIdAlert }, {}, true, false, {}, "Tessaryn has a new plugin ID" },
        { "quitting during the install alert", [] { }, { opened }, {}, "1.3.0", true, false, {}, "Installing Tessaryn" },
        { "quitting while the agent runs", entries({ legacy + "1.0.0" }), { legacyLine }, {}, {}, true, false, "sleep 314", "agent" },
        { "a support folder that cannot be made",
          [&] { QDir(home.path() + "/.local").removeRecursively(), writeFile(home.path() + "/.local/state", "x"); },
          { p + "contained error — could not create the folder “" + home.supportFolder() + "”: Not a directory; skip" }, {}, "" },
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        QDir(home.path() + "/Library").removeRecursively(), QDir(home.path() + "/.local").removeRecursively();
        zip(manifest("\"1.4.0\""))();
        marker("1.3.0")();
        resourcesFolder = QFileInfo(package).path(), bundlePath = "/opt/tessaryn", desktop.events.clear();
        QTemporaryDir agent; // records its runs
        writeFile(agent.path() + "/UPIA", "#!/bin/sh\necho \"$*\" >> '" + QFile::encodeName(agent.path()) + "/runs'\n" + c.agent.toUtf8(), true);
        services.installerAgentPath = c.agent.isEmpty() ? home.path() + "/no-agent" : agent.path() + "/UPIA";
        c.arrange();
        const auto creativeCloud = c.creativeCloud ? std::make_unique<NamedProcess>("Adobe Creative Cloud") : nullptr;
        const auto premiere = c.premiere ? std::make_unique<NamedProcess>("Adobe Premiere Pro") : nullptr;
        ASSERT_TRUE(waitFor([&] { return PluginInstaller::processRunning("Adobe Creative Cloud") == c.creativeCloud
                                      && PluginInstaller::processRunning("Adobe Premiere Pro") == c.premiere; }));
        desktop.whileAlertIsOpen = [&](const QString& title) { if (title == c.quitOn) flow->end(); };
        LogCapture log;
        flow = PluginInstaller::run(main, services);
        if (c.quitOn == "agent") { // the main thread goes on meanwhile; quitting ends the agent and what it started
            ASSERT_TRUE(waitFor([&] { return main->runPosted(), PluginInstaller::processRunning("^sleep 314"); }));
            bool ran = false;
            main->post([&] { ran = true; }), main->runPosted();
            EXPECT_TRUE(ran && !flow->hasEnded());
            flow->end();
            EXPECT_TRUE(waitFor([&] { return !PluginInstaller::processRunning("^sleep 314"); }));
        }
        ASSERT_TRUE(waitFor([&] { return main->runPosted(), flow->hasEnded(); }));
        EXPECT_EQ(log.messages().replaceInStrings("(1.1.0, 1.0.0)", "(1.0.0, 1.1.0)"), c.lines); // in the folder's order
        const bool agentRan = !c.lines.filter("UPIA --remove").isEmpty() || c.quitOn == "agent";
        EXPECT_EQ(readLines(agent.path() + "/runs"), agentRan ? QStringList { "--remove Tessaryn" } : QStringList {});
        const QString staged = PluginInstaller::stagedPackagePath();
        const bool handsOver = c.lines.contains(opened);
        EXPECT_EQ(desktop.events, c.events + (handsOver ? QStringList { "open " + QUrl::fromLocalFile(staged).toString(),
                  "alert Installing Tessaryn: Click Install in the Adobe dialog that just opened, then open Premiere → Window → Extensions → Tessaryn." } : QStringList {}));
        EXPECT_EQ(QFileInfo(staged).isFile() && readFile(staged) == readFile(package), handsOver);
        EXPECT_EQ(readFile(PluginInstaller::markerPath()), c.marker.value_or(handsOver ? "1.4.0" : "1.3.0"));
    }
}
