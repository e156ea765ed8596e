#!/usr/bin/python3
"""The real helper's tray icon as a StatusNotifierItem panel sees it: a private session bus, a
watcher and host of our own on it, the helper on an X server of its own, and a Premiere Pro
stand-in. Usage: sni_system_test.py <tessaryn-helper executable>"""
import os, socket, subprocess, sys, tempfile, time, unittest
import dbus, dbus.service
from dbus.mainloop.glib import DBusGMainLoop
from gi.repository import GLib

HELPER = sys.argv.pop(1)
WATCHER, ITEM, MENU = "org.kde.StatusNotifierWatcher", "org.kde.StatusNotifierItem", "com.canonical.dbusmenu"
STAND_IN = ["env", "GIO_LAUNCHED_DESKTOP_FILE=/usr/share/applications/com.adobe.PremierePro.desktop", "sleep", "600"]
MENU_ITEMS = ["Server running on :9876 (disabled)", "-", "Restart Server", "View Logs\u2026", "Open Tessaryn Docs",
              "-", "Launch at Login (checkmark 1)", "-", "Quit Tessaryn Helper"]


class Watcher(dbus.service.Object):
    """Keeps each registered item until its connection leaves the bus, as panels do."""
    def __init__(self, bus):
        self.items = []
        super().__init__(dbus.service.BusName(WATCHER, bus), "/StatusNotifierWatcher")
        bus.add_signal_receiver(self.owner_changed, "NameOwnerChanged", "org.freedesktop.DBus")

    @dbus.service.method(WATCHER, in_signature="s")
    def RegisterStatusNotifierItem(self, service):
        self.items.append(str(service))

    @dbus.service.method(dbus.INTROSPECTABLE_IFACE, out_signature="s")
    def Introspect(self):  # Qt reads the watcher's properties only when they are introspected
        return ('<node><interface name="%s"><property name="IsStatusNotifierHostRegistered" type="b" '
                'access="read"/></interface></node>' % WATCHER)

    @dbus.service.method(dbus.PROPERTIES_IFACE, in_signature="ss", out_signature="v")
    def Get(self, interface, name):  # this test is the host that shows the items
        return {"IsStatusNotifierHostRegistered": True, "ProtocolVersion": dbus.Int32(0),
                "RegisteredStatusNotifierItems": dbus.Array(self.items, signature="s")}[name]

    def owner_changed(self, name, old_owner, new_owner):
        if name in self.items and not new_owner:
            self.items.remove(name)


def wait_for(predicate, timeout=20):
    deadline = time.monotonic() + timeout
    while not predicate() and time.monotonic() < deadline:
        GLib.MainContext.default().iteration(False) or time.sleep(0.05)
    return predicate()


def layout_entry(node):
    """A menu entry as a line: its label and what else a panel shows of it, or "-"."""
    props = node[1]
    if props.get("type") == "separator":
        return "-"
    extras = [] if props.get("enabled", True) else ["disabled"]
    if "toggle-type" in props:
        extras += [props["toggle-type"], str(props.get("toggle-state"))]
    return str(props["label"]) + (" (%s)" % " ".join(extras) if extras else "")


class SniSystemTest(unittest.TestCase):
    def start(self, arguments, **options):
        """Starts a process that is killed and reaped when the test ends, whatever its outcome."""
        process = subprocess.Popen(arguments, stdin=subprocess.DEVNULL, **options)
        self.addCleanup(process.communicate)
        self.addCleanup(process.kill)
        return process

    def setUp(self):
        self.dir = tempfile.TemporaryDirectory()
        self.addCleanup(self.dir.cleanup)
        self.home, config = self.dir.name + "/home", self.dir.name + "/config"
        # A newer plugin already in Adobe's folder: no install alert stands over the session.
        os.makedirs(self.home + "/Library/Application Support/Adobe/UXP/Plugins/External/5d1e93b0_999.0.0")
        bus = self.start(["dbus-daemon", "--session", "--nofork", "--print-address=1",
                          "--address=unix:path=" + self.dir.name + "/bus"], stdout=subprocess.PIPE)
        x = self.start(["Xvfb", "-displayfd", "1", "-screen", "0", "320x200x24", "-nolisten", "tcp"],
                       stdout=subprocess.PIPE)
        address, display = bus.stdout.readline().decode().strip(), ":" + x.stdout.readline().decode().strip()
        self.bus = dbus.bus.BusConnection(address, mainloop=DBusGMainLoop())
        self.watcher = Watcher(self.bus)
        env = {k: v for k, v in os.environ.items() if not k.startswith(("QT_", "DEV_", "GIO_", "WAYLAND", "XDG_"))}
        env.update(HOME=self.home, XDG_CONFIG_HOME=config, SHELL="/bin/sh", DISPLAY=display,
                   DBUS_SESSION_BUS_ADDRESS=address)
        self.helper = self.start([HELPER], env=env, start_new_session=True)
        # The server the helper started goes too: it stays in the helper's process group.
        self.addCleanup(subprocess.run, ["kill", "-KILL", "--", "-%d" % self.helper.pid], stderr=subprocess.DEVNULL)
        self.autostart_entry = config + "/autostart/app.marovant.tessaryn-helper.desktop"

    def item(self):
        """The helper's item once registered, and its menu."""
        self.assertTrue(wait_for(lambda: len(self.watcher.items) == 1), self.watcher.items)
        item = self.bus.get_object(self.watcher.items[-1], "/StatusNotifierItem")
        menu = item.Get(ITEM, "Menu", dbus_interface=dbus.PROPERTIES_IFACE)
        return item, self.bus.get_object(self.watcher.items[-1], menu)

    def icon_colour(self, item):
        width, height, argb = max(item.Get(ITEM, "IconPixmap", dbus_interface=dbus.PROPERTIES_IFACE))
        at = (height // 2 * width + width // 4) * 4  # left of the "T", inside the circle
        return "#%02X%02X%02X" % tuple(argb[at + 1:at + 4])

    def server_answers(self):
        with socket.socket() as probe:
            return probe.connect_ex(("127.0.0.1", 9876)) == 0

    def test_item_menu_and_quit_follow_premiere_and_the_server(self):
        stand_in = self.start(STAND_IN)
        item, menu = self.item()
        self.assertTrue(wait_for(lambda: self.icon_colour(item) == "#34C759"), self.icon_colour(item))
        layout = menu.GetLayout(0, -1, [], dbus_interface=MENU)[1]
        self.assertEqual([layout_entry(child) for child in layout[2]], MENU_ITEMS)
        validation = subprocess.run(["desktop-file-validate", self.autostart_entry], capture_output=True, text=True)
        self.assertEqual((validation.returncode, validation.stdout + validation.stderr), (0, ""))

        stand_in.kill()
        self.assertTrue(wait_for(lambda: not self.watcher.items), self.watcher.items)

        self.start(STAND_IN)
        item, menu = self.item()
        self.assertTrue(wait_for(lambda: self.icon_colour(item) == "#34C759"), self.icon_colour(item))
        quit_id = menu.GetLayout(0, -1, [], dbus_interface=MENU)[1][2][-1][0]
        menu.Event(quit_id, "clicked", "", 0, signature="isvu", dbus_interface=MENU, ignore_reply=True)
        self.assertEqual(self.helper.wait(10), 0)
        self.assertTrue(wait_for(lambda: not self.server_answers(), 5))


if __name__ == "__main__":
    unittest.main()
