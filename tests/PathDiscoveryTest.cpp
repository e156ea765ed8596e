#include "Environment/PathDiscovery.h"

#include "Foundation/ChildProcess.h"
#include "TestSupport.h"

#include <QFile>
#include <QFileInfo>
#include <QTimeZone>

#include <gtest/gtest.h>

#include <csignal>

using namespace std::chrono_literals;

namespace {

class PathDiscoveryTest : public ::testing::Test {
protected:
    ScopedHome home;
    QString runsFile = home.path() + "/shell-runs";

    // A stand-in login shell: records its arguments, then runs the given body.
    void useShell(const QByteArray& body)
    {
        const QString path = home.path() + "/fake-shell";
        writeFile(path, "#!/bin/sh\nprintf '%s|' \"$@\" >> '" + QFile::encodeName(runsFile) + "'\necho >> '"
                      + QFile::encodeName(runsFile) + "'\n" + body + "\n",
                  true);
        shell.emplace("SHELL", QFile::encodeName(path));
    }
    int shellRuns() const { return readLines(runsFile).size(); }

    static PathDiscovery::Clock at(const QDateTime& time)
    {
        return [time] { return time; };
    }

    std::optional<ScopedEnv> shell;
    const QDateTime t0 = QDateTime(QDate(2026, 12, 1), QTime(12, 0, 0), QTimeZone::utc());
};

} // namespace

TEST_F(PathDiscoveryTest, AsksTheLoginShellAndTrimsItsAnswer)
{
    useShell("printf '  /opt/x bin:/usr/bin \\n\\n'");
    EXPECT_EQ(PathDiscovery::discover(), "/opt/x bin:/usr/bin");
    EXPECT_EQ(readLines(runsFile), QStringList { "-ilc|echo $PATH|" });
}

TEST_F(PathDiscoveryTest, RealLoginShellsContributeTheirProfilesAndZshIsTheDefault)
{
    writeFile(home.path() + "/.bash_profile", "export PATH=/from/bash/profile:$PATH\n");
    {
        ScopedEnv bash("SHELL", QByteArray("/bin/bash"));
        EXPECT_TRUE(PathDiscovery::discover().startsWith("/from/bash/profile:"));
    }
    if (!QFileInfo("/bin/zsh").isExecutable())
        GTEST_SKIP() << "zsh is not installed";
    writeFile(home.path() + "/.zprofile", "export PATH=/from/zsh/profile:$PATH\n");
    ScopedEnv noShell("SHELL", std::nullopt);
    EXPECT_TRUE(PathDiscovery::discover().startsWith("/from/zsh/profile:"));
}

TEST_F(PathDiscoveryTest, FailuresAreErrorsThatDescribeThemselves)
{
    {
        ScopedEnv missing("SHELL", QByteArray("/no/such/shell"));
        try {
            PathDiscovery::discover();
            FAIL();
        } catch (const PathDiscoveryError& error) {
            EXPECT_TRUE(QString(error.what()).contains("/no/such/shell")) << error.what();
            EXPECT_TRUE(QString(error.what()).contains("No such file or directory")) << error.what();
        }
    }
    useShell("printf '/usr/bin\\377\\n'");
    try {
        PathDiscovery::discover();
        FAIL();
    } catch (const PathDiscoveryError& error) {
        EXPECT_EQ(error.domain(), "PathDiscovery");
        EXPECT_EQ(error.code(), 1);
        EXPECT_STREQ(error.what(), "Non-UTF8 PATH output");
    }
}

TEST_F(PathDiscoveryTest, AShellThatHangsIsKilledWithWhatItStarted)
{
    const QString pidFile = home.path() + "/sleeper";
    useShell("sleep 60 & echo $! > '" + QFile::encodeName(pidFile) + "'; wait");
    try {
        PathDiscovery::discover(300ms);
        FAIL();
    } catch (const PathDiscoveryError& error) {
        EXPECT_TRUE(QString(error.what()).contains("did not answer within 0.3 s")) << error.what();
    }
    const pid_t sleeper = readFile(pidFile).trimmed().toInt();
    ASSERT_GT(sleeper, 0);
    EXPECT_TRUE(waitFor([&] { return ::kill(sleeper, 0) != 0; }, 5s));
}

TEST_F(PathDiscoveryTest, ChattyStandardErrorDoesNotStallTheShell)
{
    useShell("head -c 2000000 /dev/zero >&2; echo /usr/bin");
    EXPECT_EQ(PathDiscovery::discover(), "/usr/bin");
}

TEST_F(PathDiscoveryTest, CacheIsWrittenOnceAndServedForSevenDays)
{
    useShell("echo /cached/bin");
    EXPECT_EQ(PathDiscovery::loadOrDiscover(at(t0)), "/cached/bin");
    EXPECT_EQ(shellRuns(), 1);
    const QByteArray written = readFile(PathDiscovery::cacheFilePath());
    EXPECT_EQ(written.toStdString(), "{\n  \"path\" : \"/cached/bin\",\n  \"discoveredAt\" : \"2026-12-01T12:00:00Z\"\n}");

    useShell("echo /fresh/bin");
    EXPECT_EQ(PathDiscovery::loadOrDiscover(at(t0.addSecs(604799))), "/cached/bin");
    EXPECT_EQ(shellRuns(), 1);
    EXPECT_EQ(readFile(PathDiscovery::cacheFilePath()), written);

    EXPECT_EQ(PathDiscovery::loadOrDiscover(at(t0.addSecs(604800))), "/fresh/bin");
    EXPECT_EQ(shellRuns(), 2);
    EXPECT_EQ(PathDiscovery::readCache()->discoveredAt, t0.addSecs(604800));
}

