// The login shell's PATH and its cache, the /proc scanner, the Premiere watcher and the login item.
#include "Environment/PathDiscovery.h"
#include "Adapters/Linux/ProcWorkspace.h"
#include "Platform/LoginItem.h"
#include "Premiere/PremiereWatcher.h"
#include "TestSupport.h"

#include <QDir>
#include <QTimeZone>

#include <gtest/gtest.h>

#include <unistd.h>

using namespace std::chrono_literals;

namespace {
class PathDiscoveryTest : public ::testing::Test {
protected:
    // A stand-in login shell: records its arguments, then runs the body.
    void useShell(const QByteArray& body)
    {
        const QByteArray runs = QFile::encodeName(home.path() + "/runs");
        writeFile(home.path() + "/sh", "#!/bin/sh\nprintf '%s|' \"$@\" >> '" + runs + "'\necho >> '" + runs + "'\n" + body + "\n", true);
        shell.emplace("SHELL", QFile::encodeName(home.path() + "/sh"));
    }
    QStringList runs() const { return readLines(home.path() + "/runs"); }
    QString at(qint64 seconds) { return PathDiscovery::loadOrDiscover([=, this] { return t0.addSecs(seconds); }); }
    ScopedHome home;
    std::optional<ScopedEnv> shell;
    const QDateTime t0 = QDateTime(QDate(2026, 12, 1), QTime(12, 0, 0), QTimeZone::utc());
};
} // namespace

TEST_F(PathDiscoveryTest, AsksTheLoginShellTrimsTheAnswerAndRealShellsReadTheirProfiles)
{
    useShell("printf '  /opt/x bin:/usr/bin \\n\\n'; head -c 2000000 /dev/zero >&2");
    EXPECT_EQ(PathDiscovery::discover(), "/opt/x bin:/usr/bin");
    EXPECT_EQ(runs(), QStringList { "-ilc|echo $PATH|" });
    writeFile(home.path() + "/.bash_profile", "export PATH=/from/bash:$PATH\n");
    writeFile(home.path() + "/.zprofile", "export PATH=/from/zsh:$PATH\n");
    shell.emplace("SHELL", QByteArray("/bin/bash"));
    EXPECT_TRUE(PathDiscovery::discover().startsWith("/from/bash:"));
    shell.emplace("SHELL", std::nullopt); // zsh by default
    EXPECT_TRUE(PathDiscovery::discover().startsWith("/from/zsh:"));
}

TEST_F(PathDiscoveryTest, FailuresDescribeThemselvesAndAHangingShellIsKilledWithWhatItStarted)
{
    const auto failure = [](std::chrono::milliseconds timeout = 10s) {
        try {
            PathDiscovery::discover(timeout);
        } catch (const PathDiscoveryError& error) {
            return QString(error.what());
        }
        return QString("no error");
    };
    shell.emplace("SHELL", QByteArray("/no/such/shell"));
    EXPECT_TRUE(failure().contains("/no/such/shell") && failure().contains("No such file or directory")) << failure().toStdString();
    useShell("printf '/usr/bin\\377\\n'");
    EXPECT_EQ(failure(), "Non-UTF8 PATH output");
    useShell("sleep 60 & echo $! > '" + QFile::encodeName(home.path()) + "/sleeper'; wait");
    EXPECT_TRUE(failure(300ms).contains("did not answer within 0.3 s")) << failure().toStdString();
    const pid_t sleeper = readFile(home.path() + "/sleeper").trimmed().toInt();
    ASSERT_GT(sleeper, 0);
    EXPECT_TRUE(waitFor([&] { return processGone(sleeper); }));
}

TEST_F(PathDiscoveryTest, TheCacheIsWrittenOnceAndServedUpToSevenDays)
{
    useShell("echo /cached/bin");
    EXPECT_EQ(at(0), "/cached/bin");
    const QByteArray written = readFile(PathDiscovery::cacheFilePath());
    EXPECT_EQ(written, "{\n  \"path\" : \"/cached/bin\",\n  \"discoveredAt\" : \"2026-12-01T12:00:00Z\"\n}");
    useShell("echo /fresh/bin");
    EXPECT_EQ(at(604799), "/cached/bin");
    EXPECT_EQ(readFile(PathDiscovery::cacheFilePath()), written);
    EXPECT_EQ(at(604800), "/fresh/bin");
    EXPECT_EQ(runs().size(), 2);
    EXPECT_EQ(PathDiscovery::readCache()->discoveredAt, t0.addSecs(604800));
}

