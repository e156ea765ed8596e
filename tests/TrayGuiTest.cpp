// The real tessaryn-helper on a real X server (Xvfb) beside a real XEmbed tray host (trayer),
// looked at from outside as a user would see it: windows through xdotool and xwininfo, pixels
// through screenshots, which stay in the build folder for a person to look at.
#include "RealProcesses.h"
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

using namespace std::chrono_literals;

namespace {

const QString screenshotFolder = QStringLiteral(TESSARYN_SCREENSHOT_DIR);

const QColor green(0x34, 0xC7, 0x59);
const QColor red(0xFF, 0x3B, 0x30);

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
    // The mapped windows listed by xwininfo (with the given arguments) whose line and own
    // description match: the helper's docked icon in the tray, or menus over the root window.
    QStringList mappedWindows(const QStringList& arguments, const QString& linePattern, const QString& info = {}) const
    {
        QStringList windows;
        const QRegularExpression pattern("^\\s+(0x[0-9a-f]+) " + linePattern);
        for (const QString& line : run("/usr/bin/xwininfo", arguments).value_or(QString()).split('\n')) {
            const auto match = pattern.match(line);
            if (!match.hasMatch())
                continue;
            const QString details = run("/usr/bin/xwininfo", { "-id", match.captured(1) }).value_or(QString());
            if (details.contains("Map State: IsViewable") && details.contains(info))
                windows << match.captured(1);
        }
        return windows;
    }
    QStringList helperWindowsIn(const QString& window) const
    {
        return mappedWindows({ "-id", window, "-tree" }, ".*\\(\"tessaryn-helper\" ");
    }
    QStringList mappedOverrideRedirectWindows() const
    {
        return mappedWindows({ "-root", "-children" }, "", "Override Redirect State: yes");
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
        const QString executable = HelperRun::Options().executable;
        ASSERT_TRUE(QFileInfo(executable).isExecutable()) << executable.toStdString();
        ASSERT_TRUE(x.ready()) << x.errors().toStdString();
        // A newer plugin already in Adobe's folder: the installer skips without an alert, which
        // would otherwise stand modal over the session.
        ASSERT_TRUE(QDir().mkpath(home.path() + "/Library/Application Support/Adobe/UXP/Plugins/External/5d1e93b0_999.0.0"));
    }

    // The tray host, then the helper on the test's display.
    void startTrayAndHelper()
    {
        tray = startTray(x);
        ASSERT_FALSE(tray.panel.isEmpty()) << tray.process->errors().toStdString();
        HelperRun::Options options;
        options.display = x.display();
        helper = std::make_unique<HelperRun>(home.path(), configHome.path(), options);
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
    Tray tray;
    std::unique_ptr<HelperRun> helper;
};

} // namespace

TEST_F(TrayGuiTest, TheIconIsGreenWhileTheServerRunsAndGoesWithPremiere)
{
    ASSERT_NO_FATAL_FAILURE(startTrayAndHelper());
    ASSERT_TRUE(helper->waitForMessage("Helper boot \u2014 Premiere closed, staying idle")) << helper->diagnostics();
    EXPECT_TRUE(icons(tray).isEmpty()) << "an icon without Premiere Pro";

    PremiereStandIn premiere;
    const QString icon = waitForIcon(tray);
    ASSERT_FALSE(icon.isEmpty()) << helper->diagnostics();
    ASSERT_TRUE(waitFor(healthOk, 15s)) << helper->diagnostics();
    const QRect area = x.geometry(icon);
    EXPECT_TRUE(QRect(0, 0, 120, 32).contains(area)) << "docked in the tray";
    EXPECT_TRUE(waitForColour(icon, green, red, "bar-running"));
    // The letter in white on the circle.
    EXPECT_GT(pixelsNear(x.screenshot("bar-running"), area, Qt::white), 5);

    premiere.quit();
    EXPECT_TRUE(waitFor([&] { return icons(tray).isEmpty(); }, 10s));
    EXPECT_LE(pixelsNear(x.screenshot("bar-after-premiere-quit"), QRect(0, 0, 120, 32), green), 2);
    EXPECT_TRUE(helper->messages().contains("Premiere quit \u2014 stopping server, hiding icon"));
}

TEST_F(TrayGuiTest, TheIconIsRedWhenAnotherProgramHoldsThePort)
{
    PortHolder other;
    ASSERT_TRUE(other.waitUntilListening());
    ASSERT_NO_FATAL_FAILURE(startTrayAndHelper());
    PremiereStandIn premiere;
    const QString icon = waitForIcon(tray);
    ASSERT_FALSE(icon.isEmpty()) << helper->diagnostics();
    EXPECT_TRUE(waitForColour(icon, red, green, "bar-port-in-use")) << helper->diagnostics();
    EXPECT_TRUE(helper->messages().contains("Pre-flight: port 9876 in use"));
    EXPECT_EQ(helper->serverPid(), 0);
}

TEST_F(TrayGuiTest, AClickOpensTheMenuAndQuitStopsTheServerAndExitsWithZero)
{
    ASSERT_NO_FATAL_FAILURE(startTrayAndHelper());
    PremiereStandIn premiere;
    const QString icon = waitForIcon(tray);
    ASSERT_FALSE(icon.isEmpty()) << helper->diagnostics();
    ASSERT_TRUE(waitFor(healthOk, 15s)) << helper->diagnostics();
    const pid_t server = helper->serverPid();
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
    ASSERT_TRUE(helper->process().waitForFinished(std::chrono::steady_clock::now() + 5s)) << helper->diagnostics();
    EXPECT_EQ(helper->process().terminationStatus(), 0) << helper->diagnostics();
    EXPECT_TRUE(waitFor([&] { return !processAlive(server); }, 5s)) << "the server was left running";
    EXPECT_FALSE(healthOk());
}
