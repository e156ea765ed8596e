#!/usr/bin/python3
"""The real helper beside a real tray, headless: HOST is xfce (xfce4-panel's systray as watcher), xfce_xembed (it docks
XEmbed icons: the helper has no bus), sway (waybar) or gnome (Shell, AppIndicator extension). DESKTOP_CYCLES launches
and quits of a Premiere stand-in, the icon looked for on the screen; then a logout. A host that cannot start: 77 (a
failure where CI=true). Usage: desktop_matrix.py HELPER HOST"""
import contextlib, functools, os, re, shutil, signal, socket, subprocess, sys, tempfile, time, urllib.request
import dbus, gi
gi.require_version("GdkPixbuf", "2.0")
from gi.repository import GdkPixbuf, GLib

HELPER, HOST = sys.argv[1:3]
UID = 65534 if HOST == "sway" else os.getuid()  # sway refuses root; waybar's tray wants a passwd entry: nobody
T = tempfile.mkdtemp(prefix="tessaryn-desktop-")
HOME, CONFIG, RUN = T + "/home", T + "/config", T + "/run"
STATE, BUS, WATCHER = HOME + "/.local/state/tessaryn", f"unix:path={RUN}/bus", "org.kde.StatusNotifierWatcher"
LOG = STATE + "/logs/helper.log"
PREMIERE = {"GIO_LAUNCHED_DESKTOP_FILE": "/usr/share/applications/com.adobe.PremierePro.desktop"}
HOST_ERRORS = {"xfce": r"double free|corrupted|automatically restarted|unexpectedly left",
               "gnome": r"Argument two may not be null|UnknownProperty|JS (ERROR|WARNING).*(StatusNotifierItem|AppIndicator)",
               "sway": r"(?i)\[(error|critical)\].*(tray|item|menu|watcher|host)"}
QT_WARNINGS = r"QObject::|Cannot create children|No such signal|QSocketNotifier"
processes = []


class Unavailable(Exception):
    pass


def spawn(name, argv, stdout=subprocess.DEVNULL, as_user=True, **extra):  # as the session's user; stderr in T/name.log
    user = ["setpriv", f"--reuid={UID}", f"--regid={UID}", "--clear-groups"] * (as_user and UID != os.getuid())
    env = dict(HOME=HOME, XDG_CONFIG_HOME=CONFIG, XDG_RUNTIME_DIR=RUN, DBUS_SESSION_BUS_ADDRESS=BUS, SHELL="/bin/sh",
               PATH="/usr/bin:/bin")  # from scratch, never the runner's
    with open(f"{T}/{name}.log", "ab") as stderr:
        processes.append(subprocess.Popen(user + argv, env=dict(env, **extra), stdin=subprocess.DEVNULL, stdout=stdout,
                                          stderr=stderr, start_new_session=True))
    return processes[-1]


def wait(condition, what, timeout, fails=AssertionError):
    deadline = time.monotonic() + timeout
    while not (value := condition()):
        if time.monotonic() > deadline:
            raise fails(f"timed out ({timeout} s) waiting for {what}")
        time.sleep(0.1)
    return value


def text(name):
    with contextlib.suppress(OSError), open(name if "/" in name else f"{T}/{name}.log", errors="replace") as file:
        return file.read()
    return ""


def found(log, pattern):  # each kind of line once, with its count
    lines = {}
    for line in text(log).splitlines():
        if match := re.search(pattern, line):
            lines.setdefault(match[0], []).append(line)
    return [f"{log}.log, {len(same)} line(s) like: {same[0]}" for same in lines.values()]


def server_up(count):  # a server spawned after the first count, answering
    with contextlib.suppress(OSError), urllib.request.urlopen("http://127.0.0.1:9876/health", timeout=2) as response:
        return text(LOG).count("Server spawned") > count and response.read() == b'{"status":"ok"}'


def launch():  # the servers spawned so far, and a Premiere stand-in
    return text(LOG).count("Server spawned"), spawn("premiere", ["sleep", "600"], **PREMIERE)


@functools.cache
def bus():  # the session's user and the driver alike may connect
    open(T + "/bus.conf", "w").write('<busconfig><include>/usr/share/dbus-1/session.conf</include>'
                                     '<policy context="default"><allow user="*"/></policy></busconfig>')
    spawn("bus", ["dbus-daemon", "--config-file", T + "/bus.conf", "--nofork", "--address=" + BUS], as_user=False)
    wait(lambda: os.path.exists(RUN + "/bus"), "the session bus", 10, Unavailable)
    return dbus.bus.BusConnection(BUS)