TEST_F(PathDiscoveryTest, TheCacheIsServedAsItIsReplacedWhenCorruptAndKeptWhenDiscoveryFails)
{
    useShell("echo /discovered");
    // A date in the future is fresh.
    writeFile(PathDiscovery::cacheFilePath(), R"({"discoveredAt": "2027-01-01T00:00:00.5+02:00", "extra": 1, "path": "/c"})");
    EXPECT_EQ(at(0), "/c");
    EXPECT_TRUE(runs().isEmpty());
    for (const QByteArray corrupt : { "not json", R"({"path": "/x"})", R"({"path": 5, "discoveredAt": "2026-12-01T12:00:00Z"})",
                                      R"({"path": "/x", "discoveredAt": "2026-12-01"})", R"(["/x", "2026-12-01T12:00:00Z"])" }) {
        writeFile(PathDiscovery::cacheFilePath(), corrupt);
        EXPECT_EQ(at(0), "/discovered") << corrupt.toStdString();
        EXPECT_EQ(PathDiscovery::readCache().value_or(PathDiscovery::Cache {}).path, "/discovered");
    }
    useShell("printf '\\377'");
    writeFile(PathDiscovery::cacheFilePath(), R"({"path": "/old", "discoveredAt": "2020-01-01T00:00:00Z"})");
    EXPECT_THROW(at(0), PathDiscoveryError);
    EXPECT_EQ(readFile(PathDiscovery::cacheFilePath()), R"({"path": "/old", "discoveredAt": "2020-01-01T00:00:00Z"})");
    useShell("echo /discovered");
    QDir(home.path() + "/Library").removeRecursively();
    writeFile(home.path() + "/Library/Application Support", "a file where the folder should be");
    EXPECT_EQ(at(300), "/discovered"); // an unwritable cache does not fail the discovery
}

TEST(InternetDateTime, AcceptsRfc3339FormsOnly)
{
    const QDateTime utc(QDate(2026, 12, 5), QTime(5, 39, 50), QTimeZone::utc());
    for (const auto& [text, time] : std::vector<std::pair<QString, QDateTime>> {
             { "2026-12-05T05:39:50Z", utc }, { "2026-12-05t05:39:50z", utc }, { "2026-12-05T07:39:50+02:00", utc },
             { "2026-12-05T05:39:50.250000Z", utc.addMSecs(250) }, { "2026-12-05 05:39:50Z", {} },
             { "2026-12-05T05:39:50", {} }, { "2026-13-05T05:39:50Z", {} }, { "2026-12-05T05:39:50+24:00", {} } })
        EXPECT_EQ(PathDiscovery::parseInternetDateTime(text), time) << text.toStdString();
}

