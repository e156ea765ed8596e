"""The real helper against non-files where it reads, a talkative profile, a removed log folder."""
import contextlib, os, shutil, signal, subprocess, sys, tempfile, time, unittest

HELPER = os.environ.get("TESSARYN_HELPER", "build/bin/tessaryn-helper")
PREMIERE = {"GIO_LAUNCHED_DESKTOP_FILE": "/usr/share/applications/com.adobe.PremierePro.desktop"}

def wait_for(condition, timeout=15):
    deadline = time.monotonic() + timeout
    while not condition() and time.monotonic() < deadline:
        time.sleep(0.05)
    return condition()

class HostileSystemTest(unittest.TestCase):
    def setUp(self):
        self.pids, self.home = [], None
        self.addCleanup(self.end_row)  # also when a row fails

    def end_row(self):  # after each row, so that what one row left cannot disturb the next
        for pid in filter(None, self.pids + [self.server()]):
            with contextlib.suppress(ProcessLookupError):
                os.kill(pid, signal.SIGKILL)
        if self.home:
            shutil.rmtree(self.home, ignore_errors=True)
        self.pids, self.home = [], None

    def start(self, arguments, environment):
        process = subprocess.Popen(arguments, env=environment, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        self.pids.append(process.pid)
        return process

    def log(self):
        try:
            with open(os.path.join(self.home, "Library/Logs/Tessaryn/helper.log"), encoding="utf-8") as f:
                return [line.split(" ", 1)[-1].rstrip("\n") for line in f]
        except (FileNotFoundError, TypeError):
            return []

    def server(self):
        spawned = [m for m in self.log() if m.startswith("Server spawned (pid ")]
        return int(spawned[-1][len("Server spawned (pid "):-1]) if spawned else 0

    def test_hostile_conditions(self):
        for what, env_json, neighbour, inherit in [  # what env.json is, a neighbour chrooted beside a FIFO
            ("a talkative profile and a removed log folder", None, False, False),  # /.flatpak-info, an inherited
            ("a FIFO at env.json", "fifo", False, False),                          # Premiere launch variable
            ("a link at env.json to a large file", "link", False, False),
            ("a FIFO at a process's /.flatpak-info", None, True, False),
            ("Premiere's launch variable inherited by the helper", None, False, True)]:
            with self.subTest(what):
                self.run_row(env_json, neighbour, inherit)
            self.end_row()

    def run_row(self, env_json, neighbour, inherit):
        self.home = tempfile.mkdtemp()
        open(self.home + "/.bash_profile", "w").write('echo "Welcome back!"\nexport PATH=/chatty/bin:$PATH\n')
        cache, large = os.path.join(self.home, "Library/Application Support/Tessaryn/env.json"), self.home + "/large"
        os.makedirs(os.path.dirname(cache))
        open(large, "wb").write(b"{" + b" " * (1 << 20) + b"}")
        if env_json == "fifo":
            os.mkfifo(cache)
        elif env_json == "link":  # never to a device: a helper that writes through the link would replace it
            os.symlink(large, cache)
        environment = {k: v for k, v in os.environ.items() if not k.startswith(("GIO_", "DISPLAY", "WAYLAND", "DEV_"))}
        environment.update(HOME=self.home, XDG_CONFIG_HOME=self.home + "/config", SHELL="/bin/bash", QT_QPA_PLATFORM="offscreen")
        if neighbour:
            os.makedirs(self.home + "/root")
            os.mkfifo(self.home + "/root/.flatpak-info")
            chroot = "import os,sys,time; os.chroot(sys.argv[1]); time.sleep(600)"
            self.start(["unshare", "-r"] * (os.getuid() != 0) + [sys.executable, "-c", chroot, self.home + "/root"], environment)
        helper = self.start([HELPER], dict(environment, **PREMIERE) if inherit else environment)
        stand_in = self.start(["sleep", "600"], dict(environment, **PREMIERE))
        self.assertTrue(wait_for(self.server), self.log())
        self.pids.append(self.server())  # the log that names it is removed below
        with open(f"/proc/{self.server()}/environ", "rb") as f:
            path = dict(v.split(b"=", 1) for v in f.read().split(b"\0") if b"=" in v)[b"PATH"]
        self.assertTrue(path.startswith(b"/chatty/bin:") and b"Welcome" not in path, path)
        logs = os.path.join(self.home, "Library/Logs")
        os.rename(logs, logs + ".removed")  # gone at once, though the helper and its server write on
        shutil.rmtree(logs + ".removed")
        stand_in.kill()
        self.assertTrue(wait_for(lambda: "PremiereWatcher: isPremiereRunning = false" in self.log()), self.log())
        helper.send_signal(signal.SIGTERM)
        self.assertEqual(helper.wait(timeout=5), 0)
        self.assertEqual(os.path.getsize(large), (1 << 20) + 2)

if __name__ == "__main__":
    unittest.main()
