// The real tessaryn-helper on a real X server (Xvfb) beside a real XEmbed tray host (trayer),
// looked at from outside as a user would see it: windows through xdotool and xwininfo, pixels
// through screenshots, which stay in the build folder for a person to look at.
#include "Foundation/ChildProcess.h"
#include "TestSupport.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QImage>
#include <QProcessEnvironment>
#include <QRect>
#include <QRegularExpression>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <csignal>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <mutex>

using namespace std::chrono_literals;

namespace {

const QString helperPath = QStringLiteral(TESSARYN_BUILD_DIR "/bin/tessaryn-helper");
const QString screenshotFolder = QStringLiteral(TESSARYN_SCREENSHOT_DIR);

const QColor green(0x34, 0xC7, 0x59);
const QColor red(0xFF, 0x3B, 0x30);

// Alive and not yet a zombie: a reparented child may wait a while for its reaper.
bool processAlive(pid_t pid)
{
    if (pid <= 0 || ::kill(pid, 0) != 0)
        return false;
    const QByteArray stat = readFile(QStringLiteral("/proc/%1/stat").arg(pid));
    const int close = stat.lastIndexOf(')');
    return close < 0 || stat.mid(close + 2, 1) != "Z";
}

bool healthOk()
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
    return response.endsWith("{\"status\":\"ok\"}");
}

// A long-lived child that never outlives its owner: killed and reaped on destruction. Its
// standard output and error are kept, for the display number and for failure messages.
class Background {
public:
    explicit Background(ProcessSpec spec)
    {
        spec.nullStandardInput = true;
        ChildProcess::Handlers handlers;
        handlers.standardOutput = [output = output_](const QByteArray& chunk) { output->append(chunk); };
        handlers.standardError = [output = errors_](const QByteArray& chunk) { output->append(chunk); };
        process_ = ChildProcess::start(spec, std::move(handlers));
    }
    ~Background() { kill(); }
    void kill()
    {
        process_->sendSignal(SIGKILL);
        process_->waitForFinished(std::chrono::steady_clock::now() + 5s);
    }
    ChildProcess& process() { return *process_; }
    QByteArray output() const { return output_->bytes(); }
    QByteArray errors() const { return errors_->bytes(); }

private:
    struct Buffer {
        void append(const QByteArray& chunk)
        {
            std::lock_guard lock(mutex);
            data += chunk;
        }
        QByteArray bytes()
        {
            std::lock_guard lock(mutex);
            return data;
        }
        std::mutex mutex;
        QByteArray data;
    };
    std::shared_ptr<Buffer> output_ = std::make_shared<Buffer>();
    std::shared_ptr<Buffer> errors_ = std::make_shared<Buffer>();
    std::shared_ptr<ChildProcess> process_;
};

// Xvfb on a display number of its own choosing, written to its standard output.
class XServer {
public:
    XServer()
    {
        ProcessSpec spec;
        spec.program = "/usr/bin/Xvfb";
        spec.arguments = { "-displayfd", "1", "-screen", "0", "320x200x24", "-nolisten", "tcp", "-noreset" };
        server_ = std::make_unique<Background>(spec);
        if (waitFor([&] { return server_->output().endsWith('\n'); }, 15s))
            display_ = ":" + QString::fromUtf8(server_->output()).trimmed();
    }
    bool ready() const { return !display_.isEmpty(); }
    const QString& display() const { return display_; }
    QByteArray errors() const { return server_->errors(); }

    QStringList environment() const
    {
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert("DISPLAY", display_);
        environment.remove("WAYLAND_DISPLAY");
        environment.remove("XAUTHORITY");
        return environment.toStringList();
    }
    // Runs an X tool to its end; its standard output, or nothing when it failed.
    std::optional<QString> run(const QString& program, const QStringList& arguments) const
    {
        ProcessSpec spec;
        spec.program = program;
        spec.arguments = arguments;
        spec.environment = environment();
        spec.nullStandardInput = true;
        try {
            const ChildProcess::Output output = ChildProcess::run(spec, 20s);
            if (output.terminationStatus != 0)
                return std::nullopt;
            return QString::fromUtf8(output.standardOutput);
        } catch (const std::exception&) {
            return std::nullopt;
        }
    }