namespace {
const ProcWorkspace::Options inPlace { .ownProcess = ::getpid(), .executor = ProcWorkspace::scanInPlace };

// A /proc tree in a temporary folder: uptime, loadavg (its last pid) and one folder per process.
class FakeProc {
public:
    FakeProc() { writeFile(root() + "/uptime", "1000.00 1.00\n"), setLastPid(100); }
    QString root() const { return dir_.path(); }
    void setLastPid(int pid) { writeFile(root() + "/loadavg", "0.1 0.2 0.3 1/200 " + QByteArray::number(pid) + "\n"); }
    // Also moves the kernel's last handed-out pid on, as a real start does.
    void start(int pid, const QByteArray& environ = {}, const QByteArray& cgroup = "0::/\n", double age = 60, char state = 'S')
    {
        writeFile(folder(pid) + "/stat", QByteArray::number(pid) + " (odd (name) x) " + state + " 1 1 1 0 -1 4194560 10 0 0 0 1 1 0 0 20 0 1 0 "
                      + QByteArray::number((unsigned long long)((1000 - age) * ::sysconf(_SC_CLK_TCK))) + " 1000 50\n");
        writeFile(folder(pid) + "/environ", environ);
        writeFile(folder(pid) + "/cgroup", cgroup);
        setLastPid(lastPid_ = std::max(lastPid_ + 1, pid));
    }
    void end(int pid) { QDir(folder(pid)).removeRecursively(), setLastPid(++lastPid_); }
    QString folder(int pid) const { return root() + "/" + QString::number(pid); }

private:
    QTemporaryDir dir_;
    int lastPid_ = 100;
};

QByteArray launchedFrom(const QByteArray& desktopFile, const QByteArray& extra = {})
{
    return QByteArray("HOME=/home/u\0GIO_LAUNCHED_DESKTOP_FILE=", 39) + desktopFile + '\0' + extra + QByteArray("\0LANG=C", 7);
}
const QByteArray premiereDesktop = "/usr/share/applications/com.adobe.PremierePro.desktop";

class ProcWorkspaceScan : public ::testing::Test {
protected:
    void watch()
    {
        workspace = std::make_unique<ProcWorkspace>(scheduler, proc.root(), inPlace);
        QObject::connect(workspace.get(), &Workspace::applicationLaunched, [this](const RunningApplication& a) { record('+', a); });
        QObject::connect(workspace.get(), &Workspace::applicationTerminated, [this](const RunningApplication& a) { record('-', a); });
    }
    // "+pid id" or "-pid id", with the sorted list as it was then.
    void record(char kind, const RunningApplication& a) { events << QString("%1%2 %3 %4").arg(kind).arg(a.pid).arg(a.applicationIdentifier, running()); }
    QString running() const
    {
        QStringList list;
        for (const RunningApplication& a : workspace->runningApplications())
            list << QString("%1:%2").arg(a.pid).arg(a.applicationIdentifier);
        list.sort();
        return "[" + list.join(' ') + "]";
    }
    FakeProc proc;
    VirtualScheduler scheduler;
    std::unique_ptr<ProcWorkspace> workspace;
    QStringList events;
};
} // namespace

TEST_F(ProcWorkspaceScan, TheStartingListIsNoLaunchAndTheLaunchEnvironmentComesBeforeFlatpakAndTheUnit)
{
    const QByteArray unit = "0::/user.slice/user@1000.service/app.slice/app-gnome-org.gnome.Terminal-4242.scope\n";
    proc.start(10, launchedFrom(premiereDesktop), unit);
    writeFile(proc.folder(10) + "/root/.flatpak-info", "[Application]\nname=org.videolan.VLC\n");
    proc.start(11, {}, unit);
    writeFile(proc.folder(11) + "/root/.flatpak-info", "[Application]\nname=org.videolan.VLC\n");
    proc.start(12, {}, unit);
    proc.start(13); // no identifier at all
    watch();
    EXPECT_EQ(running(), "[10:com.adobe.PremierePro 11:org.videolan.VLC 12:org.gnome.Terminal]");
    EXPECT_EQ(scheduler.pendingDelays(), std::vector<Scheduler::Duration> { 500ms });
    scheduler.advance(2s);
    EXPECT_TRUE(events.isEmpty());
    workspace.reset();
    EXPECT_TRUE(scheduler.pendingDelays().empty());
}

TEST_F(ProcWorkspaceScan, LaunchesQuitsAndPidReuseAreReportedAtTheNextScanWithTheListChanged)
{
    proc.start(31, launchedFrom("org.gnome.Terminal.desktop"));
    proc.start(40, launchedFrom(premiereDesktop));
    watch();
    proc.start(20, launchedFrom(premiereDesktop), "0::/\n", 0.1);
    scheduler.advance(499ms);
    EXPECT_TRUE(events.isEmpty());
    scheduler.advance(1ms);
    proc.end(20);
    proc.end(40);
    proc.start(40, launchedFrom("org.gnome.Terminal.desktop"), "0::/\n", 0.1);
    scheduler.advance(1s);
    std::sort(events.begin() + 1, events.begin() + std::min<qsizetype>(3, events.size())); // one scan's quits, in no set order
    EXPECT_EQ(events, QStringList({ "+20 com.adobe.PremierePro [20:com.adobe.PremierePro 31:org.gnome.Terminal 40:com.adobe.PremierePro]",
                                    "-20 com.adobe.PremierePro [31:org.gnome.Terminal]", "-40 com.adobe.PremierePro [31:org.gnome.Terminal]",
                                    "+40 org.gnome.Terminal [31:org.gnome.Terminal 40:org.gnome.Terminal]" }));
}

