#!/usr/bin/python3
"""The real helper, before and after a change, measured side by side in one run: start-up to the idle line,
idle CPU and wake-ups (context switches of all its threads) with and without a session bus, Premiere launch →
"Server spawned" with and without a GLib `Launched` signal on a private bus, Premiere quit → its line, and the
server's output (4 KiB writes) beside `cat > file`: helper CPU per MiB, throughput, peak RSS, bytes kept.

Run it in a namespace of its own (port 9876, /proc), with Debian's python (python3-dbus):
    /work/wt/sandboxed /usr/bin/python3 bench/helper_bench.py BEFORE AFTER [--idle 60] [--cycles 20] [--floods 3]
"""
import argparse, datetime, os, random, resource, shutil, signal, statistics, subprocess, tempfile, time
from pathlib import Path
import dbus, dbus.lowlevel

DESKTOP_FILE = "/usr/share/applications/com.adobe.PremierePro.desktop"
LISTEN = "require('http').createServer((q, r) => r.end('ok')).listen(+process.env.PORT, '127.0.0.1');"
IDLE, SPAWNED, QUIT = (
    "Helper boot \u2014 Premiere closed, staying idle",
    "Server spawned (pid ",
    "Premiere quit \u2014 stopping server, hiding icon",
)
TICK = os.sysconf("SC_CLK_TCK")
FLOOD_MIB = 36  # under the four generations' 40 MiB, so every byte can be counted


def stamp(line):
    return datetime.datetime.fromisoformat(line[:23] + "+00:00").timestamp()


def gone(pid):
    try:
        return Path(f"/proc/{pid}/stat").read_text().rpartition(")")[2].split()[0] == "Z"
    except OSError:
        return True


def wait(condition, timeout=30):
    deadline = time.monotonic() + timeout
    while not (value := condition()):
        if time.monotonic() > deadline:
            raise TimeoutError("waited in vain")
        time.sleep(0.002)
    return value


class Bus:
    def __init__(self):
        self.daemon = subprocess.Popen(
            ["dbus-daemon", "--session", "--nofork", "--print-address=1"],
            stdout=subprocess.PIPE,
            start_new_session=True,
        )
        self.address = self.daemon.stdout.readline().decode().strip()
        self.connection = dbus.bus.BusConnection(self.address)

    def launched(self, pid):
        message = dbus.lowlevel.SignalMessage(
            "/org/gtk/gio/DesktopAppInfo", "org.gtk.gio.DesktopAppInfo", "Launched"
        )
        message.append(
            dbus.ByteArray(DESKTOP_FILE.encode() + b"\0"),
            "",
            dbus.Int64(pid),
            dbus.Array([], "s"),
            dbus.Dictionary({}, "sv"),
            signature="aysxasa{sv}",
        )
        self.connection.send_message(message)
        self.connection.flush()

    def close(self):
        self.daemon.kill(), self.daemon.wait()


