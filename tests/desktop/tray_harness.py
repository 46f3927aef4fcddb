"""A private desktop for the tray tests: Xvfb, a session bus, xfce4-panel with only its systray,
or a headless GNOME Shell with the AppIndicator extension; and the program, read over D-Bus.

Every process is started here, kept by PID and stopped by PID. Nothing touches the machine's own
session: each run has its own X display, bus, XDG directories and HOME.
"""

import glob
import os
import pwd
import select
import shutil
import signal
import subprocess
import tempfile
import threading
import time

import gi

gi.require_version("Gio", "2.0")
from gi.repository import Gio, GLib  # noqa: E402

from desktop_support import faketime_library  # noqa: E402

WATCHER = "org.kde.StatusNotifierWatcher"
ITEM_INTERFACE = "org.kde.StatusNotifierItem"
PREFIX = "Time Sitting: "

XFCE_PANEL_XML = """<?xml version="1.0" encoding="UTF-8"?>
<channel name="xfce4-panel" version="1.0">
  <property name="configver" type="int" value="2"/>
  <property name="panels" type="array">
    <value type="int" value="1"/>
    <property name="panel-1" type="empty">
      <property name="position" type="string" value="p=6;x=0;y=0"/>
      <property name="length" type="uint" value="100"/>
      <property name="position-locked" type="bool" value="true"/>
      <property name="size" type="uint" value="30"/>
      <property name="plugin-ids" type="array">
        <value type="int" value="1"/>
      </property>
    </property>
  </property>
  <property name="plugins" type="empty">
    <property name="plugin-1" type="string" value="systray">
      <property name="square-icons" type="bool" value="false"/>
    </property>
  </property>
</channel>
"""


BUS_CONFIG = """<!DOCTYPE busconfig PUBLIC "-//freedesktop//DTD D-BUS Bus Configuration 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">
<busconfig>
  <type>{type}</type>
  <listen>unix:dir={dir}</listen>
  <auth>EXTERNAL</auth>
  {servicedirs}
  <policy context="default">
    <allow user="*"/>
    <allow send_destination="*" eavesdrop="true"/>
    <allow eavesdrop="true"/>
    <allow own="*"/>
  </policy>
</busconfig>
"""

APPINDICATOR = "ubuntu-appindicators@ubuntu.com"

# tint2 with only its system tray (an XEmbed tray, no StatusNotifierItem), along the top, on an
# opaque background of TINT2_COLOUR.
TINT2_COLOUR = (0x20, 0x40, 0x60)
TINT2RC = """\
rounded = 0
border_width = 0
background_color = #204060 100
border_color = #000000 0

panel_items = S
panel_size = 100% 30
panel_margin = 0 0
panel_padding = 4 2 4
panel_background_id = 1
panel_position = top left horizontal
panel_layer = top
wm_menu = 0

systray_padding = 0 4 4
systray_background_id = 0
systray_sort = ascending
systray_icon_size = 0
systray_monitor = 1
"""


class HarnessError(Exception):
    pass


class CheckFailed(Exception):
    pass


def check(condition, message):
    if not condition:
        raise CheckFailed(message)


def run_scenario(desktop, scenario, logs):
    """Runs `scenario(report)` on `desktop`, printing a PASS line per step it reports, and on a
    failure the step count and the tail of each log named in `logs`. Returns the exit status.
    SIGTERM and SIGHUP (ctest's timeout) unwind like Ctrl-C, so the desktop is torn down."""
    def on_signal(sig, _frame):
        raise KeyboardInterrupt(f"signal {sig}")

    for sig in (signal.SIGTERM, signal.SIGHUP):
        signal.signal(sig, on_signal)

    results = []

    def report(name, detail):
        results.append(name)
        print(f"PASS {name}: {detail}", flush=True)

    try:
        scenario(report)
    except (CheckFailed, HarnessError, GLib.Error) as e:
        print(f"FAIL after {len(results)} steps: {e}")
        for name in logs:
            tail = desktop.log_tail(name, lines=int(os.environ.get("TRAY_LOG_LINES", "6")))
            if tail:
                print(f"  {name}: {tail}")
        return 1
    return 0


