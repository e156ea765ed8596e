// The login shell's PATH and its cache, the /proc scanner, the Premiere watcher and the login item.
#include "Environment/PathDiscovery.h"
#include "Adapters/Linux/ProcWorkspace.h"
#include "Foundation/RegularFile.h"
#include "Platform/LoginItem.h"
#include "Premiere/PremiereWatcher.h"
#include "TestSupport.h"

#include <QDir>
#include <QRegularExpression>
#include <QTimeZone>

#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <map>
#include <sys/resource.h>
#include <unistd.h>

using namespace std::chrono_literals;

namespace {
template <typename Error> QString errorOf(const std::function<void()>& act)
{
    try { act(); } catch (const Error& error) { return error.what(); }
    return "no error";
}

class PathDiscoveryTest : public ::testing::Test {
protected:
    void useShell(const QByteArray& body)
    {
        writeFile(home.path() + "/sh", "#!/bin/sh\necho \"$*\" >> \"$HOME/runs\"\n" + body + "\n", true);
        shell.emplace("SHELL", QFile::encodeName(home.path() + "/sh"));
    }
    QStringList runs() const { return readLines(home.path() + "/runs"); }
    QString at(qint64 seconds) { return PathDiscovery::loadOrDiscover([=, this] { return t0.addSecs(seconds); }); }
    ScopedHome home;
    std::optional<ScopedEnv> shell;
    const QDateTime t0 = QDateTime(QDate(2026, 12, 1), QTime(12, 0, 0), QTimeZone::utc());
};
} // namespace

TEST_F(PathDiscoveryTest, TheShellsLastNonEmptyLineIsThePathWhenItIsASearchPathAndAHangingShellIsKilled)
{
    useShell("printf 'Welcome back!\\n\\n  /opt/x bin:/usr/bin \\r\\n\\n'; head -c 2000000 /dev/zero >&2");
    EXPECT_EQ(PathDiscovery::discover(), "/opt/x bin:/usr/bin");
    EXPECT_EQ(runs(), QStringList { "-ilc /usr/bin/printenv PATH" });
    EXPECT_EQ(PathDiscovery::pathFromShellOutput("/" + QByteArray(32 * 1024 - 1, 'a')).size(), 32 * 1024);
    for (const QByteArray& output : std::vector<QByteArray> { "", " \n\n" /* no -ilc */, "/usr/bin\nWelcome back!\n", ".:~/bin::",
                                     "/usr/bin:/b\tin", "/usr/bin\x1b[0m", "/" + QByteArray(32 * 1024, 'a') })
        EXPECT_THROW(PathDiscovery::pathFromShellOutput(output), PathDiscoveryError) << output.left(40);
    EXPECT_EQ(errorOf<PathDiscoveryError>([] { PathDiscovery::pathFromShellOutput("/usr/bin\377\n"); }), "Non-UTF8 PATH output");
    // Every common shell, zsh by default, with a profile that leaves "::", ".", "~/bin" and a trailing ":".
    ScopedEnv config("XDG_CONFIG_HOME", std::nullopt);
    for (const auto& [shellPath, profile] : std::vector<std::pair<std::optional<QByteArray>, QString>> {
             { {}, ".zprofile" }, { "/bin/bash", ".bash_profile" }, { "/bin/dash", ".profile" }, { "/bin/ksh", ".profile" },
             { "/usr/bin/fish", ".config/fish/config.fish" } }) { // each reads only its own profile
        writeFile(home.path() + "/" + profile, profile.endsWith("fish") ? "set -gx PATH /p/1 '' . '~/b' /p/2 $PATH ''"
                                                                        : "export PATH=/p/1::.:'~/b':/p/2:$PATH:");
        shell.emplace("SHELL", shellPath);
        const QString path = PathDiscovery::discover();
        EXPECT_TRUE(path.startsWith("/p/1:/p/2:/") && !path.contains(QRegularExpression(":(?!/)"))) << path;
    }
    useShell("sleep 60 & echo $! > \"$HOME/sleeper\"; wait");
    EXPECT_EQ(errorOf<PathDiscoveryError>([] { PathDiscovery::discover(1500ms); }), // time enough for the shell to start
              "the login shell " + home.path() + "/sh did not answer within 1.5 s");
    const pid_t sleeper = readFile(home.path() + "/sleeper").trimmed().toInt();
    EXPECT_TRUE(sleeper > 0 && waitFor([&] { return processGone(sleeper); }));
}

