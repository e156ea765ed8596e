#include "Adapters/Linux/ProcWorkspace.h"

#include "TestSupport.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <unistd.h>

using namespace std::chrono_literals;

namespace {

// A /proc tree in a temporary folder: uptime, loadavg and one folder per process.
class FakeProc {
public:
    FakeProc()
    {
        setUptime(1000);
        setLastPid(100);
    }
    QString root() const { return dir_.path(); }

    void setUptime(double seconds)
    {
        uptime_ = seconds;
        writeFile(root() + "/uptime", QByteArray::number(seconds, 'f', 2) + " 1.00\n");
    }
    void setLastPid(int pid)
    {
        writeFile(root() + "/loadavg", "0.10 0.20 0.30 1/200 " + QByteArray::number(pid) + "\n");
    }
    // Also moves the kernel's last handed-out pid on, as a real start does.
    void start(int pid, const QByteArray& environ = {}, const QByteArray& cgroup = "0::/user.slice\n",
               double ageSeconds = 60, char state = 'S')
    {
        const unsigned long long startTicks = (uptime_ - ageSeconds) * ticks();
        setStat(pid, startTicks, state);
        writeFile(folder(pid) + "/environ", environ);
        writeFile(folder(pid) + "/cgroup", cgroup);
        lastPid_ = std::max(lastPid_ + 1, pid);
        setLastPid(lastPid_);
    }
    void setStat(int pid, unsigned long long startTicks, char state = 'S')
    {
        writeFile(folder(pid) + "/stat",
                  QByteArray::number(pid) + " (odd (name) x) " + state
                      + " 1 1 1 0 -1 4194560 10 0 0 0 1 1 0 0 20 0 1 0 " + QByteArray::number(startTicks)
                      + " 1000 50 18446744073709551615 0 0 0 0 0 0 0 0 0 0 0 0 17 0 0 0 0 0 0\n");
    }
    void setEnviron(int pid, const QByteArray& environ) { writeFile(folder(pid) + "/environ", environ); }
    void setFlatpakInfo(int pid, const QByteArray& info) { writeFile(folder(pid) + "/root/.flatpak-info", info); }
    void end(int pid)
    {
        QDir(folder(pid)).removeRecursively();
        setLastPid(++lastPid_);
    }
    QString folder(int pid) const { return root() + "/" + QString::number(pid); }
    static double ticks() { return double(::sysconf(_SC_CLK_TCK)); }

private:
    QTemporaryDir dir_;
    double uptime_ = 0;
    int lastPid_ = 100;
};

QByteArray launchedFrom(const QByteArray& desktopFile)
{
    return QByteArray("HOME=/home/u\0GIO_LAUNCHED_DESKTOP_FILE=", 39) + desktopFile + QByteArray("\0LANG=C\0", 8);
}

// The events of a workspace, each with the list of running applications as it was then.
struct Recorder {
    struct Event {
        bool launched;
        RunningApplication application;
        QList<RunningApplication> runningThen;
    };
    QList<Event> events;

    explicit Recorder(Workspace& workspace)
    {
        QObject::connect(&workspace, &Workspace::applicationLaunched, &workspace, [this, &workspace](const RunningApplication& a) {
            events.append({ true, a, workspace.runningApplications() });
        });
        QObject::connect(&workspace, &Workspace::applicationTerminated, &workspace, [this, &workspace](const RunningApplication& a) {
            events.append({ false, a, workspace.runningApplications() });
        });
    }
};

const ProcWorkspace::Options inPlace { .ownProcess = ::getpid(), .executor = ProcWorkspace::scanInPlace };
const QByteArray premiereDesktop = "/usr/share/applications/com.adobe.PremierePro.desktop";

// A workspace over a fake /proc, made by watch() once the test has set up what runs at its start.
class ProcWorkspaceScan : public ::testing::Test {
protected:
    void watch()
    {
        workspace = std::make_unique<ProcWorkspace>(scheduler, proc.root(), inPlace);
        recorder = std::make_unique<Recorder>(*workspace);
    }
    QList<RunningApplication> runningByPid() const
    {
        QList<RunningApplication> running = workspace->runningApplications();
        std::sort(running.begin(), running.end(), [](auto& a, auto& b) { return a.pid < b.pid; });
        return running;
    }
    QList<Recorder::Event>& events() { return recorder->events; }

