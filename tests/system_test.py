#!/usr/bin/python3
"""The real tessaryn-helper as a black box, under a throw-away HOME per case or row and an environment built here, not
the runner's; seen through helper.log, its exit status, port 9876, the screen of an XEmbed tray and a private session
bus. The cleanup kills everything started, pass or fail. A new group: a test_* method and its line in
tests/CMakeLists.txt. Usage (Debian's python, for dbus and gi): system_test.py HELPER BUILD_DIR CMAKE -v Class.test_x"""
import contextlib, os, re, shutil, signal, socket, subprocess, sys, tempfile, time, unittest, urllib.request
import dbus, dbus.service, dbus.mainloop.glib
from pathlib import Path
from gi.repository import GLib

HELPER, BUILD_DIR, CMAKE = (sys.argv.pop(1) for _ in range(3))  # the rest is for unittest
PATH, NOBODY = "/usr/local/bin:/usr/bin:/bin", 65534
PREMIERE = {"GIO_LAUNCHED_DESKTOP_FILE": "/usr/share/applications/com.adobe.PremierePro.desktop"}
BOOT_IDLE = "Helper boot \u2014 Premiere closed, staying idle"
WATCHER_TRUE, WATCHER_FALSE = "PremiereWatcher: isPremiereRunning = true", "PremiereWatcher: isPremiereRunning = false"
SPAWNED, QUIT = "Server spawned (pid ", "Premiere quit \u2014 stopping server, hiding icon"
GREEN, RED, WHITE = (0x34, 0xC7, 0x59), (0xFF, 0x3B, 0x30), (0xFF, 0xFF, 0xFF)
LISTEN = "require('http').createServer((q, r) => r.end('{\"status\":\"ok\"}')).listen(+process.env.PORT, '127.0.0.1');"
SERVERS = {"slow": "process.on('SIGTERM', () => setTimeout(() => process.exit(0), 1200));" + LISTEN,  # DEV_AI_SERVER_PATH
           "stubborn": "process.on('SIGTERM', () => {});" + LISTEN, "crashing": "setTimeout(() => process.exit(3), 100);"}


def wait_until(condition, what, timeout=30, describe=lambda: ""):
    """The condition's first true value, polled (turning the D-Bus main loop) until the deadline."""
    deadline = time.monotonic() + timeout
    while not (value := condition()):
        if time.monotonic() > deadline:
            raise AssertionError(f"timed out waiting for {what}\n{describe()}")
        GLib.MainContext.default().iteration(False) or time.sleep(0.05)
    return value


def health_ok():
    with contextlib.suppress(OSError), urllib.request.urlopen("http://127.0.0.1:9876/health", timeout=5) as response:
        return response.status == 200 and response.read() == b'{"status":"ok"}'
    return False


def gone(pid):  # or a zombie that nobody reaps (where PID 1 does not reap)
    with contextlib.suppress(OSError):
        return Path(f"/proc/{pid}/stat").read_text().rpartition(")")[2].split()[0] == "Z"
    return True


def pgrep(*argv):
    return [int(pid) for pid in subprocess.run(["pgrep", *argv], capture_output=True).stdout.split()]


