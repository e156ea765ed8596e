"""The real helper's life and death, seen from outside; each case kills whatever it started."""
import os, signal, socket, subprocess, sys, tempfile, time, unittest

HELPER = os.environ["TESSARYN_HELPER"]
STAND_IN = ["env", "GIO_LAUNCHED_DESKTOP_FILE=/usr/share/applications/com.adobe.PremierePro.desktop", "sleep", "600"]
LISTEN = "require('http').createServer((q, r) => r.end()).listen(+process.env.PORT, '127.0.0.1');"
SERVERS = {"slow": "process.on('SIGTERM', () => setTimeout(() => process.exit(0), 1200));" + LISTEN,  # DEV_AI_SERVER_PATH
           "stubborn": "process.on('SIGTERM', () => {});" + LISTEN, "crashing": "setTimeout(() => process.exit(3), 100);"}


def ended(pid):  # gone, or a zombie that nobody reaps
    stat = subprocess.run(["ps", "-o", "stat=", "-p", str(pid)], stdout=subprocess.PIPE).stdout
    return stat[:1] in (b"", b"Z")


def wait_until(condition, timeout=10.0):
    deadline = time.monotonic() + timeout
    while not condition() and time.monotonic() < deadline:
        time.sleep(0.05)
    return condition()


class Lifecycle(unittest.TestCase):
    def setUp(self):
        self.home = tempfile.mkdtemp()
        self.groups = []
        self.addCleanup(self.kill_all)
        self.log = os.path.join(self.home, "Library/Logs/Tessaryn/helper.log")
        for name, body in SERVERS.items():
            with open(os.path.join(self.home, name + ".js"), "w") as script:
                script.write(body)

    def kill_all(self):  # helpers, their servers and shells, stand-ins: each started as a group
        subprocess.run(["kill", "-KILL", "--", *(f"-{group}" for group in self.groups)], stderr=subprocess.DEVNULL)
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

    def lines(self):
        with open(self.log if os.path.exists(self.log) else os.devnull, encoding="utf-8") as log:
            return [line.rstrip("\n").split(" ", 1)[1] for line in log]

    def wait_line(self, prefix, timeout=10.0):
        found = []
        wait_until(lambda: found.extend(l for l in self.lines() if l.startswith(prefix)) or found, timeout)
        self.assertTrue(found, f"no {prefix!r} in {self.lines()}")
        return found[-1]

    def server_pid(self, wait_listening=False):
        pid = int(self.wait_line("Server spawned (pid ").split("pid ")[1].rstrip(")"))
        self.assertTrue(not wait_listening or wait_until(lambda: socket.socket().connect_ex(("127.0.0.1", 9876)) == 0))
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
                os.remove(self.log)
                self.assertEqual(ended(pid), not stopped_by_next_start)
                next_helper = self.start([HELPER], server)
                self.server_pid()
                stopped = [l for l in self.lines() if l.startswith("Stopped a server left")]
                self.assertEqual(stopped, [f"Stopped a server left by an earlier run (pid {pid})"] * stopped_by_next_start)
                self.assertTrue(ended(pid))
                os.killpg(next_helper.pid, signal.SIGKILL)
                next_helper.wait()
                os.remove(self.log)

    def test_a_second_helper_says_so_and_exits_and_empty_overrides_count_as_unset(self):
        self.start(STAND_IN)
        first = self.start([HELPER], env={"DEV_NODE_PATH": "", "DEV_AI_SERVER_PATH": ""})
        self.server_pid()
        self.wait_line("PluginInstaller: ")
        count = len(self.lines())
        self.assertEqual(self.start([HELPER]).wait(10), 0)
        self.assertEqual(self.lines()[count:], [f"Another Tessaryn Helper is running (pid {first.pid}) \u2014 exiting"])
        self.assertIsNone(first.poll())

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
                self.assertEqual(f"SIGKILL sent to pid {pid} (SIGTERM ignored)" in self.lines(), server == "stubborn")
                os.remove(self.log)

    def test_inherited_ignored_sigchld_and_unread_or_closed_stderr(self):
        self.start(STAND_IN)
        for closed in (True, False):
            with self.subTest(stderr_closed=closed):
                read_end, write_end = os.pipe()
                os.close(read_end)
                inherit = lambda: (signal.signal(signal.SIGCHLD, signal.SIG_IGN), closed and os.close(2))
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
                os.remove(self.log)

    def test_the_port_holder_is_named(self):
        holder = socket.create_server(("127.0.0.1", 9876))  # with SO_REUSEADDR: past earlier TIME_WAITs
        self.addCleanup(holder.close)
        self.start(STAND_IN)
        self.start([HELPER])
        self.wait_line("Pre-flight: port 9876 in use")
        expected = f"Port 9876 is held by pid {os.getpid()} ({open('/proc/self/comm').read().strip()})"
        self.assertEqual(self.lines()[self.lines().index("Pre-flight: port 9876 in use") + 1], expected)

    def test_from_a_terminal_the_login_shell_neither_stalls_nor_leaves_a_job(self):
        with open(os.path.join(self.home, ".bash_profile"), "w") as profile:
            profile.write(f"sleep 600.{os.getpid()} &\n")
        self.start(["script", "-qfec", HELPER, "/dev/null"], stdin=subprocess.PIPE, env={"SHELL": "/bin/bash"})
        self.wait_line("Helper boot")
        with open(os.path.join(self.home, "Library/Application Support/Tessaryn/helper.lock")) as lock:
            self.groups.append(int(lock.readline()))  # in the terminal's session, not the test's
        self.start(STAND_IN)
        self.server_pid()
        self.assertFalse([l for l in self.lines() if l.startswith("PathDiscovery failed")])
        jobs = subprocess.run(["pgrep", "-fx", f"sleep 600.{os.getpid()}"], stdout=subprocess.PIPE).stdout.split()
        self.addCleanup(lambda: [os.kill(int(job), signal.SIGKILL) for job in jobs])
        self.assertEqual(jobs, [])


if __name__ == "__main__":
    unittest.main()