TEST_F(PathDiscoveryTest, CachedValuesAreServedAsTheyAre)
{
    useShell("echo /discovered");
    // A date in the future is fresh.
    writeFile(PathDiscovery::cacheFilePath(), R"({"discoveredAt": "2027-01-01T00:00:00.5+02:00", "extra": 1, "path": "/c"})");
    EXPECT_EQ(PathDiscovery::loadOrDiscover(at(t0)), "/c");
    EXPECT_EQ(shellRuns(), 0);
}

TEST_F(PathDiscoveryTest, ACorruptOrIncompleteCacheIsReplaced)
{
    useShell("echo /discovered");
    for (const QByteArray& corrupt : { QByteArray("not json"), QByteArray(R"({"path": "/x"})"),
                                       QByteArray(R"({"path": 5, "discoveredAt": "2026-12-01T12:00:00Z"})"),
                                       QByteArray(R"({"path": "/x", "discoveredAt": "2026-12-01"})"),
                                       QByteArray(R"({"path": "/x", "discoveredAt": "yesterday"})"),
                                       QByteArray(R"(["/x", "2026-12-01T12:00:00Z"])") }) {
        writeFile(PathDiscovery::cacheFilePath(), corrupt);
        EXPECT_EQ(PathDiscovery::loadOrDiscover(at(t0)), "/discovered") << corrupt.toStdString();
        ASSERT_TRUE(PathDiscovery::readCache().has_value());
        EXPECT_EQ(PathDiscovery::readCache()->path, "/discovered");
    }
}

TEST_F(PathDiscoveryTest, AFailedDiscoveryLeavesAStaleCacheAlone)
{
    useShell("printf '\\377'");
    writeFile(PathDiscovery::cacheFilePath(), R"({"path": "/old", "discoveredAt": "2020-01-01T00:00:00Z"})");
    EXPECT_THROW(PathDiscovery::loadOrDiscover(at(t0)), PathDiscoveryError);
    EXPECT_EQ(readFile(PathDiscovery::cacheFilePath()), R"({"path": "/old", "discoveredAt": "2020-01-01T00:00:00Z"})");
}

TEST_F(PathDiscoveryTest, AnUnwritableCacheDoesNotFailTheDiscovery)
{
    useShell("echo /discovered");
    writeFile(home.path() + "/Library/Application Support", "a file where the folder should be");
    EXPECT_EQ(PathDiscovery::loadOrDiscover(at(t0)), "/discovered");
    EXPECT_EQ(PathDiscovery::loadOrDiscover(at(t0)), "/discovered");
    EXPECT_EQ(shellRuns(), 2);
}

TEST_F(PathDiscoveryTest, PythonReadsTheCacheBack)
{
    ASSERT_TRUE(PathDiscovery::saveCache("/a \"quoted\" path:/b\\c", t0.addMSecs(999)));
    ProcessSpec python;
    python.program = "/usr/bin/python3";
    python.arguments = { "-c", "import json,sys,datetime; d=json.load(open(sys.argv[1])); "
                               "print(list(d)); print(d['path']); "
                               "print(datetime.datetime.fromisoformat(d['discoveredAt']).isoformat())",
                         PathDiscovery::cacheFilePath() };
    const auto output = ChildProcess::run(python);
    EXPECT_EQ(output.terminationStatus, 0);
    EXPECT_EQ(QString::fromUtf8(output.standardOutput),
              "['path', 'discoveredAt']\n/a \"quoted\" path:/b\\c\n2026-12-01T12:00:00+00:00\n");
}

TEST(InternetDateTime, AcceptsRfc3339FormsOnly)
{
    const QDateTime utc(QDate(2026, 12, 5), QTime(5, 39, 50), QTimeZone::utc());
    EXPECT_EQ(PathDiscovery::parseInternetDateTime("2026-12-05T05:39:50Z"), utc);
    EXPECT_EQ(PathDiscovery::parseInternetDateTime("2026-12-05t05:39:50z"), utc);
    EXPECT_EQ(PathDiscovery::parseInternetDateTime("2026-12-05T07:39:50+02:00"), utc);
    EXPECT_EQ(PathDiscovery::parseInternetDateTime("2026-12-05T05:39:50.250000Z"), utc.addMSecs(250));
    EXPECT_FALSE(PathDiscovery::parseInternetDateTime("2026-12-05 05:39:50Z").isValid());
    EXPECT_FALSE(PathDiscovery::parseInternetDateTime("2026-12-05T05:39:50").isValid());
    EXPECT_FALSE(PathDiscovery::parseInternetDateTime("2026-13-05T05:39:50Z").isValid());
    EXPECT_FALSE(PathDiscovery::parseInternetDateTime("2026-12-05T05:39:50+24:00").isValid());
}
