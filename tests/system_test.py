#!/usr/bin/env python3
"""The real tessaryn-helper driven as a black box: started as a user would, under a throw-away
HOME and XDG_CONFIG_HOME, watched through its helper.log, its exit status, port 9876 and, on
Xvfb beside a real XEmbed tray host (trayer), the screen.

To add a case, add a row to a table below, or a short test_* method on HelperCase (or Tray, for
the screen); the helpers start everything in a process group of its own and tearDown kills every
group, whether the test passed or not. CTest passes --helper, --build-dir and --cmake."""
import argparse, os, re, shutil, signal, socket, subprocess, sys, tempfile, time, unittest, urllib.request

ARGS = None
PREMIERE_DESKTOP = "/usr/share/applications/com.adobe.PremierePro.desktop"
BOOT_IDLE = "Helper boot \u2014 Premiere closed, staying idle"
WATCHER_TRUE = "PremiereWatcher: isPremiereRunning = true"
GREEN, RED, WHITE = (0x34, 0xC7, 0x59), (0xFF, 0x3B, 0x30), (0xFF, 0xFF, 0xFF)


def wait_until(condition, what, timeout=30, describe=lambda: ""):
    """The condition's first true value, polled until the deadline."""
    deadline = time.monotonic() + timeout
    while not (value := condition()):
        if time.monotonic() > deadline:
            raise AssertionError(f"timed out waiting for {what}\n{describe()}")
        time.sleep(0.05)
    return value


def health_ok():
    try:
        with urllib.request.urlopen("http://127.0.0.1:9876/health", timeout=5) as response:
            return response.status == 200 and response.read() == b'{"status":"ok"}'
    except OSError:
        return False


def gone(pid):
    """Gone, or a zombie that nobody reaps (a reparented grandchild may wait for ever)."""
    try:
        with open(f"/proc/{pid}/stat") as stat:
            return stat.read().rpartition(")")[2].split()[0] == "Z"
    except OSError:
        return True


class HelperCase(unittest.TestCase):
    def setUp(self):
        self.processes = []
        self.addCleanup(self.kill_all)
        self.fresh()

    def fresh(self):
        """A new temporary HOME and XDG_CONFIG_HOME, nothing running: one row of a table."""
        self.kill_all()
        self.tmp = tempfile.mkdtemp(prefix="tessaryn-system-")
        self.home, self.config, self.helper = os.path.join(self.tmp, "home"), os.path.join(self.tmp, "config"), None
        os.makedirs(self.home), os.makedirs(self.config)

    def kill_all(self):
        for process in reversed(self.processes):  # SIGTERM first lets Xvfb free its display
            for sig, timeout in ((signal.SIGTERM, 5), (signal.SIGKILL, 30)):
                try:
                    os.killpg(process.pid, sig)
                    process.wait(timeout=timeout)
                    break
                except (ProcessLookupError, subprocess.TimeoutExpired):
                    pass
            process.wait(timeout=30)
        self.processes = []
        if getattr(self, "tmp", None):
            shutil.rmtree(self.tmp, ignore_errors=True)

    def spawn(self, argv, env=None, output=subprocess.DEVNULL):
        """Starts a process in a group of its own, which tearDown kills."""
        process = subprocess.Popen(argv, env=env, stdin=subprocess.DEVNULL, stdout=output, stderr=output, start_new_session=True)
        self.processes.append(process)
        return process

    def start_helper(self, executable=None, display=None):
        env = {k: v for k, v in os.environ.items() if k not in (
            "QT_QPA_PLATFORM", "DISPLAY", "WAYLAND_DISPLAY", "XAUTHORITY", "DBUS_SESSION_BUS_ADDRESS", "DEV_NODE_PATH",
            "DEV_AI_SERVER_PATH", "GIO_LAUNCHED_DESKTOP_FILE", "GIO_LAUNCHED_DESKTOP_FILE_PID")}
        env.update(HOME=self.home, XDG_CONFIG_HOME=self.config, SHELL="/bin/sh")
        if display:  # with a session bus that cannot be reached, Qt docks its icon through XEmbed
            env.update(DISPLAY=display, DBUS_SESSION_BUS_ADDRESS=f"unix:path={self.home}/no-bus")
        else:
            env["QT_QPA_PLATFORM"] = "offscreen"
        self.stderr_path = os.path.join(self.tmp, "helper.stderr")
        with open(self.stderr_path, "ab") as stderr:
            self.helper = self.spawn([executable or ARGS.helper], env, stderr)
        return self.helper

    def log(self):
        """The messages of helper.log, without their stamps."""
        try:
            with open(os.path.join(self.home, "Library/Logs/Tessaryn/helper.log"), encoding="utf-8") as log:
                return [line.rstrip("\n").partition(" ")[2] for line in log]
        except FileNotFoundError:
            return []

    def diagnostics(self):
        stderr = open(self.stderr_path, encoding="utf-8", errors="replace").read() if self.helper else ""
        return "helper.log:\n" + "\n".join(self.log()) + "\nstandard error:\n" + stderr

    def wait_for(self, condition, what, timeout=30):
        return wait_until(condition, what, timeout, self.diagnostics)

    def wait_for_line(self, line):
        return self.wait_for(lambda: line in self.log(), repr(line))

    def server_pid(self):
        pids = [int(m.group(1)) for line in self.log() if (m := re.fullmatch(r"Server spawned \(pid (\d+)\)", line))]
        return pids[-1] if pids else None

    def start_premiere(self):
        """The stand-in the helper takes for Premiere Pro."""
        return self.spawn(["env", f"GIO_LAUNCHED_DESKTOP_FILE={PREMIERE_DESKTOP}", "sleep", "600"])

    def quit(self, process):
        os.killpg(process.pid, signal.SIGKILL), process.wait(timeout=30)

    def terminate_helper(self):
        self.helper.send_signal(signal.SIGTERM)
        return self.helper.wait(timeout=30)

    def hold_port(self):
        holder = socket.socket()
        holder.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        holder.bind(("127.0.0.1", 9876))
        holder.listen()
        self.addCleanup(holder.close)

    def startup(self):
        """The lines up to the boot decision."""
        log = self.log()
        return log[: log.index(BOOT_IDLE) + 1] if BOOT_IDLE in log else log


