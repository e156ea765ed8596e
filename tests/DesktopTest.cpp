#include "Environment/PathDiscovery.h"
#include "Adapters/Linux/ApplicationIdentity.h"
#include "Adapters/Linux/ProcWorkspace.h"
#include "Foundation/RegularFile.h"
#include "Platform/LoginItem.h"
#include "Premiere/PremiereWatcher.h"
#include "TestSupport.h"

#include <QDir>
#include <QTimeZone>

#include <gtest/gtest.h>

#include <map>
#include <unistd.h>

using namespace std::chrono_literals;

namespace {
template <typename E> QString errorOf(const std::function<void()>& act)
{
    try {
        act();
    } catch (const E& error) {
        return error.what();
    }
    return {};
}

template <typename In, typename F> void expectRows(F f, const std::vector<std::pair<In, QString>>& rows)
{
    for (const auto& [in, out] : rows) EXPECT_EQ(f(in), out) << in;
}

class PathDiscoveryTest : public ::testing::Test {
protected:
    void useShell(const QByteArray& body)
    {
        writeFile(home.path() + "/sh", "#!/bin/sh\necho \"$*\" >> ~/runs\n" + body, true);
        shell.emplace("SHELL", QFile::encodeName(home.path() + "/sh"));
    }
    QString at(qint64 seconds)
    {
        return PathDiscovery::loadOrDiscover([=, this] { return t0.addSecs(seconds); });
    }
    ScopedHome home;
    std::optional<ScopedEnv> shell;
    const QDateTime t0 { QDate(2026, 12, 1), QTime(12, 0), QTimeZone::utc() };
};
} // namespace

TEST_F(PathDiscoveryTest, LastLineIsThePathAHangingShellIsKilled)
{
    useShell("printf 'Welcome back!\\n\\n  /opt/x bin:/usr/bin \\r\\n\\n'; head -c 2000000 /dev/zero >&2");
    EXPECT_EQ(PathDiscovery::discover(), "/opt/x bin:/usr/bin");
    EXPECT_EQ(readLines(home.path() + "/runs"), QStringList { "-ilc /usr/bin/printenv PATH" });
    const QByteArray longest = "/" + QByteArray(32 * 1024 - 1, 'a');
    EXPECT_EQ(PathDiscovery::pathFromShellOutput(longest).size(), longest.size());
    for (const QByteArray& output : QByteArrayList { " \n\n", "/usr/bin\nWelcome back!\n",
                                                     ".:~/bin::", "/usr/bin\x1b[0m", longest + 'a' })
        EXPECT_THROW(PathDiscovery::pathFromShellOutput(output), PathDiscoveryError) << output.left(40);
    EXPECT_EQ(errorOf<PathDiscoveryError>([] { PathDiscovery::pathFromShellOutput("/usr/bin\377"); }),
              "Non-UTF8 PATH output");
    // Relative and empty entries dropped; zsh when SHELL is unset.
    ScopedEnv config("XDG_CONFIG_HOME", std::nullopt);
    for (const QString profile : { "/.zprofile", "/.bash_profile", "/.profile" })
        writeFile(home.path() + profile, "export PATH=/p/1::.:'~/b':/p/2:");
    writeFile(home.path() + "/.config/fish/config.fish", "set -gx PATH /p/1 '' . '~/b' /p/2 ''");
    for (const char* sh : { "", "/bin/bash", "/bin/dash", "/bin/ksh", "/usr/bin/fish" }) {
        shell.emplace("SHELL", *sh ? std::optional<QByteArray>(sh) : std::nullopt);
        EXPECT_EQ(PathDiscovery::discover(), "/p/1:/p/2") << sh;
    }
    useShell("sleep 60 & echo $! > ~/sleeper; wait");
    EXPECT_EQ(
        errorOf<PathDiscoveryError>([] { PathDiscovery::discover(1500ms); }), // time for the shell to start
        "the login shell " + home.path() + "/sh did not answer within 1.5 s");
    const pid_t sleeper = readFile(home.path() + "/sleeper").toInt();
    EXPECT_TRUE(sleeper > 0 && waitFor([&] { return processGone(sleeper); }));
}

