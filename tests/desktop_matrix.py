#!/usr/bin/python3
"""Usage: desktop_matrix.py HELPER HOST. The real helper beside a real tray, headless: DESKTOP_CYCLES launches and quits
of Premiere, then a logout."""
import os, re, shutil, signal, subprocess as sp, sys, tempfile, time, urllib.request
from contextlib import suppress
import dbus

HELPER, HOST = sys.argv[1:3]
UID = (
    65534 if HOST == "sway" else os.getuid()
)  # sway refuses root; waybar's tray wants a passwd entry: nobody
T = tempfile.mkdtemp(prefix="tessaryn-")
HOME, RUN, W = T + "/home", T + "/run", "org.kde.StatusNotifierWatcher"
STATE, BUS = HOME + "/.local/state/tessaryn", f"unix:path={RUN}/bus"
LOG = STATE + "/logs/helper.log"
ENV = dict(
    HOME=HOME, XDG_RUNTIME_DIR=RUN, DBUS_SESSION_BUS_ADDRESS=BUS, SHELL="/bin/sh", PATH="/usr/bin:/bin"
)  # never the runner's
processes, failures, started, session = [], [], False, None


def spawn(name, argv, stdout=sp.DEVNULL, **env):  # as the session's user, its stderr in T
    user = ["setpriv", f"--reuid={UID}", f"--regid={UID}", "--clear-groups"] * (UID != os.getuid())
    with open(f"{T}/{name}.log", "ab") as log:
        processes.append(
            sp.Popen(user + argv, env=dict(ENV, **env), stdout=stdout, stderr=log, start_new_session=True)
        )
    return processes[-1]


def wait(condition, what, timeout):
    end = time.monotonic() + timeout
    while not condition():
        if time.monotonic() > end:
            raise AssertionError(f"{what}: not within {timeout} s")
        time.sleep(0.1)


def text(name):
    with suppress(OSError), open(name if "/" in name else f"{T}/{name}.log", errors="replace") as f:
        return f.read()
    return ""


def found(log, pattern):  # each kind of line once
    kinds = {}
    for line in text(log).splitlines():
        if match := re.search(pattern, line):
            kinds.setdefault(match[0], []).append(line)
    return [f"{log}.log: {len(lines)} lines like {lines[0]}" for lines in kinds.values()]


def premiere():  # a stand-in; up(): a server spawned since answers
    count = text(LOG).count("Server spawned")

    def up():
        with suppress(OSError), urllib.request.urlopen("http://127.0.0.1:9876/health", timeout=2) as response:
            return text(LOG).count("Server spawned") > count and response.read() == b'{"status":"ok"}'

    return (
        spawn(
            "premiere",
            ["sleep", "600"],
            GIO_LAUNCHED_DESKTOP_FILE="/usr/share/applications/com.adobe.PremierePro.desktop",
        ),
        up,
    )


def items():  # None without a watcher
    with suppress(dbus.DBusException):
        return list(
            map(
                str,
                session.get_object(W, "/StatusNotifierWatcher").Get(
                    W, "RegisteredStatusNotifierItems", dbus_interface=dbus.PROPERTIES_IFACE
                ),
            )
        )


def host(argv, **env):
    spawn("host", argv, **env)
    wait(lambda: items() is not None, W, 60)
    return processes[-1]


def xfce():
    xvfb = spawn("xvfb", ["Xvfb", "-displayfd", "1"], sp.PIPE)
    display = f":{int(xvfb.stdout.readline())}"
    os.makedirs(xml := HOME + "/.config/xfce4/xfconf/xfce-perchannel-xml")
    p = (
        lambda name, type, value="", sub="": f'<property name="{name}" type="{type}" value="{value}">{sub}</property>'
    )
    one = '<value type="int" value="1"/>'  # a panel along the top: a systray
    open(xml + "/xfce4-panel.xml", "w").write(
        '<channel name="xfce4-panel" version="1.0">'
        + p(
            "panels",
            "array",
            sub=one
            + p(
                "panel-1",
                "empty",
                sub=p("position", "string", "p=6;x=0;y=0") + p("plugin-ids", "array", sub=one),
            ),
        )
        + p("plugins", "empty", sub=p("plugin-1", "string", "systray"))
        + "</channel>"
    )
    panel = host(["xfce4-panel", "--disable-wm-check"], DISPLAY=display, XDG_CURRENT_DESKTOP="XFCE")
    env = {"DISPLAY": display, "DBUS_SESSION_BUS_ADDRESS": BUS if HOST == "xfce" else "unix:path=/no-bus"}
    return (
        xvfb,
        panel,
        env,
        r"double free|corrupted|automatically restarted|unexpectedly left",
        lambda png: sp.run(["import", "-display", display, "-window", "root", "-crop", "1280x48+0+0", png]),
    )