def now():
    return time.monotonic()


def wait_until(predicate, timeout, what, interval=0.05):
    deadline = now() + timeout
    while True:
        value = predicate()
        if value:
            return value
        if now() > deadline:
            raise HarnessError(f"timed out after {timeout:g} s waiting for {what}")
        time.sleep(interval)


def missing_tools(*tools):
    return [t for t in tools if not shutil.which(t)]


class Desktop:
    """One private session. Use as a context manager; close() stops all it started."""

    def __init__(self, name, user=None):
        self.user = pwd.getpwnam(user) if user else None
        self.dir = tempfile.mkdtemp(prefix=f"{name}-")
        os.chmod(self.dir, 0o755)
        self.processes = {}  # name -> Popen
        self.env = {"PATH": os.environ.get("PATH", "/usr/bin:/bin"), "LANG": "C.UTF-8"}
        for key, sub in (("HOME", "home"), ("XDG_RUNTIME_DIR", "runtime"),
                         ("XDG_CONFIG_HOME", "config"), ("XDG_CACHE_HOME", "cache"),
                         ("XDG_DATA_HOME", "data")):
            path = os.path.join(self.dir, sub)
            os.makedirs(path, mode=0o700)
            if self.user:
                os.chown(path, self.user.pw_uid, self.user.pw_gid)
            self.env[key] = path
        self.bus = None
        self.bus_address = None
        self.display = None

    def __enter__(self):
        return self

    def __exit__(self, *_exc):
        self.close()

    def path(self, *parts):
        return os.path.join(self.dir, *parts)

    def log(self, name):
        return self.path(f"{name}.log")

    def log_tail(self, name, lines=6):
        try:
            with open(self.log(name), errors="replace") as f:
                return " | ".join(f.read().splitlines()[-lines:])
        except OSError:
            return ""

    # ---------------------------------------------------------------------------------------
    # Processes

    def spawn(self, name, argv, env=None, stdout=None, as_user=False, **kwargs):
        env = dict(env or self.env)
        if as_user and self.user:
            # The preload starts after the switch of user: preloaded into setpriv, libfaketime
            # would share its clock through a semaphore the user may not open.
            preload = [f"LD_PRELOAD={env.pop('LD_PRELOAD')}"] if "LD_PRELOAD" in env else []
            argv = ["setpriv", f"--reuid={self.user.pw_uid}", f"--regid={self.user.pw_gid}",
                    "--init-groups", "--", "env", *preload] + list(argv)
        log = open(self.log(name), "ab")
        process = subprocess.Popen(argv, env=env, stdin=subprocess.DEVNULL,
                                   stdout=stdout or log, stderr=log, start_new_session=True,
                                   **kwargs)
        log.close()
        self.processes[name] = process
        return process

    def stop(self, name, sig=signal.SIGTERM, timeout=10):
        process = self.processes.pop(name, None)
        if process is None or process.poll() is not None:
            return None if process is None else process.returncode
        process.send_signal(sig)
        try:
            return process.wait(timeout)
        except subprocess.TimeoutExpired:
            process.kill()
            return process.wait(10)

    def close(self):
        self.quit_gnome_shell()
        if self.bus is not None:
            try:
                self.bus.close_sync(None)
            except GLib.Error:
                pass
            self.bus = None
        for name in reversed(list(self.processes)):
            self.stop(name, timeout=5)
        shutil.rmtree(self.dir, ignore_errors=True)

    # ---------------------------------------------------------------------------------------
    # X and the bus

    def start_xvfb(self, width=800, height=200):
        read_fd, write_fd = os.pipe()
        self.spawn("xvfb", ["Xvfb", "-displayfd", str(write_fd), "-screen", "0",
                            f"{width}x{height}x24", "-nolisten", "tcp", "-noreset"],
                   pass_fds=[write_fd])
        os.close(write_fd)
        number = b""
        with os.fdopen(read_fd, "rb") as r:
            if select.select([r], [], [], 20)[0]:
                number = r.readline().strip()
        if not number.isdigit():
            raise HarnessError(f"Xvfb did not start: {self.log_tail('xvfb')}")
        self.display = f":{number.decode()}"
        self.env["DISPLAY"] = self.display

    def start_bus(self, name="bus"):
        """A private bus that the test's user and root may both use; returns its address. "bus"
        is the session bus (with the usual activatable services), "system" a throw-away system
        bus."""
        config = self.path(f"{name}.conf")
        with open(config, "w") as f:
            f.write(BUS_CONFIG.format(
                type="session" if name == "bus" else "system", dir=self.env["XDG_RUNTIME_DIR"],
                servicedirs="<standard_session_servicedirs/>" if name == "bus" else ""))
        argv = ["dbus-daemon", "--nofork", "--nopidfile", "--print-address=1",
                f"--config-file={config}"]
        process = self.spawn(name, argv, stdout=subprocess.PIPE, as_user=True)
        if not select.select([process.stdout], [], [], 20)[0]:
            raise HarnessError(f"dbus-daemon did not start: {self.log_tail(name)}")
        address = process.stdout.readline().decode().strip()
        process.stdout.close()
        if name == "bus":
            self.bus_address = address
            self.env["DBUS_SESSION_BUS_ADDRESS"] = address
            self.bus = Gio.DBusConnection.new_for_address_sync(
                address, Gio.DBusConnectionFlags.AUTHENTICATION_CLIENT |
                Gio.DBusConnectionFlags.MESSAGE_BUS_CONNECTION, None, None)
            self.bus.set_exit_on_close(False)
        else:
            self.env["DBUS_SYSTEM_BUS_ADDRESS"] = address
        return address

    def call(self, dest, path, iface, method, args=None, reply=None, timeout=5000):
        return self.bus.call_sync(dest, path, iface, method, args,
                                  GLib.VariantType(reply) if reply else None,
                                  Gio.DBusCallFlags.NONE, timeout, None).unpack()

    def has_owner(self, name):
        return self.call("org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus",
                         "NameHasOwner", GLib.Variant("(s)", (name,)), "(b)")[0]

    def names(self):
        return self.call("org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus",
                         "ListNames", None, "(as)")[0]

    def x(self, *argv, timeout=20, binary=False):
        result = subprocess.run(list(argv), env=self.env, capture_output=True, text=not binary,
                                timeout=timeout)
        if result.returncode != 0:
            raise HarnessError(f"{' '.join(argv[:3])} failed ({result.returncode}): "
                               f"{result.stderr if not binary else result.stderr[:300]}")
        return result.stdout

    def screenshot(self):
        """The root window as an Image."""
        return Image.from_ppm(self.x("import", "-silent", "-window", "root", "-depth", "8",
                                     "ppm:-", binary=True, timeout=30))

    # ---------------------------------------------------------------------------------------
    # xfce4-panel with only its systray: both the watcher and the host.

    def start_xfce_panel(self, timeout=30):
        config = os.path.join(self.env["XDG_CONFIG_HOME"], "xfce4", "xfconf",
                              "xfce-perchannel-xml")
        os.makedirs(config, exist_ok=True)
        with open(os.path.join(config, "xfce4-panel.xml"), "w") as f:
            f.write(XFCE_PANEL_XML)
        if "xfconfd" not in self.processes:
            xfconfd = (glob.glob("/usr/lib/*/xfce4/xfconf/xfconfd") +
                       glob.glob("/usr/lib/xfce4/xfconf/xfconfd"))
            if not xfconfd:
                raise HarnessError("xfconfd not found (Debian package xfconf)")
            self.spawn("xfconfd", [xfconfd[0]])
        self.spawn("panel", ["xfce4-panel", "--disable-wm-check"])
        wait_until(lambda: self.has_owner(WATCHER), timeout,
                   f"xfce4-panel's watcher ({self.log_tail('panel')})")

    def start_tint2(self, timeout=15):
        """tint2 under openbox (it draws nothing without a window manager); returns once its
        tray owns the selection."""
        if "openbox" not in self.processes:
            self.spawn("openbox", ["openbox", "--sm-disable"])
            time.sleep(0.5)
        path = self.path("tint2rc")
        with open(path, "w") as f:
            f.write(TINT2RC)
        log_size = os.path.getsize(self.log("tint2")) if os.path.exists(self.log("tint2")) else 0

        def started():
            with open(self.log("tint2"), errors="replace") as f:
                f.seek(log_size)
                return "systray started" in f.read()

        self.spawn("tint2", ["tint2", "-c", path])
        wait_until(started, timeout, f"tint2's tray ({self.log_tail('tint2')})")

    def kill_panel(self):
        self.stop("panel", sig=signal.SIGKILL)
        wait_until(lambda: not self.has_owner(WATCHER), 10, "the watcher to go")

    # ---------------------------------------------------------------------------------------
    # GNOME Shell 43, headless, with the AppIndicator extension: the watcher and a host that
    # shows the label. Runs as an unprivileged user; --unsafe-mode lets Eval read the panel.

    def start_gnome_shell(self, timeout=60, appindicator=True):
        self.start_bus("system")
        self.env.update(XDG_SESSION_TYPE="wayland", XDG_CURRENT_DESKTOP="GNOME",
                        GSETTINGS_BACKEND="memory")
        self.spawn("gnome-shell", ["gnome-shell", "--headless", "--wayland", "--no-x11",
                                   "--virtual-monitor", "1280x800", "--unsafe-mode",
                                   "--wayland-display", "wayland-tray-test"], as_user=True)
        wait_until(lambda: self.has_owner("org.gnome.Shell"), timeout,
                   f"gnome-shell ({self.log_tail('gnome-shell')})", interval=0.2)
        def started():
            try:  # the name comes a moment before the object
                return self.eval_js("Main.layoutManager._startingUp === false") is True
            except GLib.Error:
                return False
        wait_until(started, timeout, "gnome-shell to finish starting", interval=0.2)
        if appindicator:
            self.enable_appindicator(timeout)

    def enable_appindicator(self, timeout=60):
        """Turns the extension on, as the user does in the Extensions app."""
        self.eval_js(f"Main.extensionManager.enableExtension('{APPINDICATOR}')")
        wait_until(lambda: self.has_owner(WATCHER), timeout,
                   f"the AppIndicator extension's watcher ({self.log_tail('gnome-shell')})")

    def eval_js(self, code):
        """Runs `code` in the shell; returns its value (the shell sends it as JSON)."""
        import json
        ok, out = self.call("org.gnome.Shell", "/org/gnome/Shell", "org.gnome.Shell", "Eval",
                            GLib.Variant("(s)", (code,)), "(bs)", timeout=20000)
        if not ok:
            raise HarnessError(f"Eval failed: {out}")
        return json.loads(out) if out else None

    def quit_gnome_shell(self):
        process = self.processes.get("gnome-shell")
        if process is None or process.poll() is not None:
            return
        try:
            self.eval_js("imports.gi.Meta.exit(imports.gi.Meta.ExitCode.SUCCESS)")
        except (HarnessError, GLib.Error):
            pass  # it may leave before it answers
        try:
            process.wait(15)
        except subprocess.TimeoutExpired:
            pass
        # SIGTERM makes gnome-shell 43 crash: stop() only finishes what Meta.exit left.
        self.stop("gnome-shell", sig=signal.SIGKILL)

    # ---------------------------------------------------------------------------------------
    # The program

    def start_program(self, program, args=(), fake_rate=None, name="program"):
        env = dict(self.env)
        if fake_rate:
            library = faketime_library()
            if not library:
                raise HarnessError("libfaketime is missing")
            # The wall clock flies, so a minute passes in 1/rate of one; the run loop's
            # monotonic tick and the double-click rule keep real time.
            env.update(LD_PRELOAD=library, FAKETIME=f"+0 x{fake_rate}",
                       FAKETIME_DONT_FAKE_MONOTONIC="1")
        return self.spawn(name, [program, "--status-bar=tray", *args], env=env, as_user=True)

    def item_name(self, timeout=10):
        def find():
            items = [n for n in self.names() if n.startswith("org.kde.StatusNotifierItem-")]
            return items[0] if items else None
        return wait_until(find, timeout, "the item's bus name")

    def item_property(self, item, name):
        return self.call(item, "/StatusNotifierItem", "org.freedesktop.DBus.Properties", "Get",
                         GLib.Variant("(ss)", (ITEM_INTERFACE, name)), "(v)")[0]

    def tooltip(self, item):
        return self.item_property(item, "ToolTip")[2]


