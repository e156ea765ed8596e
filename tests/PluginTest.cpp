#include "Plugin/PluginInstaller.h"
#include "TestSupport.h"

#include <QDir>

#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

using P = PluginInstaller;

TEST(PluginVersions, EveryRuleOfTheComparison)
{
    for (const char* row :
         { "1.10 >= 1.9", "2.0 >= 1.99.99", "1.2 < 1.2.1", "1.2 >= 1.2.0", " >= 0", " < 0.0.1", "1..2 >= 1.2",
           ".1.2. >= 1.2", "1.2.3-rc1 < 1.2.3", "1.2a < 1.1", "1.\u0663 < 1.1", "+2 >= 2", "1.-1 < 1.0",
           "1 < +2", "9223372036854775807 >= 9223372036854775806", "9223372036854775808 < 1",
           "-9223372036854775808 < -9223372036854775807", "-9223372036854775809 >= -1" }) {
        const auto w = QString(row).split(' ');
        EXPECT_EQ(P::isVersion(w[0], w[2]), w[1] == ">=") << row;
    }
}

TEST(PluginTools, StdoutOnlyThisUsersProcesses)
{
    const auto sh = [](const QString& script) { return P::runProcess("/bin/sh", { "-c", script }); };
    EXPECT_EQ(P::runProcess("/bin/echo", { "a  b", "$HOME", "*" }), QString("a  b $HOME *\n"));
    EXPECT_EQ(sh("printf 'caf\\351'"), std::nullopt);
    const int input = ::dup(0);
    ::close(0), ::open("/dev/zero", O_RDONLY); // not the helper's input (a terminal perhaps)
    EXPECT_EQ(sh("readlink /proc/self/fd/0; head -c 1048576 /dev/zero >&2; exit 7"),
              QString("/dev/null\n")); // a full stderr pipe
    ::dup2(input, 0), ::close(input);
    const int left = sh("sleep 60 & echo $!").value_or("").toInt(); // what a tool started goes with it
    EXPECT_TRUE(left > 0 && waitFor([&] { return processGone(left); }));
    if (!canActAsAnotherUser()) GTEST_SKIP() << "needs root, all users mapped";
    const QString name = "Premiere of user 9";
    const auto other = ChildProcess::start(makeSpec("/usr/bin/setpriv",
                                                    { "--reuid=9", "--regid=9", "--clear-groups", "/bin/bash",
                                                      "-c", "exec -a \"$0\" sleep 300", name }),
                                           {});
    EXPECT_TRUE(waitFor([&] { return sh("pgrep -f '^" + name + "'").value_or("") != ""; }));
    EXPECT_FALSE(P::processRunning(name));
    other->sendSignal(SIGKILL);
}

