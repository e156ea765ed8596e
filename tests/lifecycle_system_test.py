"""The real helper's life and death, seen from outside: killed outright, started twice, ended with
a slow or stubborn server, started with odd inherited state, from a terminal, and beside another
program on its port. Every case has its own HOME; whatever it started is killed at its end."""
import os, signal, socket, subprocess, sys, tempfile, time, unittest

HELPER = os.environ["TESSARYN_HELPER"]
STAND_IN = ["env", "GIO_LAUNCHED_DESKTOP_FILE=/usr/share/applications/com.adobe.PremierePro.desktop", "sleep", "600"]
SERVERS = {  # node scripts given through DEV_AI_SERVER_PATH
    "slow": "process.on('SIGTERM', () => setTimeout(() => process.exit(0), 1200));",
    "stubborn": "process.on('SIGTERM', () => {});",
    "crashing": "setTimeout(() => process.exit(3), 100);",
}
LISTEN = "require('http').createServer((q, r) => r.end()).listen(+process.env.PORT, '127.0.0.1');"


def ended(pid):
    try:
        with open(f"/proc/{pid}/stat") as stat:
            return stat.read().rsplit(")", 1)[1].split()[0] in "ZX"
    except FileNotFoundError:
        return True


def listening():
    with socket.socket() as probe:
        return probe.connect_ex(("127.0.0.1", 9876)) == 0


def wait_until(condition, timeout=10.0):
    deadline = time.monotonic() + timeout
    while not condition():
        if time.monotonic() > deadline:
            return False
        time.sleep(0.05)
    return True


