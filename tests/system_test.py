#!/usr/bin/python3
"""The real helper as a black box, in a throw-away HOME. Usage: system_test.py HELPER BUILD_DIR CMAKE -v Class.test"""
import resource, contextlib, os, re, shutil, signal, socket, subprocess as sp, sys, tempfile, time, unittest, urllib.request
import dbus, dbus.service, dbus.mainloop.glib
from pathlib import Path
from gi.repository import GLib

HELPER, BUILD, CMAKE = (sys.argv.pop(1) for _ in range(3))
PATH, NOBODY = "/usr/local/bin:/usr/bin:/bin", 65534
PREMIERE = {"GIO_LAUNCHED_DESKTOP_FILE": "/usr/share/applications/com.adobe.PremierePro.desktop"}
IDLE, SPAWNED, ENTRY = (
    "Helper boot — Premiere closed, staying idle",
    "Server spawned (pid ",
    "autostart/app.marovant.tessaryn-helper.desktop",
)
UP, DOWN = "PremiereWatcher: isPremiereRunning = true", "PremiereWatcher: isPremiereRunning = false"
QUIT, ALERT = "Premiere quit — stopping server, hiding icon", "PluginInstaller: Premiere running"
FIRST, ENABLED = "First launch — login item registered, marker created", "Login item already enabled"
LISTEN = "require('http').createServer((q, r) => r.end('{\"status\":\"ok\"}')).listen(+process.env.PORT, '127.0.0.1');"
GREEN, RED, WHITE = (0x34, 0xC7, 0x59), (0xFF, 0x3B, 0x30), (0xFF, 0xFF, 0xFF)
SERVERS = {
    "slow": "process.on('SIGTERM', () => setTimeout(() => process.exit(0), 1200));" + LISTEN,
    "stubborn": "process.on('SIGTERM', () => {});" + LISTEN,
}


def until(condition, timeout=30):  # the D-Bus loop turns meanwhile
    deadline = time.monotonic() + timeout
    while not (value := condition()):
        if time.monotonic() > deadline:
            raise AssertionError("timed out")
        GLib.MainContext.default().iteration(False) or time.sleep(0.05)
    return value


def ok():
    with contextlib.suppress(OSError), urllib.request.urlopen("http://127.0.0.1:9876/health", timeout=5) as r:
        return r.status == 200 and r.read() == b'{"status":"ok"}'


def gone(pid):  # or a zombie nobody reaps
    with contextlib.suppress(OSError):
        return Path(f"/proc/{pid}/stat").read_text().rpartition(")")[2].split()[0] == "Z"
    return True


def pgrep(*argv):
    return [int(pid) for pid in sp.run(["pgrep", *argv], capture_output=True).stdout.split()]


