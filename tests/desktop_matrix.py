#!/usr/bin/python3
"""The real helper beside a real desktop's tray, brought up headless here: HOST is xfce (xfce4-panel's systray as the
StatusNotifierWatcher), xfce_xembed (the same panel docking the helper's XEmbed icon: the helper has no session bus),
sway (waybar's tray) or gnome (GNOME Shell with the AppIndicator extension). DESKTOP_CYCLES launches and quits of a
Premiere stand-in, the icon looked for on the host's screen; then the host's end, as at logout. A host that cannot
start: exit 77, a failure where CI=true. Everything started is killed at the end. Usage: desktop_matrix.py HELPER HOST"""
import contextlib, os, re, shutil, signal, socket, subprocess, sys, tempfile, time, urllib.request
import dbus, gi
gi.require_version("GdkPixbuf", "2.0")
from gi.repository import GdkPixbuf

HELPER, HOST = sys.argv[1:3]
UID = 65534 if HOST == "sway" else os.getuid()  # sway refuses root; waybar's tray wants a passwd entry: nobody
T = tempfile.mkdtemp(prefix="tessaryn-desktop-")
HOME, CONFIG, RUN = T + "/home", T + "/config", T + "/run"
STATE = HOME + "/.local/state/tessaryn"
BUS, WATCHER = f"unix:path={RUN}/bus", "org.kde.StatusNotifierWatcher"
PREMIERE = {"GIO_LAUNCHED_DESKTOP_FILE": "/usr/share/applications/com.adobe.PremierePro.desktop"}
SPAWNED, PIPE = "Server spawned (pid ", subprocess.PIPE
HOST_ERRORS = {"xfce": r"double free|corrupted|automatically restarted|unexpectedly left",
               "gnome": r"Argument two may not be null|UnknownProperty|JS (ERROR|WARNING).*(StatusNotifierItem|AppIndicator)",
               "sway": r"(?i)\[(error|critical)\].*(tray|item|menu|watcher|host)"}
QT_WARNINGS = r"QObject::|Cannot create children|No such signal|QSocketNotifier"
processes = []


class Unavailable(Exception):
    pass


def env(**extra):  # from scratch, never the runner's
    return dict(dict(HOME=HOME, XDG_CONFIG_HOME=CONFIG, XDG_RUNTIME_DIR=RUN, DBUS_SESSION_BUS_ADDRESS=BUS, SHELL="/bin/sh",
                     PATH="/usr/bin:/bin"), **extra)


def spawn(name, argv, stdout=subprocess.DEVNULL, as_user=True, **extra):  # as the session's user; stderr in T/name.log
    user = ["setpriv", f"--reuid={UID}", f"--regid={UID}", "--clear-groups"] * (as_user and UID != os.getuid())
    with open(f"{T}/{name}.log", "ab") as stderr:
        processes.append(subprocess.Popen(user + argv, env=env(**extra), stdin=subprocess.DEVNULL, stdout=stdout,
                                          stderr=stderr, start_new_session=True))
    return processes[-1]


def wait(condition, what, timeout=10, fails=AssertionError):
    deadline = time.monotonic() + timeout
    while not (value := condition()):
        if time.monotonic() > deadline:
            raise fails(f"timed out ({timeout} s) waiting for {what}")
        time.sleep(0.1)
    return value


def text(name):
    with contextlib.suppress(OSError):
        return open(f"{T}/{name}.log" if "/" not in name else name, errors="replace").read()
    return ""


def spawned():
    return text(STATE + "/logs/helper.log").count(SPAWNED)


def health_ok():
    with contextlib.suppress(OSError), urllib.request.urlopen("http://127.0.0.1:9876/health", timeout=2) as response:
        return response.read() == b'{"status":"ok"}'


def session_bus():  # the session's user and the driver (root) alike may connect
    open(T + "/bus.conf", "w").write('<busconfig><include>/usr/share/dbus-1/session.conf</include>'
                                     '<policy context="default"><allow user="*"/></policy></busconfig>')
    spawn("bus", ["dbus-daemon", "--config-file", T + "/bus.conf", "--nofork", "--address=" + BUS], as_user=False)
    wait(lambda: os.path.exists(RUN + "/bus"), "the session bus", fails=Unavailable)


def items():  # the items the host's watcher lists
    with contextlib.suppress(dbus.DBusException):
        watcher = dbus.bus.BusConnection(BUS).get_object(WATCHER, "/StatusNotifierWatcher", introspect=False)
        return [str(item) for item in watcher.Get(WATCHER, "RegisteredStatusNotifierItems", dbus_interface=dbus.PROPERTIES_IFACE)]
    return None