TEST_F(PathDiscoveryTest, CacheServesSevenDaysOutlivesAFailure)
{
    const QString cache = PathDiscovery::cacheFilePath();
    useShell("echo /cached/bin");
    EXPECT_EQ(at(0), "/cached/bin");
    EXPECT_EQ(readFile(cache),
              "{\n  \"path\" : \"/cached/bin\",\n  \"discoveredAt\" : \"2026-12-01T12:00:00Z\"\n}");
    useShell("echo /fresh/bin");
    EXPECT_EQ(at(604799), "/cached/bin");
    EXPECT_EQ(at(604800), "/fresh/bin");
    // Another form, 2.5 hours ahead.
    const QByteArray other =
        QByteArray(R"({"discoveredAt": "2026-12-01t16:30:00.5+02:00", "extra": 1, "path": "/other"})")
            .leftJustified(64 * 1024);
    writeFile(cache, other);
    EXPECT_EQ(at(0), "/other");
    EXPECT_EQ(at(604800 + 9000), "/other");
    EXPECT_EQ(at(604801 + 9000), "/fresh/bin");
    for (const QByteArray& corrupt :
         QByteArrayList { "not json", R"({"path": "/x"})", R"(["/x", "2026-12-01T12:00:00Z"])",
                          R"({"path": 5, "discoveredAt": "2026-12-01T12:00:00Z"})",
                          R"({"path": "/\t", "discoveredAt": "2026-12-01T12:00:00Z"})", other + ' ' }) {
        writeFile(cache, corrupt);
        EXPECT_EQ(at(0), "/fresh/bin") << corrupt.left(80);
    }
    for (const QString date : { "2026-12-01", "2026-12-01T12:00:00", "2026-12-01 12:00:00Z",
                                "2026-13-01T12:00:00Z", "2026-12-01T12:00:00+24:00" })
        EXPECT_FALSE(PathDiscovery::parseInternetDateTime(date).isValid()) << date;
    useShell("printf '\\377'");
    EXPECT_EQ(at(0), "/fresh/bin"); // the cache that replaced the last corrupt one
    EXPECT_FALSE(
        RegularFile::read("/dev/zero", 1024, RegularFile::Oversize::truncate)); // only regular files are read
    const QByteArray stale = R"({"path": "/x", "discoveredAt": "2020-01-01T00:00:00Z"})";
    writeFile(cache, stale);
    EXPECT_THROW(at(0), PathDiscoveryError);
    EXPECT_EQ(readFile(cache), stale);
    useShell("echo /discovered");
    EXPECT_THROW(at(299), PathDiscoveryError);
    EXPECT_EQ(readLines(home.path() + "/runs").size(), 10);
    QDir(home.path() + "/.cache").removeRecursively();
    writeFile(home.path() + "/.cache", "a file where the folder should be");
    EXPECT_EQ(at(300), "/discovered"); // an unwritable cache is no failure
    useShell("printf '\\377'");
    EXPECT_THROW(at(400), PathDiscoveryError);
    useShell("echo /discovered");
    EXPECT_EQ(at(399), "/discovered"); // a clock set back ends the pause
}

namespace {
QByteArray launched(const QByteArray& file, const QByteArray& pid = {})
{
    QByteArray env = "HOME=/h\nGIO_LAUNCHED_DESKTOP_FILE=" + file
        + (pid.isEmpty() ? "" : "\nGIO_LAUNCHED_DESKTOP_FILE_PID=" + pid);
    return env.append("\nLANG=C").replace('\n', '\0');
}

// The helper is pid 500.
class ProcScan : public ::testing::Test {
protected:
    ProcScan() { writeFile(dir.path() + "/uptime", "1000.00 1.00\n"), setLastPid(lastPid); }
    QString folder(int pid) const { return dir.path() + "/" + QString::number(pid); }
    void setLastPid(int pid)
    {
        writeFile(dir.path() + "/loadavg", "0.1 0.2 0.3 1/200 " + QByteArray::number(pid) + "\n");
    }
    void start(int pid, const QByteArray& env, double age = 60, char state = 'S', int parent = 1,
               const QByteArray& cgroup = "0::/\n")
    {
        const QString stat = QString("%1 (odd (name) x) %2 %3 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0 %4\n")
                                 .arg(pid)
                                 .arg(state)
                                 .arg(parent);
        writeFile(folder(pid) + "/stat",
                  stat.arg(qulonglong((1000 - age) * ::sysconf(_SC_CLK_TCK))).toUtf8());
        writeFile(folder(pid) + "/environ", env);
        writeFile(folder(pid) + "/cgroup", cgroup);
        setLastPid(++lastPid);
    }
    void ownBy(int pid, uid_t user)
    {
        ASSERT_EQ(::chown(QFile::encodeName(folder(pid)).constData(), user, user), 0);
    }
    QString scan(Scheduler::Duration by = ProcWorkspace::scanInterval) // the notices meanwhile
    {
        events.clear();
        scheduler.advance(by);
        return (events.sort(), events.join(' '));
    }
    QTemporaryDir dir;
    int lastPid = 100;
    VirtualScheduler scheduler;
    std::unique_ptr<ProcWorkspace> workspace;
    QStringList events;
};
} // namespace