def unwritable_autostart(case):
    open(os.path.join(case.config, "autostart"), "w").close()  # a file where the folder belongs


# Start-ups without Premiere Pro: (name, arrangement, the lines up to the boot decision as patterns).
STARTUP_ROWS = [
    ("first start", lambda case: None,
     ["First launch \u2014 login item registered, marker created", "Login item already enabled", re.escape(BOOT_IDLE)]),
    ("login item folder unwritable", unwritable_autostart,
     ["LoginItem.register failed: .+", "First launch \u2014 login item registered, marker created",
      "LoginItem.register failed: .+", "Login item was not enabled \u2014 re-registered", re.escape(BOOT_IDLE)]),
]


class Headless(HelperCase):
    def test_startup_rows(self):
        for name, arrange, patterns in STARTUP_ROWS:
            with self.subTest(name):
                self.fresh()
                arrange(self)
                self.start_helper()
                self.wait_for_line(BOOT_IDLE)
                self.assertEqual(len(self.startup()), len(patterns), self.diagnostics())
                for line, pattern in zip(self.startup(), patterns):
                    self.assertRegex(line, f"^{pattern}$")
                self.assertEqual(self.terminate_helper(), 0)

    def test_a_first_start_registers_installs_then_a_second_finds_the_login_item(self):
        self.start_helper()
        self.wait_for(lambda: any(line.startswith("PluginInstaller: ") for line in self.log()), "the installer")
        self.assertTrue(self.log()[3].startswith("PluginInstaller: "), self.diagnostics())  # after the start-up
        self.assertTrue(os.path.exists(os.path.join(self.home, "Library/Application Support/Tessaryn/.first-launch-done")))
        with open(os.path.join(self.config, "autostart/app.marovant.tessaryn-helper.desktop")) as entry:
            self.assertIn(os.path.realpath(ARGS.helper), entry.read())
        # Without a display an alert is one line on standard error (no Creative Cloud runs here).
        self.wait_for(lambda: "alert: Creative Cloud is starting: Reopen Tessaryn Helper in about 20 seconds to install the plugin.\n"
                      in open(self.stderr_path, encoding="utf-8").read(), "the alert line")
        self.assertEqual(self.terminate_helper(), 0)
        os.remove(os.path.join(self.home, "Library/Logs/Tessaryn/helper.log"))
        self.start_helper()
        self.wait_for_line(BOOT_IDLE)
        self.assertEqual(self.startup(), ["Login item already enabled", BOOT_IDLE])
        self.assertEqual(self.terminate_helper(), 0)

    def test_premiere_wakes_the_server_and_its_quit_stops_it(self):
        self.start_helper()
        self.wait_for_line(BOOT_IDLE)
        premiere = self.start_premiere()
        self.wait_for_line(WATCHER_TRUE)
        server = self.wait_for(self.server_pid, "the server")
        at = self.log().index(WATCHER_TRUE)
        self.assertEqual(self.log()[at:at + 3], [WATCHER_TRUE, "Premiere launched \u2014 waking server", "User-requested restart"])
        self.wait_for(health_ok, "/health")
        self.quit(premiere)
        self.wait_for_line("PremiereWatcher: isPremiereRunning = false")
        self.wait_for_line("Premiere quit \u2014 stopping server, hiding icon")
        self.wait_for(lambda: gone(server), "the server's end")
        self.assertEqual(self.terminate_helper(), 0)

    def test_started_beside_premiere_the_server_starts_at_once_and_sigterm_stops_it(self):
        self.start_premiere()
        self.start_helper()
        server = self.wait_for(self.server_pid, "the server")
        self.assertEqual(self.log()[0], WATCHER_TRUE)
        self.assertNotIn(BOOT_IDLE, self.log())
        self.assertNotIn("User-requested restart", self.log())
        self.wait_for(health_ok, "/health")
        self.assertEqual(self.terminate_helper(), 0)
        self.assertIn("SIGTERM received \u2014 graceful shutdown", self.log())
        self.wait_for(lambda: gone(server), "the server's end")

    def test_a_server_killed_while_a_client_holds_a_connection_comes_back(self):
        self.start_premiere()
        self.start_helper()
        first = self.wait_for(self.server_pid, "the server")
        self.wait_for(health_ok, "/health")
        with socket.create_connection(("127.0.0.1", 9876)):  # a plugin's open connection is no other program
            os.kill(first, signal.SIGKILL)
            self.wait_for_line("Server crashed (exit 9); restart attempt 1 in 1s")
            self.wait_for(lambda: self.server_pid() != first and health_ok(), "a new server")
        self.assertEqual(self.terminate_helper(), 0)
        self.assertFalse([line for line in self.log() if "SIGKILL" in line or "in use" in line])

    def test_another_program_on_the_port(self):
        self.hold_port()
        self.start_premiere()
        self.start_helper()
        self.wait_for_line("Pre-flight: port 9876 in use")
        self.assertIsNone(self.server_pid())

    def test_an_installed_helper_runs_its_bundled_server(self):
        prefix = os.path.join(self.tmp, "prefix")
        subprocess.run([ARGS.cmake, "--install", ARGS.build_dir, "--prefix", prefix], check=True, stdout=subprocess.DEVNULL, timeout=300)
        for file in ("bin/tessaryn-helper", "share/tessaryn-helper/node", "share/tessaryn-helper/ai-server/server.js",
                     "share/tessaryn-helper/Tessaryn.ccx", "share/applications/app.marovant.tessaryn-helper.desktop"):
            self.assertTrue(os.path.exists(os.path.join(prefix, file)), file)
        self.start_premiere()
        self.start_helper(os.path.join(prefix, "bin/tessaryn-helper"))
        self.wait_for(self.server_pid, "the server")
        self.wait_for(health_ok, "/health")
        installer = self.wait_for(lambda: [l for l in self.log() if l.startswith("PluginInstaller: ")], "the installer")
        self.assertNotIn("no bundled Tessaryn.ccx", installer[0])
        with open(os.path.join(self.config, "autostart/app.marovant.tessaryn-helper.desktop")) as entry:
            self.assertIn(os.path.join(prefix, "bin/tessaryn-helper"), entry.read())
        self.assertEqual(self.terminate_helper(), 0)

    def test_an_unreachable_display_leaves_it_running_headless(self):
        self.assertFalse(os.path.exists("/tmp/.X11-unix/X997"))
        self.start_helper(display=":997")
        self.wait_for_line(BOOT_IDLE)
        self.assertEqual(self.terminate_helper(), 0)