def items(timeout=0):  # the items the host's watcher lists, once it is there
    def ask():
        with contextlib.suppress(dbus.DBusException):
            watcher = bus().get_object(WATCHER, "/StatusNotifierWatcher", introspect=False)
            return [str(item) for item in watcher.Get(WATCHER, "RegisteredStatusNotifierItems", dbus_interface=dbus.PROPERTIES_IFACE)]
    timeout and wait(lambda: ask() is not None, f"the host's {WATCHER}", timeout, Unavailable)
    return ask()


def xfce():
    xvfb = spawn("xvfb", ["Xvfb", "-displayfd", "1", "-screen", "0", "1280x800x24", "-nolisten", "tcp"], subprocess.PIPE)
    display = ":" + xvfb.stdout.readline().decode().strip()
    os.makedirs(xml := CONFIG + "/xfce4/xfconf/xfce-perchannel-xml")
    one = '<property name="{}" type="{}" value="{}"/>'.format  # one panel along the top, with one systray plugin
    open(xml + "/xfce4-panel.xml", "w").write(
        '<channel name="xfce4-panel" version="1.0">' + one("configver", "int", 2) + '<property name="panels" type="array">'
        '<value type="int" value="1"/><property name="panel-1" type="empty">' + one("position", "string", "p=6;x=0;y=0") +
        one("size", "uint", 32) + one("length", "uint", 100) + '<property name="plugin-ids" type="array"><value type="int" '
        'value="1"/></property></property></property><property name="plugins" type="empty">' +
        one("plugin-1", "string", "systray") + '</property></channel>')
    bus()
    panel = spawn("host", ["xfce4-panel", "--disable-wm-check"], DISPLAY=display, XDG_CURRENT_DESKTOP="XFCE")
    items(20)
    return xvfb, panel, {"DISPLAY": display}, lambda png: subprocess.run(
        ["import", "-display", display, "-window", "root", "-crop", "1280x48+0+0", png])


def xfce_xembed():
    xvfb, panel, display, shoot = xfce()
    return xvfb, panel, dict(display, DBUS_SESSION_BUS_ADDRESS=f"unix:path={T}/no-bus"), shoot


def sway():
    open(T + "/sway.conf", "w").write("output HEADLESS-1 resolution 1280x800\n")
    os.makedirs(CONFIG + "/waybar")
    open(CONFIG + "/waybar/config", "w").write('{"height": 32, "modules-right": ["tray", "clock"], "tray": {"icon-size": 24}}')
    try:
        [os.chown(folder, UID, UID) for folder in (HOME, CONFIG, RUN, CONFIG + "/waybar")]
    except OSError as error:  # a user namespace that maps root alone
        raise Unavailable(f"no uid {UID} here: {error}")
    bus()
    sway = spawn("sway", ["sway", "-c", T + "/sway.conf"], WLR_BACKENDS="headless", WLR_LIBINPUT_NO_DEVICES="1", WLR_RENDERER="pixman")
    wait(lambda: os.path.exists(RUN + "/wayland-1"), "sway's wayland-1", 20, Unavailable)
    bar = spawn("host", ["waybar"], WAYLAND_DISPLAY="wayland-1")
    items(20)
    return sway, bar, {"WAYLAND_DISPLAY": "wayland-1"}, lambda png: spawn(
        "grim", ["grim", "-g", "0,0 1280x48", png], WAYLAND_DISPLAY="wayland-1").wait(10)


def gnome():
    bus()
    for key, value in (("enabled-extensions", "['ubuntu-appindicators@ubuntu.com']"), ("disable-user-extensions", "false")):
        spawn("gsettings", ["gsettings", "set", "org.gnome.shell", key, value]).wait(30)
    # In a mount namespace of its own, logind hidden and a private system bus: else the shell aborts at start.
    shell = spawn("host", ["unshare", "--mount", "sh", "-c", "mount -t tmpfs none /run/systemd && mount -t tmpfs none /run/dbus"
                           " && { dbus-daemon --system --nofork & } && while [ ! -S /run/dbus/system_bus_socket ]; do sleep 0.1; done"
                           " && exec gnome-shell --headless --wayland --no-x11 --virtual-monitor 1280x800"], XDG_SESSION_TYPE="wayland")
    items(60)
    bus().request_name("org.gnome.Screenshot")  # the shell answers only callers with an allowed name
    shots = dbus.Interface(bus().get_object("org.gnome.Shell.Screenshot", "/org/gnome/Shell/Screenshot"), "org.gnome.Shell.Screenshot")
    return shell, shell, {"WAYLAND_DISPLAY": "wayland-0"}, lambda png: shots.ScreenshotArea(0, 0, 1280, 48, False, png)


