"""A private desktop session for the idle-source tests, and the reading of the i3bar output.

    with PrivateSession() as session:
        bus = session.start_bus()
        session.start("mutter", [...])
        bar = session.run_item(program, env)       # --status-bar=i3bar --verbose, pipes held
        bar.wait_blinking(...)

Each test runs in a mount and network namespace of its own (enter_namespace), with a fresh
/tmp, so that no X display, Wayland socket, lock file or abstract socket can meet anything else
on the machine. Every process is started here and stopped by its own id.
"""

import json
import os
import shutil
import signal
import subprocess
import sys
import tempfile
import threading
import time

# The program blinks once its idle reading, in whole units of 2^30 ns, passes 60.
IDLE_THRESHOLD = 61 * 2**30 / 1e9
BLINK_PERIOD = 0.3
RETURN_GRACE = 10.0
SKIP = 77  # CTest's SKIP_RETURN_CODE for these tests

_INSIDE = "SITTING_TIMER_IDLE_NAMESPACE"
_HOST_TMP = "/mnt"  # where the machine's /tmp stays visible once a fresh one covers it


def need_gi():
    """Gio, from the system's Python if the one running lacks it."""
    try:
        import gi  # noqa: F401
    except ImportError:
        if os.path.exists("/usr/bin/python3") and sys.executable != "/usr/bin/python3":
            os.execv("/usr/bin/python3", ["/usr/bin/python3", *sys.argv])
        print("SKIP: python3-gi is not installed")
        sys.exit(SKIP)


def need_programs(*names):
    missing = [n for n in names if not shutil.which(n)]
    if missing:
        print("SKIP: not installed: " + " ".join(missing))
        sys.exit(SKIP)


def enter_namespace():
    """Runs this script again inside its own mount and network namespace with a fresh /tmp,
    and exits with its status; returns only inside. Paths under the old /tmp are then found
    under /mnt (see host_path)."""
    if os.environ.get(_INSIDE) == "1":
        subprocess.run(["mount", "--rbind", "/tmp", _HOST_TMP], check=True)
        subprocess.run(["mount", "-t", "tmpfs", "-o", "mode=1777", "tmpfs", "/tmp"], check=True)
        os.mkdir("/tmp/.X11-unix", 0o1777)
        os.chmod("/tmp/.X11-unix", 0o1777)
        subprocess.run(["ip", "link", "set", "lo", "up"], check=True)
        return
    if os.geteuid() != 0:
        print("SKIP: needs root for its own mount and network namespace")
        sys.exit(SKIP)
    need_programs("unshare", "ip", "mount")
    env = dict(os.environ, **{_INSIDE: "1"})
    argv = ["unshare", "--mount", "--net", "--fork", "--propagation", "private", "--",
            sys.executable, os.path.abspath(sys.argv[0]), *sys.argv[1:]]
    sys.stdout.flush()
    child = subprocess.Popen(argv, env=env)
    try:
        code = child.wait()
    except KeyboardInterrupt:
        child.send_signal(signal.SIGINT)
        code = child.wait()
    sys.exit(code if code >= 0 else 128 - code)


def host_path(path):
    """A path of the machine as seen inside the namespace."""
    path = os.path.abspath(path)
    if path == "/tmp" or path.startswith("/tmp/"):
        return _HOST_TMP + path[len("/tmp"):]
    return path


def now():
    return time.monotonic()