class SignalRecorder:
    """Records the item's signals, stamped with the monotonic clock, on a thread of its own."""

    def __init__(self, address):
        self.events = []  # (t, name, args)
        self.lock = threading.Lock()
        self.context = GLib.MainContext()
        self.ready = threading.Event()
        self.loop = None
        self.thread = threading.Thread(target=self._run, args=(address,), daemon=True)
        self.thread.start()
        self.ready.wait(10)

    def _run(self, address):
        self.context.push_thread_default()
        bus = Gio.DBusConnection.new_for_address_sync(
            address, Gio.DBusConnectionFlags.AUTHENTICATION_CLIENT |
            Gio.DBusConnectionFlags.MESSAGE_BUS_CONNECTION, None, None)
        bus.set_exit_on_close(False)

        def on_signal(_bus, _sender, _path, _iface, name, args):
            with self.lock:
                self.events.append((now(), name, args.unpack()))

        bus.signal_subscribe(None, ITEM_INTERFACE, None, "/StatusNotifierItem", None,
                             Gio.DBusSignalFlags.NONE, on_signal)
        self.loop = GLib.MainLoop(self.context)
        self.ready.set()
        self.loop.run()
        bus.close_sync(None)

    def since(self, t, name=None):
        with self.lock:
            return [e for e in self.events if e[0] >= t and (name is None or e[1] == name)]

    def stop(self):
        if self.loop:
            self.context.invoke_full(GLib.PRIORITY_DEFAULT, self.loop.quit)
        self.thread.join(5)