class Helper:
    def __init__(self, executable, bus=None, server=None, node=None):
        self.tmp = tempfile.mkdtemp(prefix="tessaryn-bench-")
        self.home = self.tmp + "/home"
        os.makedirs(self.home + "/Library/Application Support/Tessaryn")
        os.makedirs(self.home + "/Library/Application Support/Adobe/UXP/Plugins/External/5d1e93b0_999.0.0")
        for state in ("Library/Application Support/Tessaryn", ".local/state/tessaryn"):
            os.makedirs(Path(self.home, state), exist_ok=True)
            Path(self.home, state, ".first-launch-done").touch()
        Path(self.tmp, "server.js").write_text(LISTEN)
        env = {
            k: v
            for k, v in os.environ.items()
            if not k.startswith(("QT_", "DISPLAY", "WAYLAND", "XAUTHORITY", "DBUS", "DEV_", "GIO_", "XDG_"))
        }
        env.update(
            HOME=self.home,
            XDG_CONFIG_HOME=self.tmp + "/config",
            SHELL="/bin/sh",
            QT_QPA_PLATFORM="offscreen",
            DEV_AI_SERVER_PATH=server or self.tmp + "/server.js",
        )
        if node:
            env["DEV_NODE_PATH"] = node
        if bus:
            env["DBUS_SESSION_BUS_ADDRESS"] = bus.address
        self.started = time.time()
        self.process = subprocess.Popen(
            [executable],
            env=env,
            stdout=subprocess.DEVNULL,
            stderr=subprocess.DEVNULL,
            start_new_session=True,
        )
        try:
            self.startup = stamp(self.wait_line(IDLE, 0)) - self.started
        except TimeoutError:
            raise TimeoutError(f"{executable}: no idle line; helper.log: {self.lines()}") from None

    @property
    def logs(self):  # the XDG state folder's, or the older builds' Library/Logs/Tessaryn
        folders = [self.home + "/.local/state/tessaryn/logs", self.home + "/Library/Logs/Tessaryn"]
        return next((f for f in folders if os.path.isdir(f)), folders[0])

    def lines(self):
        try:
            return Path(self.logs, "helper.log").read_text(errors="replace").splitlines()
        except OSError:
            return []

    def wait_line(self, prefix, after, timeout=30):
        return wait(
            lambda: next((l for l in self.lines()[after:] if l[25:].startswith(prefix)), None), timeout
        )

    def cpu(self):
        fields = Path(f"/proc/{self.process.pid}/stat").read_text().rpartition(")")[2].split()
        return (int(fields[11]) + int(fields[12])) / TICK

    def switches(self):
        per_thread = {}
        for task in Path(f"/proc/{self.process.pid}/task").iterdir():
            with_counts = [l for l in (task / "status").read_text().splitlines() if "ctxt_switches" in l]
            per_thread[(task / "comm").read_text().strip()] = sum(int(l.split()[1]) for l in with_counts)
        return per_thread

    def task_cpu(self):
        """CPU seconds of the threads alive now, in nanoseconds' resolution (ticks are too coarse here)."""
        return (
            sum(
                int((task / "schedstat").read_text().split()[0])
                for task in Path(f"/proc/{self.process.pid}/task").iterdir()
            )
            / 1e9
        )

    def peak_rss_mib(self):
        line = next(
            l
            for l in Path(f"/proc/{self.process.pid}/status").read_text().splitlines()
            if l.startswith("VmHWM")
        )
        return int(line.split()[1]) / 1024

    def close(self):
        with_group = lambda sig: os.killpg(self.process.pid, sig)
        try:
            with_group(signal.SIGTERM)
            self.process.wait(5)
        except (ProcessLookupError, subprocess.TimeoutExpired):
            pass
        try:
            with_group(signal.SIGKILL)
        except ProcessLookupError:
            pass
        self.process.wait()
        shutil.rmtree(self.tmp, ignore_errors=True)


def median(values, unit="", digits=1):
    if not values:
        return "—"
    return f"{statistics.median(values):.{digits}f}{unit} ({min(values):.{digits}f}–{max(values):.{digits}f})"


def idle(helpers, seconds):
    """All at once, side by side: CPU and context switches over the same minute."""
    for _, helper in helpers:
        helper.wait_line(IDLE, 0)
    time.sleep(3)  # the start-up's installer check has ended
    before = [(h.cpu(), h.switches()) for _, h in helpers]
    time.sleep(seconds)
    rows = []
    for (name, helper), (cpu, switches) in zip(helpers, before):
        now = helper.switches()
        threads = {t: (now[t] - switches.get(t, 0)) / seconds for t in now}
        rows.append(
            (
                name,
                (helper.cpu() - cpu) / seconds * 3600,
                sum(threads.values()),
                ", ".join(
                    f"{t} {v:.2f}" for t, v in sorted(threads.items(), key=lambda x: -x[1]) if v >= 0.05
                ),
            )
        )
    return rows


