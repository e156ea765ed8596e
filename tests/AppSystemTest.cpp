// The real tessaryn-helper, started as a user would, headless, under a throw-away HOME and
// XDG_CONFIG_HOME, watched through its helper.log.
#include "Foundation/ChildProcess.h"
#include "TestSupport.h"

#include <QDir>
#include <QFileInfo>
#include <QProcessEnvironment>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <csignal>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

using namespace std::chrono_literals;

namespace {

const QString buildHelperPath = QStringLiteral(TESSARYN_BUILD_DIR "/bin/tessaryn-helper");

bool processExists(pid_t pid)
{
    return pid > 0 && ::kill(pid, 0) == 0;
}

QByteArray getHealth()
{
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address {};
    address.sin_family = AF_INET;
    address.sin_port = htons(9876);
    address.sin_addr.s_addr = inet_addr("127.0.0.1");
    QByteArray response;
    if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0) {
        const char request[] = "GET /health HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n";
        if (::write(fd, request, sizeof request - 1) > 0) {
            char buffer[4096];
            ssize_t n;
            while ((n = ::read(fd, buffer, sizeof buffer)) > 0)
                response.append(buffer, int(n));
        }
    }
    ::close(fd);
    return response;
}

// The Premiere Pro stand-in: a process whose launch environment names Premiere's desktop file.
class PremiereStandIn {
public:
    PremiereStandIn()
    {
        ProcessSpec spec;
        spec.program = "/usr/bin/env";
        spec.arguments = { "GIO_LAUNCHED_DESKTOP_FILE=/usr/share/applications/com.adobe.PremierePro.desktop",
                           "sleep", "600" };
        process_ = ChildProcess::start(spec, {});
    }
    ~PremiereStandIn() { quit(); }
    void quit()
    {
        process_->sendSignal(SIGKILL);
        process_->waitForFinished(std::chrono::steady_clock::now() + 5s);
    }

private:
    std::shared_ptr<ChildProcess> process_;
};

// One run of the helper. Whatever happens, nothing it started outlives the test.
class HelperRun {
public:
    HelperRun(const QString& home, const QString& configHome, const QString& executable = buildHelperPath)
        : home_(home)
    {
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert("HOME", home);
        environment.insert("XDG_CONFIG_HOME", configHome);
        environment.insert("QT_QPA_PLATFORM", "offscreen");
        environment.insert("SHELL", "/bin/sh");
        environment.remove("DISPLAY");
        environment.remove("WAYLAND_DISPLAY");
        environment.remove("DBUS_SESSION_BUS_ADDRESS");
        for (const char* name : { "DEV_NODE_PATH", "DEV_AI_SERVER_PATH", "GIO_LAUNCHED_DESKTOP_FILE",
                                  "GIO_LAUNCHED_DESKTOP_FILE_PID" })
            environment.remove(name);
        ProcessSpec spec;
        spec.program = executable;
        spec.environment = environment.toStringList();
        spec.nullStandardInput = true;
        ChildProcess::Handlers handlers;
        handlers.standardError = [errors = errors_](const QByteArray& chunk) {
            std::lock_guard lock(errors->mutex);
            errors->bytes += chunk;
        };
        process_ = ChildProcess::start(spec, std::move(handlers));
    }
    ~HelperRun()
    {
        const pid_t server = serverPid();
        process_->sendSignal(SIGKILL);
        process_->waitForFinished(std::chrono::steady_clock::now() + 5s);
        if (processExists(server))
            ::kill(server, SIGKILL);
        waitFor([&] { return !processExists(server); }, 5s);
    }

    QStringList messages() const { return logMessages(home_ + "/Library/Logs/Tessaryn/helper.log"); }
    bool waitForMessage(const QString& message, std::chrono::milliseconds timeout = 15s) const
    {
        return waitFor([&] { return messages().contains(message); }, timeout);
    }
    pid_t serverPid() const
    {
        const QStringList spawned = messages().filter("Server spawned (pid ");
        return spawned.isEmpty() ? 0 : spawned.last().section("pid ", 1).chopped(1).toInt();
    }
    ChildProcess& process() { return *process_; }
    QByteArray standardError() const
    {
        std::lock_guard lock(errors_->mutex);
        return errors_->bytes;
    }
    // Sends SIGTERM and waits for the end; the exit status, or none when it did not end in time.
    std::optional<int> terminate(std::chrono::milliseconds timeout = 3s)
    {
        process_->sendSignal(SIGTERM);
        if (!process_->waitForFinished(std::chrono::steady_clock::now() + timeout))
            return std::nullopt;
        return process_->terminationStatus();
    }

private:
    struct Errors {
        std::mutex mutex;
        QByteArray bytes;
    };
    QString home_;
    std::shared_ptr<Errors> errors_ = std::make_shared<Errors>();
    std::shared_ptr<ChildProcess> process_;
};

class AppSystemTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(QFileInfo(buildHelperPath).isExecutable()) << buildHelperPath.toStdString(); }
    QTemporaryDir home;
    QTemporaryDir configHome;
    QString autostartEntry() const { return configHome.path() + "/autostart/app.marovant.tessaryn-helper.desktop"; }
};

// The lines written during start-up: everything up to the boot decision.
QStringList startupLines(const QStringList& messages)
{
    const int boot = messages.indexOf("Helper boot \u2014 Premiere closed, staying idle");
    return boot < 0 ? messages : messages.mid(0, boot + 1);
}

} // namespace

TEST_F(AppSystemTest, FirstStartWithoutPremiereRegistersAndStaysIdle)
{
    HelperRun helper(home.path(), configHome.path());
    ASSERT_TRUE(helper.waitForMessage("Helper boot \u2014 Premiere closed, staying idle"));
    ASSERT_TRUE(waitFor([&] { return !helper.messages().filter("PluginInstaller: ").isEmpty(); }));

    const QStringList messages = helper.messages();
    EXPECT_EQ(startupLines(messages),
              QStringList({ "First launch \u2014 login item registered, marker created", "Login item already enabled",
                            "Helper boot \u2014 Premiere closed, staying idle" }));
    // The installer runs once the event loop turns, after the start-up.
    EXPECT_TRUE(messages.mid(3).first().startsWith("PluginInstaller: ")) << messages.join('\n').toStdString();
    EXPECT_TRUE(QFileInfo::exists(home.path() + "/Library/Application Support/Tessaryn/.first-launch-done"));
    EXPECT_TRUE(QFileInfo::exists(autostartEntry()));
    EXPECT_EQ(helper.terminate(), 0);
}

TEST_F(AppSystemTest, ASecondStartFindsTheLoginItemEnabled)
{
    {
        HelperRun first(home.path(), configHome.path());
        ASSERT_TRUE(first.waitForMessage("Helper boot \u2014 Premiere closed, staying idle"));
        EXPECT_EQ(first.terminate(), 0);
    }
    QFile::remove(home.path() + "/Library/Logs/Tessaryn/helper.log");
    HelperRun second(home.path(), configHome.path());
    ASSERT_TRUE(second.waitForMessage("Helper boot \u2014 Premiere closed, staying idle"));
    EXPECT_EQ(startupLines(second.messages()),
              QStringList({ "Login item already enabled", "Helper boot \u2014 Premiere closed, staying idle" }));
    EXPECT_EQ(second.terminate(), 0);
}

TEST_F(AppSystemTest, AnUnwritableLoginItemFolderIsLoggedAndTheStartGoesOn)
{
    QFile blocker(configHome.path() + "/autostart");
    ASSERT_TRUE(blocker.open(QIODevice::WriteOnly)); // a file where the folder should be
    blocker.close();
    HelperRun helper(home.path(), configHome.path());
    ASSERT_TRUE(helper.waitForMessage("Helper boot \u2014 Premiere closed, staying idle"));
    const QStringList startup = startupLines(helper.messages());
    ASSERT_EQ(startup.size(), 5) << startup.join('\n').toStdString();
    EXPECT_TRUE(startup[0].startsWith("LoginItem.register failed: "));
    EXPECT_EQ(startup[1], "First launch \u2014 login item registered, marker created");
    EXPECT_TRUE(startup[2].startsWith("LoginItem.register failed: "));
    EXPECT_EQ(startup[3], "Login item was not enabled \u2014 re-registered");
    EXPECT_EQ(helper.terminate(), 0);
}