class PrivateSession:
    """Directories, a session bus and processes of one test; all stopped on leaving."""

    def __init__(self):
        self.root = tempfile.mkdtemp(prefix="idle-session-")
        self.env = {
            "PATH": os.environ.get("PATH", "/usr/bin:/bin"),
            "HOME": self._dir("home"),
            "XDG_RUNTIME_DIR": self._dir("runtime", 0o700),
            "XDG_CONFIG_HOME": self._dir("config"),
            "XDG_CACHE_HOME": self._dir("cache"),
            "XDG_DATA_HOME": self._dir("data"),
            "LANG": "C.UTF-8",
        }
        self.processes = []  # (name, Popen), stopped in reverse order
        self.bus_address = None

    def _dir(self, name, mode=0o755):
        path = os.path.join(self.root, name)
        os.mkdir(path, mode)
        return path

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.stop_all()
        return False

    def log(self, name):
        return os.path.join(self.root, name + ".log")

    def start(self, name, argv, env=None, **popen):
        full_env = dict(self.env)
        full_env.update(env or {})
        popen.setdefault("stdout", open(self.log(name), "ab"))
        popen.setdefault("stderr", subprocess.STDOUT)
        proc = subprocess.Popen(argv, env=full_env, stdin=popen.pop("stdin", subprocess.DEVNULL),
                                **popen)
        self.processes.append((name, proc))
        return proc

    def stop(self, proc, timeout=5.0):
        if proc.poll() is None:
            proc.send_signal(signal.SIGTERM)
            try:
                proc.wait(timeout)
            except subprocess.TimeoutExpired:
                proc.kill()
                proc.wait()

    def stop_all(self):
        for _name, proc in reversed(self.processes):
            self.stop(proc)
        self.processes.clear()

    def start_bus(self):
        """A private session bus; its address is also put into the session's environment."""
        proc = self.start("dbus-daemon", ["dbus-daemon", "--session", "--nofork",
                                          "--print-address=1"], stdout=subprocess.PIPE)
        address = proc.stdout.readline().decode().strip()
        if not address:
            raise CheckFailed("dbus-daemon did not start")
        self.bus_address = address
        self.env["DBUS_SESSION_BUS_ADDRESS"] = address
        return address

    def bus(self):
        from gi.repository import Gio
        return Gio.DBusConnection.new_for_address_sync(
            self.bus_address, Gio.DBusConnectionFlags.AUTHENTICATION_CLIENT
            | Gio.DBusConnectionFlags.MESSAGE_BUS_CONNECTION, None, None)

    def wait_for_name(self, name, timeout=30.0, proc=None):
        from gi.repository import GLib
        connection = self.bus()
        deadline = now() + timeout
        while now() < deadline:
            if proc is not None and proc.poll() is not None:
                raise CheckFailed(f"{proc.args[0]} ended (status {proc.returncode}) before "
                                  f"{name} appeared")
            reply = connection.call_sync("org.freedesktop.DBus", "/org/freedesktop/DBus",
                                         "org.freedesktop.DBus", "NameHasOwner",
                                         GLib.Variant("(s)", (name,)), None, 0, 5000, None)
            if reply.unpack()[0]:
                connection.close_sync(None)
                return
            time.sleep(0.1)
        connection.close_sync(None)
        raise CheckFailed(f"{name} did not appear on the bus within {timeout:.0f} s")

    def run_item(self, program, env):
        """The program as a bar's status command: pipes on both ends, held by the test."""
        full_env = dict(self.env)
        full_env.update(env)
        proc = subprocess.Popen([program, "--status-bar=i3bar", "--verbose"],
                                stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                stderr=subprocess.PIPE, env=full_env)
        self.processes.append(("sitting-timer", proc))
        return BarRecord(proc)


class CheckFailed(Exception):
    pass


def voluntary_switches(pid):
    """Voluntary context switches of each thread of `pid`, by thread id: each is one sleep
    that ended, so their growth is the process's wakeups."""
    counts = {}
    for tid in os.listdir(f"/proc/{pid}/task"):
        try:
            with open(f"/proc/{pid}/task/{tid}/status") as f:
                for line in f:
                    if line.startswith("voluntary_ctxt_switches:"):
                        counts[tid] = int(line.split()[1])
        except (FileNotFoundError, ProcessLookupError):
            pass  # a thread that ended meanwhile
    return counts


def wakeups_between(before, after):
    """The wakeups of all threads between two `voluntary_switches` readings; a thread that
    ended in between (GLib's pool threads do) keeps what it had, a new one counts in full."""
    return sum(n - before.get(tid, 0) for tid, n in after.items())


def unique_name_of(connection, pid):
    """The unique bus name of the connection that process `pid` holds, or None."""
    from gi.repository import GLib
    bus = ("org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus")
    names = connection.call_sync(*bus, "ListNames", None, GLib.VariantType("(as)"), 0, 5000,
                                 None).unpack()[0]
    for name in names:
        if not name.startswith(":"):
            continue
        try:
            owner = connection.call_sync(*bus, "GetConnectionUnixProcessID",
                                         GLib.Variant("(s)", (name,)), GLib.VariantType("(u)"),
                                         0, 5000, None).unpack()[0]
        except GLib.Error:
            continue
        if owner == pid:
            return name
    return None