def sway():
    open(T + "/waybar.json", "w").write('{"modules-left": ["tray"]}')
    env = {"WAYLAND_DISPLAY": "wayland-1"}
    sway = spawn("sway", ["sway", "-c", "/dev/null"], WLR_BACKENDS="headless", WLR_RENDERER="pixman")
    wait(lambda: os.path.exists(RUN + "/wayland-1"), "wayland-1", 20)
    return (
        sway,
        host(["waybar", "-c", T + "/waybar.json"], **env),
        env,
        r"(?i)\[(error|critical)\].*(tray|item|menu|watcher|host)",
        lambda png: spawn("grim", ["grim", "-g", "0,0 1280x48", png], **env).wait(10),
    )


def gnome():  # logind hidden, a system bus of its own: else the shell aborts at start
    shell = host(
        [
            "unshare",
            "--mount",
            "sh",
            "-c",
            "gsettings set org.gnome.shell enabled-extensions \"['ubuntu-appindicators@"
            "ubuntu.com']\" && mount -t tmpfs none /run/systemd && mount -t tmpfs none /run/dbus && { dbus-daemon --system "
            "--nofork & } && while [ ! -S /run/dbus/system_bus_socket ]; do sleep 0.1; done && exec gnome-shell --headless "
            "--wayland --no-x11 --virtual-monitor 1280x800",
        ],
        XDG_SESSION_TYPE="wayland",
    )
    session.request_name("org.gnome.Screenshot")  # a name the shell lets take screenshots
    shots = session.get_object(S := "org.gnome.Shell.Screenshot", "/org/gnome/Shell/Screenshot")
    return (
        shell,
        shell,
        {"WAYLAND_DISPLAY": "wayland-0"},
        r"Argument two may not be null|UnknownProperty|JS (ERROR|WARNING).*(StatusNotifierItem|AppIndicator)",
        lambda png: shots.ScreenshotArea(0, 0, 1280, 48, False, png, dbus_interface=S),
    )


def green(shoot):  # the icon's green pixels along the top
    shoot(png := f"{RUN}/{time.monotonic()}.png")  # where the session's user may write
    return int(
        sp.run(
            [
                "convert",
                png,
                "-fuzz",
                "10%",
                "+transparent",
                "#34C759",
                "-alpha",
                "extract",
                "-format",
                "%[fx:int(w*h*mean)]",
                "info:",
            ],
            capture_output=True,
        ).stdout
        or 0
    )


def cycles(shoot):
    for cycle in range(1, int(os.environ.get("DESKTOP_CYCLES", 20)) + 1):
        stand_in, up = premiere()
        try:
            wait(up, "server up", 10)
            wait(lambda: green(shoot) > 40, "icon shown", 5)
            time.sleep(1)  # a host may drop an item it has begun to show
            wait(lambda: green(shoot) > 40, "icon still shown", 0.5)
            stand_in.kill(), stand_in.wait()
            wait(lambda: green(shoot) < 5, "icon gone", 5)
            wait(lambda: items() == [], "item unregistered", 5)
        except AssertionError as missing:
            failures.append(f"cycle {cycle}: {missing} (items: {items()})")
            stand_in.kill(), stand_in.wait(), time.sleep(1)


def main():
    global started, session
    os.chmod(T, 0o755)
    for folder in HOME, RUN:
        os.makedirs(folder, 0o700), os.chown(folder, UID, UID)
    spawn("bus", ["dbus-daemon", "--session", "--address=" + BUS])
    wait(lambda: os.path.exists(RUN + "/bus"), "session bus", 10)
    os.seteuid(UID)  # the bus lets in its own user alone
    session = dbus.bus.BusConnection(BUS)
    os.seteuid(os.getuid())
    display, tray, env, errors, shoot = globals()[HOST.split("_")[0]]()
    started = True
    helper = spawn("helper-stderr", [HELPER], **env)
    cycles(shoot)
    failures.extend(found("host", errors) + [f"the host ended: {tray.poll()}"] * (tray.poll() is not None))
    up = premiere()[1]  # logout: the display ends, Premiere and a server up
    wait(up, "server up at logout", 10)
    display.terminate()
    with suppress(sp.TimeoutExpired):
        helper.wait(10)
    lost = f"Connection to display {[*env.values()][0]} lost — stopping server, quitting"
    nodes = [p for p in os.listdir("/proc") if text(f"/proc/{p}/comm") == "node\n"]
    failures.extend(
        [
            f"logout: {what}"
            for what in (
                helper.poll() != 0 and f"helper status 10 s on: {helper.poll()}",
                lost not in text(LOG) and f"no line '{lost}' in helper.log",
                nodes and f"node servers left: {nodes}",
                os.path.exists(STATE + "/server.json") and "server.json left",
            )
            if what
        ]
        + found("helper-stderr", r"QObject::|Cannot create children|No such signal|QSocketNotifier")
    )


try:
    main()
except Exception as error:
    failures.append(f"{'' if started else 'no host here (77): '}{error!r}")
finally:
    for process in processes:
        with suppress(ProcessLookupError):
            os.killpg(process.pid, signal.SIGKILL)
        process.wait()
if failures:
    print(f"{HOST}:", *failures, sep="\n  ")
    [print(f"----- {name} (end):\n{text(name)[-2500:]}") for name in (LOG, "helper-stderr", "host")]
shutil.rmtree(T, ignore_errors=True)
sys.exit(0 if not failures else 1 if started or os.environ.get("CI") == "true" else 77)