class Case(unittest.TestCase):
    def setUp(self):
        self.processes, self.pids, self.tmp = [], [], None
        self.shown = self.failed()
        self.addCleanup(self.kill_all)
        self.fresh()

    def fresh(self):
        """A new temporary HOME and XDG_CONFIG_HOME, nothing running: one row of a table."""
        self.kill_all()
        self.tmp = tempfile.mkdtemp(prefix="tessaryn-system-")
        self.home, self.config, self.helper = self.tmp + "/home", self.tmp + "/config", None
        self.support, self.cache = self.home + "/.local/state/tessaryn", self.home + "/.cache/tessaryn"
        self.logs = self.support + "/logs"
        os.makedirs(self.home), os.makedirs(self.config), os.makedirs(self.tmp + "/run", 0o700)
        [Path(f"{self.tmp}/{name}.js").write_text(body) for name, body in SERVERS.items()]

    def failed(self):  # the cases and rows failed so far in this run
        return [test for test, _ in self._outcome.result.errors + self._outcome.result.failures]

    def kill_all(self):
        for test in [test for test in self.failed() if test not in self.shown and self.tmp]:  # under each failing row
            self.shown.append(test), print(f"\n----- {test}: the end of\n{self.diagnostics()}\n-----", file=sys.stderr)
        # SIGTERM first lets Xvfb free its display; a server outlives its helper in its group; a helper can leave it.
        deadline = time.monotonic() + 3
        for sig in (signal.SIGTERM, signal.SIGKILL):
            for process in self.processes:
                with contextlib.suppress(ProcessLookupError):
                    os.killpg(process.pid, sig)
            for process in self.processes:
                with contextlib.suppress(subprocess.TimeoutExpired):
                    process.wait(max(0.0, deadline - time.monotonic()) if sig == signal.SIGTERM else 30)
                [stream.close() for stream in (process.stdin, process.stdout) if stream]
        for pid in self.pids:
            with contextlib.suppress(OSError), open(f"/proc/{pid}/cmdline", "rb") as cmdline:
                re.search(rb"node|tessaryn-helper|sleep", cmdline.read()) and os.kill(pid, signal.SIGKILL)
        self.processes, self.pids = [], []
        if self.tmp:
            shutil.rmtree(self.tmp, ignore_errors=True)

    def spawn(self, argv, env=None, **options):
        defaults = dict(stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        process = subprocess.Popen(argv, env=env, start_new_session=True, **dict(defaults, **options))
        self.processes.append(process)
        return process

    def env(self, display=None, bus=None, **extra):  # from scratch: nothing of the terminal that runs the tests
        env = dict(PATH=PATH, HOME=self.home, LANG="C.UTF-8", SHELL="/bin/sh", XDG_CONFIG_HOME=self.config,
                   XDG_RUNTIME_DIR=self.tmp + "/run", QT_QPA_PLATFORM="offscreen")
        if display:  # without a session bus that answers, Qt docks its icon through XEmbed
            del env["QT_QPA_PLATFORM"]
            env.update(DISPLAY=display, DBUS_SESSION_BUS_ADDRESS=bus or f"unix:path={self.tmp}/no-bus")
        return dict(env, **extra)

    def start_helper(self, server=None, executable=HELPER, display=None, bus=None, env=None, **options):
        extra = dict(env or {}, **({"DEV_AI_SERVER_PATH": f"{self.tmp}/{server}.js"} if server else {}))
        with open(self.tmp + "/helper.stderr", "ab") as stderr:
            self.helper = self.spawn([executable], self.env(display, bus, **extra), **dict(dict(stderr=stderr), **options))
        return self.helper

    def log(self, logs=None):  # the messages of helper.log (in this case's log folder or another), without their stamps
        log = Path(logs or self.logs, "helper.log")
        return [line.partition(" ")[2] for line in log.read_text(encoding="utf-8").splitlines()] if log.is_file() else []

    def diagnostics(self):
        stderr = Path(self.tmp, "helper.stderr")
        stderr = stderr.read_text(errors="replace")[-2000:] if stderr.exists() else ""
        return "helper.log:\n" + "\n".join(self.log()[-40:]) + "\nstandard error:\n" + stderr

    def wait_for(self, condition, what, timeout=30):
        return wait_until(condition, what, timeout, self.diagnostics)

    def lines(self, prefix):
        return [line for line in self.log() if line.startswith(prefix)]

    def wait_for_line(self, prefix, timeout=30):
        return self.wait_for(lambda: self.lines(prefix), repr(prefix), timeout)[-1]

    def server_pid(self):
        pid = int(self.wait_for_line(SPAWNED)[len(SPAWNED):-1])
        self.pids.append(pid)  # killed in the cleanup even once its helper is gone
        return pid

    def serving(self, server=None, **options):  # a fresh row beside Premiere, the server answering: its pid
        self.fresh(), self.start_premiere(), self.start_helper(server, **options)
        return self.wait_for(health_ok, "the server to answer") and self.server_pid()

    def start_premiere(self, *prefix):  # a stand-in, launched as the desktop launches it
        return self.spawn([*prefix, "sleep", "600"], dict(PATH=PATH, HOME=self.home, **PREMIERE))

    def quit(self, process):
        os.killpg(process.pid, signal.SIGKILL), process.wait(timeout=30)

    def terminate(self, within=5, sig=signal.SIGTERM):  # ends with its server: 2.5 s at most (virtual clock), so 5 s only for a hang
        began, status = time.monotonic(), self.helper.send_signal(sig) or self.helper.wait(timeout=30)
        return self.assertLess(time.monotonic() - began, within, "the helper's end after SIGTERM") or status

    def as_nobody(self):  # the reason another user's process cannot be started here, or None
        if os.getuid() or int(Path("/proc/self/uid_map").read_text().split()[2]) <= NOBODY:
            self.skipTest("only root with all users mapped starts a process as another user")

    def start_x(self):
        """An X server of its own, and a newer plugin installed: no alert stands over the session."""
        os.makedirs(self.home + "/Library/Application Support/Adobe/UXP/Plugins/External/5d1e93b0_999.0.0")
        xvfb = self.spawn(["Xvfb", "-displayfd", "1", "-screen", "0", "320x480x24", "-noreset"], stdout=subprocess.PIPE)
        self.display = ":" + xvfb.stdout.readline().decode().strip()
        return self.display

    def first_start(self):
        """Login item and marker; no Creative Cloud runs or is installed, so the installer opens nothing."""
        self.start_helper()
        skip = "PluginInstaller: Creative Cloud not installed \u2014 skip"
        self.assertEqual(self.wait_for(lambda: self.log()[3:], "the installer")[0], skip)  # after start-up
        self.assertNotIn("alert:", self.diagnostics())
        entry = self.config + "/autostart/app.marovant.tessaryn-helper.desktop"
        self.assertIn(os.path.realpath(HELPER), Path(entry).read_text())
        validation = subprocess.run(["desktop-file-validate", entry], capture_output=True, text=True, timeout=60)
        self.assertEqual((validation.returncode, validation.stdout + validation.stderr), (0, ""))
        self.assertEqual(self.terminate(), 0), os.remove(self.logs + "/helper.log")


FIRST, ENABLED = "First launch \u2014 login item registered, marker created", "Login item already enabled"
# Start-ups without Premiere Pro: the arrangement, the lines up to the boot decision as patterns.
START_ROWS = {"first start, on a display that cannot be reached": (lambda case: None, [
                  re.escape("Display DISPLAY=:997 cannot be reached \u2014 not using it"), FIRST, ENABLED]),
              "second start": (Case.first_start, [ENABLED]),
              "login item folder unwritable": (lambda case: open(case.config + "/autostart", "w").close(), [
                  "LoginItem.register failed: .+", FIRST, "LoginItem.register failed: .+",
                  "Login item was not enabled \u2014 re-registered"])}


def chrooted_neighbour(case):
    """A process of this user chrooted beside a FIFO named .flatpak-info, which the /proc scan meets."""
    os.makedirs(case.tmp + "/root"), os.mkfifo(case.tmp + "/root/.flatpak-info")
    chroot = "import os, sys, time; os.chroot(sys.argv[1]); time.sleep(600)"
    case.spawn(["unshare", "-r"] * (os.getuid() != 0) + [sys.executable, "-c", chroot, case.tmp + "/root"])


def fifo(path):
    return lambda case: os.mkfifo(path.format(**vars(case)))


def link(target, path):
    return lambda case: os.symlink(target.format(**vars(case)), path.format(**vars(case)))


NO_RUNTIME = {"XDG_RUNTIME_DIR": ""}  # the lock in the state folder
# Each with a profile that talks: what stands in the helper's way, and more of its environment.
HOSTILE_ROWS = {"a talkative profile and a removed log folder": (lambda case: None, {}),
                "a FIFO at env.json": (fifo("{cache}/env.json"), {}),
                "a FIFO at the server's record": (fifo("{support}/server.json"), {}),
                "a link at env.json to a large file": (link("{tmp}/large", "{cache}/env.json"), {}),  # never to a device
                "a FIFO at a neighbour's /.flatpak-info": (chrooted_neighbour, {}),
                "Premiere's launch variable inherited by the helper": (lambda case: None, PREMIERE),
                "a FIFO at the lock": (fifo("{support}/helper.lock"), NO_RUNTIME),
                "a dangling link at the lock": (link("none", "{support}/helper.lock"), NO_RUNTIME),
                "a folder at the lock": (lambda case: os.makedirs(case.tmp + "/run/tessaryn/helper.lock/inside"), {}),
                "a FIFO at the install marker": (fifo("{support}/plugin-installed-version"), {}),
                "/dev/zero at the install marker": (link("/dev/zero", "{support}/plugin-installed-version"), {})}


class Headless(Case):
    def test_start_rows(self):
        for name, (arrange, patterns) in START_ROWS.items():
            with self.subTest(name):
                self.fresh(), arrange(self)
                self.start_helper(display=":997" if name.startswith("first") else None)  # then headless, as without one
                self.wait_for_line(BOOT_IDLE)
                self.assertRegex("\n".join(self.log()[: self.log().index(BOOT_IDLE)]), "^" + "\n".join(patterns) + "$")
                self.assertEqual(self.terminate(), 0)

    def test_premiere_wakes_the_server_which_comes_back_after_a_crash_and_goes_with_premiere(self):
        self.start_helper(env={"DEV_NODE_PATH": "", "DEV_AI_SERVER_PATH": ""}), self.wait_for_line(BOOT_IDLE)  # empty: as if unset
        premiere, server = self.start_premiere(), self.server_pid()
        woken = [WATCHER_TRUE, "Premiere launched \u2014 waking server", "User-requested restart"]
        self.assertEqual(self.log()[self.log().index(WATCHER_TRUE):][:3], woken)
        self.wait_for(health_ok, "/health")
        with socket.create_connection(("127.0.0.1", 9876)):  # a plugin's open connection is no other program
            os.kill(server, signal.SIGKILL)
            self.wait_for_line("Server crashed (exit 9); restart attempt 1 in 1s")
            self.wait_for(lambda: self.server_pid() != server and health_ok(), "a new server")
        server = self.server_pid()
        self.assertFalse([line for line in self.log() if "SIGKILL" in line or "in use" in line])
        self.quit(premiere), self.wait_for_line(QUIT)
        self.wait_for(lambda: gone(server), "the server's end")
        self.start_premiere()
        self.wait_for(lambda: len(self.lines(SPAWNED)) >= 3, "the server woken again")
        self.assertEqual(self.terminate(), 0)

    def test_a_second_helper_is_refused_however_long_the_first_has_run(self):
        server, lock = self.serving(), self.tmp + "/run/tessaryn/helper.lock"
        for row in ("at once", "ten minutes on", "the state folder removed, the server's record written again",
                    "the lock's folder removed"):
            with self.subTest(row):
                if row.startswith("ten"):  # the lock's age says nothing while its owner lives
                    os.utime(lock, (time.time() - 600,) * 2)
                elif row.startswith("the lock's"):  # its holder locks a new file there
                    shutil.rmtree(self.tmp + "/run/tessaryn", ignore_errors=True)  # a race the new file may win
                    self.wait_for(lambda: os.path.isfile(lock), "a new lock file")
                elif row != "at once":  # its lock there is made again at once; a crash writes the record again
                    shutil.rmtree(self.support, ignore_errors=True), os.kill(server, signal.SIGKILL)
                    server = self.wait_for(lambda: self.server_pid() != server and health_ok() and self.server_pid(), "a new server")
                count = len(self.log())
                self.assertEqual(self.spawn([HELPER], self.env()).wait(30), 0)
                self.assertEqual(self.log()[count:], [f"Another Tessaryn Helper is running (pid {self.helper.pid}) \u2014 exiting"])
                self.assertTrue(health_ok(), "the first helper's server stopped")
        self.assertEqual(self.terminate(), 0)  # the first carries on

    def test_sigterm_or_sigkill_beside_premiere_leaves_no_server(self):
        """SIGTERM (and a closed terminal, Ctrl-C, Ctrl-\\) ends the server first (SIGKILL if it must); after a SIGKILL to
        the helper the server follows it (parent-death signal), and one that ignores that is stopped by the next start."""
        for server, sig in ((None, signal.SIGTERM), ("slow", signal.SIGHUP), ("stubborn", signal.SIGINT), (None, signal.SIGQUIT)):
            with self.subTest(signal=sig.name, server=server):  # the first started with SIGTERM blocked, as some launchers do
                blocked = lambda: sig == signal.SIGTERM and signal.pthread_sigmask(signal.SIG_BLOCK, {signal.SIGTERM})
                pid = self.serving(server, preexec_fn=blocked)
                self.assertEqual(self.log()[0], WATCHER_TRUE)  # started at once, no wake-up
                self.assertFalse({BOOT_IDLE, "User-requested restart"} & set(self.log()))
                self.assertEqual((self.terminate(sig=sig), gone(pid)), (0, True))  # its bounds are checked on a virtual clock
                self.assertIn(f"{sig.name} received \u2014 graceful shutdown", self.log())
                self.assertEqual(f"SIGKILL sent to pid {pid} (SIGTERM ignored)" in self.log(), server == "stubborn")
                self.assertFalse(os.path.exists(self.support + "/server.json"), "the server's record left")
        for server in (None, "stubborn"):
            with self.subTest(signal="SIGKILL", server=server):
                pid = self.serving(server)
                self.helper.kill(), self.helper.wait(30), os.remove(self.logs + "/helper.log")  # not its group
                self.wait_for(lambda: gone(pid) != bool(server), "the server to follow its helper unless stubborn")
                self.start_helper(server), self.server_pid()
                self.assertEqual(self.lines("Stopped a server"), [f"Stopped a server left by an earlier run (pid {pid})"] * bool(server))
                self.assertTrue(gone(pid))

    def test_inherited_ignored_sigchld_and_unread_or_closed_stderr(self):
        for closed in (True, False):
            with self.subTest(stderr_closed=closed):
                self.fresh(), self.start_premiere()
                read_end, write_end = os.pipe()
                os.close(read_end)  # nobody reads: the first alert line would end the helper with SIGPIPE
                inherit = lambda: (signal.signal(signal.SIGCHLD, signal.SIG_IGN), closed and os.close(2))
                self.spawn(["bash", "-c", 'exec -a "Adobe Creative Cloud, Adobe Premiere Pro" sleep 600'])  # an alert
                helper = self.start_helper("crashing", stderr=write_end, preexec_fn=inherit)
                os.close(write_end)
                self.wait_for_line("PluginInstaller: Premiere running")
                # Exit statuses read right, and the helper lives on well past its alert line.
                crashes = self.wait_for(lambda: self.lines("Server crashed")[1:], "a second crash")
                self.assertEqual((crashes[0], helper.poll()), ("Server crashed (exit 3); restart attempt 2 in 2s", None))
                written = subprocess.run(["grep", "-rl", "alert:", self.home], stdout=subprocess.PIPE, timeout=60).stdout
                self.assertEqual(written, b"")  # no file of the helper took the place of standard error

    def test_from_a_terminal_the_login_shell_neither_stalls_nor_leaves_a_job(self):
        job = f"sleep 600.{os.getpid()}"
        Path(self.home, ".bash_profile").write_text(job + " &\n")
        self.spawn(["script", "-qfec", HELPER, "/dev/null"], self.env(SHELL="/bin/bash"), stdin=subprocess.PIPE)
        self.wait_for_line("Helper boot")
        self.pids.append(int(Path(self.tmp, "run/tessaryn/helper.lock").read_text().split()[0]))  # in the terminal's session
        self.start_premiere(), self.server_pid()
        self.assertEqual(self.lines("PathDiscovery failed"), [])  # the shell answered, not the 10 s timeout
        self.pids += (jobs := pgrep("-fx", job))
        self.assertEqual(jobs, [])

    def test_a_slow_login_shell_holds_up_neither_a_quit_of_premiere_nor_sigterm_and_is_ended(self):
        Path(self.home, ".bash_profile").write_text((job := f"sleep 6.{os.getpid()}") + "\n")
        _, premiere = self.start_helper(env={"SHELL": "/bin/bash"}), self.start_premiere()
        for sigterm in (False, True):  # the shell is asked again at Premiere's next launch
            self.pids += self.wait_for(lambda: pgrep("-f", job), "the login shell")
            if sigterm:
                self.assertEqual(self.terminate(), 0)
            else:
                self.quit(premiere), self.wait_for_line(QUIT, timeout=3)
            wait_until(lambda: not pgrep("-f", job), "the login shell's end", 3, self.diagnostics)
            premiere = self.start_premiere()
        self.assertFalse(self.lines(SPAWNED) + self.lines("PathDiscovery"), "a server started from an abandoned PATH")

    def test_a_second_users_helper_starts_its_server_once_the_first_user_lets_go_of_the_port(self):
        self.as_nobody(), os.chmod(self.tmp, 0o755)
        other = {name: f"{self.tmp}/other-{name}" for name in ("HOME", "XDG_CONFIG_HOME", "XDG_RUNTIME_DIR")}
        [(os.makedirs(folder, 0o700), os.chown(folder, NOBODY, NOBODY)) for folder in other.values()]
        as_other = ["setpriv", f"--reuid={NOBODY}", f"--regid={NOBODY}", "--clear-groups"]
        premiere, server = self.start_premiere(), self.start_helper() and self.server_pid()
        self.start_premiere(*as_other), self.spawn(as_other + [HELPER], self.env(**other))
        theirs, free = lambda: self.log(self.logs.replace(self.home, other["HOME"])), "Port 9876 is free again"
        self.wait_for(lambda: "Port 9876 is held by another user's process" in theirs(), "the port taken for the second user")
        self.quit(premiere)
        self.wait_for(lambda: gone(server), "the first user's server to stop")
        after_free = lambda: [m for m in "\n".join(theirs()).partition(free)[2].split("\n") if m.startswith(SPAWNED)]
        self.pids.append(int(self.wait_for(after_free, "the second user's server")[0][len(SPAWNED):-1]))  # 5-s probe: unit-tested

    def test_hostile_rows(self):
        for what, (arrange, inherited) in HOSTILE_ROWS.items():
            with self.subTest(what):
                self.fresh()
                Path(self.home, ".bash_profile").write_text('echo "Welcome back!"\nexport PATH=/chatty/bin:$PATH\n')
                Path(self.tmp, "large").write_bytes(b"{" + b" " * (1 << 20) + b"}")
                os.makedirs(self.support), os.makedirs(self.cache), arrange(self)
                self.start_helper(env=dict(inherited, SHELL="/bin/bash"))
                stand_in = self.start_premiere()
                path = [v for v in Path(f"/proc/{self.server_pid()}/environ").read_bytes().split(b"\0") if v[:5] == b"PATH="]
                self.assertTrue(path[0].startswith(b"PATH=/chatty/bin:/") and b"Welcome" not in path[0], path)
                self.assertEqual(self.spawn([HELPER], self.env(**inherited)).wait(30), 0)  # the lock holds: it leaves
                # Gone at once, though the helper and its server write on: the next line brings it back.
                os.rename(self.logs, self.home + "/removed"), shutil.rmtree(self.home + "/removed")
                self.quit(stand_in), self.wait_for_line(WATCHER_FALSE)
                self.assertEqual((self.terminate(), os.path.getsize(self.tmp + "/large")), (0, (1 << 20) + 2))

    def test_a_fifo_in_place_of_a_log_file_takes_nothing_and_holds_up_nothing(self):
        for name in ("helper.log", "server.log"):
            with self.subTest(name):
                self.fresh(), os.makedirs(self.logs), os.mkfifo(f"{self.logs}/{name}")
                self.start_premiere(), self.start_helper()
                self.wait_for(health_ok, "the server")
                self.assertEqual(self.terminate(within=3), 0)
                self.assertIn(f"{self.logs}/{name} is not a regular file", Path(self.tmp, "helper.stderr").read_text())

    def test_a_launch_announced_on_the_session_bus_is_looked_at_though_its_process_had_settled(self):
        """A launcher's wrapper, old and no application when the helper starts, becomes Premiere Pro by exec."""
        address = self.spawn(["dbus-daemon", "--session", "--nofork", "--print-address=1"], stdout=subprocess.PIPE).stdout.readline()
        bus = dbus.bus.BusConnection(address.decode().strip())
        stand_in = self.spawn(["sh", "-c", 'read x; exec env "$@"', "sh", *map("=".join, PREMIERE.items()), "sleep", "600"],
                              self.env(), stdin=subprocess.PIPE)
        uptime, stat = Path("/proc/uptime"), Path(f"/proc/{stand_in.pid}/stat")
        self.wait_for(lambda: float(uptime.read_text().split()[0]) - int(stat.read_text().rpartition(")")[2].split()[19])
                      / os.sysconf("SC_CLK_TCK") > 3.5, "the wrapper to be old")
        self.start_helper(env={"DBUS_SESSION_BUS_ADDRESS": address.decode().strip()}), self.wait_for_line(BOOT_IDLE)
        stand_in.stdin.write(b"\n"), stand_in.stdin.flush()
        self.wait_for(lambda: b"GIO_LAUNCHED" in Path(f"/proc/{stand_in.pid}/environ").read_bytes(), "the exec")
        launched = dbus.lowlevel.SignalMessage("/org/gtk/gio/DesktopAppInfo", "org.gtk.gio.DesktopAppInfo", "Launched")
        launched.append(dbus.ByteArray(PREMIERE["GIO_LAUNCHED_DESKTOP_FILE"].encode() + b"\0"), "", dbus.Int64(stand_in.pid),
                        dbus.Array([], "s"), dbus.Dictionary({}, "sv"), signature="aysxasa{sv}")
        self.wait_for(lambda: bus.send_message(launched) and self.lines(SPAWNED), "a server")  # sent until heard

    def test_the_holder_of_the_port_is_named(self):
        """As far as this user may see: a process of this user by pid and name, or another user's process."""
        hold = "import socket, time; s = socket.create_server(('127.0.0.1', 9876)); print(flush=True); time.sleep(600)"
        for uid in (os.getuid(), NOBODY):
            with self.subTest("this user's process" if uid == os.getuid() else "another user's process"):
                self.fresh(), uid == NOBODY and self.as_nobody()
                holder = self.spawn([sys.executable, "-c", hold], stdout=subprocess.PIPE, preexec_fn=lambda: os.setuid(uid))
                self.assertEqual(holder.stdout.readline(), b"\n")
                self.start_premiere(), self.start_helper()
                held = self.wait_for_line("Port 9876 is held by ")  # right after the pre-flight line
                name = f"pid {holder.pid} ({Path(f'/proc/{holder.pid}/comm').read_text().strip()})"
                self.assertEqual(held[21:], name if uid != NOBODY else "another user's process")
                self.assertEqual((self.log()[self.log().index(held) - 1], self.lines(SPAWNED)), ("Pre-flight: port 9876 in use", []))

    def test_a_dead_wayland_display_and_no_other_runs_headless(self):
        with socket.socket(socket.AF_UNIX) as dead:  # closed at once: a socket nobody listens on
            dead.bind(self.tmp + "/wayland-9")
        self.start_premiere()
        self.start_helper(env={"XDG_RUNTIME_DIR": self.tmp, "WAYLAND_DISPLAY": "wayland-9", "QT_QPA_PLATFORM": ""})
        self.wait_for(health_ok, "/health")
        self.assertEqual(self.log()[0], "Display WAYLAND_DISPLAY=wayland-9 cannot be reached \u2014 not using it")
        self.assertEqual(self.terminate(), 0)

    def test_an_installed_helper_runs_its_bundled_server_and_writes_only_in_its_xdg_folders(self):
        prefix, folders = self.tmp + "/prefix", {"XDG_STATE_HOME": self.tmp + "/state", "XDG_CACHE_HOME": self.tmp + "/cache"}
        subprocess.run([CMAKE, "--install", BUILD_DIR, "--prefix", prefix], check=True, stdout=subprocess.DEVNULL, timeout=300)
        self.assertTrue(os.path.exists(prefix + "/share/applications/app.marovant.tessaryn-helper.desktop"))
        self.logs = self.tmp + "/state/tessaryn/logs"  # absolute XDG folders; the other rules are unit-tested
        self.start_premiere(), self.start_helper(executable=prefix + "/bin/tessaryn-helper", env=folders, cwd=self.tmp)
        self.wait_for(health_ok, "/health")
        self.assertNotIn("no bundled Tessaryn.ccx", self.wait_for(lambda: self.lines("PluginInstaller: "), "the installer")[0])
        self.assertIn(prefix + "/bin/tessaryn-helper", Path(self.config, "autostart/app.marovant.tessaryn-helper.desktop").read_text())
        self.assertEqual(self.terminate(), 0)
        for path in ("state/tessaryn/.first-launch-done", "cache/tessaryn/env.json"):
            self.assertTrue(os.path.isfile(f"{self.tmp}/{path}"), path)
        made = sorted(str(p.relative_to(self.tmp)) for p in Path(self.tmp).rglob("*") if p.name in ("tessaryn", "Library"))
        self.assertEqual(made, ["cache/tessaryn", "run/tessaryn", "state/tessaryn"])  # and the lock's

    def test_the_command_line_is_answered_without_starting_anything(self):
        for arguments, status, out, err in ((["--version"], 0, "tessaryn-helper 1.0.0\n", ""),
                                            (["--help"], 0, "Usage: tessaryn-helper [options]\n", ""),
                                            (["--bogus"], 2, "", "tessaryn-helper: Unknown option 'bogus'.\n")):
            run = subprocess.run([HELPER, *arguments], env=self.env(), capture_output=True, text=True, timeout=30)
            self.assertEqual((run.returncode, run.stdout[:len(out)], run.stderr[:len(err)]), (status, out, err), arguments)
        self.assertEqual(os.listdir(self.home), [], "the helper started")


class XEmbedTray(Case):
    """The helper on Xvfb (320x480) beside trayer: a dark strip along the top left that takes XEmbed icons."""

    def x(self, *argv, text=True):
        result = subprocess.run(argv, env=dict(os.environ, DISPLAY=self.display), capture_output=True, text=text, timeout=60)
        return result.stdout if result.returncode == 0 else ""

    def windows(self, scope, line="", info=""):  # viewable, listed in the scope, with that line there and that info
        tree = re.findall(rf"^\s+(0x[0-9a-f]+) {line}", self.x("xwininfo", *scope), re.M)
        return [w for w in tree if "Map State: IsViewable" in (text := self.x("xwininfo", "-id", w)) and info in text]

    def icons(self):
        return self.windows(["-id", self.panel, "-tree"], '.*"tessaryn-helper"')

    def menus(self):  # outside the window manager's care
        return self.windows(["-root", "-children"], info="Override Redirect State: yes")

    def geometry(self, window):
        info = self.x("xwininfo", "-id", window)
        return [int(v) for v in re.findall(r"(?:Absolute upper-left [XY]|Width|Height):\s*(-?\d+)", info)]

    def pixels_near(self, colour, area=(0, 0, 320, 480)):  # in the area (x, y, w, h) of the screen
        ppm = self.x("import", "-window", "root", "-depth", "8", "ppm:-", text=False)
        data, (x0, y0, w, h) = ppm[re.match(rb"P6\s+320\s+480\s+255\s", ppm).end():], area
        return sum(all(abs(data[3 * (y * 320 + x) + i] - colour[i]) <= 24 for i in range(3))
                   for y in range(y0, y0 + h) for x in range(x0, x0 + w))

    def wait_for_icon_in(self, colour, other):
        """The one icon docked in the tray once the circle (about half its window) is in the colour, none in the other."""
        icon = self.wait_for(lambda: (icons := self.icons()) and len(icons) == 1 and icons[0], "one icon in the tray")
        area = self.geometry(icon)
        self.wait_for(lambda: self.pixels_near(colour, area) >= area[2] * area[3] // 5 and not self.pixels_near(other, area),
                      f"the icon in {colour}")
        return area

    def test_green_then_hidden_then_red_and_quit_from_its_menu(self):
        self.start_x()
        self.spawn(["trayer", "--edge", "top", "--align", "left", "--widthtype", "pixel", "--width", "120", "--heighttype",
                    "pixel", "--height", "32", "--transparent", "true", "--tint", "0x303030", "--alpha", "0", "--expand",
                    "false", "--SetDockType", "false", "--SetPartialStrut", "false"], dict(os.environ, DISPLAY=self.display))
        self.panel = self.wait_for(lambda: self.x("xdotool", "search", "--onlyvisible", "--name", "^panel$").split(), "trayer")[0]
        self.start_helper(display=self.display)
        self.wait_for_line(BOOT_IDLE)
        self.assertEqual(self.icons(), [], "an icon without Premiere Pro")
        premiere = self.start_premiere()
        server = self.server_pid()
        self.wait_for(health_ok, "/health")
        self.assertGreater(self.pixels_near(WHITE, self.wait_for_icon_in(GREEN, RED)), 5, "the white letter")
        self.quit(premiere)
        self.wait_for(lambda: not self.icons(), "the icon to go")
        self.assertLessEqual(self.pixels_near(GREEN), 2)
        self.wait_for(lambda: gone(server), "the server's end")
        self.addCleanup(socket.create_server(("127.0.0.1", 9876)).close)  # with SO_REUSEADDR: past earlier TIME_WAITs
        self.start_premiere()
        x, y, w, h = self.wait_for_icon_in(RED, GREEN)  # the port held: no server (see the port holder's case)
        before = self.menus()
        self.x("xdotool", "mousemove", str(x + w // 2), str(y + h // 2), "click", "1")
        # A new window outside the window manager's care, tall enough for nine items (a tooltip is one line), just below the icon.
        menu = self.wait_for(lambda: [m for m in self.menus() if m not in before and self.geometry(m)[3] > 100], "the menu")[0]
        self.assertEqual(self.geometry(menu)[:2], [x, y + h])
        self.x("xdotool", "key", "Up")  # the last item, Quit: upwards from no selection
        self.x("xdotool", "key", "Return")
        self.assertEqual(self.helper.wait(timeout=30), 0, self.diagnostics())

    def test_the_x_server_going_away_ends_the_server_then_the_helper(self):
        self.start_x()
        xvfb = self.processes[-1]
        self.start_premiere()
        self.start_helper("stubborn", display=self.display)  # a server that only SIGKILL ends
        server = self.server_pid()
        self.wait_for(health_ok, "/health")
        os.killpg(xvfb.pid, signal.SIGKILL)
        self.assertEqual(self.helper.wait(timeout=30), 0, self.diagnostics())
        self.assertIn(f"Connection to display {self.display} lost \u2014 stopping server, quitting", self.log())
        self.assertTrue(gone(server))


WATCHER, ITEM, MENU = "org.kde.StatusNotifierWatcher", "org.kde.StatusNotifierItem", "com.canonical.dbusmenu"
MENU_ITEMS = ["Server running on :9876 (disabled)", "-", "Restart Server", "View Logs\u2026", "Open Tessaryn Docs",
              "-", "Launch at Login (checkmark 1)", "-", "Quit Tessaryn Helper"]


class Watcher(dbus.service.Object):
    """A StatusNotifierWatcher and host: keeps each registered item, named by bus name and object path, until its
    connection leaves the bus, as panels do."""

    def __init__(self, bus):
        self.items = []
        super().__init__(dbus.service.BusName(WATCHER, bus), "/StatusNotifierWatcher")
        bus.add_signal_receiver(self.owner_changed, "NameOwnerChanged", "org.freedesktop.DBus")

    @dbus.service.method(WATCHER, in_signature="s", sender_keyword="sender")
    def RegisterStatusNotifierItem(self, service, sender):
        self.items.append(sender + service if service.startswith("/") else service + "/StatusNotifierItem")

    @dbus.service.method(dbus.INTROSPECTABLE_IFACE, out_signature="s")
    def Introspect(self):  # Qt reads the watcher's properties only when they are introspected
        return (f'<node><interface name="{WATCHER}"><property name="IsStatusNotifierHostRegistered" type="b" '
                'access="read"/></interface></node>')

    @dbus.service.method(dbus.PROPERTIES_IFACE, in_signature="ss", out_signature="v")
    def Get(self, interface, name):
        return {"IsStatusNotifierHostRegistered": True, "ProtocolVersion": dbus.Int32(0),
                "RegisteredStatusNotifierItems": dbus.Array(self.items, signature="s")}[name]

    def owner_changed(self, name, old_owner, new_owner):
        self.items = [item for item in self.items if new_owner or not item.startswith(name + "/")]


def layout_entry(node):
    """A menu entry as a panel shows it: "-" for a separator, else its label and its state."""
    props = node[1]
    extras = ["disabled"] * (not props.get("enabled", True))
    extras += [str(props[key]) for key in ("toggle-type", "toggle-state") if key in props]
    return "-" if props.get("type") == "separator" else str(props["label"]) + (f" ({' '.join(extras)})" if extras else "")


class StatusNotifierItem(Case):
    """The helper on a private session bus with a watcher: its own item, whose menu the host shows; not XEmbed."""

    def item(self):  # once registered, and its menu
        service, path = self.wait_for(lambda: len(self.watcher.items) == 1 and self.watcher.items[0], "one item").split("/", 1)
        # Asked without blocking: a newly built item still waits on calls to our watcher, served by this loop.
        item, menu = self.bus.get_object(service, "/" + path), []
        item.Get(ITEM, "Menu", dbus_interface=dbus.PROPERTIES_IFACE, reply_handler=menu.append, error_handler=self.fail)
        return item, self.bus.get_object(service, self.wait_for(lambda: menu and menu[0], "the item's menu"))

    def icon_colour(self, item):
        width, height, argb = max(item.Get(ITEM, "IconPixmap", dbus_interface=dbus.PROPERTIES_IFACE))
        at = (height // 2 * width + width // 4) * 4  # left of the "T", inside the circle
        return "#%02X%02X%02X" % tuple(argb[at + 1:at + 4])

    def test_item_menu_and_quit_follow_premiere_and_the_server(self):
        daemon = self.spawn(["dbus-daemon", "--session", "--nofork", "--print-address=1"], stdout=subprocess.PIPE)
        address = daemon.stdout.readline().decode().strip()
        self.bus = dbus.bus.BusConnection(address, mainloop=dbus.mainloop.glib.DBusGMainLoop())
        executable, entry = self.tmp + "/bin/tessaryn-helper", Path(self.config, "autostart/app.marovant.tessaryn-helper.desktop")
        os.makedirs(self.tmp + "/bin"), os.symlink(BUILD_DIR + "/share", self.tmp + "/share"), shutil.copy(HELPER, executable)
        opener = Path(self.tmp, "bin/xdg-open")  # notes the descriptors it was given; 42 is the helper's starter's
        opener.write_text('#!/bin/sh\nls /proc/$$/fd > "$0.fds"\n'), opener.chmod(0o755), os.dup2(0, 42, inheritable=True)
        self.start_helper("stubborn", executable, self.start_x(), address, {"PATH": f"{self.tmp}/bin:{os.environ['PATH']}"},
                          pass_fds=[42])  # not ended by its parent's death alone
        self.wait_for_line(BOOT_IDLE)
        self.watcher = Watcher(self.bus)  # the panel comes after the helper, as at login; then Premiere
        stand_in = self.start_premiere()
        item, menu = self.item()
        self.wait_for(lambda: self.icon_colour(item) == "#34C759", "a green icon")
        self.assertTrue(item.Get(ITEM, "ItemIsMenu", dbus_interface=dbus.PROPERTIES_IFACE), "a left click shows the menu")
        self.assertEqual([layout_entry(child) for child in menu.GetLayout(0, -1, [], dbus_interface=MENU)[1][2]], MENU_ITEMS)
        self.assertEqual(menu.GetProperty(3, "enabled", dbus_interface=MENU, timeout=10), True, "an unset property is its default")
        self.assertEqual([entry[0] for entry in menu.GetGroupProperties([3, 3, 99], [], dbus_interface=MENU)], [3], "each known once")
        with self.assertRaisesRegex(dbus.DBusException, "LimitsExceeded", msg="a request of any size answered"):
            menu.GetGroupProperties(list(range(100000)), [], dbus_interface=MENU)
        menu.EventGroup([(3, "clicked", "", 0)] * 50, signature="a(isvu)", dbus_interface=MENU)  # Restart Server
        self.wait_for(lambda: len(self.lines(SPAWNED)) == 2 and health_ok(), "the restarted server")
        self.assertEqual(len(self.lines("User-requested restart")), 2, "fifty clicks in one go are one (and the launch's)")
        menu.Event(menu.GetLayout(0, -1, [], dbus_interface=MENU)[1][2][3][0], "clicked", "", 0, signature="isvu",
                   dbus_interface=MENU, ignore_reply=True)  # View Logs…
        self.assertNotIn("42", self.wait_for(lambda: Path(f"{opener}.fds").is_file() and Path(f"{opener}.fds").read_text().split(), "xdg-open"))
        shutil.copy(HELPER, executable + ".new"), os.rename(executable + ".new", executable)  # upgraded as dpkg does
        for on in (0, 1):  # "Launch at Login" still shows and toggles the truth
            login = lambda: menu.GetLayout(0, -1, [], dbus_interface=MENU)[1][2][6]
            menu.Event(login()[0], "clicked", "", 0, signature="isvu", dbus_interface=MENU, ignore_reply=True)
            self.wait_for(lambda: [layout_entry(login()), entry.exists()] == [f"Launch at Login (checkmark {on})", on], "tick")
        self.quit(stand_in)
        self.wait_for_line(WATCHER_FALSE)
        menu.Event(3, "clicked", "", 0, signature="isvu", dbus_interface=MENU, ignore_reply=True)  # late, from an open menu
        self.wait_for(lambda: not self.watcher.items, "the item to go")
        self.assertEqual(len(self.lines("User-requested restart")), 2, "a click on a hidden icon's menu")
        self.bus.release_name(WATCHER)  # the panel goes, and comes back only once the icon is shown without it
        self.start_premiere()
        self.wait_for_line("No system tray")  # nor an XEmbed tray on this display
        self.bus.request_name(WATCHER)
        item, menu = self.item()
        self.assertEqual(len(self.lines("No system tray")), 1, "a watcher is a tray")
        self.wait_for(lambda: len(self.lines(SPAWNED)) == 3 and health_ok(), "a third server")  # once the last has gone
        quit_id = menu.GetLayout(0, -1, [], dbus_interface=MENU)[1][2][-1][0]
        menu.EventGroup([(quit_id, "clicked", "", 0)], signature="a(isvu)", dbus_interface=MENU, ignore_reply=True)  # as panels do
        self.assertEqual(self.helper.wait(30), 0, self.diagnostics())
        self.assertFalse(health_ok(), "the server outlived Quit")


if __name__ == "__main__":
    unittest.main()