    FakeProc proc;
    VirtualScheduler scheduler;
    std::unique_ptr<ProcWorkspace> workspace;
    std::unique_ptr<Recorder> recorder;
};

} // namespace

TEST_F(ProcWorkspaceScan, TheStartingListHoldsEveryIdentifiedProcessAndIsNoLaunch)
{
    proc.start(10, launchedFrom(premiereDesktop));
    proc.start(11, {}, "0::/user.slice/user-1000.slice/user@1000.service/app.slice/app-gnome-org.gnome.Terminal-4242.scope\n");
    proc.start(12);
    proc.setFlatpakInfo(12, "[Application]\nname=org.videolan.VLC\nruntime=runtime/x\n");
    proc.start(13); // no identifier at all
    watch();

    EXPECT_EQ(runningByPid(), (QList<RunningApplication> { { 10, "com.adobe.PremierePro" }, { 11, "org.gnome.Terminal" }, { 12, "org.videolan.VLC" } }));
    scheduler.advance(2s);
    EXPECT_TRUE(events().isEmpty());
}

TEST_F(ProcWorkspaceScan, ScansEveryHalfSecondOnTheSchedulerAndStopsWhenDestroyed)
{
    watch();
    EXPECT_EQ(scheduler.pendingDelays(), std::vector<Scheduler::Duration> { 500ms });
    scheduler.advance(500ms);
    EXPECT_EQ(scheduler.pendingDelays(), std::vector<Scheduler::Duration> { 500ms });
    workspace.reset();
    EXPECT_TRUE(scheduler.pendingDelays().empty());
}

TEST_F(ProcWorkspaceScan, LaunchesAndQuitsAreReportedAtTheNextScanWithTheListAlreadyChanged)
{
    proc.start(31, launchedFrom("org.gnome.Terminal.desktop"));
    watch();
    const RunningApplication premiere { 20, "com.adobe.PremierePro" }, terminal { 31, "org.gnome.Terminal" };

    proc.start(20, launchedFrom(premiereDesktop), "0::/\n", 0.1);
    scheduler.advance(499ms);
    EXPECT_TRUE(events().isEmpty());
    scheduler.advance(1ms);
    ASSERT_EQ(events().size(), 1);
    EXPECT_TRUE(events()[0].launched);
    EXPECT_EQ(events()[0].application, premiere);
    EXPECT_EQ(events()[0].runningThen.size(), 2);
    EXPECT_TRUE(events()[0].runningThen.contains(premiere) && events()[0].runningThen.contains(terminal));

    proc.end(20);
    scheduler.advance(500ms);
    ASSERT_EQ(events().size(), 2);
    EXPECT_FALSE(events()[1].launched);
    EXPECT_EQ(events()[1].application, premiere);
    EXPECT_EQ(events()[1].runningThen, QList<RunningApplication> { terminal });
}

TEST_F(ProcWorkspaceScan, APidTakenOverByANewProcessIsAQuitAndALaunch)
{
    proc.start(40, launchedFrom(premiereDesktop));
    watch();

    proc.end(40);
    proc.start(40, launchedFrom("org.gnome.Terminal.desktop"), "0::/\n", 0.1);
    scheduler.advance(1s);

    ASSERT_EQ(events().size(), 2);
    EXPECT_FALSE(events()[0].launched);
    EXPECT_EQ(events()[0].application, (RunningApplication { 40, "com.adobe.PremierePro" }));
    EXPECT_TRUE(events()[1].launched);
    EXPECT_EQ(events()[1].application, (RunningApplication { 40, "org.gnome.Terminal" }));
    EXPECT_EQ(workspace->runningApplications(), (QList<RunningApplication> { { 40, "org.gnome.Terminal" } }));
}