class Lifecycle(unittest.TestCase):
    def setUp(self):
        self.home = tempfile.mkdtemp()
        self.groups = []
        self.addCleanup(self.kill_all)
        self.log = os.path.join(self.home, "Library/Logs/Tessaryn/helper.log")
        for name, body in SERVERS.items():
            with open(os.path.join(self.home, name + ".js"), "w") as script:
                script.write(body + LISTEN * (name != "crashing"))

    def kill_all(self):  # helpers, their servers and shells, stand-ins: each started as a group
        for group in self.groups:
            try:
                os.killpg(group, signal.SIGKILL)
            except ProcessLookupError:
                pass
        subprocess.run(["rm", "-rf", self.home])

    def start(self, args, server=None, **options):
        env = {k: v for k, v in os.environ.items() if not k.startswith(("DEV_", "DISPLAY", "WAYLAND", "DBUS", "QT_"))}
        env.update(HOME=self.home, XDG_CONFIG_HOME=self.home + "/config", QT_QPA_PLATFORM="offscreen", SHELL="/bin/sh")
        if server is not None:
            env["DEV_AI_SERVER_PATH"] = server and os.path.join(self.home, server + ".js")
        env.update(options.pop("env", {}))
        process = subprocess.Popen(args, env=env, start_new_session=True, stdout=subprocess.DEVNULL, **options)
        self.groups.append(process.pid)
        return process

    def fresh_log(self):
        if os.path.exists(self.log):
            os.remove(self.log)

    def lines(self):
        try:
            with open(self.log, encoding="utf-8") as log:
                return [line.rstrip("\n").split(" ", 1)[1] for line in log]
        except FileNotFoundError:
            return []

    def wait_line(self, prefix, timeout=10.0):
        found = []
        wait_until(lambda: found.extend(l for l in self.lines() if l.startswith(prefix)) or found, timeout)
        self.assertTrue(found, f"no {prefix!r} in {self.lines()}")
        return found[-1]

    def server_pid(self, wait_listening=False):
        pid = int(self.wait_line("Server spawned (pid ").split("pid ")[1].rstrip(")"))
        self.assertTrue(not wait_listening or wait_until(listening))
        return pid

    def test_a_helper_killed_outright_leaves_no_server_running(self):
        self.start(STAND_IN)
        for server, stopped_by_next_start in ((None, False), ("stubborn", True)):
            with self.subTest(server=server):
                helper = self.start([HELPER], server)
                pid = self.server_pid(wait_listening=True)
                helper.kill()
                helper.wait()
                time.sleep(1)
                self.fresh_log()
                self.assertEqual(ended(pid), not stopped_by_next_start)
                next_helper = self.start([HELPER], server)
                self.assertNotEqual(self.server_pid(), pid)
                stopped = [l for l in self.lines() if l.startswith("Stopped a server left")]
                self.assertEqual(stopped, [f"Stopped a server left by an earlier run (pid {pid})"] * stopped_by_next_start)
                self.assertTrue(ended(pid))
                os.killpg(next_helper.pid, signal.SIGKILL)
                next_helper.wait()
                self.fresh_log()

    def test_a_second_helper_says_so_and_exits_and_empty_overrides_count_as_unset(self):
        self.start(STAND_IN)
        first = self.start([HELPER], env={"DEV_NODE_PATH": "", "DEV_AI_SERVER_PATH": ""})
        self.server_pid()
        self.wait_line("PluginInstaller: ")
        count = len(self.lines())
        self.assertEqual(self.start([HELPER]).wait(10), 0)
        self.assertEqual(self.lines()[count:], [f"Another Tessaryn Helper is running (pid {first.pid}) \u2014 exiting"])
        self.assertIsNone(first.poll())
        self.assertFalse([l for l in self.lines() if l.startswith("Pre-flight")])

    def test_sigterm_ends_a_slow_or_stubborn_server_before_the_helper_exits(self):
        self.start(STAND_IN)
        for server in ("slow", "stubborn"):
            with self.subTest(server=server):
                helper = self.start([HELPER], server)
                pid = self.server_pid(wait_listening=True)
                began = time.monotonic()
                helper.send_signal(signal.SIGTERM)
                self.assertEqual(helper.wait(10), 0)
                self.assertLess(time.monotonic() - began, 2.8)
                self.assertTrue(ended(pid))
                killed = f"SIGKILL sent to pid {pid} (SIGTERM ignored)" in self.lines()
                self.assertEqual(killed, server == "stubborn")
                self.fresh_log()

    def test_inherited_ignored_sigchld_and_unread_or_closed_stderr(self):
        self.start(STAND_IN)
        for closed in (True, False):
            with self.subTest(stderr_closed=closed):
                read_end, write_end = os.pipe()
                os.close(read_end)
                def inherit():
                    signal.signal(signal.SIGCHLD, signal.SIG_IGN)
                    os.close(2) if closed else None
                helper = self.start([HELPER], "crashing", stderr=write_end, preexec_fn=inherit)
                os.close(write_end)
                self.wait_line("PluginInstaller: Creative Cloud not running")
                self.assertEqual(self.wait_line("Server crashed"), "Server crashed (exit 3); restart attempt 1 in 1s")
                time.sleep(0.5)
                self.assertIsNone(helper.poll())
                written = subprocess.run(["grep", "-rl", "alert:", self.home], stdout=subprocess.PIPE).stdout
                self.assertEqual(written, b"")  # no file took the place of standard error
                os.killpg(helper.pid, signal.SIGKILL)
                helper.wait()
                self.fresh_log()

    def test_the_port_holder_is_named(self):
        holder = socket.socket()
        holder.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)  # past the TIME_WAIT of earlier cases
        holder.bind(("127.0.0.1", 9876))
        holder.listen()
        self.addCleanup(holder.close)
        self.start(STAND_IN)
        self.start([HELPER])
        self.wait_line("Pre-flight: port 9876 in use")
        with open("/proc/self/comm") as comm:
            expected = f"Port 9876 is held by pid {os.getpid()} ({comm.read().strip()})"
        lines = self.lines()
        self.assertEqual(lines[lines.index("Pre-flight: port 9876 in use") + 1], expected)

    def test_from_a_terminal_the_login_shell_neither_stalls_nor_leaves_a_job(self):
        with open(os.path.join(self.home, ".bash_profile"), "w") as profile:
            profile.write(f"sleep 600.{os.getpid()} &\n")
        self.start(["script", "-qfec", HELPER, "/dev/null"], stdin=subprocess.PIPE, env={"SHELL": "/bin/bash"})
        self.wait_line("Helper boot")
        with open(os.path.join(self.home, "Library/Application Support/Tessaryn/helper.lock")) as lock:
            self.groups.append(int(lock.readline()))  # in the terminal's session, not the test's
        began = time.monotonic()
        self.start(STAND_IN)
        self.server_pid()
        self.assertLess(time.monotonic() - began, 5)
        self.assertFalse([l for l in self.lines() if l.startswith("PathDiscovery failed")])
        jobs = subprocess.run(["pgrep", "-fx", f"sleep 600.{os.getpid()}"], stdout=subprocess.PIPE).stdout.split()
        self.addCleanup(lambda: [os.kill(int(job), signal.SIGKILL) for job in jobs])
        self.assertEqual(jobs, [])


if __name__ == "__main__":
    unittest.main()