class Case(unittest.TestCase):
    def setUp(self):
        self.procs, self.pids, self.tmp = [], [], None
        self.addCleanup(self.clean), self.fresh()

    def fresh(self):
        self.clean()
        tmp = self.tmp = tempfile.mkdtemp(prefix="tessaryn-system-")
        self.home, self.config, self.support = (
            tmp + "/home",
            tmp + "/config",
            tmp + "/home/.local/state/tessaryn",
        )
        self.logs, self.cache = self.support + "/logs", tmp + "/home/.cache/tessaryn"
        [os.makedirs(tmp + folder, 0o700) for folder in ("/home", "/config", "/run")]
        [Path(f"{tmp}/{name}.js").write_text(body) for name, body in SERVERS.items()]
        Path(tmp, "stderr").touch()

    def clean(self):
        self.tmp and print("-----", *self.log()[-40:], self.err()[-2000:], sep="\n", file=sys.stderr)
        for process in self.procs:  # SIGTERM first lets Xvfb free its display
            with contextlib.suppress(OSError):
                os.killpg(process.pid, signal.SIGTERM)
        for process in self.procs:
            with contextlib.suppress(sp.TimeoutExpired):
                process.wait(3)
            with contextlib.suppress(OSError):
                os.killpg(process.pid, signal.SIGKILL)
            process.wait()
        for pid in self.pids:  # servers, in groups of their own
            with contextlib.suppress(OSError):
                re.search(rb"node|tessaryn|sleep", Path(f"/proc/{pid}/cmdline").read_bytes()) and os.kill(
                    pid, signal.SIGKILL
                )
        self.procs, self.pids = [], []
        self.tmp and shutil.rmtree(self.tmp, ignore_errors=True)

    def spawn(self, argv, env=None, **options):
        options = dict(stdin=sp.DEVNULL, stdout=sp.DEVNULL, stderr=sp.DEVNULL) | options
        self.procs.append(sp.Popen(argv, env=env, start_new_session=True, **options))
        return self.procs[-1]

    def env(self, **extra):  # only the sanitizers' settings pass; no session bus: a tray is XEmbed
        sanitizers = {
            k: v for k, v in os.environ.items() if k in ("ASAN_OPTIONS", "UBSAN_OPTIONS", "LSAN_OPTIONS")
        }
        return (
            sanitizers
            | dict(
                PATH=PATH,
                HOME=self.home,
                LANG="C.UTF-8",
                SHELL="/bin/sh",
                XDG_CONFIG_HOME=self.config,
                XDG_RUNTIME_DIR=self.tmp + "/run",
                QT_QPA_PLATFORM="offscreen",
                DBUS_SESSION_BUS_ADDRESS="unix:path=/none",
            )
            | extra
        )

    def start(self, server=None, exe=HELPER, options={}, **env):
        server and env.setdefault("DEV_AI_SERVER_PATH", f"{self.tmp}/{server}.js")
        with open(self.tmp + "/stderr", "ab") as stderr:
            self.helper = self.spawn([exe], self.env(**env), **dict(stderr=stderr) | options)

    def log(self, folder=None):
        log = Path(folder or self.logs, "helper.log")
        return (
            [line.partition(" ")[2] for line in log.read_text(encoding="utf-8").splitlines()]
            if log.is_file()
            else []
        )

    def err(self):
        return Path(self.tmp, "stderr").read_text(errors="replace")

    def lines(self, prefix):
        return [line for line in self.log() if line.startswith(prefix)]

    def line(self, prefix, timeout=30):
        return until(lambda: self.lines(prefix), timeout)[-1]

    def server(self):
        self.pids.append(int(self.line(SPAWNED)[len(SPAWNED) : -1]))
        return self.pids[-1]

    def premiere(self, *prefix):  # as the desktop launches it
        return self.spawn([*prefix, "sleep", "600"], dict(PATH=PATH, HOME=self.home, **PREMIERE))

    def alert(self):  # by name: the installer alerts on stderr
        self.spawn(["bash", "-c", 'exec -a "Adobe Creative Cloud, Adobe Premiere Pro" sleep 600'])

    def profile(self, text):
        Path(self.home, ".bash_profile").write_text(text)

    def exited(self):
        self.assertEqual(self.helper.wait(30), 0)

    def quit(self, process):
        os.killpg(process.pid, signal.SIGKILL), process.wait()

    def end(self, sig=signal.SIGTERM, within=5):  # 2.5 s at most (unit-tested): 5 s is a hang
        began = time.monotonic()
        self.helper.send_signal(sig), self.exited()
        self.assertLess(time.monotonic() - began, within)

    def start_x(self):
        self.xvfb = self.spawn("Xvfb -displayfd 1 -screen 0 320x480x24 -noreset".split(), stdout=sp.PIPE)
        self.display = ":" + self.xvfb.stdout.readline().decode().strip()
        return dict(DISPLAY=self.display, QT_QPA_PLATFORM="")