    // The mapped windows whose name matches the pattern.
    QStringList visibleWindows(const QString& namePattern) const
    {
        return run("/usr/bin/xdotool", { "search", "--onlyvisible", "--name", namePattern })
            .value_or(QString())
            .split('\n', Qt::SkipEmptyParts);
    }
    // The mapped windows of the helper inside the given window: its docked icon.
    QStringList helperWindowsIn(const QString& window) const
    {
        QStringList windows;
        const QString tree = run("/usr/bin/xwininfo", { "-id", window, "-tree" }).value_or(QString());
        static const QRegularExpression helperWindow(QStringLiteral("^\\s+(0x[0-9a-f]+) .*\\(\"tessaryn-helper\" "));
        for (const QString& line : tree.split('\n')) {
            const auto match = helperWindow.match(line);
            if (match.hasMatch()
                && run("/usr/bin/xwininfo", { "-id", match.captured(1) }).value_or(QString()).contains("Map State: IsViewable"))
                windows << match.captured(1);
        }
        return windows;
    }
    // Every mapped top-level window that ignores the window manager (menus, tooltips).
    QStringList mappedOverrideRedirectWindows() const
    {
        QStringList windows;
        const QString tree = run("/usr/bin/xwininfo", { "-root", "-children" }).value_or(QString());
        static const QRegularExpression child(QStringLiteral("^\\s+(0x[0-9a-f]+) "));
        for (const QString& line : tree.split('\n')) {
            const auto match = child.match(line);
            if (!match.hasMatch())
                continue;
            const QString info = run("/usr/bin/xwininfo", { "-id", match.captured(1) }).value_or(QString());
            if (info.contains("Map State: IsViewable") && info.contains("Override Redirect State: yes"))
                windows << match.captured(1);
        }
        return windows;
    }
    // A window's place on the screen.
    QRect geometry(const QString& window) const
    {
        const QString info = run("/usr/bin/xwininfo", { "-id", window }).value_or(QString());
        const auto value = [&](const char* name) {
            static const QRegularExpression number(QStringLiteral(":\\s*(-?\\d+)"));
            const int at = info.indexOf(QLatin1String(name));
            return at < 0 ? 0 : number.match(info, at).captured(1).toInt();
        };
        return QRect(value("Absolute upper-left X"), value("Absolute upper-left Y"), value("Width"), value("Height"));
    }
    // The whole screen, kept as a PNG file under the build folder.
    QImage screenshot(const QString& name) const
    {
        QDir().mkpath(screenshotFolder);
        const QString path = screenshotFolder + "/" + name + ".png";
        QFile::remove(path);
        run("/usr/bin/import", { "-window", "root", path });
        return QImage(path);
    }

private:
    std::unique_ptr<Background> server_;
    QString display_;
};

// The tray host: a dark strip along the top left of the screen that takes XEmbed icons.
struct Tray {
    std::unique_ptr<Background> process;
    QString panel; // its window, which holds the docked icons
};

Tray startTray(const XServer& x)
{
    ProcessSpec spec;
    spec.program = "/usr/bin/trayer";
    spec.arguments = { "--edge", "top", "--align", "left", "--widthtype", "pixel", "--width", "120",
                       "--heighttype", "pixel", "--height", "32", "--transparent", "true", "--tint", "0x303030",
                       "--alpha", "0", "--expand", "false", "--SetDockType", "false", "--SetPartialStrut", "false" };
    spec.environment = x.environment();
    Tray tray { std::make_unique<Background>(spec), {} };
    waitFor([&] {
        tray.panel = x.visibleWindows("^panel$").value(0);
        return !tray.panel.isEmpty();
    }, 15s);
    return tray;
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
        process_ = std::make_unique<Background>(spec);
    }
    void quit() { process_->kill(); }