TEST_F(ProcWorkspaceScan, AYoungProcessIsReadAgainUntilItsLaunchEnvironmentAppearsAnOldOneIsNot)
{
    proc.start(60, "HOME=/home/u", "0::/\n", 10);
    watch();
    proc.start(50, "HOME=/home/u", "0::/\n", 0.2); // seen between fork and exec
    scheduler.advance(500ms);
    writeFile(proc.folder(50) + "/environ", launchedFrom(premiereDesktop));
    writeFile(proc.folder(60) + "/environ", launchedFrom(premiereDesktop));
    proc.setLastPid(150);
    scheduler.advance(2s);
    EXPECT_EQ(events, QStringList { "+50 com.adobe.PremierePro [50:com.adobe.PremierePro]" });
}

TEST_F(ProcWorkspaceScan, TheListingWaitsForANewPidButAGoneProcessOrAZombieHasQuitWithoutOne)
{
    proc.start(75, launchedFrom(premiereDesktop));
    proc.start(80, launchedFrom(premiereDesktop));
    watch();
    proc.start(70, launchedFrom(premiereDesktop), "0::/\n", 0.1);
    proc.setLastPid(102); // as at the last scan: no pid handed out since
    scheduler.advance(1s);
    EXPECT_TRUE(events.isEmpty());
    proc.setLastPid(150);
    scheduler.advance(500ms);
    QDir(proc.folder(75)).removeRecursively();
    proc.start(80, launchedFrom(premiereDesktop), "0::/\n", 60, 'Z');
    proc.setLastPid(150);
    scheduler.advance(500ms);
    std::sort(events.begin() + 1, events.end()); // one scan's quits, in no set order
    EXPECT_EQ(events, QStringList({ "+70 com.adobe.PremierePro [70:com.adobe.PremierePro 75:com.adobe.PremierePro 80:com.adobe.PremierePro]",
                                    "-75 com.adobe.PremierePro [70:com.adobe.PremierePro]", "-80 com.adobe.PremierePro [70:com.adobe.PremierePro]" }));
}

TEST(ProcWorkspace, OnlyTheUsersOwnProcessesCountAndAMissingProcIsAnEmptyList)
{
    VirtualScheduler scheduler;
    ProcWorkspace missing(scheduler, "/nonexistent/proc", inPlace);
    EXPECT_TRUE(missing.runningApplications().isEmpty());
    scheduler.advance(500ms);
    EXPECT_EQ(scheduler.pendingDelays().size(), 1u);
    if (::getuid() != 0)
        GTEST_SKIP() << "needs to give a folder to another user";
    FakeProc proc;
    proc.start(90, launchedFrom(premiereDesktop));
    ASSERT_EQ(::chown(QFile::encodeName(proc.folder(90)).constData(), 12345, 12345), 0);
    EXPECT_TRUE(ProcWorkspace(scheduler, proc.root(), inPlace).runningApplications().isEmpty());
}