class Tray(HelperCase):
    """The helper on Xvfb beside trayer: a dark strip along the top left that takes XEmbed icons."""

    def setUp(self):
        super().setUp()
        for number in range(90, 130):  # a display of its own
            if os.path.exists(f"/tmp/.X{number}-lock"):
                continue
            self.display = f":{number}"
            xvfb = self.spawn(["Xvfb", self.display, "-screen", "0", "320x200x24", "-nolisten", "tcp", "-noreset"])
            if self.wait_for(lambda: xvfb.poll() is not None or self.x("xwininfo", "-root"), "Xvfb") and xvfb.poll() is None:
                break
        # A newer plugin already installed: the installer skips without an alert standing modal.
        os.makedirs(os.path.join(self.home, "Library/Application Support/Adobe/UXP/Plugins/External/5d1e93b0_999.0.0"))
        self.spawn(["trayer", "--edge", "top", "--align", "left", "--widthtype", "pixel", "--width", "120", "--heighttype", "pixel",
                    "--height", "32", "--transparent", "true", "--tint", "0x303030", "--alpha", "0", "--expand", "false",
                    "--SetDockType", "false", "--SetPartialStrut", "false"], self.x_env())
        self.panel = self.wait_for(lambda: self.x("xdotool", "search", "--onlyvisible", "--name", "^panel$").split(), "the tray")[0]
        self.start_helper(display=self.display)

    def x_env(self):
        env = {k: v for k, v in os.environ.items() if k not in ("WAYLAND_DISPLAY", "XAUTHORITY")}
        env["DISPLAY"] = self.display
        return env

    def x(self, *argv):
        result = subprocess.run(argv, env=self.x_env(), stdin=subprocess.DEVNULL, capture_output=True, text=True, timeout=60)
        return result.stdout if result.returncode == 0 else ""

    def mapped(self, window, pattern=""):
        info = self.x("xwininfo", "-id", window)
        return "Map State: IsViewable" in info and pattern in info

    def icons(self):
        tree = re.findall(r'^\s+(0x[0-9a-f]+) .*\("tessaryn-helper" ', self.x("xwininfo", "-id", self.panel, "-tree"), re.M)
        return [window for window in tree if self.mapped(window)]

    def menus(self):
        children = re.findall(r"^\s+(0x[0-9a-f]+) ", self.x("xwininfo", "-root", "-children"), re.M)
        return [window for window in children if self.mapped(window, "Override Redirect State: yes")]

    def geometry(self, window):
        info = self.x("xwininfo", "-id", window)
        value = lambda name: int(re.search(name + r":\s*(-?\d+)", info).group(1))
        return value("Absolute upper-left X"), value("Absolute upper-left Y"), value("Width"), value("Height")

    def pixels_near(self, area, colour):
        """How many pixels of the area (x, y, w, h) on the screen are near the colour."""
        ppm = subprocess.run(["import", "-window", "root", "-depth", "8", "ppm:-"], env=self.x_env(), capture_output=True, timeout=60).stdout
        header = re.match(rb"P6\s+(\d+)\s+(\d+)\s+255\s", ppm)
        width, data = int(header.group(1)), ppm[header.end():]
        x0, y0, w, h = area
        return sum(all(abs(data[3 * (y * width + x) + i] - colour[i]) <= 24 for i in range(3))
                   for y in range(max(y0, 0), y0 + h) for x in range(max(x0, 0), x0 + w))

    def wait_for_icon_in(self, colour, other):
        icon = self.wait_for(lambda: (icons := self.icons()) and len(icons) == 1 and icons[0], "one icon in the tray")
        area = self.geometry(icon)
        self.assertTrue(area[0] >= 0 and area[1] >= 0 and area[0] + area[2] <= 120 and area[1] + area[3] <= 32, "docked in the tray")
        # The circle fills about half the window: at least a fifth in the colour, none in the other.
        self.wait_for(lambda: self.pixels_near(area, colour) >= area[2] * area[3] // 5 and not self.pixels_near(area, other),
                      f"the icon in {colour}")
        return icon, area

    def test_the_icon_is_green_while_the_server_runs_and_goes_with_premiere(self):
        self.wait_for_line(BOOT_IDLE)
        self.assertEqual(self.icons(), [], "an icon without Premiere Pro")
        premiere = self.start_premiere()
        self.wait_for(health_ok, "/health")
        icon, area = self.wait_for_icon_in(GREEN, RED)
        self.assertGreater(self.pixels_near(area, WHITE), 5, "the white letter")
        self.quit(premiere)
        self.wait_for(lambda: not self.icons(), "the icon to go")
        self.assertLessEqual(self.pixels_near((0, 0, 120, 32), GREEN), 2)

    def test_the_icon_is_red_when_another_program_holds_the_port(self):
        self.hold_port()
        self.start_premiere()
        self.wait_for_icon_in(RED, GREEN)
        self.assertIn("Pre-flight: port 9876 in use", self.log())

    def test_a_click_opens_the_menu_and_quit_stops_the_server_and_exits_with_zero(self):
        self.start_premiere()
        server = self.wait_for(self.server_pid, "the server")
        self.wait_for(health_ok, "/health")
        icon, (x, y, w, h) = self.wait_for_icon_in(GREEN, RED)
        before = self.menus()
        self.x("xdotool", "mousemove", str(x + w // 2), str(y + h // 2), "click", "1")
        # A new window outside the window manager's care, tall enough for nine items (a tooltip is one line).
        self.wait_for(lambda: [m for m in self.menus() if m not in before and self.geometry(m)[3] > 100], "the menu")
        self.x("xdotool", "key", "Up")  # the last item: upwards from no selection
        self.x("xdotool", "key", "Return")
        self.assertEqual(self.helper.wait(timeout=30), 0, self.diagnostics())
        self.wait_for(lambda: gone(server), "the server's end")
        self.assertFalse(health_ok())


if __name__ == "__main__":
    parser = argparse.ArgumentParser()
    parser.add_argument("--helper", required=True)
    parser.add_argument("--build-dir", required=True)
    parser.add_argument("--cmake", default="cmake")
    ARGS, rest = parser.parse_known_args()
    unittest.main(argv=[sys.argv[0]] + rest)