// Only a small regular file holding a search path and an RFC 3339 date; a failed discovery keeps it and leaves the
// shell alone for five minutes.
TEST_F(PathDiscoveryTest, TheCacheIsServedUpToSevenDaysWhenValidAndKeptWhenDiscoveryFails)
{
    const QString cache = PathDiscovery::cacheFilePath();
    useShell("echo /cached/bin");
    EXPECT_EQ(at(0), "/cached/bin");
    EXPECT_EQ(readFile(cache), "{\n  \"path\" : \"/cached/bin\",\n  \"discoveredAt\" : \"2026-12-01T12:00:00Z\"\n}");
    useShell("echo /fresh/bin");
    EXPECT_EQ(at(604799), "/cached/bin");
    EXPECT_EQ(at(604800), "/fresh/bin");
    // Another form, as large as a cache may be, half a second after two weeks; a future date is fresh.
    const QByteArray other
        = QByteArray(R"({"discoveredAt": "2026-12-15t14:00:00.5+02:00", "extra": 1, "path": "/other"})").leftJustified(64 * 1024);
    writeFile(cache, other);
    EXPECT_EQ(at(0), "/other");
    EXPECT_EQ(at(1814400), "/other");
    EXPECT_EQ(at(1814401), "/fresh/bin");
    const auto dated = [](const QByteArray& date, const QByteArray& path = "/x") {
        return R"({"path": ")" + path + R"(", "discoveredAt": ")" + date + "\"}";
    };
    for (const QByteArray& corrupt : { QByteArray("not json"), QByteArray(R"({"path": "/x"})"), QByteArray(R"(["/x", "2026-12-01"])"),
             QByteArray(R"({"path": 5, "discoveredAt": "2026-12-01T12:00:00Z"})"), other + ' ', dated("2026-12-01T12:00:00Z", "/\\t"),
             dated("2026-12-01"), dated("2026-12-01T12:00:00"), dated("2026-12-01 12:00:00Z"), dated("2026-13-01T12:00:00Z"),
             dated("2026-12-01T12:00:00+24:00") }) {
        writeFile(cache, corrupt);
        EXPECT_EQ(at(0), "/fresh/bin") << corrupt.left(80);
        EXPECT_EQ(PathDiscovery::readCache().value_or(PathDiscovery::Cache {}).path, "/fresh/bin");
    }
    EXPECT_FALSE(RegularFile::read("/dev/zero", 1024, RegularFile::Oversize::truncate)); // only regular files are read
    writeFile(cache, dated("2026-12-01T12:00:00Z"));
    EXPECT_FALSE(::chown(QFile::encodeName(cache), 65534, -1) == 0 && PathDiscovery::readCache()); // nor another user's
    QFile::remove(cache);
    useShell("printf '\\377'");
    writeFile(cache, dated("2020-01-01T00:00:00Z"));
    EXPECT_THROW(at(0), PathDiscoveryError);
    EXPECT_EQ(readFile(cache), dated("2020-01-01T00:00:00Z"));
    useShell("echo /discovered");
    EXPECT_THROW(at(299), PathDiscoveryError);
    EXPECT_EQ(runs().size(), 15);
    QDir(home.path() + "/.cache").removeRecursively();
    writeFile(home.path() + "/.cache", "a file where the folder should be");
    EXPECT_EQ(at(300), "/discovered"); // an unwritable cache does not fail the discovery
    useShell("printf '\\377'");
    EXPECT_THROW(at(400), PathDiscoveryError);
    useShell("echo /discovered");
    EXPECT_EQ(at(399), "/discovered"); // a clock set back ends the pause
}