class Headless(Case):
    def boot(self, *patterns, **env):  # the lines before it
        self.start(**env), self.line(IDLE)
        self.assertRegex("\n".join(self.log()[: self.log().index(IDLE)]), "^" + "\n".join(patterns) + "$")

    def test_command_line_first_second_unregistered(self):
        for argument, output in (
            ("--version", "0 tessaryn-helper 1.0.0\n"),
            ("--help", "0 Usage: tessaryn-helper [options]\n"),
            ("--bogus", "2 |tessaryn-helper: Unknown option 'bogus'.\n"),
        ):
            run = sp.run([HELPER, argument], env=self.env(), capture_output=True, text=True)
            self.assertEqual(f"{run.returncode} {run.stdout}|{run.stderr}"[: len(output)], output)
        self.assertEqual(os.listdir(self.home), [])  # nothing started
        self.boot(
            re.escape("Display DISPLAY=:997 cannot be reached — not using it"),
            FIRST,
            ENABLED,
            DISPLAY=":997",
            QT_QPA_PLATFORM="",
        )
        self.assertEqual(
            until(lambda: self.log()[4:])[0], "PluginInstaller: Creative Cloud not installed — skip"
        )
        self.assertNotIn("alert:", self.err())
        self.assertIn(os.path.realpath(HELPER), Path(self.config, ENTRY).read_text())
        valid = sp.run(["desktop-file-validate", f"{self.config}/{ENTRY}"], capture_output=True, text=True)
        self.assertEqual((valid.returncode, valid.stdout + valid.stderr), (0, ""))
        self.end(), os.remove(self.logs + "/helper.log"), self.boot(ENABLED), self.end()
        self.fresh(), open(self.config + "/autostart", "w").close()
        failed = "LoginItem.register failed: .+"
        self.boot(failed, FIRST, failed, "Login item was not enabled — re-registered"), self.end()

    def test_premiere_wakes_crash_restarts_second_refused(self):
        # Inherited: SIGCHLD ignored, fd 2 closed (no file of the helper takes its place).
        inherit = lambda: (signal.signal(signal.SIGCHLD, signal.SIG_IGN), os.close(2))
        self.alert(), self.start(
            options=dict(preexec_fn=inherit), DEV_NODE_PATH="", DEV_AI_SERVER_PATH=""
        )  # as if unset
        self.line(IDLE), self.line(ALERT)
        self.spawn(
            ["sleep", "600"],
            dict(GIO_LAUNCHED_DESKTOP_FILE="/usr/share/applications/org.gnome.Terminal.desktop"),
        )
        stand_in, server, lock = self.premiere(), self.server(), self.tmp + "/run/tessaryn/helper.lock"
        fds = [os.readlink(fd) for fd in Path(f"/proc/{self.helper.pid}/fd").iterdir()]
        self.assertEqual(
            [fd for fd in fds if "pidfd" in fd], ["anon_inode:[pidfd]"]
        )  # Premiere's end only is watched
        self.assertEqual(
            self.log()[self.log().index(UP) :][:3],
            [UP, "Premiere launched — waking server", "User-requested restart"],
        )
        self.assertEqual(sp.run(["grep", "-rl", "alert:", self.home], stdout=sp.PIPE).stdout, b"")
        until(ok)

        def refused(row):
            count = len(self.log())
            self.assertEqual(self.spawn([HELPER], self.env()).wait(30), 0, row)
            self.assertEqual(
                self.log()[count:],
                [f"Another Tessaryn Helper is running (pid {self.helper.pid}) — exiting"],
                row,
            )
            self.assertTrue(ok(), row)

        refused("at once")
        os.utime(lock, (time.time() - 600,) * 2), refused(
            "ten minutes on"
        )  # its age says nothing while its owner lives
        with socket.create_connection(("127.0.0.1", 9876)):  # a plugin's open connection is no other program
            shutil.rmtree(self.support, ignore_errors=True), os.kill(
                server, signal.SIGKILL
            )  # its lock there is made again at once
            self.line("Server crashed (exit 9); restart attempt 1 in 1s")
            server = until(lambda: (pid := self.server()) != server and ok() and pid)
        self.assertFalse([line for line in self.log() if "SIGKILL" in line or "in use" in line])
        refused("the state folder removed")
        shutil.rmtree(
            self.tmp + "/run/tessaryn", ignore_errors=True
        )  # its holder locks a new file, which may win a race
        until(lambda: os.path.isfile(lock)), refused("the lock's folder removed")
        self.quit(stand_in), self.line(QUIT), until(lambda: gone(server))
        self.premiere(), until(lambda: len(self.lines(SPAWNED)) == 2), self.end()

    def test_signals_or_sigkill_leave_no_server(self):
        for server, sig, killed in (
            (None, signal.SIGTERM, 1),
            ("slow", signal.SIGHUP, 0),
            ("stubborn", signal.SIGINT, 1),
            (None, signal.SIGQUIT, 0),
        ):
            with self.subTest(
                sig.name, server=server, killed=killed
            ):  # SIGTERM blocked at launch, as some launchers do
                options = dict(
                    preexec_fn=lambda: sig == signal.SIGTERM
                    and signal.pthread_sigmask(signal.SIG_BLOCK, {sig})
                )
                self.fresh(), self.premiere(), self.start(server, options=options), until(ok)
                if killed:  # its server follows it, or the next start stops one that ignores SIGTERM
                    left = self.server()
                    self.helper.kill(), self.helper.wait(), os.remove(
                        self.logs + "/helper.log"
                    )  # not its group
                    until(lambda: gone(left) != bool(server)), self.start(server, options=options)
                pid = self.server()
                self.assertTrue(not killed or gone(left))
                self.assertEqual(self.log()[len(self.lines("Stopped a server"))], UP)  # at once, no wake-up
                self.assertNotIn("User-requested restart", self.log())
                self.end(sig), self.assertTrue(gone(pid))
                self.assertIn(f"{sig.name} received — graceful shutdown", self.log())
                self.assertFalse(os.path.exists(self.support + "/server.json"))

    def test_login_shell_from_a_terminal_or_slow(self):
        job = f"sleep 600.{os.getpid()}"  # from a terminal: neither stalls nor leaves a job
        self.profile(job + " &\n")
        few = lambda: resource.setrlimit(resource.RLIMIT_NOFILE, (512, 4096))
        self.spawn(
            ["script", "-qfec", HELPER, "/dev/null"],
            self.env(SHELL="/bin/bash"),
            stdin=sp.PIPE,
            preexec_fn=few,
        )
        self.line("Helper boot")
        self.pids.append(
            int(Path(self.tmp, "run/tessaryn/helper.lock").read_text().split()[0])
        )  # in the terminal's session
        self.premiere(), self.server()
        self.assertIn(
            "open files 4096 4096", " ".join(Path(f"/proc/{self.pids[-2]}/limits").read_text().split())
        )  # raised
        self.assertEqual(self.lines("PathDiscovery failed"), [])  # the shell answered, not the 10 s timeout
        self.pids += (jobs := pgrep("-fx", job))
        self.assertEqual(jobs, [])
        # A slow shell holds up neither Premiere's quit nor SIGTERM; stderr a pipe nobody reads.
        self.fresh(), self.profile((job := f"sleep 6.{os.getpid()}") + "\n")
        read, write = os.pipe()
        os.close(read), self.alert(), self.start(options=dict(stderr=write), SHELL="/bin/bash"), os.close(
            write
        )
        premiere = self.premiere()
        for sigterm in (0, 1):  # the shell is asked again at Premiere's next launch
            self.pids += until(lambda: pgrep("-f", job))
            self.line(ALERT), self.end() if sigterm else (self.quit(premiere), self.line(QUIT, timeout=3))
            until(lambda: not pgrep("-f", job), 3)
            premiere = self.premiere()
        self.assertFalse(self.lines(SPAWNED) + self.lines("PathDiscovery"))

    def test_hostile_files_and_profile(self):
        env, state = (
            ".cache/tessaryn/env.json",
            ".local/state/tessaryn/",
        )  # the lock there without XDG_RUNTIME_DIR
        lock, marker = state + "helper.lock", state + "plugin-installed-version"
        for row, inherited in (
            (
                {env: 0, state + "server.json": 0, lock: 0, marker: 0, "root/.flatpak-info": 0},
                {"XDG_RUNTIME_DIR": ""},
            ),
            ({env: "../../large", lock: "none", marker: "/dev/zero"}, {"XDG_RUNTIME_DIR": ""}),
            ({"../run/tessaryn/helper.lock/inside": 1}, PREMIERE),
        ):
            with self.subTest(", ".join(row)):
                self.fresh()
                self.profile('echo "Welcome back!"\nexport PATH=/chatty/bin:$PATH\n')
                Path(self.home, "large").write_bytes(b"{" + b" " * (1 << 20) + b"}")
                for path, what in row.items():  # 0: a FIFO, 1: a folder, or a link's target
                    os.makedirs((path := Path(self.home, path)).parent, exist_ok=True)
                    os.makedirs(path) if what == 1 else os.mkfifo(path) if what == 0 else os.symlink(
                        what, path
                    )
                chroot = "import os, sys, time; os.chroot(sys.argv[1]); time.sleep(600)"  # the /proc scan meets its root
                self.spawn(
                    ["unshare", "-r"] * (os.getuid() != 0)
                    + [sys.executable, "-c", chroot, self.home + "/root"]
                )
                self.start(SHELL="/bin/bash", **inherited)
                stand_in = self.premiere()
                path = [
                    v
                    for v in Path(f"/proc/{self.server()}/environ").read_bytes().split(b"\0")
                    if v[:5] == b"PATH="
                ]
                self.assertTrue(path[0].startswith(b"PATH=/chatty/bin:/") and b"Welcome" not in path[0], path)
                self.assertEqual(
                    self.spawn([HELPER], self.env(**inherited)).wait(30), 0
                )  # the lock holds: it leaves
                os.rename(self.logs, self.home + "/removed"), shutil.rmtree(
                    self.home + "/removed"
                )  # the next line brings it back
                self.quit(stand_in), self.line(DOWN), self.end()
                self.assertEqual(os.path.getsize(self.home + "/large"), (1 << 20) + 2)

    def test_installed_dead_display_and_fifo_logs(self):
        prefix, folders = self.tmp + "/prefix", {
            "XDG_STATE_HOME": self.tmp + "/state",
            "XDG_CACHE_HOME": self.tmp + "/cache",
        }
        sp.run([CMAKE, "--install", BUILD, "--prefix", prefix], check=True, stdout=sp.DEVNULL)
        self.assertTrue(os.path.exists(prefix + "/share/applications/app.marovant.tessaryn-helper.desktop"))
        self.logs = self.tmp + "/state/tessaryn/logs"
        with socket.socket(socket.AF_UNIX) as dead:
            dead.bind(self.tmp + "/run/wayland-9")
        self.premiere(), self.start(
            exe=prefix + "/bin/tessaryn-helper",
            options=dict(cwd=self.tmp),
            WAYLAND_DISPLAY="wayland-9",
            QT_QPA_PLATFORM="",
            **folders,
        )
        until(ok)
        self.assertEqual(self.log()[0], "Display WAYLAND_DISPLAY=wayland-9 cannot be reached — not using it")
        self.assertNotIn("no bundled Tessaryn.ccx", self.line("PluginInstaller: "))
        self.assertIn(prefix + "/bin/tessaryn-helper", Path(self.config, ENTRY).read_text())
        self.end()  # files only in its XDG folders
        made = [
            str(p.relative_to(self.tmp))
            for p in Path(self.tmp).rglob("*")
            if p.name in ("tessaryn", "Library", ".first-launch-done", "env.json")
        ]
        self.assertEqual(
            sorted(made),
            [
                "cache/tessaryn",
                "cache/tessaryn/env.json",
                "run/tessaryn",
                "state/tessaryn",
                "state/tessaryn/.first-launch-done",
            ],
        )
        self.fresh(), os.makedirs(self.logs), [
            os.mkfifo(f"{self.logs}/{name}.log") for name in ("helper", "server")
        ]
        self.premiere(), self.start(), until(ok), self.end(within=3)
        [
            self.assertIn(f"{self.logs}/{name}.log is not a regular file", self.err())
            for name in ("helper", "server")
        ]

    def test_second_users_helper_gets_the_freed_port(self):
        if os.getuid() or int(Path("/proc/self/uid_map").read_text().split()[2]) <= NOBODY:
            self.skipTest("only root with all users mapped starts a process as another user")
        os.chmod(self.tmp, 0o755)
        other = {name: f"{self.tmp}/other-{name}" for name in ("HOME", "XDG_CONFIG_HOME", "XDG_RUNTIME_DIR")}
        [(os.makedirs(folder, 0o700), os.chown(folder, NOBODY, NOBODY)) for folder in other.values()]
        as_other = ["setpriv", f"--reuid={NOBODY}", f"--regid={NOBODY}", "--clear-groups"]
        premiere, _, server = self.premiere(), self.start(), self.server()
        self.premiere(*as_other), self.spawn(as_other + [HELPER], self.env(**other))
        theirs = lambda: "\n".join(self.log(self.logs.replace(self.home, other["HOME"])))
        until(lambda: "Port 9876 is held by another user's process" in theirs())
        self.quit(premiere), until(lambda: gone(server))
        self.pids.append(
            int(
                until(
                    lambda: re.findall(
                        r"Port 9876 is free again.*?Server spawned \(pid (\d+)", theirs(), re.S
                    )
                )[0]
            )
        )


