// The login shell's PATH and its cache, the /proc scanner, the Premiere watcher, the login item and
// the log, also against what other programs and files may put in their way.
#include "Environment/PathDiscovery.h"
#include "Adapters/Linux/ProcWorkspace.h"
#include "Foundation/RegularFile.h"
#include "Logging/LogRotator.h"
#include "Platform/LoginItem.h"
#include "Premiere/PremiereWatcher.h"
#include "TestSupport.h"

#include <QDir>
#include <QTimeZone>

#include <gtest/gtest.h>

#include <sys/resource.h>
#include <sys/stat.h>
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

TEST_F(PathDiscoveryTest, TheShellsLastNonEmptyLineIsThePathWhenItIsASearchPath)
{
    useShell("printf 'Welcome back!\\n\\n  /opt/x bin:/usr/bin \\r\\n\\n'; head -c 2000000 /dev/zero >&2");
    EXPECT_EQ(PathDiscovery::discover(), "/opt/x bin:/usr/bin");
    EXPECT_EQ(runs(), QStringList { "-ilc|echo $PATH|" });
    EXPECT_EQ(PathDiscovery::pathFromShellOutput("/" + QByteArray(32 * 1024 - 1, 'a')).size(), 32 * 1024);
    for (const QByteArray& output : std::vector<QByteArray> { "", " \n\n" /* no -ilc */, "/usr/bin\nWelcome back!\n", "/usr/bin:bin",
                                     "/usr/bin::/bin", "/usr/bin:/b\tin", "/usr/bin\x1b[0m", "/" + QByteArray(32 * 1024, 'a') })
        EXPECT_THROW(PathDiscovery::pathFromShellOutput(output), PathDiscoveryError) << output.left(40).toStdString();
    writeFile(home.path() + "/.zprofile", "export PATH=/from/zsh:$PATH\n");
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

TEST_F(PathDiscoveryTest, OnlyASmallValidCacheIsServedAFailureKeepsItAndPausesTheShellForFiveMinutes)
{
    useShell("echo /discovered");
    // A date in the future is fresh; a file of 64 KiB is small enough.
    const QByteArray future = R"({"discoveredAt": "2027-01-01T00:00:00.5+02:00", "extra": 1, "path": "/c"})";
    writeFile(PathDiscovery::cacheFilePath(), future.leftJustified(64 * 1024, ' '));
    EXPECT_EQ(at(0), "/c");
    EXPECT_TRUE(runs().isEmpty());
    for (const QByteArray& corrupt : { QByteArray("not json"), QByteArray(R"({"path": "/x"})"), future.leftJustified(64 * 1024 + 1, ' '),
             QByteArray(R"({"path": 5, "discoveredAt": "2026-12-01T12:00:00Z"})"), QByteArray(R"(["/x", "2026-12-01T12:00:00Z"])"),
             QByteArray(R"({"path": "/x", "discoveredAt": "2026-12-01"})"), QByteArray(R"({"path": "Hi!\n/x", "discoveredAt": "2027-01-01T00:00:00Z"})") }) {
        writeFile(PathDiscovery::cacheFilePath(), corrupt);
        EXPECT_EQ(at(0), "/discovered") << corrupt.left(80).toStdString();
        EXPECT_EQ(PathDiscovery::readCache().value_or(PathDiscovery::Cache {}).path, "/discovered");
    }
    EXPECT_FALSE(RegularFile::read("/dev/zero", 1024, RegularFile::Oversize::truncate)); // only regular files are read
    useShell("printf '\\377'");
    writeFile(PathDiscovery::cacheFilePath(), R"({"path": "/old", "discoveredAt": "2020-01-01T00:00:00Z"})");
    EXPECT_THROW(at(0), PathDiscoveryError);
    EXPECT_EQ(readFile(PathDiscovery::cacheFilePath()), R"({"path": "/old", "discoveredAt": "2020-01-01T00:00:00Z"})");
    useShell("echo /discovered");
    const qsizetype asked = runs().size();
    EXPECT_THROW(at(299), PathDiscoveryError);
    EXPECT_EQ(runs().size(), asked);
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
QByteArray launchedFrom(const QByteArray& desktopFile, const QByteArray& extra = {})
{
    return QByteArray("HOME=/home/u\0GIO_LAUNCHED_DESKTOP_FILE=", 39) + desktopFile + '\0' + extra + QByteArray("\0LANG=C", 7);
}

// A /proc tree in a temporary folder (uptime, loadavg with its last pid, a folder per process),
// watched by a workspace on a virtual clock whose own process is pid 500.
class ProcWorkspaceScan : public ::testing::Test {
protected:
    ProcWorkspaceScan() { writeFile(dir.path() + "/uptime", "1000.00 1.00\n"), setLastPid(lastPid); }
    QString folder(int pid) const { return dir.path() + "/" + QString::number(pid); }
    void setLastPid(int pid) { writeFile(dir.path() + "/loadavg", "0.1 0.2 0.3 1/200 " + QByteArray::number(pid) + "\n"); }
    // Also moves the kernel's last handed-out pid on, as a real start does.
    void start(int pid, const QByteArray& environ = {}, const QByteArray& cgroup = "0::/\n", double age = 60, char state = 'S', int parent = 1)
    {
        writeFile(folder(pid) + "/stat", QByteArray::number(pid) + " (odd (name) x) " + state + " " + QByteArray::number(parent)
                      + " 1 1 0 -1 4194560 10 0 0 0 1 1 0 0 20 0 1 0 "
                      + QByteArray::number((unsigned long long)((1000 - age) * ::sysconf(_SC_CLK_TCK))) + " 1000 50\n");
        writeFile(folder(pid) + "/environ", environ);
        writeFile(folder(pid) + "/cgroup", cgroup);
        setLastPid(++lastPid);
    }
    void watch()
    {
        workspace = std::make_unique<ProcWorkspace>(scheduler, dir.path(), ProcWorkspace::Options { 500, ProcWorkspace::scanInPlace });
        QObject::connect(workspace.get(), &Workspace::applicationLaunched, [this](const RunningApplication& a) { record('+', a); });
        QObject::connect(workspace.get(), &Workspace::applicationTerminated, [this](const RunningApplication& a) { record('-', a); });
    }
    void record(char kind, const RunningApplication& a) { events << QString("%1%2 %3").arg(kind).arg(a.pid).arg(a.applicationIdentifier), listThen = running(); }
    // The changes reported while the clock moves on, sorted, then the list as it was at the last one.
    QString scan(std::chrono::milliseconds wait)
    {
        events.clear(), listThen.clear();
        scheduler.advance(wait);
        events.sort();
        return (events << listThen).join(' ').trimmed();
    }
    QString running() const
    {
        QStringList list;
        for (const RunningApplication& a : workspace->runningApplications())
            list << QString("%1:%2").arg(a.pid).arg(a.applicationIdentifier);
        list.sort();
        return "[" + list.join(' ') + "]";
    }
    QTemporaryDir dir;
    int lastPid = 100;
    VirtualScheduler scheduler;
    std::unique_ptr<ProcWorkspace> workspace;
    QStringList events;
    QString listThen;
};
} // namespace

TEST_F(ProcWorkspaceScan, TheStartingListIsNoLaunchNorTheHelpersOwnTreeAndEachFileIsReadSafely)
{
    const QByteArray unit = "0::/user.slice/user@1000.service/app.slice/app-gnome-org.gnome.Terminal-4242.scope\n";
    start(10, launchedFrom("a"), unit); // the launch environment comes before Flatpak, Flatpak before the unit
    writeFile(folder(10) + "/root/.flatpak-info", "[Application]\nname=b\n");
    start(11, {}, unit);
    writeFile(folder(11) + "/root/.flatpak-info", "[Application]\nname=b\n");
    start(12, {}, unit);
    start(13); // no identifier at all
    start(500, launchedFrom("a")); // the helper, with a launch variable it inherited, what it started and what that started
    start(501, launchedFrom("a"), unit, 60, 'S', 500);
    start(502, launchedFrom("a"), unit, 60, 'S', 501);
    start(503, {}, "0::/app.slice/app-c.service\n");
    ASSERT_TRUE(QDir().mkpath(folder(503) + "/root"));
    ASSERT_EQ(::mkfifo(QFile::encodeName(folder(503) + "/root/.flatpak-info").constData(), 0600), 0);
    start(504, QByteArray(ProcWorkspace::environmentLimit, 'x') + '\0' + launchedFrom("a")); // past the cap
    if (::getuid() == 0) { // another user's process
        start(505, launchedFrom("a"));
        ASSERT_EQ(::chown(QFile::encodeName(folder(505)).constData(), 12345, 12345), 0);
    }
    watch();
    EXPECT_EQ(running(), "[10:a 11:b 12:org.gnome.Terminal 503:c]");
    EXPECT_EQ(scheduler.pendingDelays(), std::vector<Scheduler::Duration> { 500ms });
    EXPECT_EQ(scan(2s), "");
    workspace.reset();
    EXPECT_TRUE(scheduler.pendingDelays().empty());
    EXPECT_TRUE(ProcWorkspace(scheduler, "/nonexistent/proc", {}).runningApplications().isEmpty());
}

TEST_F(ProcWorkspaceScan, ChangesAreReportedAtTheNextScanWithTheListChangedAndYoungProcessesAreReadAgain)
{
    for (const int pid : { 31, 40, 75, 80 })
        start(pid, launchedFrom(pid == 31 ? "t" : "p"));
    start(60, "HOME=/home/u", "0::/\n", 10); // old and without an identifier: settled
    watch();
    start(20, launchedFrom("p"), "0::/\n", 0.1);
    EXPECT_EQ(scan(499ms), "");
    EXPECT_EQ(scan(1ms), "+20 p [20:p 31:t 40:p 75:p 80:p]");
    QDir(folder(20)).removeRecursively(), QDir(folder(40)).removeRecursively();
    start(40, launchedFrom("t"), "0::/\n", 0.1); // a reused pid
    EXPECT_EQ(scan(1s), "+40 t -20 p -40 p [31:t 40:t 75:p 80:p]");
    start(50, "HOME=/home/u", "0::/\n", 0.2); // seen between fork and exec
    EXPECT_EQ(scan(500ms), "");
    writeFile(folder(50) + "/environ", launchedFrom("p"));
    writeFile(folder(60) + "/environ", launchedFrom("p"));
    setLastPid(150);
    EXPECT_EQ(scan(500ms), "+50 p [31:t 40:t 50:p 75:p 80:p]");
    // No pid handed out since the last scan: no listing, yet a gone process or a zombie has quit.
    start(70, launchedFrom("p"), "0::/\n", 0.1);
    QDir(folder(75)).removeRecursively();
    start(80, launchedFrom("p"), "0::/\n", 60, 'Z');
    setLastPid(150);
    EXPECT_EQ(scan(500ms), "-75 p -80 p [31:t 40:t 50:p]");
    setLastPid(151);
    EXPECT_EQ(scan(500ms), "+70 p [31:t 40:t 50:p 70:p]");
}

TEST(ProcWorkspace, IdentityFromTheLaunchEnvironmentFlatpakInfoAndTheSystemdUnit)
{
    const QByteArray premiere = "/usr/share/applications/com.adobe.PremierePro.desktop";
    for (const auto& [environ, identifier] : std::vector<std::pair<QByteArray, QString>> {
             { launchedFrom(premiere), "com.adobe.PremierePro" }, { launchedFrom("/opt/x/com.example.Tool"), "com.example.Tool" },
             { QByteArray("GIO_LAUNCHED_DESKTOP_FILE=/a/b.desktop"), "b" },
             { launchedFrom(premiere, "GIO_LAUNCHED_DESKTOP_FILE_PID=77"), "com.adobe.PremierePro" },
             // Inherited from the launched process by one it started: another process's launch.
             { launchedFrom(premiere, "GIO_LAUNCHED_DESKTOP_FILE_PID=76"), "" },
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

// Each step: what happens, then the value, the announcements so far ("value/value seen by the
// watcher then/lines logged then") and the scans.
TEST(PremiereWatcher, TheScanDecidesAnnouncesBeforeTheLineAndOthersCauseNoScan)
{
    const RunningApplication premiere { 501, "com.adobe.PremierePro" }, second { 502, "com.adobe.PremierePro" }, terminal { 301, "t" };
    const QString trueLine = "PremiereWatcher: isPremiereRunning = true", falseLine = "PremiereWatcher: isPremiereRunning = false";
    LogCapture log;
    FakeWorkspace started({ terminal, premiere }), workspace({ terminal, RunningApplication { 302, "" } });
    EXPECT_TRUE(PremiereWatcher(started).isPremiereRunning());
    PremiereWatcher watcher(workspace);
    EXPECT_EQ(log.messages(), QStringList { trueLine }); // the first scan decides; only true is logged then
    QStringList announced;
    QObject::connect(&watcher, &PremiereWatcher::isPremiereRunningChanged, [&](bool value) {
        announced << QString("%1/%2/%3").arg(value).arg(watcher.isPremiereRunning()).arg(log.messages().size());
    });
    const std::vector<std::tuple<std::function<void()>, bool, QStringList, int>> steps {
        { [&] { workspace.launch(terminal), workspace.quit(terminal); }, false, {}, 1 },
        { [&] { workspace.launch({ 700, "com.adobe.premierepro" }), workspace.launch({ 703, "x.com.adobe.PremierePro" }),
                  workspace.launch({ 704, "com.adobe.Premiere" }); }, false, {}, 1 },
        { [&] { workspace.notifyLaunch(premiere); }, false, {}, 2 }, // a launch the list does not show
        { [&] { workspace.launch(premiere); }, true, { "1/1/1" }, 3 },
        { [&] { workspace.notifyLaunch(premiere); }, true, { "1/1/1" }, 4 }, // repeated: nothing new
        { [&] { workspace.launch(second), workspace.quit(premiere); }, true, { "1/1/1" }, 6 },
        { [&] { workspace.quit(second); }, false, { "1/1/1", "0/0/2" }, 7 },
        { [&] { workspace.launch({ 600, "com.adobe.PremierePro.Beta" }); }, true, { "1/1/1", "0/0/2", "1/1/3" }, 8 },
    };
    for (size_t i = 0; i < steps.size(); ++i) {
        std::get<0>(steps[i])();
        EXPECT_EQ(watcher.isPremiereRunning(), std::get<1>(steps[i])) << i;
        EXPECT_EQ(announced, std::get<2>(steps[i])) << i;
        EXPECT_EQ(workspace.scans, std::get<3>(steps[i])) << i;
    }
    EXPECT_EQ(log.messages(), QStringList({ trueLine, trueLine, falseLine, trueLine }));
}

namespace {
const QString executable = "/opt/tessaryn/bin/tessaryn-helper";
struct ScopedConfigHome {
    QTemporaryDir dir;
    ScopedEnv env { "XDG_CONFIG_HOME", QFile::encodeName(dir.path()) };
    QString path() const { return dir.path(); }
    QString entry() const { return path() + "/autostart/app.marovant.tessaryn-helper.desktop"; }
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
    }
    ScopedConfigHome config;
    EXPECT_EQ(LoginItem::status(executable), LoginItemStatus::notRegistered);
    EXPECT_EQ(LoginItem::status(QString()), LoginItemStatus::notFound);
    QTemporaryDir dir; // an entry naming a link to this executable
    writeFile(dir.filePath("real"), "#!/bin/sh\n", true);
    QFile::link(dir.filePath("real"), dir.filePath("link"));
    LoginItem::registerApp(dir.filePath("link"));
    EXPECT_EQ(LoginItem::status(dir.filePath("real")), LoginItemStatus::enabled);
}

TEST(LoginItem, RegisterWritesAQuotedEntryAndUnregisterRemovesIt)
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
    // Each row: the operation and what stands in its way, its executable, and what the error names
    // ("|" between parts; %c: the config folder, %e: the entry).
    const std::vector<std::tuple<const char*, std::function<void(const ScopedConfigHome&)>, QString, QString>> cases {
        { "register: a file where the folder belongs", [](auto& c) { writeFile(c.path() + "/autostart", "x"); }, executable, "%c/autostart" },
        { "register: a folder where the entry belongs", [](auto& c) { QDir().mkpath(c.entry()); }, executable, "%e" },
        { "register: an unknown executable", [](auto&) { }, "", "executable cannot be determined" },
        { "register: a folder that cannot be written", [](auto& c) { QDir().mkpath(c.path() + "/autostart"),
              QFile::setPermissions(c.path() + "/autostart", QFile::ReadOwner | QFile::ExeOwner); }, executable, "%e|Permission denied" },
        { "unregister: an entry that cannot be removed", [](auto& c) { writeFile(c.entry() + "/inside", "x"); }, "", "%e" },
    };
    for (const auto& [name, arrange, path, named] : cases) {
        if (::geteuid() == 0 && QByteArray(name).contains("cannot be written"))
            continue; // permissions do not stop the superuser
        SCOPED_TRACE(name);
        ScopedConfigHome config;
        arrange(config);
        LogCapture log;
        const QString operation = QString(name).section(':', 0, 0);
        try {
            operation == "register" ? LoginItem::registerApp(path) : LoginItem::unregisterApp();
            ADD_FAILURE() << "no error";
        } catch (const LoginItemError& error) {
            for (const QString& part : QString(named).replace("%c", config.path()).replace("%e", config.entry()).split('|'))
                EXPECT_TRUE(QString(error.what()).contains(part)) << error.what() << " lacks " << part.toStdString();
            EXPECT_EQ(log.messages(), QStringList { "LoginItem." + operation + " failed: " + error.what() });
        }
        EXPECT_FALSE(QFileInfo(config.entry()).isFile());
        QFile::setPermissions(config.path() + "/autostart", QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    }
}

TEST(LogRotator, AnAppendCutShortByAFullDiskIsTakenBack)
{
    ScopedHome home;
    LogRotator log("server.log");
    // A file size limit stands in for the full disk: the write is cut short, the next one fails.
    rlimit saved {};
    ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &saved), 0);
    ::signal(SIGXFSZ, SIG_IGN);
    for (const auto& [line, limit] : std::vector<std::pair<QByteArray, rlim_t>> {
             { "first\n", saved.rlim_cur }, { "cut short\n", 10 }, { "whole\n", saved.rlim_cur } }) {
        const rlimit now { limit, saved.rlim_max };
        ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &now), 0);
        log.write(line);
        log.flush();
    }
    EXPECT_EQ(readFile(log.filePath()), "first\nwhole\n");
}