def green(shoot):  # pixels of the icon's green in the strip along the top
    with contextlib.suppress(OSError):
        os.remove(png := RUN + "/shot.png")  # where the session's user may write
    shoot(png)
    with contextlib.suppress(GLib.Error):
        image = GdkPixbuf.Pixbuf.new_from_file(png)
        data, n, stride = image.get_pixels(), image.get_n_channels(), image.get_rowstride()
        rows = (data[y * stride:y * stride + image.get_width() * n] for y in range(image.get_height()))
        return sum(abs(r - 0x34) < 24 and abs(g - 0xC7) < 24 and abs(b - 0x59) < 24
                   for row in rows for r, g, b in zip(row[0::n], row[1::n], row[2::n]))
    return 0


def cycles(shoot, sni):
    failures = []
    for cycle in range(1, int(os.environ.get("DESKTOP_CYCLES", 20)) + 1):
        count, stand_in = launch()
        try:
            wait(lambda: server_up(count), "the server", 10)
            wait(lambda: green(shoot) > 40, "the green icon on the screen", 5)
            time.sleep(1)  # and still there a second later: a host may drop an item it has begun to show
            wait(lambda: green(shoot) > 40, "the green icon still on the screen a second later", 0.5)
            stand_in.kill(), stand_in.wait()
            wait(lambda: green(shoot) < 5, "the icon to go from the screen", 5)
            wait(lambda: not sni or items() == [], "the item to be unregistered", 5)
            print(f"cycle {cycle}: shown, then hidden", flush=True)
        except AssertionError as missing:
            failures.append(f"cycle {cycle}: {missing} (items: {items()})")
            print(failures[-1], flush=True)
            stand_in.kill(), stand_in.wait(), time.sleep(1)
    return failures


def main():
    os.chmod(T, 0o755), os.makedirs(HOME), os.makedirs(CONFIG), os.makedirs(RUN, 0o700)
    display, host, helper_display, shoot = globals()[HOST]()
    helper = spawn("helper-stderr", [HELPER], **helper_display)
    failures = cycles(shoot, HOST != "xfce_xembed")
    failures += [f"the host (pid {host.pid}) ended: status {host.poll()}"] * (host.poll() is not None)
    failures += found("host", HOST_ERRORS[HOST.split("_")[0]])
    # Logout: the display ends beside Premiere, the server up.
    count, _ = launch()
    wait(lambda: server_up(count), "the server before logout", 10)
    display.terminate()
    with contextlib.suppress(subprocess.TimeoutExpired):
        helper.wait(10)
    lost = f"Connection to display {list(helper_display.values())[0]} lost \u2014 stopping server, quitting"
    with contextlib.suppress(OSError), socket.create_connection(("127.0.0.1", 9876), 2):
        failures.append("logout: port 9876 still taken")
    nodes = [pid for pid in os.listdir("/proc") if pid.isdigit() and text(f"/proc/{pid}/comm") == "node\n"]
    return failures + [f"logout: {what}" for what, wrong in (
        (f"the helper's status {helper.poll()} (0 within 10 s expected)", helper.poll() != 0),
        (f"no line '{lost}' in helper.log", lost not in text(LOG)),
        (f"node processes left: {nodes}", nodes), ("server.json left", os.path.exists(STATE + "/server.json"))) if wrong
    ] + found("helper-stderr", QT_WARNINGS)


try:
    failures = main()
except Unavailable as reason:
    print(f"{HOST} cannot start here: {reason}\n{text('host')[-1500:]}")
    failures = ["the host did not start"] if os.environ.get("CI") == "true" else None
except Exception as error:  # a step that cannot go on
    failures = [f"{type(error).__name__}: {error}"]
finally:
    for process in processes:
        with contextlib.suppress(ProcessLookupError):
            os.killpg(process.pid, signal.SIGKILL)
        process.wait()
if failures:
    print(f"{HOST}: {len(failures)} failure(s):", *failures, "----- helper.log (end):",
          *text(LOG).splitlines()[-25:], sep="\n  ")
    print("----- the helper's stderr (end):", text("helper-stderr")[-1500:], "----- the host's log (end):", text("host")[-2500:], sep="\n")
shutil.rmtree(T, ignore_errors=True)
sys.exit(77 if failures is None else 1 if failures else 0)