class Image:
    def __init__(self, width, height, rgb):
        self.width, self.height, self.rgb = width, height, rgb

    @staticmethod
    def from_ppm(data):
        fields, pos = [], 0
        while len(fields) < 4:
            while data[pos:pos + 1].isspace():
                pos += 1
            if data[pos:pos + 1] == b"#":
                pos = data.index(b"\n", pos)
                continue
            end = pos
            while not data[end:end + 1].isspace():
                end += 1
            fields.append(data[pos:end])
            pos = end
        if fields[0] != b"P6" or int(fields[3]) != 255:
            raise HarnessError("not an 8-bit PPM")
        width, height = int(fields[1]), int(fields[2])
        return Image(width, height, data[pos + 1:pos + 1 + width * height * 3])

    def pixel(self, x, y):
        i = (y * self.width + x) * 3
        return tuple(self.rgb[i:i + 3])

    def crop(self, x, y, w, h):
        rows = [self.rgb[((y + r) * self.width + x) * 3:((y + r) * self.width + x + w) * 3]
                for r in range(h)]
        return Image(w, h, b"".join(rows))

    def find(self, predicate, box=None):
        """Points (x, y) whose colour matches, within box (x, y, w, h)."""
        x0, y0, w, h = box or (0, 0, self.width, self.height)
        return [(x, y) for y in range(y0, y0 + h) for x in range(x0, x0 + w)
                if predicate(self.pixel(x, y))]

    def write_png(self, path):
        import struct
        import zlib
        raw = b"".join(b"\0" + self.rgb[r * self.width * 3:(r + 1) * self.width * 3]
                       for r in range(self.height))

        def chunk(kind, body):
            return (struct.pack(">I", len(body)) + kind + body +
                    struct.pack(">I", zlib.crc32(kind + body) & 0xffffffff))

        with open(path, "wb") as f:
            f.write(b"\x89PNG\r\n\x1a\n" +
                    chunk(b"IHDR", struct.pack(">IIBBBBB", self.width, self.height, 8, 2, 0, 0,
                                               0)) +
                    chunk(b"IDAT", zlib.compress(raw, 9)) + chunk(b"IEND", b""))