TEST(ProcWorkspace, IdentityFromTheLaunchEnvironmentFlatpakInfoAndTheSystemdUnit)
{
    for (const auto& [environ, identifier] : std::vector<std::pair<QByteArray, QString>> {
             { launchedFrom(premiereDesktop), "com.adobe.PremierePro" },
             { launchedFrom("/opt/x/com.example.Tool"), "com.example.Tool" },
             { QByteArray("GIO_LAUNCHED_DESKTOP_FILE=/a/b.desktop"), "b" },
             { launchedFrom(premiereDesktop, "GIO_LAUNCHED_DESKTOP_FILE_PID=77"), "com.adobe.PremierePro" },
             // Inherited from the launched process by one it started: another process's launch.
             { launchedFrom(premiereDesktop, "GIO_LAUNCHED_DESKTOP_FILE_PID=76"), "" },
             { "HOME=/home/u", "" }, { QByteArray("X_GIO_LAUNCHED_DESKTOP_FILE=/a/b.desktop\0", 41), "" },
             { launchedFrom("/a/\xff\xfe.desktop"), "" } })
        EXPECT_EQ(ProcWorkspace::identifierFromEnvironment(environ, 77), identifier) << environ.toStdString();
    for (const auto& [info, identifier] : std::vector<std::pair<QByteArray, QString>> {
             { "[Application]\nname=org.videolan.VLC\n", "org.videolan.VLC" },
             { "[Instance]\nname=wrong\n[Application]\nruntime=x\nname = com.a.B \n", "com.a.B" },
             { "[Runtime]\nname=org.gnome.Platform\n", "" } })
        EXPECT_EQ(ProcWorkspace::identifierFromFlatpakInfo(info), identifier) << info.toStdString();
    for (const auto& [unit, identifier] : std::vector<std::pair<QString, QString>> {
             { "app-gnome-org.gnome.Terminal-4242.scope", "org.gnome.Terminal" }, { "app-org.gnome.Terminal-4242.scope", "org.gnome.Terminal" },
             { "app-org.gnome.Terminal.service", "org.gnome.Terminal" }, { "app-gnome-org.gnome.Terminal.service", "org.gnome.Terminal" },
             { "app-gnome-org.gnome.Terminal@f00d.service", "org.gnome.Terminal" },
             { "app-gnome-org.gnome.Evolution\\x2dalarm\\x2dnotify-9.scope", "org.gnome.Evolution-alarm-notify" },
             { "org.gnome.Shell@wayland.service", "" }, { "init.scope", "" }, { "session-2.scope", "" }, { "app.slice", "" },
             { "app-gnome-org.gnome.Terminal-4242.slice", "" }, { "app-a-b-c-d.scope", "" }, { "app-a-b-c.service", "" },
             { "app-.service", "" }, { "app-x.scope", "" }, { "vte-spawn-1234.scope", "" } })
        EXPECT_EQ(ProcWorkspace::identifierFromUnitName(unit), identifier) << unit.toStdString();
    const QByteArray slice = "0::/user.slice/user-1000.slice/user@1000.service/app.slice/";
    for (const auto& [cgroup, identifier] : std::vector<std::pair<QByteArray, QString>> {
             { slice + "app-gnome-org.gnome.Terminal-4242.scope\n", "org.gnome.Terminal" },
             { slice + "app-org.gnome.Terminal.slice/vte-spawn-12.scope\n", "" }, // inside a terminal is not the terminal
             { "4:memory:/x\n1:name=systemd:/user.slice/app-com.example.Tool.service\n", "com.example.Tool" }, { "0::/\n", "" } })
        EXPECT_EQ(ProcWorkspace::identifierFromCgroup(cgroup), identifier) << cgroup.toStdString();
}

namespace {
const RunningApplication premiere { 501, "com.adobe.PremierePro" }, secondPremiere { 502, "com.adobe.PremierePro" },
    terminal { 301, "org.gnome.Terminal" };
const QString trueLine = "PremiereWatcher: isPremiereRunning = true", falseLine = "PremiereWatcher: isPremiereRunning = false";
} // namespace

TEST(PremiereWatcher, TheFirstScanDecidesAndOnlyTrueIsLogged)
{
    for (const bool withPremiere : { true, false }) {
        FakeWorkspace workspace(withPremiere ? QList { terminal, premiere } : QList { terminal, RunningApplication { 302, "" } });
        LogCapture log;
        PremiereWatcher watcher(workspace);
        EXPECT_EQ(watcher.isPremiereRunning(), withPremiere);
        EXPECT_EQ(log.messages(), withPremiere ? QStringList { trueLine } : QStringList {});
    }
}