class BusMonitor:
    """dbus-monitor on a private bus: every message, stamped with the monotonic clock when
    read, as (time, type, sender, destination, member)."""

    def __init__(self, session):
        self.messages = []
        self.lock = threading.Lock()
        self.proc = session.start("dbus-monitor", ["dbus-monitor", "--address",
                                                   session.bus_address, "--profile"],
                                  stdout=subprocess.PIPE)
        threading.Thread(target=self._read, daemon=True).start()

    def _read(self):
        for raw in self.proc.stdout:
            fields = raw.decode("utf-8", "replace").split()
            if not fields or fields[0].startswith("#") or len(fields) < 5:
                continue
            # type, time, serial, sender, destination, [path, interface, member]
            member = fields[7] if len(fields) > 7 else ""
            with self.lock:
                self.messages.append((now(), fields[0], fields[3], fields[4], member))

    def between(self, a, b, start, end):
        """The messages between `a` and `b` (each a set of names: a unique name and the
        well-known names it owns, which calls are addressed to), either way, from `start` to
        `end`."""
        with self.lock:
            return [m for m in self.messages if start <= m[0] < end
                    and ((m[2] in a and m[3] in b) or (m[2] in b and m[3] in a))]


class Frame:
    """One status line: whether the title was drawn hidden (blank with a min_width)."""

    def __init__(self, t, block):
        self.t = t
        self.hidden = block.get("full_text") == " " and isinstance(block.get("min_width"), str)
        self.text = block.get("min_width") if self.hidden else block.get("full_text")


class BarRecord:
    """What the program wrote, stamped with the monotonic clock as it arrived."""

    def __init__(self, proc):
        self.proc = proc
        self.frames = []
        self.errors = []
        self.problems = []
        self.lock = threading.Lock()
        threading.Thread(target=self._read_out, daemon=True).start()
        threading.Thread(target=self._read_err, daemon=True).start()

    def _read_out(self):
        for index, raw in enumerate(self.proc.stdout):
            t = now()
            line = raw.decode("utf-8", "replace").strip()
            if index < 2:  # the header and the opening bracket
                continue
            try:
                blocks = json.loads(line.lstrip(","))
                block = next(b for b in blocks if b.get("name") == "sitting")
            except (ValueError, StopIteration, AttributeError) as e:
                with self.lock:
                    self.problems.append(f"unreadable status line {line!r}: {e}")
                continue
            with self.lock:
                self.frames.append(Frame(t, block))

    def _read_err(self):
        for raw in self.proc.stderr:
            with self.lock:
                self.errors.append(raw.decode("utf-8", "replace").rstrip("\n"))

    def snapshot(self):
        with self.lock:
            return list(self.frames), list(self.errors)

    def wait_for_error_line(self, text, timeout=15.0):
        deadline = now() + timeout
        while now() < deadline:
            _, errors = self.snapshot()
            for line in errors:
                if text in line:
                    return line
            if self.proc.poll() is not None:
                break
            time.sleep(0.05)
        raise CheckFailed(f"no line with {text!r} on standard error: {self.snapshot()[1]}")

    def wait_blinking(self, timeout):
        """The time of the first hidden frame."""
        deadline = now() + timeout
        while now() < deadline:
            frames, _ = self.snapshot()
            hidden = [f for f in frames if f.hidden]
            if hidden:
                return hidden[0].t
            if self.proc.poll() is not None:
                raise CheckFailed(f"the program ended with status {self.proc.returncode}")
            time.sleep(0.05)
        raise CheckFailed(f"no blinking within {timeout:.0f} s")

    def check_alternation(self, start, end):
        """Hidden and visible in turns about every 0.3 s between `start` and `end`."""
        frames = [f for f in self.snapshot()[0] if start <= f.t <= end]
        turns = [b.t - a.t for a, b in zip(frames, frames[1:]) if a.hidden != b.hidden]
        if len(turns) < (end - start) / BLINK_PERIOD * 0.6:
            raise CheckFailed(f"only {len(turns)} turns between hidden and visible in "
                              f"{end - start:.1f} s")
        turns.sort()
        median = turns[len(turns) // 2]
        if not 0.2 <= median <= 0.45:
            raise CheckFailed(f"blinking every {median:.2f} s, not every {BLINK_PERIOD} s")

    def blinking_end(self, after):
        """The time of the first visible frame after `after` with no hidden frame behind it,
        or None if it still blinks."""
        frames = [f for f in self.snapshot()[0] if f.t >= after]
        if not frames or frames[-1].hidden:
            return None
        end = None
        for f in reversed(frames):
            if f.hidden:
                break
            end = f.t
        return end

    def timeline(self, since):
        frames, errors = self.snapshot()
        lines = [f"  {f.t - since:8.2f} {'hidden ' if f.hidden else 'visible'} {f.text}"
                 for f in frames if f.t >= since - 2]
        return "\n".join(lines[-80:] + ["  stderr: " + e for e in errors[-20:]])