TEST_F(AppSystemTest, PremiereLaunchWakesTheServerAndItsQuitStopsIt)
{
    HelperRun helper(home.path(), configHome.path());
    ASSERT_TRUE(helper.waitForMessage("Helper boot \u2014 Premiere closed, staying idle"));
    auto premiere = std::make_unique<PremiereStandIn>();
    ASSERT_TRUE(helper.waitForMessage("PremiereWatcher: isPremiereRunning = true", 5s));
    ASSERT_TRUE(waitFor([&] { return !helper.messages().filter("Server spawned (pid ").isEmpty(); }));
    const QStringList messages = helper.messages();
    const int watcher = messages.indexOf("PremiereWatcher: isPremiereRunning = true");
    EXPECT_EQ(messages.mid(watcher, 3), QStringList({ "PremiereWatcher: isPremiereRunning = true",
                                                      "Premiere launched \u2014 waking server",
                                                      "User-requested restart" }));
    EXPECT_TRUE(waitFor([] { return getHealth().endsWith("{\"status\":\"ok\"}"); }));

    const pid_t server = helper.serverPid();
    premiere->quit();
    ASSERT_TRUE(helper.waitForMessage("PremiereWatcher: isPremiereRunning = false", 5s));
    EXPECT_TRUE(helper.waitForMessage("Premiere quit \u2014 stopping server, hiding icon"));
    EXPECT_TRUE(waitFor([&] { return !processExists(server); }, 5s));
    EXPECT_EQ(helper.terminate(), 0);
}

TEST_F(AppSystemTest, SigtermStopsTheServerAndExitsWithStatusZero)
{
    PremiereStandIn premiere;
    HelperRun helper(home.path(), configHome.path());
    ASSERT_TRUE(waitFor([&] { return helper.serverPid() != 0; }));
    ASSERT_TRUE(waitFor([] { return getHealth().endsWith("{\"status\":\"ok\"}"); }));
    const pid_t server = helper.serverPid();

    const auto sent = std::chrono::steady_clock::now();
    EXPECT_EQ(helper.terminate(), 0);
    EXPECT_LT(std::chrono::steady_clock::now() - sent, 1500ms);
    EXPECT_TRUE(helper.messages().contains("SIGTERM received \u2014 graceful shutdown"));
    EXPECT_TRUE(waitFor([&] { return !processExists(server); }, 3s)) << "the server was left behind";
}

TEST_F(AppSystemTest, AStartWithPremiereRunningStartsTheServerAtOnce)
{
    PremiereStandIn premiere;
    HelperRun helper(home.path(), configHome.path());
    ASSERT_TRUE(waitFor([&] { return helper.serverPid() != 0; }));
    const QStringList messages = helper.messages();
    EXPECT_EQ(messages.value(0), "PremiereWatcher: isPremiereRunning = true");
    EXPECT_FALSE(messages.contains("Helper boot \u2014 Premiere closed, staying idle"));
    EXPECT_FALSE(messages.contains("User-requested restart"));
    EXPECT_TRUE(waitFor([] { return getHealth().endsWith("{\"status\":\"ok\"}"); }));
    EXPECT_EQ(helper.terminate(), 0);
}

TEST_F(AppSystemTest, AnInstalledHelperRunsTheSameAsTheBuiltOne)
{
    QTemporaryDir prefix;
    ProcessSpec install;
    install.program = TESSARYN_CMAKE_COMMAND;
    install.arguments = { "--install", TESSARYN_BUILD_DIR, "--prefix", prefix.path() };
    ASSERT_EQ(ChildProcess::run(install, 120s).terminationStatus, 0);
    for (const char* file : { "/bin/tessaryn-helper", "/share/tessaryn-helper/node",
                              "/share/tessaryn-helper/ai-server/server.js", "/share/tessaryn-helper/Tessaryn.ccx",
                              "/share/applications/app.marovant.tessaryn-helper.desktop" })
        EXPECT_TRUE(QFileInfo::exists(prefix.path() + file)) << file;

    PremiereStandIn premiere;
    HelperRun helper(home.path(), configHome.path(), prefix.path() + "/bin/tessaryn-helper");
    ASSERT_TRUE(waitFor([&] { return helper.serverPid() != 0; }));
    EXPECT_TRUE(waitFor([] { return getHealth().endsWith("{\"status\":\"ok\"}"); }));
    // The installer finds the installed package, and the login item names the installed helper.
    ASSERT_TRUE(waitFor([&] { return !helper.messages().filter("PluginInstaller: ").isEmpty(); }));
    EXPECT_FALSE(helper.messages().filter("PluginInstaller: ").first().contains("no bundled Tessaryn.ccx"));
    EXPECT_TRUE(readFile(autostartEntry()).contains(QFile::encodeName(prefix.path() + "/bin/tessaryn-helper")));
    EXPECT_EQ(helper.terminate(), 0);
}