TEST_F(ProcWorkspaceScan, AYoungProcessIsReadAgainUntilItsLaunchEnvironmentAppears)
{
    watch();

    // Seen between fork and exec: still the launcher's environment.
    proc.start(50, "HOME=/home/u", "0::/\n", 0.2);
    scheduler.advance(500ms);
    EXPECT_TRUE(events().isEmpty());

    proc.setEnviron(50, launchedFrom(premiereDesktop));
    scheduler.advance(500ms);
    ASSERT_EQ(events().size(), 1);
    EXPECT_EQ(events()[0].application, (RunningApplication { 50, "com.adobe.PremierePro" }));
}

TEST_F(ProcWorkspaceScan, AnOldProcessWithoutIdentifierIsNotReadAgain)
{
    proc.start(60, "HOME=/home/u", "0::/\n", 10);
    watch();

    proc.setEnviron(60, launchedFrom(premiereDesktop));
    proc.setLastPid(150);
    scheduler.advance(2s);
    EXPECT_TRUE(events().isEmpty());
    EXPECT_TRUE(workspace->runningApplications().isEmpty());
}

TEST_F(ProcWorkspaceScan, TheListingWaitsForTheKernelToHandOutANewPid)
{
    watch();

    proc.start(70, launchedFrom(premiereDesktop), "0::/\n", 0.1);
    proc.setLastPid(100); // as if no pid had been handed out since the last scan
    scheduler.advance(1s);
    EXPECT_TRUE(events().isEmpty());

    proc.setLastPid(101);
    scheduler.advance(500ms);
    EXPECT_EQ(events().size(), 1);
}

TEST_F(ProcWorkspaceScan, AProcessGoneOrAZombieHasQuitWithoutANewPid)
{
    proc.start(75, launchedFrom(premiereDesktop));
    proc.start(80, launchedFrom(premiereDesktop));
    watch();

    QDir(proc.folder(75)).removeRecursively(); // loadavg unchanged
    proc.setStat(80, (1000 - 60) * FakeProc::ticks(), 'Z');
    scheduler.advance(500ms);
    ASSERT_EQ(events().size(), 2);
    EXPECT_FALSE(events()[0].launched || events()[1].launched);
    proc.setLastPid(300);
    scheduler.advance(1s);
    EXPECT_EQ(events().size(), 2);
    EXPECT_TRUE(workspace->runningApplications().isEmpty());
}

TEST_F(ProcWorkspaceScan, AnotherUsersProcessesDoNotCount)
{
    if (::getuid() != 0)
        GTEST_SKIP() << "needs to give a folder to another user";
    proc.start(90, launchedFrom(premiereDesktop));
    ASSERT_EQ(::chown(QFile::encodeName(proc.folder(90)).constData(), 12345, 12345), 0);
    ProcWorkspace workspace(scheduler, proc.root());
    EXPECT_TRUE(workspace.runningApplications().isEmpty());
}

TEST_F(ProcWorkspaceScan, AMissingProcFolderGivesAnEmptyListAndKeepsScanning)
{
    ProcWorkspace workspace(scheduler, "/nonexistent/proc", inPlace);
    EXPECT_TRUE(workspace.runningApplications().isEmpty());
    scheduler.advance(500ms);
    EXPECT_EQ(scheduler.pendingDelays().size(), 1u);
}