// Each step: what happens, then the value, the announcements so far ("value/value seen by the
// watcher then/lines logged then") and the scans.
TEST(PremiereWatcher, TheScanDecidesAnnouncesBeforeTheLineAndOthersCauseNoScan)
{
    FakeWorkspace workspace;
    PremiereWatcher watcher(workspace);
    LogCapture log;
    QStringList announced;
    QObject::connect(&watcher, &PremiereWatcher::isPremiereRunningChanged, [&](bool value) {
        announced << QString("%1/%2/%3").arg(value).arg(watcher.isPremiereRunning()).arg(log.messages().size());
    });
    struct Step {
        std::function<void()> act;
        bool running;
        QStringList announced;
        int scans;
    };
    const std::vector<Step> steps {
        { [&] { workspace.launch(terminal), workspace.quit(terminal); }, false, {}, 1 },
        { [&] { workspace.launch({ 700, "com.adobe.premierepro" }), workspace.launch({ 703, "x.com.adobe.PremierePro" }); }, false, {}, 1 },
        { [&] { workspace.notifyLaunch(premiere); }, false, {}, 2 }, // a launch the list does not show
        { [&] { workspace.launch(premiere); }, true, { "1/1/0" }, 3 },
        { [&] { workspace.notifyLaunch(premiere); }, true, { "1/1/0" }, 4 }, // repeated: nothing new
        { [&] { workspace.launch(secondPremiere), workspace.quit(premiere); }, true, { "1/1/0" }, 6 },
        { [&] { workspace.quit(secondPremiere); }, false, { "1/1/0", "0/0/1" }, 7 },
        { [&] { workspace.launch({ 600, "com.adobe.PremierePro.Beta" }); }, true, { "1/1/0", "0/0/1", "1/1/2" }, 8 },
    };
    for (size_t i = 0; i < steps.size(); ++i) {
        steps[i].act();
        EXPECT_EQ(watcher.isPremiereRunning(), steps[i].running) << i;
        EXPECT_EQ(announced, steps[i].announced) << i;
        EXPECT_EQ(workspace.scans, steps[i].scans) << i;
    }
    EXPECT_EQ(log.messages(), QStringList({ trueLine, falseLine, trueLine }));
    FakeWorkspace others({ { 702, "com.Adobe.PremierePro" }, { 704, "com.adobe.Premiere" } });
    EXPECT_FALSE(PremiereWatcher(others).isPremiereRunning());
}

namespace {
const QString executable = "/opt/tessaryn/bin/tessaryn-helper";
class ScopedConfigHome {
public:
    QString path() const { return dir_.path(); }
    QString entry() const { return path() + "/autostart/app.marovant.tessaryn-helper.desktop"; }

private:
    QTemporaryDir dir_;
    ScopedEnv env_ { "XDG_CONFIG_HOME", QFile::encodeName(dir_.path()) };
};
} // namespace

TEST(LoginItem, TheEntryDecidesTheStatus)
{
    const QByteArray entry = "[Desktop Entry]\nType=Application\nName=Tessaryn Helper\nExec=\"" + executable.toUtf8() + "\"\n";
    for (const auto& [text, status] : std::vector<std::pair<QByteArray, LoginItemStatus>> {
             { entry, LoginItemStatus::enabled }, { entry + "Hidden=true\n", LoginItemStatus::notRegistered },
             { entry + "X-GNOME-Autostart-enabled=false\n", LoginItemStatus::notRegistered },
             { entry + "[Desktop Action x]\nHidden=true\n", LoginItemStatus::enabled }, // another group's key
             { "[Desktop Entry]\nType=Application\nExec=" + executable.toUtf8() + " --quiet\n", LoginItemStatus::enabled },
             { "[Desktop Entry]\nType=Application\nExec=/usr/bin/tessaryn-helper\n", LoginItemStatus::notRegistered } }) {
        ScopedConfigHome config;
        writeFile(config.entry(), text);
        EXPECT_EQ(LoginItem::status(executable), status) << text.toStdString();
        EXPECT_EQ(LoginItem::status(QString()), LoginItemStatus::notFound);
    }
    ScopedConfigHome config;
    EXPECT_EQ(LoginItem::status(executable), LoginItemStatus::notRegistered);
    QTemporaryDir dir; // an entry naming a link to this executable
    writeFile(dir.filePath("real"), "#!/bin/sh\n", true);
    QFile::link(dir.filePath("real"), dir.filePath("link"));
    LoginItem::registerApp(dir.filePath("link"));
    EXPECT_EQ(LoginItem::status(dir.filePath("real")), LoginItemStatus::enabled);
}