def cycles(executable, count, bus):
    """Launch → "Server spawned" and quit → its line, each stand-in at a random moment."""
    helper = Helper(executable, bus=bus)
    launches, quits = [], []
    try:
        for _ in range(count):
            time.sleep(random.uniform(0.2, 1.2))
            seen = len(helper.lines())
            launched = time.time()
            stand_in = subprocess.Popen(
                ["sleep", "600"],
                env=dict(os.environ, GIO_LAUNCHED_DESKTOP_FILE=DESKTOP_FILE),
                start_new_session=True,
            )
            if bus:
                bus.launched(stand_in.pid)
            line = helper.wait_line(SPAWNED, seen)
            launches.append((stamp(line) - launched) * 1000)
            server = int(line[25 + len(SPAWNED) : -1])
            time.sleep(random.uniform(0.2, 1.2))
            seen = len(helper.lines())
            quit_at = time.time()
            stand_in.kill(), stand_in.wait()
            quits.append((stamp(helper.wait_line(QUIT, seen)) - quit_at) * 1000)
            wait(lambda: gone(server))
    finally:
        helper.close()
    return launches, quits


def children_cpu():
    usage = resource.getrusage(resource.RUSAGE_CHILDREN)
    return usage.ru_utime + usage.ru_stime


def size_of(path):
    try:
        return path.stat().st_size
    except FileNotFoundError:
        return 0


def first_to_last_byte(size, files):
    def total():
        # A rotation between the looks at two files counts one twice or misses it: two sums in a row must agree.
        while (bytes_now := sum(map(size_of, files))) != sum(map(size_of, files)):
            pass
        return bytes_now

    first = wait(lambda: total() > 0 and time.monotonic(), 60)
    wait(lambda: total() >= size, 120)
    return time.monotonic() - first, total() == size


def flood(executable, payload, work):
    """The server writes the payload in 4 KiB writes, then sleeps: helper CPU, time from its first byte in server.log to
    its last."""
    script = Path(work, "flood.sh")
    script.write_text(f"sleep 0.3\ndd if={payload} bs=4096 status=none\nexec sleep 600\n")
    helper = Helper(executable, server=str(script), node="/bin/sh")
    try:
        seen = len(helper.lines())
        stand_in = subprocess.Popen(
            ["sleep", "600"],
            env=dict(os.environ, GIO_LAUNCHED_DESKTOP_FILE=DESKTOP_FILE),
            start_new_session=True,
        )
        helper.wait_line(SPAWNED, seen)
        cpu = helper.task_cpu()
        files = [Path(helper.logs, "server.log")] + [Path(helper.logs, f"server.log.{i}") for i in (1, 2, 3)]
        seconds, counted = first_to_last_byte(os.path.getsize(payload), files)
        ends = [f.read_bytes().endswith(b"END OF FLOOD\n") for f in files[:2] if f.exists()]
        result = (
            (helper.task_cpu() - cpu) * 1000 / FLOOD_MIB,
            seconds,
            helper.peak_rss_mib(),
            counted and any(ends),
        )
        stand_in.kill(), stand_in.wait()
        return result
    finally:
        helper.close()