namespace {
QByteArray launchedFrom(const QByteArray& desktopFile, const QByteArray& extra = {})
{
    return QByteArray("HOME=/home/u\0GIO_LAUNCHED_DESKTOP_FILE=", 39) + desktopFile + '\0' + extra + QByteArray("\0LANG=C", 7);
}

// A /proc tree watched on a virtual clock; pid 500 is the helper.
class ProcWorkspaceScan : public ::testing::Test {
protected:
    ProcWorkspaceScan() { writeFile(dir.path() + "/uptime", "1000.00 1.00\n"), setLastPid(lastPid); }
    QString folder(int pid) const { return dir.path() + "/" + QString::number(pid); }
    void setLastPid(int pid) { writeFile(dir.path() + "/loadavg", "0.1 0.2 0.3 1/200 " + QByteArray::number(pid) + "\n"); }
    void start(int pid, const QByteArray& env, double age = 60, char state = 'S', int parent = 1, const QByteArray& cgroup = "0::/\n")
    {
        const QString stat = QString("%1 (odd (name) x) %2 %3 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0 %4\n").arg(pid).arg(state).arg(parent);
        writeFile(folder(pid) + "/stat", stat.arg(qulonglong((1000 - age) * ::sysconf(_SC_CLK_TCK))).toUtf8());
        writeFile(folder(pid) + "/environ", env);
        writeFile(folder(pid) + "/cgroup", cgroup);
        setLastPid(++lastPid);
    }
    void record(char kind, const RunningApplication& a)
    {
        events << QString("%1%2 %3").arg(kind).arg(a.pid).arg(a.applicationIdentifier), listThen = list();
    }
    // The changes reported while the clock moves on, sorted, then the list as it was at the last one.
    QString scan(std::chrono::milliseconds wait)
    {
        events.clear(), listThen.clear();
        scheduler.advance(wait);
        events.sort();
        return (events << listThen).join(' ').trimmed();
    }
    QString list() const
    {
        QStringList list;
        for (const RunningApplication& a : workspace->runningApplications())
            list << QString("%1:%2").arg(a.pid).arg(a.applicationIdentifier);
        return "[" + (list.sort(), list.join(' ')) + "]";
    }
    QTemporaryDir dir;
    int lastPid = 100;
    VirtualScheduler scheduler;
    std::unique_ptr<ProcWorkspace> workspace;
    QStringList events;
    QString listThen;
};
} // namespace

TEST_F(ProcWorkspaceScan, ChangesAreReportedAtTheNextScanWithTheListChangedAndYoungProcessesAreReadAgain)
{
    const QByteArray unit = "0::/user.slice/user@1000.service/app.slice/app-gnome-u-4242.scope\n";
    start(10, launchedFrom("a"), 60, 'S', 1, unit); // the launch environment comes before Flatpak, Flatpak before the unit
    writeFile(folder(10) + "/root/.flatpak-info", "[Application]\nname=b\n");
    start(11, {}, 60, 'S', 1, unit);
    writeFile(folder(11) + "/root/.flatpak-info", "[Application]\nname=b\n");
    start(12, {}, 60, 'S', 1, unit);
    start(500, launchedFrom("p")); // the helper, with a launch variable it inherited, what it started and what that started
    start(501, launchedFrom("p"), 60, 'S', 500, unit);
    start(502, launchedFrom("p"), 60, 'S', 501);
    start(503, QByteArray(2 << 20, 'x') + '\0' + launchedFrom("p")); // a launch environment of 2 MiB, the variable last
    if (canActAsAnotherUser()) { // another user's process
        start(504, launchedFrom("p"));
        ASSERT_EQ(::chown(QFile::encodeName(folder(504)).constData(), 12345, 12345), 0);
    }
    for (const int pid : { 31, 40, 75, 80 })
        start(pid, launchedFrom(pid == 31 ? "t" : "p"));
    start(60, "HOME=/home/u", 10); // old and without an identifier: settled
    workspace = std::make_unique<ProcWorkspace>(scheduler, dir.path(), ProcWorkspace::Options { 500, ProcWorkspace::scanInPlace });
    QObject::connect(workspace.get(), &Workspace::applicationLaunched, [this](const RunningApplication& a) { record('+', a); });
    QObject::connect(workspace.get(), &Workspace::applicationTerminated, [this](const RunningApplication& a) { record('-', a); });
    EXPECT_EQ(list(), "[10:a 11:b 12:u 31:t 40:p 503:p 75:p 80:p]"); // the starting list is no launch
    start(20, launchedFrom("p"), 0.1);
    EXPECT_EQ(scan(999ms), "");
    EXPECT_EQ(scan(1ms), "+20 p [10:a 11:b 12:u 20:p 31:t 40:p 503:p 75:p 80:p]");
    QDir(folder(20)).removeRecursively(), QDir(folder(40)).removeRecursively();
    start(40, launchedFrom("t"), 0.1); // a reused pid
    EXPECT_EQ(scan(1s), "+40 t -20 p -40 p [10:a 11:b 12:u 31:t 40:t 503:p 75:p 80:p]");
    start(50, "HOME=/home/u", 0.2); // seen between fork and exec
    EXPECT_EQ(scan(500ms), "");
    writeFile(folder(50) + "/environ", launchedFrom("p"));
    writeFile(folder(60) + "/environ", launchedFrom("p"));
    setLastPid(150);
    EXPECT_EQ(scan(500ms), "+50 p [10:a 11:b 12:u 31:t 40:t 503:p 50:p 75:p 80:p]");
    // No pid handed out since the last scan: no listing, and the end of an application that no pidfd watches waits.
    start(70, launchedFrom("p"), 0.1);
    start(80, launchedFrom("p"), 60, 'Z');
    setLastPid(150);
    EXPECT_EQ(scan(1s), "");
    QDir(folder(75)).removeRecursively(); // its pid may be taken already: the same scan lists
    workspace->launchAnnounced(0);
    EXPECT_EQ(scan(1ms), "+70 p -75 p -80 p [10:a 11:b 12:u 31:t 40:t 503:p 50:p 70:p]");
    workspace->launchAnnounced(60); // settled, yet looked at again at once when its launch is announced
    EXPECT_EQ(scan(1ms), "+60 p [10:a 11:b 12:u 31:t 40:t 503:p 50:p 60:p 70:p]");
    if (canActAsAnotherUser()) { // another user's young process, until it drops to this user
        start(505, launchedFrom("p"), 0.1);
        ASSERT_EQ(::chown(QFile::encodeName(folder(505)).constData(), 12345, 12345), 0);
        EXPECT_EQ(scan(1s), "");
        ASSERT_EQ(::chown(QFile::encodeName(folder(505)).constData(), 0, 0), 0);
        EXPECT_EQ(scan(1s), "+505 p [10:a 11:b 12:u 31:t 40:t 503:p 505:p 50:p 60:p 70:p]");
    }
    workspace.reset();
    EXPECT_TRUE(scheduler.pendingDelays().empty());
    EXPECT_TRUE(ProcWorkspace(scheduler, "/nonexistent/proc", {}).runningApplications().isEmpty());
}