TEST(ProcWorkspaceIdentity, TheLaunchEnvironmentOrFlatpakInfoNameTheApplication)
{
    for (const auto& [environ, identifier] : std::vector<std::pair<QByteArray, QString>> {
             { launchedFrom(premiereDesktop), "com.adobe.PremierePro" },
             { launchedFrom("org.gnome.Terminal.desktop"), "org.gnome.Terminal" },
             { launchedFrom("/opt/x/com.example.Tool"), "com.example.Tool" },
             { QByteArray("GIO_LAUNCHED_DESKTOP_FILE=/a/b.desktop", 38), "b" },
             { "HOME=/home/u", "" },
             { QByteArray("X_GIO_LAUNCHED_DESKTOP_FILE=/a/b.desktop\0", 41), "" },
             { launchedFrom("/a/\xff\xfe.desktop"), "" } })
        EXPECT_EQ(ProcWorkspace::identifierFromEnvironment(environ, 1), identifier) << environ.toStdString();
    // Flatpak: the name of the application group only.
    for (const auto& [info, identifier] : std::vector<std::pair<QByteArray, QString>> {
             { "[Application]\nname=org.videolan.VLC\n", "org.videolan.VLC" },
             { "[Instance]\nname=wrong\n[Application]\nruntime=x\nname = com.a.B \n", "com.a.B" },
             { "[Runtime]\nname=org.gnome.Platform\n", "" }, { "", "" } })
        EXPECT_EQ(ProcWorkspace::identifierFromFlatpakInfo(info), identifier) << info.toStdString();
}

TEST(ProcWorkspaceIdentity, OnlySystemdUnitsFollowingTheDesktopConventionNameAnApplication)
{
    const std::vector<std::pair<QString, QString>> cases {
        { "app-gnome-org.gnome.Terminal-4242.scope", "org.gnome.Terminal" },
        { "app-org.gnome.Terminal-4242.scope", "org.gnome.Terminal" },
        { "app-org.gnome.Terminal.service", "org.gnome.Terminal" },
        { "app-gnome-org.gnome.Terminal.service", "org.gnome.Terminal" },
        { "app-gnome-org.gnome.Terminal@f00d.service", "org.gnome.Terminal" },
        { "app-flatpak-com.adobe.PremierePro-77.scope", "com.adobe.PremierePro" },
        { "app-gnome-org.gnome.Evolution\\x2dalarm\\x2dnotify-9.scope", "org.gnome.Evolution-alarm-notify" },
    };
    for (const auto& [unit, identifier] : cases)
        EXPECT_EQ(ProcWorkspace::identifierFromUnitName(unit), identifier) << unit.toStdString();
    for (const QString unit : { "org.gnome.Shell@wayland.service", "init.scope", "session-2.scope", "app.slice",
                                "app-gnome-org.gnome.Terminal-4242.slice", "app-a-b-c-d.scope", "app-a-b-c.service",
                                "app-.service", "app-x.scope", "vte-spawn-1234.scope" })
        EXPECT_EQ(ProcWorkspace::identifierFromUnitName(unit), "") << unit.toStdString();
}

TEST(ProcWorkspaceIdentity, TheCgroupFileNamesTheInnermostUnit)
{
    const QByteArray slice = "0::/user.slice/user-1000.slice/user@1000.service/app.slice/";
    for (const auto& [cgroup, identifier] : std::vector<std::pair<QByteArray, QString>> {
             { slice + "app-gnome-org.gnome.Terminal-4242.scope\n", "org.gnome.Terminal" },
             // A process inside a terminal's own scope is not the terminal.
             { slice + "app-org.gnome.Terminal.slice/vte-spawn-12.scope\n", "" },
             // Legacy hierarchies: systemd's own line.
             { "4:memory:/x\n1:name=systemd:/user.slice/app-com.example.Tool.service\n", "com.example.Tool" },
             { "0::/\n", "" }, { "", "" } })
        EXPECT_EQ(ProcWorkspace::identifierFromCgroup(cgroup), identifier) << cgroup.toStdString();
}

TEST(ProcWorkspaceIdentity, TheLaunchEnvironmentComesBeforeFlatpakAndTheUnit)
{
    FakeProc proc;
    proc.start(95, launchedFrom("com.first.App.desktop"), "0::/app.slice/app-com.third.App.service\n");
    proc.setFlatpakInfo(95, "[Application]\nname=com.second.App\n");
    proc.start(96, {}, "0::/app.slice/app-com.third.App.service\n");
    proc.setFlatpakInfo(96, "[Application]\nname=com.second.App\n");
    VirtualScheduler scheduler;
    EXPECT_EQ(ProcWorkspace(scheduler, proc.root()).runningApplications(),
              (QList<RunningApplication> { { 95, "com.first.App" }, { 96, "com.second.App" } }));
}