TEST_F(ProcScan, ChangesAtTheNextScanYoungProcessesReadAgain)
{
    const QByteArray unit = "0::/user.slice/user@1000.service/app.slice/app-gnome-u-4242.scope\n";
    for (const int pid : { 10, 11, 12 }) // precedence: launch variable, Flatpak, unit
        start(pid, pid == 10 ? launched("a") : "", 60, 'S', 1, unit);
    for (const int pid : { 10, 11 })
        writeFile(folder(pid) + "/root/.flatpak-info", "[Application]\nname=b\n");
    start(500, launched("p")); // the helper, its child and grandchild (inherited variable)
    start(501, launched("p"), 60, 'S', 500, unit);
    start(502, launched("p"), 60, 'S', 501);
    start(503, QByteArray(2 << 20, 'x') + '\0' + launched("p"));
    if (canActAsAnotherUser()) start(504, launched("p")), ownBy(504, 12345);
    for (const int pid : { 75, 80 }) start(pid, launched("p"));
    start(60, "HOME=/h"); // old, unidentified: settled
    workspace =
        std::make_unique<ProcWorkspace>(scheduler, dir.path(), ProcWorkspace::Options { 500, &scheduler });
    QStringList list;
    for (const RunningApplication& a : workspace->runningApplications())
        list << QString("%1:%2").arg(a.pid).arg(a.applicationIdentifier);
    EXPECT_EQ((list.sort(), list.join(' ')), "10:a 11:b 12:u 503:p 75:p 80:p");
    for (const char kind : { '+', '-' })
        QObject::connect(workspace.get(),
                         kind == '+' ? &Workspace::applicationLaunched : &Workspace::applicationTerminated,
                         [this, kind](const RunningApplication& a) {
                             events << QString("%1%2 %3").arg(kind).arg(a.pid).arg(a.applicationIdentifier);
                             EXPECT_EQ(workspace->runningApplications().contains(a),
                                       kind == '+'); // the list changed first
                         });
    start(20, launched("p"), 0.1);
    EXPECT_EQ(scan(1s), "");
    EXPECT_EQ(scan(), "+20 p");
    start(20, launched("t"), 0.2); // a reused pid
    start(50, "HOME=/h", 0.1);     // between fork and exec
    EXPECT_EQ(scan(), "+20 t -20 p");
    writeFile(folder(50) + "/environ", launched("p"));
    writeFile(folder(60) + "/environ", launched("p"));
    setLastPid(150);
    EXPECT_EQ(scan(), "+50 p");
    // No pid handed out since the last scan: no listing, and an end that no pidfd watches waits.
    start(70, launched("p"), 0.1);
    start(80, launched("p"), 60, 'Z');
    setLastPid(150);
    EXPECT_EQ(scan(), "");
    QDir(folder(75)).removeRecursively(); // its pid may be taken already: the same scan lists
    workspace->launchAnnounced(0);
    EXPECT_EQ(scan(1ms), "+70 p -75 p -80 p");
    workspace->launchAnnounced(60); // settled, yet read again
    EXPECT_EQ(scan(1ms), "+60 p");
    if (canActAsAnotherUser()) { // another user's young process, until it drops to this one
        start(505, launched("p"), 0.1), ownBy(505, 12345);
        EXPECT_EQ(scan(), "");
        ownBy(505, 0);
        EXPECT_EQ(scan(), "+505 p");
    }
    start(61, "HOME=/h"); // settled, then Premiere in place: no new pid; a sweep lists within 30 s
    EXPECT_EQ(scan(), "");
    writeFile(folder(61) + "/stat", readFile(folder(61) + "/stat").replace("odd (name) x", "premiere"));
    writeFile(folder(61) + "/environ", launched("p"));
    EXPECT_EQ(scan(30s), "+61 p");
    workspace.reset();
    EXPECT_TRUE(scheduler.pendingDelays().empty());
    EXPECT_TRUE(ProcWorkspace(scheduler, "/nonexistent/proc", {}).runningApplications().isEmpty());
}

