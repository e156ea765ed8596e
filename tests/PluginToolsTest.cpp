#include "Plugin/PluginInstaller.h"

#include "PluginTestSupport.h"
#include "TestSupport.h"

#include <QUuid>

#include <gtest/gtest.h>

#include <unistd.h>

namespace {

std::optional<QString> shell(const QString& script)
{
    return PluginInstaller::runProcess("/bin/sh", { "-c", script });
}

// Replaces this process's standard input with a pipe that is never written to, for one scope.
class StandardInputFromIdlePipe {
public:
    StandardInputFromIdlePipe()
    {
        saved_ = ::dup(0);
        if (::pipe(pipe_) != 0 || ::dup2(pipe_[0], 0) < 0)
            ADD_FAILURE() << "could not replace standard input";
    }
    ~StandardInputFromIdlePipe()
    {
        ::dup2(saved_, 0);
        ::close(saved_);
        ::close(pipe_[0]);
        ::close(pipe_[1]);
    }

private:
    int saved_ = -1;
    int pipe_[2] = { -1, -1 };
};

QString uniqueName()
{
    return "tessaryn-probe-" + QUuid::createUuid().toString(QUuid::WithoutBraces);
}

} // namespace

TEST(PluginRunProcess, AnswersTheStandardOutputOfAProgramThatRanEvenIfItFailed)
{
    EXPECT_EQ(shell("printf 'out\\n'; printf 'err' >&2"), QString("out\n"));
    EXPECT_EQ(shell("true"), QString(""));
    EXPECT_EQ(shell("echo partial; exit 7"), QString("partial\n"));
    EXPECT_EQ(shell("printf 'caf\\303\\251\\n'"), QString("café\n"));
    // Arguments pass unchanged, without a shell.
    EXPECT_EQ(PluginInstaller::runProcess("/bin/echo", { "a  b", "$HOME", "*" }), QString("a  b $HOME *\n"));
}

TEST(PluginRunProcess, AnswersNothingForAProgramThatCannotStartOrOutputThatIsNotUtf8)
{
    QTemporaryDir dir;
    writeFile(dir.path() + "/not-executable", "#!/bin/sh\necho hi\n");
    EXPECT_EQ(PluginInstaller::runProcess(dir.path() + "/missing", {}), std::nullopt);
    EXPECT_EQ(PluginInstaller::runProcess(dir.path() + "/not-executable", {}), std::nullopt);
    EXPECT_EQ(shell("printf 'caf\\351\\n'"), std::nullopt);
}

TEST(PluginRunProcess, AMebibyteOnStandardErrorDoesNotStallTheChild)
{
    // A stalled child would only come back through the time bound, which answers nothing.
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(shell("head -c 1048576 /dev/zero >&2; echo done"), QString("done\n"));
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(30));
}

TEST(PluginRunProcess, TheChildReadsNoInputFromTheHelper)
{
    // The helper's standard input stays open and silent, like a terminal no one types into.
    StandardInputFromIdlePipe input;
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(shell("cat; echo end"), QString("end\n"));
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(30));
}

TEST(PluginProcessRunning, SeesOnlyAProcessWhoseCommandLineHoldsThePattern)
{
    const QString name = uniqueName();
    EXPECT_FALSE(PluginInstaller::processRunning("Adobe " + name));
    {
        NamedProcess process("Adobe " + name + " helper");
        EXPECT_TRUE(waitFor([&] { return PluginInstaller::processRunning("Adobe " + name); }));
    }
    EXPECT_FALSE(PluginInstaller::processRunning("Adobe " + name));
}

class LegacyRemoval : public ::testing::Test {
protected:
    PluginInstaller::Services services(const QString& agentPath)
    {
        PluginInstaller::Services services { desktop };
        services.installerAgentPath = agentPath;
        return services;
    }
    QString legacyLine() const
    {
        return "PluginInstaller: legacy plugin present ("
            + PluginInstaller::installedVersions("com.tessaryn.premierepro").join(", ") + ") — removing via UPIA";
    }

    ScopedHome home;
    RecordingDesktop desktop;
    const QString newPluginIdAlert = "Tessaryn has a new plugin ID";
    const QString stillPresent = "PluginInstaller: legacy plugin still present — asking the user";
};