// A scan still running when the workspace ends (its wait ran out) reaches neither it nor its scheduler, which may be
// gone by then (the sanitizers see any touch).
TEST_F(ProcWorkspaceScan, AScanThatOutlivesTheWorkspaceTouchesNothingOfIt)
{
    auto mainThread = std::make_unique<VirtualScheduler>();
    std::function<void()> late;
    workspace = std::make_unique<ProcWorkspace>(*mainThread, dir.path(), ProcWorkspace::Options { 500, [&](auto scan) { late = scan; } });
    start(10, launchedFrom("a"));
    mainThread->advance(1s);
    ASSERT_TRUE(late);
    workspace.reset(), mainThread.reset();
    late();
}

TEST(ProcWorkspace, IdentityFromTheLaunchEnvironmentFlatpakInfoAndTheSystemdUnit)
{
    const QByteArray premiere = "/usr/share/applications/com.adobe.PremierePro.desktop";
    // Process 77 starts at tick 200. The processes its ..._PID may name: Premiere, which launched it; a terminal that a
    // launcher started, whose shell started it; one younger than it (a reused pid); one whose environment is unreadable.
    const std::map<pid_t, ProcWorkspace::NamedProcess> named {
        { 76, { .startTime = 100, .environment = launchedFrom(premiere, "GIO_LAUNCHED_DESKTOP_FILE_PID=76") } },
        { 75, { .startTime = 200, .environment = launchedFrom("/usr/share/applications/org.gnome.Terminal.desktop") } },
        { 74, { .startTime = 201, .environment = launchedFrom("/usr/share/applications/org.gnome.Terminal.desktop") } },
        { 73, { .startTime = 100, .environment = {} } } };
    const auto lookUp = [&](pid_t pid) { return named.contains(pid) ? std::optional(named.at(pid)) : std::nullopt; };
    for (const auto& [environ, identifier] : std::vector<std::pair<QByteArray, QString>> {
             { launchedFrom(premiere), "com.adobe.PremierePro" }, { launchedFrom("/opt/x/com.example.Tool"), "com.example.Tool" },
             { QByteArray("GIO_LAUNCHED_DESKTOP_FILE=/a/b.desktop"), "b" },
             { launchedFrom(premiere, "GIO_LAUNCHED_DESKTOP_FILE_PID=77"), "com.adobe.PremierePro" },
             { launchedFrom(premiere, "GIO_LAUNCHED_DESKTOP_FILE_PID=76"), "" }, // started by Premiere
             { launchedFrom(premiere, "GIO_LAUNCHED_DESKTOP_FILE_PID=75"), "com.adobe.PremierePro" }, // from a terminal
             { launchedFrom(premiere, "GIO_LAUNCHED_DESKTOP_FILE_PID=74"), "" }, // the launcher's pid reused
             { launchedFrom(premiere, "GIO_LAUNCHED_DESKTOP_FILE_PID=73"), "" },
             { launchedFrom(premiere, "GIO_LAUNCHED_DESKTOP_FILE_PID=72"), "" }, // no such process: Premiere has quit
             { "HOME=/home/u", "" }, { QByteArray("X_GIO_LAUNCHED_DESKTOP_FILE=/a/b.desktop\0", 41), "" },
             { launchedFrom("/a/\xff\xfe.desktop"), "" } })
        EXPECT_EQ(ProcWorkspace::identifierFromEnvironment(environ, 77, 200, lookUp), identifier) << environ.toStdString();
    for (const auto& [info, identifier] : std::vector<std::pair<QByteArray, QString>> {
             { "[Application]\nname=org.videolan.VLC\n", "org.videolan.VLC" }, { "[Runtime]\nname=org.a.B\n", "" },
             { "[Instance]\nname=wrong\n[Application]\nruntime=x\nname = com.a.B \n", "com.a.B" } })
        EXPECT_EQ(ProcWorkspace::identifierFromFlatpakInfo(info), identifier) << info.toStdString();
    const QString terminal = "org.gnome.Terminal";
    for (const auto& [unit, identifier] : std::vector<std::pair<QString, QString>> {
             { "app-gnome-org.gnome.Terminal-4242.scope", terminal }, { "app-org.gnome.Terminal-4242.scope", terminal },
             { "app-org.gnome.Terminal.service", terminal }, { "app-gnome-org.gnome.Terminal.service", terminal },
             { "app-gnome-org.gnome.Terminal@f00d.service", terminal },
             { "app-gnome-org.gnome.Evolution\\x2dalarm\\x2dnotify-9.scope", "org.gnome.Evolution-alarm-notify" },
             { "org.gnome.Shell@wayland.service", "" }, { "session-2.scope", "" }, { "app-gnome-org.gnome.Terminal-4242.slice", "" },
             { "app-a-b-c-d.scope", "" }, { "app-a-b-c.service", "" }, { "app-.service", "" }, { "app-x.scope", "" } })
        EXPECT_EQ(ProcWorkspace::identifierFromUnitName(unit), identifier) << unit.toStdString();
    const QByteArray slice = "0::/user.slice/user-1000.slice/user@1000.service/app.slice/";
    for (const auto& [cgroup, identifier] : std::vector<std::pair<QByteArray, QString>> {
             { slice + "app-gnome-org.gnome.Terminal-4242.scope\n", terminal },
             { slice + "app-org.gnome.Terminal.slice/vte-spawn-12.scope\n", "" }, // inside a terminal is not the terminal
             { "4:memory:/x\n1:name=systemd:/user.slice/app-com.example.Tool.service\n", "com.example.Tool" }, { "0::/\n", "" } })
        EXPECT_EQ(ProcWorkspace::identifierFromCgroup(cgroup), identifier) << cgroup.toStdString();
}