TEST(LoginItem, RegisterWritesAQuotedValidEntryAtomicallyAndUnregisterRemovesIt)
{
    ScopedConfigHome config;
    writeFile(config.entry(), "[Desktop Entry]\nType=Application\nExec=/usr/bin/old\nHidden=true\n");
    LogCapture log;
    const QString odd = "/tmp/My Apps/50% \"off\"/$HOME/back\\slash/`tick`";
    LoginItem::registerApp(odd);
    const QStringList lines = readLines(config.entry());
    EXPECT_EQ(lines.value(0), "[Desktop Entry]");
    for (const QString line : { "Type=Application", "Name=Tessaryn Helper", "X-GNOME-Autostart-enabled=true",
                                "Exec=\"/tmp/My Apps/50%% \\\\\"off\\\\\"/\\\\$HOME/back\\\\\\\\slash/\\\\`tick\\\\`\"" })
        EXPECT_TRUE(lines.contains(line)) << line.toStdString();
    EXPECT_EQ(LoginItem::status(odd), LoginItemStatus::enabled);
    EXPECT_EQ(QDir(config.path() + "/autostart").entryList(QDir::Files | QDir::Hidden), QStringList { "app.marovant.tessaryn-helper.desktop" });
    LoginItem::unregisterApp();
    EXPECT_FALSE(QFile::exists(config.entry()));
    EXPECT_NO_THROW(LoginItem::unregisterApp());
    EXPECT_TRUE(log.messages().isEmpty());
    ScopedHome home; // without a usable XDG_CONFIG_HOME: under the home folder
    for (const std::optional<QByteArray>& value : { std::optional<QByteArray>(), std::optional<QByteArray>("relative/config") }) {
        ScopedEnv unset("XDG_CONFIG_HOME", value);
        LoginItem::registerApp(executable);
        EXPECT_TRUE(QFile::exists(home.path() + "/.config/autostart/app.marovant.tessaryn-helper.desktop"));
        LoginItem::unregisterApp();
    }
}

TEST(LoginItem, EveryFailureIsLoggedAndThrownNamingWhatFailed)
{
    struct Case {
        const char* name;
        std::function<void(const ScopedConfigHome&)> arrange;
        std::function<void()> act;
        std::function<QString(const ScopedConfigHome&)> named;
    };
    const auto entry = [](const ScopedConfigHome& c) { return c.entry(); };
    const auto reg = [] { LoginItem::registerApp(executable); };
    const std::vector<Case> cases {
        { "register: a file where the folder belongs", [](auto& c) { writeFile(c.path() + "/autostart", "x"); }, reg,
          [](auto& c) { return c.path() + "/autostart"; } },
        { "register: a folder where the entry belongs", [](auto& c) { QDir().mkpath(c.entry()); }, reg, entry },
        { "register: an unknown executable", [](auto&) { }, [] { LoginItem::registerApp(QString()); }, [](auto&) { return QString(); } },
        { "register: a folder that cannot be written",
          [](auto& c) { QDir().mkpath(c.path() + "/autostart"), QFile::setPermissions(c.path() + "/autostart", QFile::ReadOwner | QFile::ExeOwner); },
          reg, entry },
        { "unregister: an entry that cannot be removed", [](auto& c) { writeFile(c.entry() + "/inside", "x"); },
          [] { LoginItem::unregisterApp(); }, entry },
    };
    for (const Case& c : cases) {
        if (::geteuid() == 0 && QByteArray(c.name).contains("cannot be written"))
            continue; // permissions do not stop the superuser
        SCOPED_TRACE(c.name);
        ScopedConfigHome config;
        c.arrange(config);
        LogCapture log;
        try {
            c.act();
            ADD_FAILURE() << "no error";
        } catch (const LoginItemError& error) {
            EXPECT_TRUE(QString(error.what()).contains(c.named(config))) << error.what();
            if (QByteArray(c.name).contains("cannot be written")) {
                EXPECT_TRUE(QString(error.what()).contains("Permission denied")) << error.what();
            }
            EXPECT_EQ(log.messages(), QStringList { QString(c.name).section(':', 0, 0).prepend("LoginItem.") + " failed: " + error.what() });
        }
        EXPECT_FALSE(QFileInfo(config.entry()).isFile());
        QFile::setPermissions(config.path() + "/autostart", QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    }
}