// Its scheduler may be gone too (the sanitizers see any touch).
TEST_F(ProcScan, AScanOutlivingTheWorkspaceTouchesNothing)
{
    auto mainThread = std::make_unique<VirtualScheduler>();
    VirtualScheduler work;
    workspace =
        std::make_unique<ProcWorkspace>(*mainThread, dir.path(), ProcWorkspace::Options { 500, &work });
    start(10, launched("a"));
    workspace->launchAnnounced(0);
    workspace.reset(), mainThread.reset();
    work.advance(2s);
    EXPECT_TRUE(work.pendingDelays().empty());
}

TEST(ApplicationIdentity, FromLaunchVariableFlatpakOrUnit)
{
    // Process 77 started at tick 200; its ..._PID may name its starter; a launcher's terminal, whose shell
    // started it; a younger one (a reused pid); an unreadable one.
    const QByteArray app = "/a/p.desktop", terminal = "/a/t.desktop";
    const std::map<pid_t, ApplicationIdentity::NamedProcess> named { { 76, { 100, launched(app, "76") } },
                                                                     { 75, { 200, launched(terminal) } },
                                                                     { 74, { 201, launched(terminal) } },
                                                                     { 73, { 100, {} } } };
    const auto fromEnvironment = [&](const QByteArray& environment) {
        return ApplicationIdentity::fromEnvironment(environment, 77, 200, [&](pid_t pid) {
            return named.contains(pid) ? std::optional(named.at(pid)) : std::nullopt;
        });
    };
    expectRows<QByteArray>(fromEnvironment,
                           { { launched(app), "p" },
                             { launched("/a/Tool"), "Tool" },
                             { "GIO_LAUNCHED_DESKTOP_FILE=/a/b.desktop", "b" },
                             { launched(app, "77"), "p" },
                             { launched(app, "76"), "" },
                             { launched(app, "75"), "p" },
                             { launched(app, "74"), "" },
                             { launched(app, "73"), "" },
                             { launched(app, "72"), "" },
                             { "HOME=/h", "" },
                             { "XGIO_LAUNCHED_DESKTOP_FILE=/a/b.desktop", "" },
                             { launched("/a/\xff.desktop"), "" } });
    EXPECT_EQ(
        ApplicationIdentity::fromFlatpakInfo("[Instance]\nname=no\n[Application]\nruntime=x\nname = a.B \n"),
        "a.B");
    // One row per branch of app[-<launcher>]-<id>[@<random>].service and
    // app[-<launcher>]-<id>-<random>.scope.
    expectRows<QString>(ApplicationIdentity::fromUnitName,
                        { { "app-gnome-a.B\\x2dc-9.scope", "a.B-c" },
                          { "app-a.B-9.scope", "a.B" },
                          { "app-a.B.service", "a.B" },
                          { "app-gnome-a.B@f00d.service", "a.B" },
                          { "a.B@wayland.service", "" },
                          { "app-gnome-a.B-9.slice", "" },
                          { "app-a-b-c-d.scope", "" },
                          { "app-a-b-c.service", "" },
                          { "app-.service", "" },
                          { "app-x.scope", "" } });
    const QByteArray slice = "0::/user.slice/user@1000.service/app.slice/";
    expectRows<QByteArray>(ApplicationIdentity::fromCgroup,
                           { { slice + "app-gnome-a.B-9.scope\n", "a.B" },
                             { slice + "app-a.B.slice/vte-spawn-1.scope\n", "" }, // inside a terminal
                             { "4:memory:/x\n1:name=systemd:/user.slice/app-a.B.service\n", "a.B" } });
}