// Each row starts from a v1.4.0 package, marker 1.3.0, no agent, Creative Cloud running.
TEST(PluginInstallFlow, EachOutcome)
{
    struct Case {
        const char* name;
        std::function<void()> arrange;
        QStringList lines, events = {};
        const char* marker = nullptr;
    };
    ScopedHome home;
    const QString h = home.path(), package = h + "/Tessaryn.ccx", cc = h + "/CC.app", upia = h + "/UPIA",
                  m = P::markerPath(), staged = P::stagedPackagePath(), e = P::externalFolder() + "/",
                  C = "Adobe Creative Cloud", Pr = "Adobe Premiere Pro";
    std::optional<QString> resources;
    QString bundle, agent, quitOn; // the agent's script; the alert during which the helper quits
    QStringList running;
    RecordingDesktop desktop;
    const P::Services services { desktop, [&] { return resources; }, [&] { return bundle; }, upia, cc };
    const auto main = std::make_shared<VirtualScheduler>();
    std::shared_ptr<P::Flow> flow;
    desktop.whileAlertIsOpen = [&](const QString& title) {
        if (title == quitOn) flow->end();
    };
    const QByteArray v = R"({"version": "1.4.0"})";
    const auto zip = [&](const QByteArray& manifest, const QString& name = "manifest.json") {
        makeZip(package, { { name, manifest } });
    };
    const auto ext = [&](const QStringList& names) {
        for (const QString& n : names) QDir().mkpath(e + n);
    };
    const auto newer = [](const char* found, const char* bundled = "1.4.0") {
        return QString("v%1 already installed (newer than bundled v%2, Exchange?) — skip")
            .arg(found, bundled);
    };
    const QString id = "5d1e93b0_", cur = id + "1.4.0", leg = "com.tessaryn.premierepro_1.0.0",
                  opened = "opened staged Tessaryn.ccx v1.4.0 via CCXProcess",
                  noPackage = "no bundled Tessaryn.ccx — skip (dev build?)",
                  noVersion = "could not read .ccx manifest version — skip",
                  noAgent = "UPIA not found at " + upia,
                  present = "legacy plugin present (1.0.0) — removing via UPIA",
                  still = "legacy plugin still present — asking the user",
                  newId = "alert Tessaryn has a new plugin ID: Remove the old copy so Premiere shows one "
                          "Tessaryn: Creative Cloud → Stock & "
                          "Marketplace → Plugins → Manage plugins → Tessaryn (old version) → Uninstall. Then "
                          "reopen Premiere.";
    const Case cases[] {
        { "agent, no legacy", [&] { agent = "exit 0"; }, { opened } },
        { "no marker", [&] { QFile::remove(m); }, { opened } },
        { "self-heal",
          [&] { writeFile(m, " 1.4.0\r\n"); },
          { "marker says v1.4.0 but External/ absent — self-heal, re-triggering install", opened } },
        { "code folder, no marker", [&] { QFile::remove(m), ext({ cur }); }, { opened } },
        { "no copies",
          [&] {
              ext({ "x5d1e93b0_9.9", "5D1E93B0_9.9", "5d1e93b0-9.9", id, id + "1.3.9" });
          },
          { opened } },
        { "VolumesX no DMG", [&] { bundle = "/VolumesX/t"; }, { opened } },
        { "translocated",
          [&] { bundle = "/x/AppTranslocation/y"; },
          { "app is translocated — proceeding (Finder-drag avoids this)", opened } },
        { "a staged folder", [&] { writeFile(staged + "/x", "x"); }, { opened } },
        { "no package", [&] { QFile::remove(package); }, { noPackage } },
        { "no resources folder", [&] { resources.reset(); }, { noPackage } },
        { "manifest in subfolder", [&] { zip(v, "sub/manifest.json"); }, { noVersion } },
        { "manifest an array", [&] { zip(R"([{"version": "1.4.0"}])"); }, { noVersion } },
        { "version a number", [&] { zip(R"({"version": 1.4})"); }, { noVersion } },
        { "trailing space",
          [&] { zip(R"({"version": "1.4.0 "})"), ext({ cur }); },
          { newer("1.4.0", "1.4.0 ") } },
        { "current: before DMG, CC",
          [&] { writeFile(m, "1.4.0\n"), ext({ cur }), bundle = "/Volumes/T", running = {}; },
          { "plugin current (v1.4.0) — skip" },
          {},
          "1.4.0\n" },
        { "newer file between",
          [&] { ext({ id + "1.3.0" }), writeFile(e + id + "1.5.0", "x"), ext({ cur }); },
          { newer("1.5.0") } },
        { "equal, other form",
          [&] {
              ext({ id + "1.4", id + "1.3.9" });
          },
          { newer("1.4") } },
        { "a disk image",
          [&] { bundle = "/Volumes/T"; },
          { "running from DMG — abort install, prompt" },
          { "alert Move Tessaryn Helper to Applications first: Drag Tessaryn Helper into your Applications "
            "folder, then open it again." } },
        { "CC off, Premiere on",
          [&] { writeFile(cc + "/x", "x"), running = { Pr }; },
          { "Creative Cloud not running — launching it, prompt" },
          { "open file://" + cc,
            "alert Creative Cloud is starting: Reopen Tessaryn Helper in about 20 seconds to install the "
            "plugin." } },
        { "CC not installed", [&] { running = { Pr }; }, { "Creative Cloud not installed — skip" } },
        { "Premiere running",
          [&] { ext({ leg }), running << Pr; },
          { "Premiere running — abort install, prompt" },
          { "alert Quit Premiere first: Quit Premiere, then open Tessaryn Helper again to install the "
            "plugin." } },
        { "two legacy, no agent",
          [&] {
              ext({ leg, "com.tessaryn.premierepro_1.1.0" });
          },
          { "legacy plugin present (1.0.0, 1.1.0) — removing via UPIA", noAgent, still, opened },
          { newId } },
        { "legacy beside current",
          [&] {
              ext({ leg, cur }), agent = "exit 0";
          },
          { present,
            "a 5d1e93b0 copy is already installed — not removing by name (ambiguous); asking the user", still,
            opened },
          { newId } },
        { "legacy removed, blanks",
          [&] { writeFile(e + leg, "x"), agent = "rm '" + e + leg + "'; printf ' \\n\\t'"; },
          { present, "UPIA --remove Tessaryn → (no output)", "legacy plugin removed", opened } },
        { "legacy left behind",
          [&] { ext({ leg }), agent = "echo ' Removed 1.0.0 '"; },
          { present, "UPIA --remove Tessaryn → Removed 1.0.0", still, opened },
          { newId } },
        { "quit in legacy alert",
          [&] { ext({ leg }), quitOn = "Tessaryn has a new plugin ID"; },
          { present, noAgent, still },
          { newId } },
        { "quit in install alert", [&] { quitOn = "Installing Tessaryn"; }, { opened }, {}, "1.3.0" },
        { "quit while the agent runs",
          [&] { ext({ leg }), agent = "sleep 314", quitOn = "agent"; },
          { present } },
        { "support folder fails",
          [&] { QDir(h + "/.local").removeRecursively(), writeFile(h + "/.local/state", "x"); },
          { "contained error — could not create the folder “" + home.supportFolder()
            + "”: Not a directory; skip" },
          {},
          "" },
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        QDir(h).removeRecursively();
        zip(v), writeFile(m, "1.3.0");
        resources = h, agent = quitOn = bundle = "", running = { C }, desktop.events.clear();
        c.arrange();
        if (agent != "") writeFile(upia, "#!/bin/sh\necho \"$*\" >> ~/runs\n" + agent.toUtf8(), true);
        std::list<NamedProcess> up(running.begin(), running.end());
        for (const QString& n : { C, Pr })
            ASSERT_TRUE(waitFor([&] { return P::processRunning(n) == running.contains(n); })) << n;
        LogCapture log;
        flow = P::run(main, services);
        if (quitOn == "agent") { // the main thread goes on; quitting ends the agent and its children
            ASSERT_TRUE(waitFor([&] { return main->runPosted(), P::processRunning("^sleep 314"); }));
            bool ran = false;
            main->post([&] { ran = true; }), main->runPosted();
            EXPECT_TRUE(ran && !flow->hasEnded());
            flow->end();
            EXPECT_TRUE(waitFor([&] { return !P::processRunning("^sleep 314"); }));
        }
        ASSERT_TRUE(waitFor([&] { return main->runPosted(), flow->hasEnded(); }));
        EXPECT_EQ(
            log.messages().join('\n').replace("(1.1.0, 1.0.0)", "(1.0.0, 1.1.0)"), // in the folder's order
            "PluginInstaller: " + c.lines.join("\nPluginInstaller: "));
        EXPECT_EQ(readFile(h + "/runs"),
                  c.lines.filter("UPIA --").isEmpty() && quitOn != "agent" ? "" : "--remove Tessaryn\n");
        const bool handed = c.lines.contains(opened);
        EXPECT_EQ(desktop.events,
                  c.events
                      + (handed ? QStringList { "open file://" + staged,
                                                "alert Installing Tessaryn: Click Install in the "
                                                "Adobe dialog that just opened, then open Premiere → Window "
                                                "→ Extensions → Tessaryn." }
                                : QStringList {}));
        EXPECT_EQ(readFile(staged), handed ? readFile(package) : QByteArray());
        EXPECT_EQ(readFile(m), c.marker ? c.marker : handed ? "1.4.0" : "1.3.0");
    }
}