private:
    std::unique_ptr<Background> process_;
};

// Another program on 127.0.0.1:9876.
class PortHolder {
public:
    PortHolder()
    {
        ProcessSpec spec;
        spec.program = "/usr/bin/python3";
        spec.arguments = { "-c", "import socket,time; s=socket.socket(); "
                                 "s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1); s.bind(('127.0.0.1',9876)); "
                                 "s.listen(); print('listening', flush=True); time.sleep(600)" };
        process_ = std::make_unique<Background>(spec);
    }
    bool waitUntilListening() { return waitFor([&] { return process_->output().contains("listening"); }); }

private:
    std::unique_ptr<Background> process_;
};

// The helper as a user's session starts it, with a throw-away HOME and XDG_CONFIG_HOME, on the
// test's display, with a session bus that cannot be reached (none would be started for it) so that
// Qt docks its icon through XEmbed. On destruction it and its server are killed and reaped.
class HelperRun {
public:
    HelperRun(const XServer& x, const QString& home, const QString& configHome)
        : HelperRun(x.display(), home, configHome)
    {
    }
    HelperRun(const QString& display, const QString& home, const QString& configHome)
        : home_(home)
    {
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert("HOME", home);
        environment.insert("XDG_CONFIG_HOME", configHome);
        environment.insert("DISPLAY", display);
        environment.insert("DBUS_SESSION_BUS_ADDRESS", "unix:path=" + home + "/no-session-bus");
        environment.insert("SHELL", "/bin/sh");
        for (const char* name : { "QT_QPA_PLATFORM", "WAYLAND_DISPLAY", "XAUTHORITY", "DEV_NODE_PATH",
                                  "DEV_AI_SERVER_PATH", "GIO_LAUNCHED_DESKTOP_FILE", "GIO_LAUNCHED_DESKTOP_FILE_PID" })
            environment.remove(name);
        ProcessSpec spec;
        spec.program = helperPath;
        spec.environment = environment.toStringList();
        process_ = std::make_unique<Background>(spec);
    }
    ~HelperRun()
    {
        const pid_t server = serverPid();
        process_->kill();
        if (processAlive(server))
            ::kill(server, SIGKILL);
        waitFor([&] { return !processAlive(server); }, 5s);
    }

    QStringList messages() const { return logMessages(home_ + "/Library/Logs/Tessaryn/helper.log"); }
    pid_t serverPid() const
    {
        const QStringList spawned = messages().filter("Server spawned (pid ");
        return spawned.isEmpty() ? 0 : spawned.last().section("pid ", 1).chopped(1).toInt();
    }
    ChildProcess& process() { return process_->process(); }
    std::string diagnostics() const
    {
        return (messages().join('\n') + "\n--- standard error:\n" + QString::fromUtf8(process_->errors())).toStdString();
    }

private:
    QString home_;
    std::unique_ptr<Background> process_;
};

// How many pixels of the area are within a small distance of the colour.
int pixelsNear(const QImage& image, const QRect& area, const QColor& colour)
{
    int count = 0;
    const QRect inside = area.intersected(image.rect());
    for (int y = inside.top(); y <= inside.bottom(); ++y)
        for (int x = inside.left(); x <= inside.right(); ++x) {
            const QColor pixel = image.pixelColor(x, y);
            if (std::abs(pixel.red() - colour.red()) <= 24 && std::abs(pixel.green() - colour.green()) <= 24
                && std::abs(pixel.blue() - colour.blue()) <= 24)
                ++count;
        }
    return count;
}

class TrayGuiTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(QFileInfo(helperPath).isExecutable()) << helperPath.toStdString();
        ASSERT_TRUE(x.ready()) << x.errors().toStdString();
        // A newer plugin already in Adobe's folder: the installer skips without an alert, which
        // would otherwise stand modal over the session.
        ASSERT_TRUE(QDir().mkpath(home.path() + "/Library/Application Support/Adobe/UXP/Plugins/External/5d1e93b0_999.0.0"));
    }

    QStringList icons(const Tray& tray) const { return x.helperWindowsIn(tray.panel); }
    // The helper's docked icon, once there is exactly one.
    QString waitForIcon(const Tray& tray, std::chrono::milliseconds timeout = 20s)
    {
        QString icon;
        waitFor([&] {
            const QStringList windows = icons(tray);
            icon = windows.size() == 1 ? windows[0] : QString();
            return !icon.isEmpty();
        }, timeout);
        return icon;
    }
    // Waits until the icon's circle shows the colour and not the other one, at least a fifth of
    // the window (the circle fills about half of it); whether it came to that.
    ::testing::AssertionResult waitForColour(const QString& icon, const QColor& colour, const QColor& other,
                                             const QString& screenshotName)
    {
        const QRect area = x.geometry(icon);
        int count = 0, others = 0;
        const bool shown = waitFor([&] {
            const QImage screen = x.screenshot(screenshotName);
            count = pixelsNear(screen, area, colour);
            others = pixelsNear(screen, area, other);
            return count >= area.width() * area.height() / 5 && others == 0;
        }, 10s);
        if (shown)
            return ::testing::AssertionSuccess();
        return ::testing::AssertionFailure() << count << " pixels of the colour and " << others
                                             << " of the other in the icon's " << area.width() << "x" << area.height();
    }

    XServer x;
    QTemporaryDir home;
    QTemporaryDir configHome;
};

} // namespace

TEST_F(TrayGuiTest, TheIconIsGreenWhileTheServerRunsAndGoesWithPremiere)
{
    const Tray tray = startTray(x);
    ASSERT_FALSE(tray.panel.isEmpty()) << tray.process->errors().toStdString();
    HelperRun helper(x, home.path(), configHome.path());
    ASSERT_TRUE(waitFor([&] { return helper.messages().contains("Helper boot \u2014 Premiere closed, staying idle"); }))
        << helper.diagnostics();
    EXPECT_TRUE(icons(tray).isEmpty()) << "an icon without Premiere Pro";

    PremiereStandIn premiere;
    const QString icon = waitForIcon(tray);
    ASSERT_FALSE(icon.isEmpty()) << helper.diagnostics();
    ASSERT_TRUE(waitFor(healthOk, 15s)) << helper.diagnostics();
    const QRect area = x.geometry(icon);
    EXPECT_TRUE(QRect(0, 0, 120, 32).contains(area)) << "docked in the tray";
    EXPECT_TRUE(waitForColour(icon, green, red, "bar-running"));
    // The letter in white on the circle.
    EXPECT_GT(pixelsNear(x.screenshot("bar-running"), area, Qt::white), 5);

    premiere.quit();
    EXPECT_TRUE(waitFor([&] { return icons(tray).isEmpty(); }, 10s));
    EXPECT_LE(pixelsNear(x.screenshot("bar-after-premiere-quit"), QRect(0, 0, 120, 32), green), 2);
    EXPECT_TRUE(helper.messages().contains("Premiere quit \u2014 stopping server, hiding icon"));
}

TEST_F(TrayGuiTest, TheIconIsRedWhenAnotherProgramHoldsThePort)
{
    PortHolder other;
    ASSERT_TRUE(other.waitUntilListening());
    const Tray tray = startTray(x);
    ASSERT_FALSE(tray.panel.isEmpty()) << tray.process->errors().toStdString();
    HelperRun helper(x, home.path(), configHome.path());
    ASSERT_TRUE(waitFor([&] { return helper.messages().contains("Helper boot \u2014 Premiere closed, staying idle"); }))
        << helper.diagnostics();
    PremiereStandIn premiere;
    const QString icon = waitForIcon(tray);
    ASSERT_FALSE(icon.isEmpty()) << helper.diagnostics();
    EXPECT_TRUE(waitForColour(icon, red, green, "bar-port-in-use")) << helper.diagnostics();
    EXPECT_TRUE(helper.messages().contains("Pre-flight: port 9876 in use"));
    EXPECT_EQ(helper.serverPid(), 0);
}