TEST_F(LegacyRemoval, WithoutALegacyEntryDoesNothingAtAll)
{
    makeExternalEntry("5d1e93b0_1.0.0");
    FakeAgent agent("exit 0");
    LogCapture capture;
    PluginInstaller::removeLegacyIfPresent(services(agent.path()));
    EXPECT_TRUE(capture.messages().isEmpty());
    EXPECT_TRUE(agent.runs().isEmpty());
    EXPECT_TRUE(desktop.events.empty());
}

TEST_F(LegacyRemoval, AMissingAgentLeadsToTheUser)
{
    makeExternalEntry("com.tessaryn.premierepro_1.0.0");
    makeExternalEntry("com.tessaryn.premierepro_1.1.0");
    const QString expectedPresent = legacyLine();
    EXPECT_TRUE(expectedPresent.contains("1.0.0, 1.1.0") || expectedPresent.contains("1.1.0, 1.0.0"));

    LogCapture capture;
    PluginInstaller::removeLegacyIfPresent(services(home.path() + "/no-agent"));
    EXPECT_EQ(capture.messages(), QStringList({ expectedPresent, "PluginInstaller: UPIA not found at " + home.path() + "/no-agent",
                                                stillPresent }));
    ASSERT_EQ(desktop.alertTitles(), QStringList({ newPluginIdAlert }));
    EXPECT_EQ(desktop.events[0].second,
              "Remove the old copy so Premiere shows one Tessaryn: Creative Cloud → Stock & Marketplace → Plugins → "
              "Manage plugins → Tessaryn (old version) → Uninstall. Then reopen Premiere.");
}

TEST_F(LegacyRemoval, ACurrentCopyBesideTheLegacyOneKeepsTheAgentFromRemovingByName)
{
    makeExternalEntry("com.tessaryn.premierepro_1.0.0");
    makeExternalEntry("5d1e93b0_1.4.0");
    FakeAgent agent("rm -rf \"$HOME/Library/Application Support/Adobe/UXP/Plugins/External\"/*");
    LogCapture capture;
    PluginInstaller::removeLegacyIfPresent(services(agent.path()));
    EXPECT_EQ(capture.messages(),
              QStringList({ legacyLine(),
                            "PluginInstaller: a 5d1e93b0 copy is already installed — not removing by name (ambiguous); "
                            "asking the user",
                            stillPresent }));
    EXPECT_TRUE(agent.runs().isEmpty());
    EXPECT_EQ(desktop.alertTitles(), QStringList({ newPluginIdAlert }));
}

TEST_F(LegacyRemoval, AnAgentThatRemovesEverythingAndPrintsWhiteSpaceIsASuccess)
{
    makeExternalEntry("com.tessaryn.premierepro_1.0.0");
    makeExternalEntry("com.tessaryn.premierepro_1.1.0", false);
    FakeAgent agent("rm -rf \"$HOME/Library/Application Support/Adobe/UXP/Plugins/External\"/com.tessaryn.premierepro_*\n"
                    "printf '  \\n\\t\\n'");
    const QString expectedPresent = legacyLine();
    LogCapture capture;
    PluginInstaller::removeLegacyIfPresent(services(agent.path()));
    EXPECT_EQ(capture.messages(), QStringList({ expectedPresent, "PluginInstaller: UPIA --remove Tessaryn → (no output)",
                                                "PluginInstaller: legacy plugin removed" }));
    EXPECT_EQ(agent.runs(), QStringList({ "--remove Tessaryn" }));
    EXPECT_TRUE(desktop.events.empty());
}

TEST_F(LegacyRemoval, AnAgentThatLeavesAVersionBehindLeadsToTheUserWhateverItSays)
{
    makeExternalEntry("com.tessaryn.premierepro_1.0.0");
    makeExternalEntry("com.tessaryn.premierepro_1.1.0");
    FakeAgent agent("rm -rf \"$HOME/Library/Application Support/Adobe/UXP/Plugins/External/com.tessaryn.premierepro_1.0.0\"\n"
                    "echo '  Removed Tessaryn 1.0.0 '\nexit 0");
    const QString expectedPresent = legacyLine();
    LogCapture capture;
    PluginInstaller::removeLegacyIfPresent(services(agent.path()));
    EXPECT_EQ(capture.messages(), QStringList({ expectedPresent, "PluginInstaller: UPIA --remove Tessaryn → Removed Tessaryn 1.0.0",
                                                stillPresent }));
    EXPECT_EQ(agent.runs(), QStringList({ "--remove Tessaryn" }));
    EXPECT_EQ(desktop.alertTitles(), QStringList({ newPluginIdAlert }));
}
