// What other programs and files may put in the helper's way: chatter, non-files, a full disk.
#include "Environment/PathDiscovery.h"
#include "Foundation/RegularFile.h"
#include "Logging/LogRotator.h"
#include "Adapters/Linux/ProcWorkspace.h"

#include "TestSupport.h"

#include <QDir>

#include <gtest/gtest.h>

#include <csignal>
#include <sys/resource.h>
#include <sys/stat.h>

TEST(HostileInput, TheShellsLastNonEmptyLineIsThePathWhenItIsASearchPath)
{
    EXPECT_EQ(PathDiscovery::pathFromShellOutput("Welcome back!\n\n  /home/u/bin:/opt/x bin:/bin \r\n\n"), "/home/u/bin:/opt/x bin:/bin");
    for (const QByteArray& output : std::vector<QByteArray> { "", " \n\n" /* no -ilc */, "/usr/bin\nWelcome back!\n", "/usr/bin:bin",
                                     "/usr/bin::/bin", "/usr/bin:/b\tin", "/usr/bin\x1b[0m", "/" + QByteArray(32 * 1024, 'a') })
        EXPECT_THROW(PathDiscovery::pathFromShellOutput(output), PathDiscoveryError) << output.left(40).toStdString();
}

TEST(HostileInput, OnlyASmallRegularFileHoldingASearchPathIsAPathCache)
{
    ScopedHome home;
    const QByteArray valid = R"({"path": "/usr/bin", "discoveredAt": "2026-12-01T12:00:00Z"})";
    for (const auto& [content, cached] : std::vector<std::pair<QByteArray, bool>> {
             { valid, true }, { valid + QByteArray(64 * 1024, ' '), false },
             { R"({"path": "Hi!\n/usr/bin", "discoveredAt": "2026-12-01T12:00:00Z"})", false } }) {
        writeFile(PathDiscovery::cacheFilePath(), content);
        EXPECT_EQ(PathDiscovery::readCache().has_value(), cached) << content.left(60).toStdString();
    }
    EXPECT_FALSE(RegularFile::read("/dev/zero", 1024, RegularFile::Oversize::truncate));
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
    EXPECT_THROW(PathDiscovery::loadOrDiscover(at(t0.addSecs(299))), PathDiscoveryError);
    EXPECT_EQ(readLines(runs).size(), 1);
    EXPECT_EQ(PathDiscovery::loadOrDiscover(at(t0.addSecs(300))), "/usr/bin");
}

TEST(HostileInput, AScanReadsProcFilesOnlyAsRegularFilesUpToACapAndSkipsTheHelpersOwnTree)
{
    QTemporaryDir proc;
    const QByteArray premiere = "GIO_LAUNCHED_DESKTOP_FILE=/usr/share/applications/com.adobe.PremierePro.desktop";
    auto start = [&](int pid, int parent, const QByteArray& environ, const QByteArray& cgroup = "0::/\n") {
        const QString folder = proc.path() + "/" + QString::number(pid);
        writeFile(folder + "/stat", "1 (x) S " + QByteArray::number(parent) + QByteArray(" 0").repeated(17) + " 100\n");
        writeFile(folder + "/environ", environ);
        writeFile(folder + "/cgroup", cgroup);
        return folder;
    };
    start(500, 1, premiere);      // the helper, with a launch variable it inherited
    start(501, 500, premiere);    // its server
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