def xfce():
    xvfb = spawn("xvfb", ["Xvfb", "-displayfd", "1", "-screen", "0", "1280x800x24", "-nolisten", "tcp"], PIPE)
    display = ":" + xvfb.stdout.readline().decode().strip()
    xml = f"{CONFIG}/xfce4/xfconf/xfce-perchannel-xml/xfce4-panel.xml"
    os.makedirs(os.path.dirname(xml))
    open(xml, "w").write('<?xml version="1.0"?><channel name="xfce4-panel" version="1.0">'
                         '<property name="configver" type="int" value="2"/><property name="panels" type="array">'
                         '<value type="int" value="1"/><property name="panel-1" type="empty">'
                         '<property name="position" type="string" value="p=6;x=0;y=0"/><property name="size" type="uint" value="32"/>'
                         '<property name="length" type="uint" value="100"/><property name="plugin-ids" type="array">'
                         '<value type="int" value="1"/></property></property></property><property name="plugins" type="empty">'
                         '<property name="plugin-1" type="string" value="systray"/></property></channel>')
    session_bus()
    panel = spawn("host", ["xfce4-panel", "--disable-wm-check"], DISPLAY=display, XDG_CURRENT_DESKTOP="XFCE")
    wait(lambda: items() is not None, "xfce4-panel's systray on the bus", 20, Unavailable)
    shoot = lambda png: subprocess.run(["import", "-display", display, "-window", "root", "-crop", "1280x48+0+0", png])
    return xvfb, panel, {"DISPLAY": display}, shoot


def xfce_xembed():
    xvfb, panel, display, shoot = xfce()
    return xvfb, panel, dict(display, DBUS_SESSION_BUS_ADDRESS=f"unix:path={T}/no-bus"), shoot


def sway():
    open(T + "/sway.conf", "w").write("output HEADLESS-1 resolution 1280x800\n")
    os.makedirs(CONFIG + "/waybar")
    open(CONFIG + "/waybar/config", "w").write('{"position": "top", "height": 32, "modules-right": ["tray", "clock"],'
                                                ' "tray": {"icon-size": 24}}')
    for folder in (HOME, CONFIG, RUN, CONFIG + "/waybar"):
        os.chown(folder, UID, UID)
    session_bus()
    compositor = spawn("sway", ["sway", "-c", T + "/sway.conf"], WLR_BACKENDS="headless", WLR_LIBINPUT_NO_DEVICES="1",
                       WLR_RENDERER="pixman")
    wait(lambda: os.path.exists(RUN + "/wayland-1"), "sway's socket wayland-1", 20, Unavailable)
    bar = spawn("host", ["waybar"], WAYLAND_DISPLAY="wayland-1", XDG_CURRENT_DESKTOP="sway")
    wait(lambda: items() is not None, "waybar's tray on the bus", 20, Unavailable)
    shoot = lambda png: spawn("grim", ["grim", "-g", "0,0 1280x48", png], WAYLAND_DISPLAY="wayland-1").wait(10)
    return compositor, bar, {"WAYLAND_DISPLAY": "wayland-1"}, shoot


def gnome():
    uuid = "ubuntu-appindicators@ubuntu.com"
    session_bus()
    for key, value in (("enabled-extensions", f"['{uuid}']"), ("disable-user-extensions", "false")):
        subprocess.run(["gsettings", "set", "org.gnome.shell", key, value], env=env(), check=True, timeout=30)
    # A mount namespace of its own: logind hidden, a private system bus, else the shell aborts at start.
    shell = spawn("host", ["unshare", "--mount", "sh", "-c", "mount -t tmpfs none /run/systemd && mount -t tmpfs none /run/dbus"
                           " && { dbus-daemon --system --nofork & } && while [ ! -S /run/dbus/system_bus_socket ]; do sleep 0.1; done"
                           " && exec gnome-shell --headless --wayland --no-x11 --virtual-monitor 1280x800"],
                  XDG_SESSION_TYPE="wayland", XDG_CURRENT_DESKTOP="GNOME")
    wait(lambda: items() is not None and os.path.exists(RUN + "/wayland-0"), "the shell's AppIndicator watcher", 60, Unavailable)
    bus = dbus.bus.BusConnection(BUS)
    bus.request_name("org.gnome.Screenshot")  # the shell answers only callers with an allowed name
    screenshot = bus.get_object("org.gnome.Shell.Screenshot", "/org/gnome/Shell/Screenshot")
    shoot = lambda png: screenshot.ScreenshotArea(0, 0, 1280, 48, False, png, dbus_interface="org.gnome.Shell.Screenshot")
    return shell, shell, {"WAYLAND_DISPLAY": "wayland-0"}, shoot


