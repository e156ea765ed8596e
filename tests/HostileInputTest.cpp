// What other programs and files may put in the helper's way: shell chatter, things that are no
// files, a full disk, inherited launch variables.
#include "Environment/PathDiscovery.h"
#include "Logging/LogRotator.h"
#include "Platform/Linux/ProcWorkspace.h"

#include "TestSupport.h"

#include <QDir>

#include <gtest/gtest.h>

#include <csignal>
#include <sys/resource.h>
#include <sys/stat.h>

TEST(HostileInput, TheShellsLastNonEmptyLineIsThePathWhenItIsASearchPath)
{
    for (const auto& [output, path] : std::vector<std::pair<QByteArray, QString>> {
             { "Welcome back!\n\n  /home/u/bin:/opt/x bin:/bin \r\n\n", "/home/u/bin:/opt/x bin:/bin" },
             { "/usr/bin", "/usr/bin" },
             { "", "" }, { " \n\n", "" }, // a shell that did not take -ilc
             { "/usr/bin\nWelcome back!\n", "" }, { "/usr/bin:bin", "" }, { "/usr/bin::/bin", "" },
             { "/usr/bin:/b\tin", "" }, { "/usr/bin\x1b[0m", "" }, { "/" + QByteArray(32 * 1024, 'a'), "" },
             { "/" + QByteArray(32 * 1024 - 1, 'a'), "/" + QString(32 * 1024 - 1, u'a') } }) {
        try {
            EXPECT_EQ(PathDiscovery::pathFromShellOutput(output), path) << output.left(40).toStdString();
        } catch (const PathDiscoveryError& error) {
            EXPECT_EQ(path, "") << output.left(40).toStdString() << ": " << error.what();
            EXPECT_EQ(error.code(), 4);
        }
    }
}

TEST(HostileInput, OnlyASmallRegularFileHoldingASearchPathIsAPathCache)
{
    ScopedHome home;
    const QString cache = PathDiscovery::cacheFilePath();
    const QByteArray valid = R"({"path": "/usr/bin", "discoveredAt": "2026-12-01T12:00:00Z"})";
    const std::vector<std::pair<const char*, std::function<void()>>> cases {
        { "a FIFO", [&] { ASSERT_EQ(::mkfifo(QFile::encodeName(cache).constData(), 0600), 0); } },
        { "a link to /dev/zero", [&] { ASSERT_TRUE(QFile::link("/dev/zero", cache)); } },
        { "over 64 KiB", [&] { writeFile(cache, valid + QByteArray(64 * 1024, ' ')); } },
        { "shell chatter", [&] { writeFile(cache, R"({"path": "Hi!\n/usr/bin", "discoveredAt": "2026-12-01T12:00:00Z"})"); } },
    };
    writeFile(cache, valid);
    ASSERT_EQ(PathDiscovery::readCache()->path, "/usr/bin");
    for (const auto& [what, put] : cases) {
        QFile::remove(cache);
        put();
        EXPECT_FALSE(PathDiscovery::readCache()) << what;
    }
}

TEST(HostileInput, AFailedDiscoveryLeavesTheShellAloneForFiveMinutes)
{
    ScopedHome home;
    const QString shell = home.path() + "/shell", runs = home.path() + "/runs";
    auto answer = [&](const QByteArray& line) {
        writeFile(shell, "#!/bin/sh\necho run >> '" + QFile::encodeName(runs) + "'\necho '" + line + "'\n", true);
    };
    ScopedEnv useShell("SHELL", QFile::encodeName(shell));
    const QDateTime t0 = QDateTime::currentDateTimeUtc();
    auto at = [](const QDateTime& time) { return [time] { return time; }; };

    answer("Welcome back!");
    EXPECT_THROW(PathDiscovery::loadOrDiscover(at(t0)), PathDiscoveryError);
    answer("/usr/bin");
    try {
        PathDiscovery::loadOrDiscover(at(t0.addSecs(299)));
        ADD_FAILURE() << "the shell was asked again";
    } catch (const PathDiscoveryError& error) {
        EXPECT_TRUE(QString(error.what()).contains("Welcome back!")) << error.what();
    }
    EXPECT_EQ(readLines(runs).size(), 1);
    EXPECT_FALSE(QFile::exists(PathDiscovery::cacheFilePath()));
    EXPECT_EQ(PathDiscovery::loadOrDiscover(at(t0.addSecs(300))), "/usr/bin");
    EXPECT_EQ(readLines(runs).size(), 2);
}

TEST(HostileInput, AScanReadsProcFilesOnlyAsRegularFilesUpToACapAndSkipsTheHelpersOwnTree)
{
    QTemporaryDir proc;
    const QByteArray premiere = "GIO_LAUNCHED_DESKTOP_FILE=/usr/share/applications/com.adobe.PremierePro.desktop";
    auto start = [&](int pid, int parent, const QByteArray& environ, const QByteArray& cgroup = "0::/\n") {
        const QString folder = proc.path() + "/" + QString::number(pid);
        writeFile(folder + "/stat", QByteArray::number(pid) + " (x) S " + QByteArray::number(parent)
                      + QByteArray(" 0").repeated(17) + " 100\n");
        writeFile(folder + "/environ", environ);
        writeFile(folder + "/cgroup", cgroup);
        return folder;
    };
    start(500, 1, premiere);      // the helper, with a launch variable it inherited
    start(501, 500, premiere);    // its server
    start(502, 501, premiere);    // and what that started
    start(600, 1, premiere);
    ASSERT_TRUE(QDir().mkpath(start(601, 1, "", "0::/app.slice/app-com.x.Y.service\n") + "/root"));
    ASSERT_EQ(::mkfifo(QFile::encodeName(proc.path() + "/601/root/.flatpak-info").constData(), 0600), 0);
    start(602, 1, QByteArray(ProcWorkspace::environmentLimit, 'x') + '\0' + premiere);

    VirtualScheduler scheduler;
    const ProcWorkspace workspace(scheduler, proc.path(), { .ownProcess = 500, .executor = {} });
    EXPECT_EQ(workspace.runningApplications(),
              (QList<RunningApplication> { { 600, "com.adobe.PremierePro" }, { 601, "com.x.Y" } }));
}

TEST(HostileInput, AnAppendCutShortByAFullDiskIsTakenBack)
{
    ScopedHome home;
    LogRotator log("server.log");
    log.write(QByteArray("first\n"));
    log.flush();
    // A file size limit stands in for the full disk: the write is cut short, the next one fails.
    ::signal(SIGXFSZ, SIG_IGN);
    rlimit saved {};
    ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &saved), 0);
    rlimit small = saved;
    small.rlim_cur = 10;
    ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &small), 0);
    log.write(QByteArray("cut short\n"));
    log.flush();
    ::setrlimit(RLIMIT_FSIZE, &saved);
    ::signal(SIGXFSZ, SIG_DFL);
    log.write(QByteArray("whole\n"));
    log.flush();
    EXPECT_EQ(readFile(log.filePath()), "first\nwhole\n");
}