TEST(PremiereWatcher, OnlyAPremiereIdentifierCountsAndEachChangeIsAnnouncedThenLogged)
{
    const RunningApplication premiere { 501, "com.adobe.PremierePro" }, beta { 502, "com.adobe.PremierePro.Beta" };
    LogCapture log;
    FakeWorkspace workspace({ { 301, "com.adobe.premierepro" }, { 302, "x.com.adobe.PremierePro" }, { 303, "com.adobe.Premiere" } });
    PremiereWatcher watcher(workspace);
    QStringList seen; // each announcement: "value/the watcher's value then/lines logged then"
    QObject::connect(&watcher, &PremiereWatcher::isPremiereRunningChanged, [&](bool value) {
        seen << QString("%1/%2/%3").arg(value).arg(watcher.isPremiereRunning()).arg(log.messages().size());
    });
    workspace.launch({ 305, "org.gnome.Terminal" }); // others cause no scan
    workspace.notifyLaunch(premiere);                // a launch the list does not show
    EXPECT_FALSE(watcher.isPremiereRunning());
    workspace.launch(premiere), workspace.launch(beta), workspace.quit(premiere), workspace.quit(beta);
    EXPECT_EQ(seen, QStringList({ "1/1/0", "0/0/1" }));
    EXPECT_EQ(workspace.scans, 6);
    EXPECT_EQ(log.messages().join(' '), "PremiereWatcher: isPremiereRunning = true PremiereWatcher: isPremiereRunning = false");
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

TEST(LoginItem, TheEntryDecidesTheStatusRegisterWritesAQuotedOneAndEveryFailureIsLoggedAndThrown)
{
    using enum LoginItemStatus;
    const QByteArray entry = "[Desktop Entry]\nType=Application\nName=Tessaryn Helper\nExec=\"" + executable.toUtf8() + "\"\n";
    for (const auto& [text, status] : std::vector<std::pair<QByteArray, LoginItemStatus>> {
             { entry, enabled }, { entry + "Hidden=true\n", notRegistered }, { entry + "[Desktop Action x]\nHidden=true\n", enabled },
             { entry + "X-GNOME-Autostart-enabled=false\n", notRegistered }, { "[Desktop Entry]\nExec=/x\n", notRegistered },
             { "[Desktop Entry]\nExec=" + executable.toUtf8() + " --quiet\n", enabled } }) {
        ScopedConfigHome config;
        writeFile(config.entry(), text);
        EXPECT_EQ(LoginItem::status(executable), status) << text;
    }
    ScopedConfigHome config;
    EXPECT_EQ(LoginItem::status(executable), notRegistered);
    EXPECT_EQ(LoginItem::status(QString()), notFound);
    const QString odd = "/tmp/My Apps/50% \"off\"/$HOME/back\\slash/`tick`";
    LoginItem::registerApp(odd); // replaces the entry
    EXPECT_TRUE(readLines(config.entry()).contains(
        "Exec=\"/tmp/My Apps/50%% \\\\\"off\\\\\"/\\\\$HOME/back\\\\\\\\slash/\\\\`tick\\\\`\""));
    EXPECT_TRUE(readLines(config.entry()).contains("TryExec=/tmp/My Apps/50% \"off\"/$HOME/back\\\\slash/`tick`"));
    EXPECT_EQ(LoginItem::status(odd), enabled);
    LoginItem::unregisterApp();
    EXPECT_FALSE(QFile::exists(config.entry()));
    EXPECT_NO_THROW(LoginItem::unregisterApp());
    ScopedHome home;
    ScopedEnv relative("XDG_CONFIG_HOME", QByteArray("config")); // not an absolute folder: under the home folder
    LoginItem::registerApp(executable);
    EXPECT_TRUE(QFile::remove(home.path() + "/.config/autostart/app.marovant.tessaryn-helper.desktop"));
    // Each row: what stands in the way, the executable to register (none: unregister), and what the error names.
    const std::vector<std::tuple<std::function<void(const ScopedConfigHome&)>, std::optional<QString>, QString>> cases {
        { [](auto& c) { writeFile(c.path() + "/autostart", "a file where the folder belongs"); }, executable, "/autostart" },
        { [](auto& c) { QDir().mkpath(c.entry()); }, executable, "/autostart/app.marovant.tessaryn-helper.desktop" },
        { [](auto&) { }, QString(), "The running executable cannot be determined" },
        { [](auto& c) { writeFile(c.entry() + "/inside", "x"); }, std::nullopt, "/autostart/app.marovant.tessaryn-helper.desktop" },
    };
    for (const auto& [arrange, path, named] : cases) {
        ScopedConfigHome config;
        arrange(config);
        LogCapture log;
        const QString error = errorOf<LoginItemError>([&] { path ? LoginItem::registerApp(*path) : LoginItem::unregisterApp(); });
        EXPECT_TRUE(error.contains(named.startsWith('/') ? config.path() + named : named)) << error;
        EXPECT_EQ(log.messages(), QStringList { QString(path ? "LoginItem.register" : "LoginItem.unregister") + " failed: " + error });
        EXPECT_FALSE(QFileInfo(config.entry()).isFile());
    }
}