def cat_reference(payload, work):
    out = Path(work, "cat.out")
    out.unlink(missing_ok=True)
    cpu = children_cpu()
    writer = subprocess.Popen(["sh", "-c", f"sleep 0.3; dd if={payload} bs=4096 status=none | cat > {out}"])
    seconds, _ = first_to_last_byte(os.path.getsize(payload), [out])
    writer.wait()
    both = children_cpu() - cpu
    cpu = children_cpu()
    subprocess.run(["sh", "-c", f"sleep 0.3; dd if={payload} bs=4096 status=none > /dev/null"], check=True)
    return (both - (children_cpu() - cpu)) * 1000 / FLOOD_MIB, seconds


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("before"), parser.add_argument("after")
    parser.add_argument("--idle", type=float, default=60), parser.add_argument(
        "--cycles", type=int, default=20
    )
    parser.add_argument("--floods", type=int, default=7), parser.add_argument(
        "--startups", type=int, default=9
    )
    args = parser.parse_args()
    sides = [("before", args.before), ("after", args.after)]
    work = tempfile.mkdtemp(prefix="tessaryn-bench-work-")
    try:
        print("| figure | before | after |\n|---|---|---|")
        startups = {name: [] for name, _ in sides}
        for _ in range(args.startups):
            for name, executable in sides:
                helper = Helper(executable)
                startups[name].append(helper.startup * 1000)
                helper.close()
        print(
            f"| start-up to the idle line, ms | {median(startups['before'])} | {median(startups['after'])} |",
            flush=True,
        )

        if args.idle > 0:
            bus = Bus()
            helpers = [
                (
                    f"{name}, {'bus' if with_bus else 'no bus'}",
                    Helper(executable, bus=bus if with_bus else None),
                )
                for with_bus in (False, True)
                for name, executable in sides
            ]
            try:
                rows = idle(helpers, args.idle)
            finally:
                for _, helper in helpers:
                    helper.close()
                bus.close()
            for bus_index, how in ((0, "no bus"), (2, "session bus")):
                before, after = rows[bus_index], rows[bus_index + 1]
                print(f"| idle, {how}: CPU-s per hour | {before[1]:.2f} | {after[1]:.2f} |")
                print(
                    f"| idle, {how}: wake-ups per s (by thread) | {before[2]:.2f} ({before[3]}) | {after[2]:.2f} ({after[3]}) |",
                    flush=True,
                )

        for announced in (False, True):
            results = {}
            for name, executable in sides:
                bus = Bus() if announced else None
                try:
                    results[name] = cycles(executable, args.cycles, bus)
                finally:
                    bus and bus.close()
            how = "with `Launched`" if announced else "no announcement"
            print(
                f"| launch → spawned, {how}, ms | {median(results['before'][0], digits=0)} | {median(results['after'][0], digits=0)} |"
            )
            print(
                f"| quit → its line, {how}, ms | {median(results['before'][1], digits=0)} | {median(results['after'][1], digits=0)} |",
                flush=True,
            )

        if args.floods <= 0:
            return
        payload = Path(work, "payload")
        with open(payload, "wb") as out:
            line = b"2026-12-07T00:00:00.000Z GET /health 200 0.123 ms - a line of server output, as a server prints it\n"
            body = line * (FLOOD_MIB * 1024 * 1024 // len(line))
            out.write(body + b"x" * (FLOOD_MIB * 1024 * 1024 - len(body) - 13) + b"END OF FLOOD\n")
        floods = {name: [] for name, _ in sides}
        cats = []
        for _ in range(args.floods):
            for name, executable in sides:
                floods[name].append(flood(executable, payload, work))
            cats.append(cat_reference(payload, work))
        cat_cpu, cat_seconds = [c for c, _ in cats], [s for _, s in cats]
        print(f"| `cat > file` beside them: CPU ms/MiB | {median(cat_cpu, digits=2)} | |")
        print(f"| `cat > file` beside them: s for {FLOOD_MIB} MiB | {median(cat_seconds, digits=3)} | |")
        for what, index, digits in (
            ("helper CPU ms/MiB", 0, 2),
            (f"s for {FLOOD_MIB} MiB", 1, 3),
            ("peak RSS MiB", 2, 1),
        ):
            print(
                f"| output, {what} | {median([f[index] for f in floods['before']], digits=digits)} | "
                f"{median([f[index] for f in floods['after']], digits=digits)} |"
            )
        ratio = lambda name: [statistics.median(cat_seconds) / f[1] for f in floods[name]]
        print(
            f"| output throughput × cat | {median(ratio('before'), digits=2)} | {median(ratio('after'), digits=2)} |"
        )
        print(
            f"| every byte kept (all runs) | {all(f[3] for f in floods['before'])} | {all(f[3] for f in floods['after'])} |"
        )
    finally:
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