class XEmbedTray(Case):  # beside trayer: a dark strip at the top left
    def x(self, command, text=True):
        run = sp.run(
            command.split(), env=dict(os.environ, DISPLAY=self.display), capture_output=True, text=text
        )
        return run.stdout if run.returncode == 0 else ""

    def shown(self):  # [x, y, w, h] of each
        return [
            [int(v) for v in re.findall(r"=(\d+)", self.x("xdotool getwindowgeometry --shell " + w))[1:5]]
            for w in self.x("xdotool search --onlyvisible --classname tessaryn-helper").split()
        ]

    def pixels(self, colour, area=(0, 0, 320, 480)):  # near the colour, in the area (x, y, w, h)
        ppm = self.x("import -window root -depth 8 ppm:-", text=False)
        data, (x0, y0, w, h) = ppm[re.match(rb"P6\s+320\s+480\s+255\s", ppm).end() :], area
        return sum(
            all(abs(data[3 * (y * 320 + x) + i] - colour[i]) <= 24 for i in range(3))
            for y in range(y0, y0 + h)
            for x in range(x0, x0 + w)
        )

    def icon_in(self, colour, other):  # one, in the strip
        area = until(lambda: (s := self.shown()) and len(s) == 1 and s[0][1] + s[0][3] <= 32 and s[0])
        until(lambda: self.pixels(colour, area) >= area[2] * area[3] // 5 and not self.pixels(other, area))
        return area

    def test_green_red_menu_quit_and_x_lost(self):
        x11 = self.start_x()
        self.spawn(
            (
                "trayer --edge top --align left --widthtype pixel --width 120 --heighttype pixel --height 32 --transparent true "
                "--tint 0x303030 --alpha 0 --expand false"
            ).split(),
            dict(os.environ, DISPLAY=self.display),
        )
        until(lambda: self.x("xdotool search --onlyvisible --name ^panel$"))
        self.start(**x11), self.line(IDLE)
        self.assertEqual(self.shown(), [])
        premiere, server = self.premiere(), self.server()
        until(ok)
        self.assertGreater(self.pixels(WHITE, self.icon_in(GREEN, RED)), 5)  # the letter
        self.quit(premiere), until(lambda: not self.shown())
        self.assertLessEqual(self.pixels(GREEN), 2)
        until(lambda: gone(server))
        holder = socket.create_server(("127.0.0.1", 9876))  # with SO_REUSEADDR: past earlier TIME_WAITs
        self.addCleanup(holder.close), self.premiere()
        x, y, w, h = self.icon_in(RED, GREEN)
        held, log = self.line("Port 9876 is held by "), self.log()
        self.assertEqual(
            (log[log.index(held) - 1], held[21:], len(self.lines(SPAWNED))),
            (
                "Pre-flight: port 9876 in use",
                f"pid {os.getpid()} ({Path('/proc/self/comm').read_text().strip()})",
                1,
            ),
        )
        self.x(f"xdotool mousemove {x + w // 2} {y + h // 2} click 1")
        self.assertEqual(
            until(lambda: [g for g in self.shown() if g[3] > 100])[0][:2], [x, y + h]
        )  # a menu, below
        self.x("xdotool key Up Return")  # the last item, Quit: upwards from no selection
        self.exited()
        holder.close(), os.remove(self.logs + "/helper.log"), self.start("stubborn", **x11)
        server = self.server()
        until(ok), os.killpg(self.xvfb.pid, signal.SIGKILL)
        self.exited()
        self.assertIn(f"Connection to display {self.display} lost — stopping server, quitting", self.log())
        self.assertTrue(gone(server))


WATCHER, ITEM = "org.kde.StatusNotifierWatcher", "org.kde.StatusNotifierItem"
MENU_ITEMS = [
    "Server running on :9876 0",
    "-",
    "Restart Server",
    "View Logs…",
    "Open Tessaryn Docs",
    "-",
    "Launch at Login checkmark 1",
    "-",
    "Quit Tessaryn Helper",
]


class Watcher(dbus.service.Object):  # keeps each item until its connection leaves, as panels do
    def __init__(self, bus):
        self.items = []
        super().__init__(dbus.service.BusName(WATCHER, bus), "/StatusNotifierWatcher")
        bus.add_signal_receiver(self.owner_changed, "NameOwnerChanged", "org.freedesktop.DBus")

    @dbus.service.method(WATCHER, in_signature="s", sender_keyword="sender")
    def RegisterStatusNotifierItem(self, service, sender):
        self.items.append(sender + service if service.startswith("/") else service + "/StatusNotifierItem")

    @dbus.service.method(dbus.INTROSPECTABLE_IFACE, out_signature="s")
    def Introspect(self):  # Qt reads properties only when introspected
        return (
            f'<node><interface name="{WATCHER}"><property name="IsStatusNotifierHostRegistered" type="b" '
            'access="read"/></interface></node>'
        )

    @dbus.service.method(dbus.PROPERTIES_IFACE, in_signature="ss", out_signature="v")
    def Get(self, interface, name):
        return {
            "IsStatusNotifierHostRegistered": True,
            "ProtocolVersion": dbus.Int32(0),
            "RegisteredStatusNotifierItems": dbus.Array(self.items, signature="s"),
        }[name]

    def owner_changed(self, name, old_owner, new_owner):
        self.items = [item for item in self.items if new_owner or not item.startswith(name + "/")]


def entry(node):  # as a panel shows it
    keys = ("label", "enabled", "toggle-type", "toggle-state")
    return (
        "-" if node[1].get("type") == "separator" else " ".join(str(node[1][k]) for k in keys if k in node[1])
    )


class StatusNotifierItem(Case):
    def item(self):
        service, path = until(lambda: len(self.watcher.items) == 1 and self.watcher.items[0]).split("/", 1)
        # Asked without blocking: a new item still waits on our watcher, served by this loop.
        item, menu = dbus.Interface(self.bus.get_object(service, "/" + path), dbus.PROPERTIES_IFACE), []
        item.Get(ITEM, "Menu", reply_handler=menu.append, error_handler=self.fail)
        return item, dbus.Interface(
            self.bus.get_object(service, until(lambda: menu and menu[0])), "com.canonical.dbusmenu"
        )

    def test_announced_launch_item_menu_and_quit(self):
        # Premiere exec'd by a wrapper settled as no application, announced on the bus.
        wrapper = self.spawn(
            ["sh", "-c", 'read x; exec env "$@"', "sh", *map("=".join, PREMIERE.items()), "sleep", "600"],
            self.env(),
            stdin=sp.PIPE,
        )
        began, daemon = time.monotonic(), self.spawn(
            "dbus-daemon --session --nofork --print-address=1".split(), stdout=sp.PIPE
        )
        address = daemon.stdout.readline().decode().strip()
        self.bus = dbus.bus.BusConnection(address, mainloop=dbus.mainloop.glib.DBusGMainLoop())
        exe, login, opener = (
            self.tmp + "/bin/tessaryn-helper",
            Path(self.config, ENTRY),
            Path(self.tmp, "bin/xdg-open"),
        )
        os.makedirs(self.tmp + "/bin"), os.symlink(BUILD + "/share", self.tmp + "/share"), shutil.copy(
            HELPER, exe
        )
        opener.write_text('#!/bin/sh\nls /proc/$$/fd > "$0.fds"\n'), opener.chmod(0o755), os.dup2(
            0, 42, inheritable=True
        )
        x11 = self.start_x()
        until(lambda: time.monotonic() - began > 3.5)
        self.start(
            "stubborn",
            exe,
            dict(pass_fds=[42]),
            DBUS_SESSION_BUS_ADDRESS=address,
            PATH=f"{self.tmp}/bin:{PATH}",
            **x11,
        )
        self.line(IDLE)
        self.watcher = Watcher(self.bus)  # the panel after the helper, as at login; then Premiere
        wrapper.stdin.write(b"\n"), wrapper.stdin.flush()
        launched = dbus.lowlevel.SignalMessage(
            "/org/gtk/gio/DesktopAppInfo", "org.gtk.gio.DesktopAppInfo", "Launched"
        )
        launched.append(
            dbus.ByteArray(PREMIERE["GIO_LAUNCHED_DESKTOP_FILE"].encode() + b"\0"),
            "",
            dbus.Int64(wrapper.pid),
            dbus.Array([], "s"),
            dbus.Dictionary({}, "sv"),
            signature="aysxasa{sv}",
        )
        until(lambda: self.bus.send_message(launched) and self.lines(SPAWNED))  # sent until heard
        item, menu = self.item()
        layout = lambda: menu.GetLayout(0, -1, [])[1][2]
        click = lambda id: menu.Event(id, "clicked", "", 0, signature="isvu", ignore_reply=True)
        pixel = lambda w, h, argb: bytes(
            argb[(h // 2 * w + w // 4) * 4 + 1 :][:3]
        )  # left of the "T", inside the circle
        until(lambda: pixel(*max(item.Get(ITEM, "IconPixmap"))) == bytes(GREEN))
        self.assertTrue(item.Get(ITEM, "ItemIsMenu"))
        self.assertEqual([entry(child) for child in layout()], MENU_ITEMS)
        self.assertEqual(menu.GetProperty(3, "enabled", timeout=10), True)  # unset: its default
        self.assertEqual([e[0] for e in menu.GetGroupProperties([3, 3, 99], [])], [3])
        with self.assertRaisesRegex(dbus.DBusException, "LimitsExceeded"):  # yet answered
            menu.GetGroupProperties(list(range(100000)), [])
        menu.EventGroup([(3, "clicked", "", 0)] * 50, signature="a(isvu)")  # Restart Server
        until(lambda: len(self.lines(SPAWNED)) == 2 and ok())
        self.assertEqual(len(self.lines("User-requested restart")), 2)  # the launch's, and one
        click(layout()[3][0])  # View Logs…
        self.assertNotIn(
            "42", until(lambda: Path(f"{opener}.fds").is_file() and Path(f"{opener}.fds").read_text().split())
        )
        shutil.copy(HELPER, exe + ".new"), os.rename(exe + ".new", exe)  # upgraded as dpkg does
        for on in (0, 1):  # "Launch at Login" still shows and toggles the truth
            click(layout()[6][0])
            until(lambda: [entry(layout()[6]), login.exists()] == [f"Launch at Login checkmark {on}", on])
        self.assertNotIn("deleted", login.read_text())
        self.quit(wrapper), self.line(DOWN), click(3)  # late, from an open menu
        until(lambda: not self.watcher.items)
        self.assertEqual(len(self.lines("User-requested restart")), 2)
        self.bus.release_name(WATCHER)  # the panel goes; back once the icon is shown without it
        self.premiere(), self.line("No system tray")  # nor an XEmbed tray on this display
        self.bus.request_name(WATCHER)
        item, menu = self.item()
        self.assertEqual(len(self.lines("No system tray")), 1)  # a watcher is a tray
        until(lambda: len(self.lines(SPAWNED)) == 3 and ok())  # once the last has gone
        menu.EventGroup(
            [(layout()[-1][0], "clicked", "", 0)], signature="a(isvu)", ignore_reply=True
        )  # Quit, as panels do
        self.exited()
        self.assertFalse(ok())

    def test_a_bus_that_stops_or_dies_holds_up_nothing(self):
        address, x11 = f"unix:path={self.tmp}/bus", self.start_x()

        def bus():  # anew at the same address, with a panel on it
            daemon = self.spawn(
                ["dbus-daemon", "--session", "--nofork", "--print-address", "--address=" + address],
                stdout=sp.PIPE,
            )
            daemon.stdout.readline()
            self.bus = dbus.bus.BusConnection(address, mainloop=dbus.mainloop.glib.DBusGMainLoop())
            self.watcher = Watcher(self.bus)
            return daemon

        for stopped_before_start in (1, 0):  # a wait on it takes 25 s
            daemon, premiere = bus(), self.premiere()
            if stopped_before_start:
                daemon.send_signal(signal.SIGSTOP)
            self.start("stubborn", DBUS_SESSION_BUS_ADDRESS=address, **x11)
            self.line(SPAWNED, 10)
            daemon.send_signal(signal.SIGSTOP)
            self.quit(premiere)
            self.line(DOWN)
            premiere = self.premiere()
            until(lambda: len(self.lines(SPAWNED)) == 2, 10)
            self.end()
            self.quit(daemon)
            self.quit(premiere)
            os.remove(self.logs + "/helper.log")
        daemon, premiere = bus(), self.premiere()
        self.start(DBUS_SESSION_BUS_ADDRESS=address, **x11)
        self.item()
        self.quit(daemon)
        self.line("Session bus connection lost")
        bus()
        self.item()  # back


if __name__ == "__main__":
    unittest.main()