TEST(PremiereWatcher, OnlyPremiereCountsChangesAnnouncedThenLogged)
{
    const RunningApplication premiere { 501, "com.adobe.PremierePro" },
        beta { 502, "com.adobe.PremierePro.Beta" };
    LogCapture log;
    FakeWorkspace workspace({ { 301, "com.adobe.premierepro" },
                              { 302, "x.com.adobe.PremierePro" },
                              { 303, "com.adobe.Premiere" } });
    PremiereWatcher watcher(workspace);
    QStringList seen; // at each notice: its value, the watcher's, lines logged
    QObject::connect(&watcher, &PremiereWatcher::isPremiereRunningChanged, [&](bool value) {
        seen << QString("%1/%2/%3").arg(value).arg(watcher.isPremiereRunning()).arg(log.messages().size());
    });
    workspace.launch({ 305, "org.gnome.Terminal" }); // others cause no scan
    workspace.notifyLaunch(premiere);                // a launch the list does not show
    EXPECT_FALSE(watcher.isPremiereRunning());
    workspace.launch(premiere), workspace.launch(beta), workspace.quit(premiere), workspace.quit(beta);
    EXPECT_EQ(seen, QStringList({ "1/1/0", "0/0/1" }));
    EXPECT_EQ(workspace.scans, 6);
}

namespace {
const QString executable = "/opt/tessaryn/bin/tessaryn-helper",
              entryName = "/autostart/app.marovant.tessaryn-helper.desktop";
struct ConfigHome {
    QTemporaryDir dir;
    ScopedEnv env { "XDG_CONFIG_HOME", QFile::encodeName(dir.path()) };
    QString entry() const { return dir.path() + entryName; }
};
} // namespace

TEST(LoginItem, EntryDecidesStatusFailuresLoggedAndThrown)
{
    using enum LoginItemStatus;
    ConfigHome config;
    EXPECT_EQ(LoginItem::status(QString()), notFound);
    const QByteArray entry = "[Desktop Entry]\nExec=\"" + executable.toUtf8() + "\"\n";
    for (const auto& [text, status] : std::vector<std::pair<QByteArray, LoginItemStatus>> {
             { entry, enabled },
             { entry + "Hidden=true\n", notRegistered },
             { entry + "[Desktop Action x]\nHidden=true\n", enabled },
             { entry + "X-GNOME-Autostart-enabled=false\n", notRegistered },
             { "[Desktop Entry]\nExec=/x\n", notRegistered },
             { "[Desktop Entry]\nExec=" + executable.toUtf8() + " --quiet\n", enabled } }) {
        writeFile(config.entry(), text);
        EXPECT_EQ(LoginItem::status(executable), status) << text;
    }
    const QString odd = "/tmp/My Apps/50% \"off\"/$HOME/back\\slash/`tick`";
    LoginItem::registerApp(odd);
    EXPECT_TRUE(
        readLines(config.entry())
            .contains(
                "Exec=\"/tmp/My Apps/50%% \\\\\"off\\\\\"/\\\\$HOME/back\\\\\\\\slash/\\\\`tick\\\\`\""));
    EXPECT_TRUE(
        readLines(config.entry()).contains("TryExec=/tmp/My Apps/50% \"off\"/$HOME/back\\\\slash/`tick`"));
    EXPECT_EQ(LoginItem::status(odd), enabled);
    LoginItem::unregisterApp(), LoginItem::unregisterApp(); // nothing left to remove is no error
    EXPECT_EQ(LoginItem::status(odd), notRegistered);
    ScopedHome home;
    ScopedEnv relative("XDG_CONFIG_HOME", QByteArray("config")); // not absolute: ignored
    LoginItem::registerApp(executable);
    EXPECT_TRUE(QFile::exists(home.path() + "/.config" + entryName));
    // A file in the way, the executable to register (none: unregister), what the error names.
    for (const auto& [blocker, path, named] :
         std::vector<std::tuple<QString, std::optional<QString>, QString>> {
             { "/autostart", executable, "/autostart:" },
             { entryName + "/x", executable, entryName + ":" },
             { "", QString(), "The running executable cannot be determined" },
             { entryName + "/x", std::nullopt, entryName + ":" } }) {
        ConfigHome config;
        if (!blocker.isEmpty()) writeFile(config.dir.path() + blocker, "x");
        LogCapture log;
        const QString error = errorOf<LoginItemError>(
            [&] { path ? LoginItem::registerApp(*path) : LoginItem::unregisterApp(); });
        EXPECT_TRUE(error.contains(named)) << error;
        EXPECT_EQ(log.messages(),
                  QStringList { QString(path ? "LoginItem.register" : "LoginItem.unregister")
                                + " failed: " + error });
    }
}