def green(shoot):  # pixels of the icon's green in the strip along the top
    png = f"{RUN}/shot.png"  # where the session's user may write
    with contextlib.suppress(OSError):
        os.remove(png)
    shoot(png)
    with contextlib.suppress(gi.repository.GLib.Error):
        image = GdkPixbuf.Pixbuf.new_from_file(png)
        data, n, stride = image.get_pixels(), image.get_n_channels(), image.get_rowstride()
        rows = (data[y * stride:y * stride + image.get_width() * n] for y in range(image.get_height()))
        return sum(abs(r - 0x34) < 24 and abs(g - 0xC7) < 24 and abs(b - 0x59) < 24
                   for row in rows for r, g, b in zip(row[0::n], row[1::n], row[2::n]))
    return 0


def cycles(helper, shoot, sni):
    failures = []
    for cycle in range(1, int(os.environ.get("DESKTOP_CYCLES", 20)) + 1):
        count, stand_in = spawned(), spawn("premiere", ["sleep", "600"], **PREMIERE)
        try:
            wait(lambda: spawned() > count and health_ok(), "the server")
            wait(lambda: green(shoot) > 40, "the green icon on the screen", 5)
            stand_in.kill(), stand_in.wait()
            wait(lambda: green(shoot) < 5, "the icon to go from the screen", 5)
            wait(lambda: not sni or items() == [], "the item to be unregistered", 5)
        except AssertionError as missing:
            failures.append(f"cycle {cycle}: {missing} (items: {items()})")
            stand_in.kill(), stand_in.wait()
            time.sleep(1)
        print(f"cycle {cycle}: {'FAILED' if failures and failures[-1].startswith(f'cycle {cycle}:') else 'ok'}", flush=True)
    return failures


def main():
    os.chmod(T, 0o755), os.makedirs(HOME), os.makedirs(CONFIG), os.makedirs(RUN, 0o700)
    display, host, helper_display, shoot = globals()[HOST]()
    began = host.pid
    helper = spawn("helper", [HELPER], **helper_display)
    failures = cycles(helper, shoot, HOST != "xfce_xembed")
    if host.poll() is not None or host.pid != began:
        failures.append(f"the host (pid {began}) ended: status {host.poll()}")
    failures += [f"the host's log: {line}" for line in text("host").splitlines() if re.search(HOST_ERRORS[HOST[:4]], line)]
    # Logout: the display ends with Premiere running and the server up.
    count, _ = spawned(), spawn("premiere", ["sleep", "600"], **PREMIERE)
    wait(lambda: spawned() > count and health_ok(), "the server before logout")
    display.terminate()
    with contextlib.suppress(subprocess.TimeoutExpired):
        status = helper.wait(10)
    if helper.poll() != 0:
        failures.append(f"logout: the helper's status {helper.poll()} (0 within 10 s expected)")
    name = helper_display.get("WAYLAND_DISPLAY") or helper_display["DISPLAY"]
    if f"Connection to display {name} lost \u2014 stopping server, quitting" not in text(STATE + "/logs/helper.log"):
        failures.append(f"logout: no line 'Connection to display {name} lost \u2014 …' in helper.log")
    with contextlib.suppress(OSError), socket.create_connection(("127.0.0.1", 9876), 2):
        failures.append("logout: port 9876 still answers")
    nodes = [p for p in os.listdir("/proc") if p.isdigit() and text(f"/proc/{p}/comm").strip() == "node"]
    failures += ["logout: a node process is left"] * bool(nodes) + ["logout: server.json left"] * os.path.exists(STATE + "/server.json")
    failures += [f"the helper's stderr: {line}" for line in text("helper").splitlines() if re.search(QT_WARNINGS, line)]
    return failures


try:
    failures = main()
except Unavailable as reason:
    print(f"{HOST} cannot start here: {reason}\n{text('host')[-1500:]}")
    failures = ["the host did not start"] if os.environ.get("CI") == "true" else None
except AssertionError as error:
    failures = [str(error)]
finally:
    for process in processes:
        with contextlib.suppress(ProcessLookupError):
            os.killpg(process.pid, signal.SIGKILL)
        process.wait()
if failures:
    print(f"{HOST}: {len(failures)} failure(s):", *failures, sep="\n  ")
    print("----- helper.log (end):", *text(STATE + "/logs/helper.log").splitlines()[-25:], sep="\n")
    print("----- the helper's stderr (end):", text("helper")[-1500:], "----- the host's log (end):", text("host")[-2500:], sep="\n")
shutil.rmtree(T, ignore_errors=True)
sys.exit(77 if failures is None else 1 if failures else 0)