TEST_F(TrayGuiTest, TheIconAppearsWhenATrayHostComesAfterTheHelper)
{
    PremiereStandIn premiere;
    HelperRun helper(x, home.path(), configHome.path());
    ASSERT_TRUE(waitFor([&] { return helper.serverPid() != 0; }, 15s)) << helper.diagnostics();

    const Tray tray = startTray(x);
    ASSERT_FALSE(tray.panel.isEmpty()) << tray.process->errors().toStdString();
    const QString icon = waitForIcon(tray);
    ASSERT_FALSE(icon.isEmpty()) << helper.diagnostics();
    ASSERT_TRUE(waitFor(healthOk, 15s));
    EXPECT_TRUE(waitForColour(icon, green, red, "bar-late-tray"));
}

TEST_F(TrayGuiTest, AClickOpensTheMenuAndQuitStopsTheServerAndExitsWithZero)
{
    const Tray tray = startTray(x);
    ASSERT_FALSE(tray.panel.isEmpty()) << tray.process->errors().toStdString();
    PremiereStandIn premiere;
    HelperRun helper(x, home.path(), configHome.path());
    const QString icon = waitForIcon(tray);
    ASSERT_FALSE(icon.isEmpty()) << helper.diagnostics();
    ASSERT_TRUE(waitFor(healthOk, 15s)) << helper.diagnostics();
    const pid_t server = helper.serverPid();
    ASSERT_TRUE(processAlive(server));

    const QStringList before = x.mappedOverrideRedirectWindows();
    const QRect area = x.geometry(icon);
    x.run("/usr/bin/xdotool", { "mousemove", QString::number(area.center().x()), QString::number(area.center().y()),
                                "click", "1" });
    // A new top-level window outside the window manager's care, tall enough for nine items (a
    // tooltip would be one line).
    QString menu;
    ASSERT_TRUE(waitFor([&] {
        for (const QString& window : x.mappedOverrideRedirectWindows())
            if (!before.contains(window) && x.geometry(window).height() > 100)
                menu = window;
        return !menu.isEmpty();
    }, 10s)) << "no menu opened";
    EXPECT_TRUE(x.geometry(menu).intersects(QRect(0, 0, 320, 200)));
    x.screenshot("menu-open");

    // The last item: upwards from no selection, then chosen.
    x.run("/usr/bin/xdotool", { "key", "Up" });
    x.run("/usr/bin/xdotool", { "key", "Return" });
    ASSERT_TRUE(helper.process().waitForFinished(std::chrono::steady_clock::now() + 5s)) << helper.diagnostics();
    EXPECT_EQ(helper.process().terminationStatus(), 0) << helper.diagnostics();
    EXPECT_TRUE(waitFor([&] { return !processAlive(server); }, 5s)) << "the server was left running";
    EXPECT_FALSE(healthOk());
}

TEST_F(TrayGuiTest, ADisplayThatCannotBeReachedLeavesTheHelperRunningWithoutAnIcon)
{
    const QString unused = QString::number(5000 + ::getpid() % 1000);
    ASSERT_FALSE(QFileInfo::exists("/tmp/.X11-unix/X" + unused));
    PremiereStandIn premiere;
    HelperRun helper(":" + unused, home.path(), configHome.path());
    ASSERT_TRUE(waitFor([&] { return helper.serverPid() != 0; }, 15s)) << helper.diagnostics();
    EXPECT_TRUE(waitFor(healthOk, 15s)) << helper.diagnostics();
    EXPECT_TRUE(helper.process().isRunning());
    helper.process().sendSignal(SIGTERM);
    ASSERT_TRUE(helper.process().waitForFinished(std::chrono::steady_clock::now() + 3s));
    EXPECT_EQ(helper.process().terminationStatus(), 0);
}
