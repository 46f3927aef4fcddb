#!/usr/bin/env python3
"""End-to-end test of the i3bar item on a real X server, window manager and bar.

    python3 tests/desktop/i3bar_e2e.py path/to/sitting-timer [--screenshot out.png]

One Xvfb and one i3 session carry two bars at once, each running the program through a
recording tap (this same file, run with --tap):

  real  (top):    the real clock. Protocol, first title, writes only on change, blinking after
                  real idle time and its end after input, double-click to quit.
  fast  (bottom): libfaketime at x60 for the wall clock only, so each one-second tick is a
                  minute. Counting and colours, a click that restarts the count, the red item on
                  screen.

Xvfb resets its idle time on every new client connection, not only on input, so every window
lookup happens before the idle wait and no X client starts during it.

Needs Xvfb, i3, i3bar, xdotool, ImageMagick's import and libfaketime (tools/install-deps --test).
"""

import argparse
import ctypes
import json
import os
import re
import select
import shlex
import shutil
import signal
import statistics
import struct
import subprocess
import sys
import tempfile
import threading
import time
import xml.etree.ElementTree as ET
import zlib

from desktop_support import faketime_library

# The program blinks once its idle reading, in whole units of 2^30 ns, passes 60.
IDLE_THRESHOLD = 61 * 2**30 / 1e9
BLINK_PERIOD = 0.3
RETURN_GRACE = 10.0
PREFIX = "Time Sitting: "
FAKETIME_RATE = 60
SCREEN = (1024, 600)


def now():
    return time.monotonic()


# --------------------------------------------------------------------------------------------
# The tap: status_command runs it; it runs the program with pipes on both ends, passes every
# byte through and writes each line either way, stamped with the monotonic clock, to a record.


def tap_main(config_path):
    with open(config_path) as f:
        config = json.load(f)
    record = open(config["record"], "a", buffering=1, encoding="utf-8")
    lock = threading.Lock()

    def rec(kind, **fields):
        with lock:
            record.write(json.dumps({"t": now(), "kind": kind, **fields}) + "\n")

    env = dict(os.environ)
    env.update(config.get("env", {}))
    try:
        child = subprocess.Popen(config["argv"], stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                 stderr=subprocess.PIPE, env=env)
    except OSError as e:
        rec("tap-error", message=str(e))
        return 127
    rec("spawn", pid=child.pid, tap=os.getpid())

    def forward_signal(sig, _frame):
        if child.poll() is None:
            child.send_signal(sig)

    for sig in (signal.SIGTERM, signal.SIGINT, signal.SIGHUP):
        signal.signal(sig, forward_signal)

    def pump_out():
        bar = sys.stdout.buffer
        for raw in child.stdout:
            rec("out", line=raw.decode("utf-8", "replace").rstrip("\n"),
                complete=raw.endswith(b"\n"))
            try:
                bar.write(raw)
                bar.flush()
            except OSError:
                # Let the program find out the bar is gone, as it would without the tap.
                rec("bar-gone")
                child.stdout.close()
                return

    def pump_err():
        for raw in child.stderr:
            rec("err", line=raw.decode("utf-8", "replace").rstrip("\n"))

    def pump_in():
        try:
            for raw in sys.stdin.buffer:
                rec("in", line=raw.decode("utf-8", "replace").rstrip("\n"))
                child.stdin.write(raw)
                child.stdin.flush()
        except (OSError, ValueError):  # the program is gone
            return
        try:
            child.stdin.close()
        except OSError:
            pass

    readers = [threading.Thread(target=pump_out, daemon=True),
               threading.Thread(target=pump_err, daemon=True)]
    for t in readers:
        t.start()
    threading.Thread(target=pump_in, daemon=True).start()
    code = child.wait()
    for t in readers:
        t.join(timeout=2)
    rec("exit", code=code)
    record.close()
    return code if code >= 0 else 128 - code


# --------------------------------------------------------------------------------------------
# Reading a record back.


def markup_runs(markup):
    """Pango markup as (text, attributes) runs; raises ValueError when it is not well formed."""
    try:
        root = ET.fromstring("<markup>" + markup + "</markup>")
    except ET.ParseError as e:
        raise ValueError(f"not well-formed Pango markup ({e}): {markup!r}") from None
    runs = []

    def walk(elem, attrs):
        if elem.text:
            runs.append((elem.text, attrs))
        for child in elem:
            if child.tag != "span":
                raise ValueError(f"unexpected <{child.tag}> in {markup!r}")
            walk(child, {**attrs, **child.attrib})
            if child.tail:
                runs.append((child.tail, attrs))

    walk(root, {})
    return runs


def without_colour(runs):
    return [(text, {k: v for k, v in attrs.items() if k != "foreground"}) for text, attrs in runs]


LABEL = re.compile(r"^(?:< 1 minute|1 minute|([1-9]\d*) minutes|1 hour|([1-9]\d*) hours)$")


def label_minutes(label):
    """Minutes a label stands for (an hour label: its first minute), or None if malformed."""
    m = LABEL.match(label)
    if not m:
        return None
    if label == "< 1 minute":
        return 0
    if label == "1 minute":
        return 1
    if label == "1 hour":
        return 60
    if m.group(1):
        n = int(m.group(1))
        return n if 2 <= n <= 59 else None
    n = int(m.group(2))
    return n * 60 if n >= 2 else None


def expected_colour(minutes):
    """i3's default bar is white on black, so the ramp runs from white to red."""
    if minutes <= 10:
        return None
    rest = 0xff - min(minutes - 10, 5) * 0x33
    return "#ff%02x%02x" % (rest, rest)


class Frame:
    """One array the program wrote."""

    def __init__(self, t, line, index):
        self.t = t
        self.line = line
        self.problems = []
        body = line
        if index > 0:
            if not line.startswith(","):
                self.problems.append("not led by a comma")
            body = line[1:]
        elif line.startswith(","):
            self.problems.append("first array led by a comma")
        try:
            value = json.loads(body)
        except ValueError as e:
            value = None
            self.problems.append(f"not JSON ({e})")
        self.body = body
        self.block = {}
        if value is not None:
            if not (isinstance(value, list) and len(value) == 1 and isinstance(value[0], dict)):
                self.problems.append("not an array of one block")
            else:
                self.block = value[0]
        b = self.block
        if b and (b.get("name") != "sitting" or b.get("markup") != "pango"):
            self.problems.append('block lacks "name":"sitting" or "markup":"pango"')
        self.hidden = b.get("full_text") == " "
        markup = b.get("min_width") if self.hidden else b.get("full_text")
        self.markup = markup if isinstance(markup, str) else ""
        if self.hidden and not isinstance(b.get("min_width"), str):
            self.problems.append("blank title without a min_width string")
        try:
            self.runs = markup_runs(self.markup)
        except ValueError as e:
            self.runs = []
            self.problems.append(str(e))
        self.label, self.colour, self.bold = None, None, False
        if (len(self.runs) == 2 and self.runs[0] == (PREFIX, {})):
            text, attrs = self.runs[1]
            self.label = text
            self.bold = attrs.get("weight") == "bold"
            self.colour = attrs.get("foreground")
            if set(attrs) - {"weight", "foreground"}:
                self.problems.append(f"unexpected attributes {attrs}")
        elif b:
            self.problems.append(f"title is not {PREFIX!r} + one styled label")
        self.minutes = label_minutes(self.label) if self.label is not None else None

    def describe(self):
        return ("hidden" if self.hidden else "visible") + f" {self.label!r} {self.colour or ''}"


class Record:
    def __init__(self, path):
        self.path = path
        self.offset = 0
        self.events = []
        self.out = []
        self.frames = []

    def poll(self):
        try:
            with open(self.path, "rb") as f:
                f.seek(self.offset)
                data = f.read()
        except FileNotFoundError:
            return
        end = data.rfind(b"\n") + 1
        self.offset += end
        for raw in data[:end].splitlines():
            event = json.loads(raw)
            self.events.append(event)
            if event["kind"] == "out":
                self.out.append(event)
                # The header and "[" come first; every later line is one array.
                if len(self.out) > 2:
                    self.frames.append(Frame(event["t"], event["line"], len(self.out) - 3))

    def of(self, kind):
        return [e for e in self.events if e["kind"] == kind]

    def first(self, kind):
        events = self.of(kind)
        return events[0] if events else None

    def transcript(self, limit):
        base = self.first("spawn")["t"] if self.first("spawn") else 0.0
        lines = [f"{e['t'] - base:8.3f} {e['kind']:5} {e.get('line', e.get('code', ''))}"
                 for e in self.events]
        return lines[-limit:]


# --------------------------------------------------------------------------------------------
# The session: Xvfb, i3 and its bars, and the cleanup of all of them.


class StepFailed(Exception):
    pass


def set_child_subreaper():
    # i3 double-forks its bars, and i3bar starts the tap through a shell: without this they
    # would be adopted by init and be out of reach of the cleanup.
    try:
        libc = ctypes.CDLL(None, use_errno=True)
        libc.prctl(36, 1, 0, 0, 0)  # PR_SET_CHILD_SUBREAPER
    except (OSError, AttributeError):
        pass


def descendants(root):
    children = {}
    for entry in os.listdir("/proc"):
        if not entry.isdigit():
            continue
        try:
            with open(f"/proc/{entry}/stat") as f:
                stat = f.read()
        except OSError:
            continue
        fields = stat.rpartition(")")[2].split()
        if fields and fields[0] != "Z":
            children.setdefault(int(fields[1]), []).append(int(entry))
    found, todo = [], [root]
    while todo:
        for pid in children.get(todo.pop(), []):
            found.append(pid)
            todo.append(pid)
    return found


def reap():
    while True:
        try:
            pid, _ = os.waitpid(-1, os.WNOHANG)
        except ChildProcessError:
            return
        if pid == 0:
            return


def free_display():
    for n in range(90, 200):
        if not (os.path.exists(f"/tmp/.X11-unix/X{n}") or os.path.exists(f"/tmp/.X{n}-lock")):
            return n
    raise StepFailed("no free X display between :90 and :199")


class Session:
    def __init__(self, program):
        self.program = program
        self.dir = tempfile.mkdtemp(prefix="i3bar-e2e-")
        self.display = None
        self.xvfb = None
        self.i3 = None
        self.env = None

    def start_xvfb(self):
        for _ in range(5):
            n = free_display()
            read_fd, write_fd = os.pipe()
            log = open(os.path.join(self.dir, "xvfb.log"), "wb")
            proc = subprocess.Popen(
                ["Xvfb", f":{n}", "-screen", "0", f"{SCREEN[0]}x{SCREEN[1]}x24", "-nolisten",
                 "tcp", "-noreset", "-displayfd", str(write_fd)],
                pass_fds=[write_fd], stdout=log, stderr=subprocess.STDOUT,
                start_new_session=True)
            os.close(write_fd)
            log.close()
            # Xvfb writes the display number once it accepts clients.
            ready = b""
            with os.fdopen(read_fd, "rb") as r:
                if select.select([r], [], [], 20)[0]:
                    ready = r.readline()
            if ready.strip() == str(n).encode():
                self.xvfb, self.display = proc, n
                self.env = dict(os.environ, DISPLAY=f":{n}", XDG_RUNTIME_DIR=self.dir)
                self.env.pop("I3SOCK", None)
                return
            # Most likely another server took the display first.
            proc.kill()
            proc.wait(timeout=10)
        raise StepFailed("Xvfb did not start; see its log")

    def write_tap_config(self, name, env):
        config = {"record": os.path.join(self.dir, f"{name}.jsonl"), "argv": [self.program],
                  "env": env}
        path = os.path.join(self.dir, f"{name}.json")
        with open(path, "w") as f:
            json.dump(config, f)
        open(config["record"], "w").close()
        return path, Record(config["record"])

    def start_i3(self, bars):
        lines = ["# i3 config file (v4)",
                 "font pango:DejaVu Sans 12",
                 f"ipc-socket {self.dir}/ipc.sock",
                 "focus_follows_mouse no"]
        for bar_id, position, tap_config in bars:
            command = " ".join(shlex.quote(a) for a in
                               [sys.executable, os.path.abspath(__file__), "--tap", tap_config])
            lines += ["bar {", f"  id {bar_id}", f"  position {position}", "  mode dock",
                      "  tray_output none", "  workspace_buttons no",
                      "  binding_mode_indicator no", f"  status_command exec {command}", "}"]
        config = os.path.join(self.dir, "i3.config")
        with open(config, "w") as f:
            f.write("\n".join(lines) + "\n")
        check = subprocess.run(["i3", "-C", "-c", config], env=self.env, capture_output=True,
                               text=True, timeout=20)
        if check.returncode != 0 or "ERROR" in check.stdout + check.stderr:
            raise StepFailed(f"i3 rejects the generated config: {check.stdout}{check.stderr}")
        with open(os.path.join(self.dir, "i3.log"), "wb") as log:
            self.i3 = subprocess.Popen(["i3", "-c", config], env=self.env, stdout=log,
                                       stderr=subprocess.STDOUT, start_new_session=True)

    def x(self, *argv, timeout=20, binary=False):
        """Runs one X client to completion: never during the idle wait."""
        result = subprocess.run(list(argv), env=self.env, capture_output=True,
                                text=not binary, timeout=timeout)
        if result.returncode != 0:
            raise StepFailed(f"{' '.join(argv[:3])} failed ({result.returncode}): "
                             f"{result.stderr.strip() if not binary else result.stderr[:300]}")
        return result.stdout

    def bar_windows(self, count, timeout=20):
        deadline = now() + timeout
        while True:
            found = []
            try:
                ids = self.x("xdotool", "search", "--class", "i3bar").split()
            except StepFailed:
                ids = []
            for wid in ids:
                try:
                    shell = self.x("xdotool", "getwindowgeometry", "--shell", wid)
                except StepFailed:
                    continue
                g = dict(line.split("=", 1) for line in shell.split() if "=" in line)
                geom = tuple(int(g[k]) for k in ("X", "Y", "WIDTH", "HEIGHT"))
                if geom[2] > 100 and geom[3] > 5:
                    found.append(geom)
            if len(found) >= count:
                return found
            if now() > deadline:
                raise StepFailed(f"found {len(found)} i3bar windows, wanted {count}; "
                                 f"{self.log_tail('i3.log')}")
            time.sleep(0.2)

    def screenshot(self):
        """The whole screen as (width, height, RGB bytes)."""
        data = self.x("import", "-silent", "-window", "root", "-depth", "8", "ppm:-",
                      binary=True, timeout=30)
        return parse_ppm(data)

    def log_tail(self, name, lines=8):
        try:
            with open(os.path.join(self.dir, name), errors="replace") as f:
                tail = f.read().splitlines()[-lines:]
        except OSError:
            return ""
        return f"{name}: " + " | ".join(tail)

    def close(self):
        me = os.getpid()
        pids = descendants(me)
        for pid in pids:
            try:
                os.kill(pid, signal.SIGTERM)
            except ProcessLookupError:
                pass
        deadline = now() + 5
        while now() < deadline:
            reap()
            if not descendants(me):
                break
            time.sleep(0.05)
        for pid in descendants(me):
            try:
                os.kill(pid, signal.SIGKILL)
            except ProcessLookupError:
                pass
        deadline = now() + 5
        while descendants(me) and now() < deadline:
            reap()
            time.sleep(0.05)
        reap()
        if self.display is not None and self.xvfb is not None:
            # Only a killed Xvfb leaves these; never touch another server's.
            lock = f"/tmp/.X{self.display}-lock"
            try:
                with open(lock) as f:
                    ours = f.read().strip() == str(self.xvfb.pid)
            except OSError:
                ours = False
            if ours:
                for path in (lock, f"/tmp/.X11-unix/X{self.display}"):
                    try:
                        os.unlink(path)
                    except OSError:
                        pass
        shutil.rmtree(self.dir, ignore_errors=True)


# --------------------------------------------------------------------------------------------
# Pictures, with the standard library only.


def parse_ppm(data):
    fields, pos = [], 0
    while len(fields) < 4:
        while data[pos:pos + 1].isspace():
            pos += 1
        if data[pos:pos + 1] == b"#":
            pos = data.index(b"\n", pos) + 1
            continue
        end = pos
        while not data[end:end + 1].isspace():
            end += 1
        fields.append(data[pos:end])
        pos = end
    if fields[0] != b"P6" or fields[3] not in (b"255", b"65535"):
        raise StepFailed(f"unexpected screenshot format {fields}")
    width, height = int(fields[1]), int(fields[2])
    if fields[3] == b"255":
        return width, height, data[pos + 1:pos + 1 + width * height * 3]
    wide = data[pos + 1:pos + 1 + width * height * 6]
    return width, height, wide[::2]


def crop(image, x, y, w, h):
    width, _, pixels = image
    rows = [pixels[(y + r) * width * 3 + x * 3:(y + r) * width * 3 + (x + w) * 3]
            for r in range(h)]
    return w, h, b"".join(rows)


def write_png(path, image):
    w, h, pixels = image
    raw = b"".join(b"\0" + pixels[r * w * 3:(r + 1) * w * 3] for r in range(h))

    def chunk(kind, body):
        return (struct.pack(">I", len(body)) + kind + body
                + struct.pack(">I", zlib.crc32(kind + body) & 0xFFFFFFFF))

    os.makedirs(os.path.dirname(os.path.abspath(path)), exist_ok=True)
    with open(path, "wb") as f:
        f.write(b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", w, h, 8, 2, 0, 0, 0))
                + chunk(b"IDAT", zlib.compress(raw, 9)) + chunk(b"IEND", b""))


def drawn_columns(image):
    """Columns of a bar crop that differ from its background (its most common colour)."""
    w, h, pixels = image
    counts = {}
    for i in range(0, len(pixels), 3):
        px = pixels[i:i + 3]
        counts[px] = counts.get(px, 0) + 1
    background = max(counts, key=counts.get)
    cols = []
    for x in range(w):
        if any(pixels[(r * w + x) * 3:(r * w + x) * 3 + 3] != background for r in range(h)):
            cols.append(x)
    return cols


def red_pixels(image):
    _, _, p = image
    return sum(1 for i in range(0, len(p), 3) if p[i] >= 200 and p[i + 1] <= 60 and p[i + 2] <= 60)


def block_point(session, bar):
    """A point on the status block as drawn: the middle of what is drawn at the bar's right."""
    x, y, w, h = bar
    cols = drawn_columns(crop(session.screenshot(), x, y, w, h))
    right = [c for c in cols if c > w // 3]
    if len(right) < 20:
        raise StepFailed(f"the bar at {bar} draws no status block")
    return x + (right[0] + right[-1]) // 2, y + h // 2


# --------------------------------------------------------------------------------------------
# The run.


def wait_for(records, predicate, timeout, what):
    deadline = now() + timeout
    while True:
        for r in records:
            r.poll()
        value = predicate()
        if value:
            return value
        if now() > deadline:
            raise StepFailed(f"timed out after {timeout:.0f} s waiting for {what}")
        time.sleep(0.05)


def last_visible_before(frames, t):
    visible = [f for f in frames if f.t < t and not f.hidden]
    return visible[-1] if visible else None


def photograph_fast_bar(session, fast, marks, screenshot_path):
    # The return grace is timed on the monotonic clock, which libfaketime leaves alone here, so
    # the x60 bar too blinks for ten real seconds after input; once it is steady, take it.
    for _ in range(3):
        wait_for([fast], lambda: (fast.frames and not fast.frames[-1].hidden
                                  and now() - fast.frames[-1].t > 0.8
                                  and now() > marks["input_done"] + 1.5),
                 RETURN_GRACE + 8, "the x60 bar to stop blinking")
        before = len(fast.frames)
        shot_start = now()
        image = session.screenshot()
        shot_end = now()
        fast.poll()
        if not [f for f in fast.frames[before:] if f.t <= shot_end + 0.1]:
            break
    else:
        raise StepFailed("the x60 bar kept changing while the screen was taken")
    marks["shot"] = last_visible_before(fast.frames, shot_start)
    x, y, w, h = marks["fast_bar"]
    bar_image = crop(image, x, y, w, h)
    marks["shot_red"] = red_pixels(bar_image)
    if screenshot_path:
        # The item sits at the bar's right end; most of the bar is empty.
        cols = drawn_columns(bar_image)
        left = max(0, (cols[0] if cols else 0) - 24)
        write_png(screenshot_path, crop(bar_image, left, 0, w - left, h))
        marks["shot_path"] = screenshot_path


def scenario(session, real, fast, marks, screenshot_path):
    session.start_xvfb()
    session.start_i3([("real", "top", real[0]), ("fast", "bottom", fast[0])])
    real, fast = real[1], fast[1]
    bars = session.bar_windows(2)
    marks["real_bar"] = min(bars, key=lambda g: g[1])
    marks["fast_bar"] = max(bars, key=lambda g: g[1])

    # The count has to be well above a minute, and past its first shade of red, to show that
    # a click takes both back.
    wait_for([fast], lambda: any(f.minutes is not None and f.minutes >= 12 for f in fast.frames),
             40, "the x60 bar to reach 12 minutes")
    point = block_point(session, marks["fast_bar"])
    # The last input is timed so the idle threshold falls just after one of the real bar's
    # ticks: blinking then has to wait almost a second for the next tick, while a threshold
    # one 2^30 ns unit lower would already show at the tick before.
    tick = wait_for([real], lambda: real.frames and real.frames[0], 5, "the first title").t
    base = tick - IDLE_THRESHOLD + 0.1
    launch = base + max(0, -((base - (now() + 0.05)) // 1))
    time.sleep(max(0.0, launch - now()))
    marks["click_launch"] = now()
    session.x("xdotool", "mousemove", str(point[0]), str(point[1]), "click", "1")
    marks["click_done"] = now()
    marks["last_x_launch"] = marks["click_launch"]

    # The idle wait: from here until the input below, no X client may start.
    blink_from = marks["last_x_launch"] + IDLE_THRESHOLD
    first_hidden = wait_for(
        [real, fast], lambda: next((f for f in real.frames if f.hidden), None),
        blink_from - now() + 15, "the real bar to blink")
    marks["first_hidden"] = first_hidden.t
    wait_for([real, fast], lambda: now() > first_hidden.t + 3.0, 5, "some blinking")

    marks["input_launch"] = now()
    session.x("xdotool", "mousemove", str(SCREEN[0] // 2), str(SCREEN[1] // 2))
    marks["input_done"] = now()

    try:
        photograph_fast_bar(session, fast, marks, screenshot_path)
    except StepFailed as e:
        marks["shot_error"] = str(e)

    # Watch the real bar well past the end of its ten seconds.
    wait_for([real, fast], lambda: now() > marks["input_done"] + RETURN_GRACE + 4.5, 20,
             "the real bar's return grace")
    point = block_point(session, marks["real_bar"])
    marks["double_launch"] = now()
    session.x("xdotool", "mousemove", str(point[0]), str(point[1]),
              "click", "--repeat", "2", "--delay", "80", "1")
    marks["double_done"] = now()
    wait_for([real], lambda: real.first("exit"), 8, "the program to quit after a double-click")


# --------------------------------------------------------------------------------------------
# The checks, on what was recorded.


class CheckFailed(Exception):
    pass


def need(marks, *keys):
    for k in keys:
        if k not in marks:
            raise CheckFailed(f"not reached ({marks.get('stopped', 'run stopped')})")


def check_protocol(real, fast, marks):
    problems = []
    for name, rec in (("real", real), ("x60", fast)):
        out = rec.out
        if len(out) < 3:
            raise CheckFailed(f"{name}: only {len(out)} lines written")
        try:
            header = json.loads(out[0]["line"])
        except ValueError:
            header = None
        if header != {"version": 1, "click_events": True}:
            problems.append(f"{name}: header {out[0]['line']!r}")
        if out[1]["line"] != "[":
            problems.append(f"{name}: second line {out[1]['line']!r}, not '['")
        frames = rec.frames
        for i, f in enumerate(frames):
            if f.problems:
                problems.append(f"{name}: array {i}: {'; '.join(f.problems)}: {f.line!r}")
            if i and f.body == frames[i - 1].body:
                problems.append(f"{name}: array {i} repeats the one before: {f.line!r}")
        if any(not e.get("complete", True) for e in out):
            problems.append(f"{name}: a line without its newline")
    if problems:
        raise CheckFailed("; ".join(problems[:6]))
    return f"{len(real.frames)} + {len(fast.frames)} arrays, none repeated"


def check_first_title(real, fast, marks):
    out, frames = real.out, real.frames
    if len(out) < 3:
        raise CheckFailed("no title written")
    header_t, spawn_t, first = out[0]["t"], real.first("spawn")["t"], frames[0]
    delay = first.t - header_t
    if not 0.5 <= delay <= 3.0 or first.t - spawn_t > 4.0:
        raise CheckFailed(f"first title {delay:.2f} s after the header, "
                          f"{first.t - spawn_t:.2f} s after start; wanted about 1 s")
    want = [(PREFIX, {}), ("< 1 minute", {"weight": "bold"})]
    if first.runs != want or first.hidden:
        raise CheckFailed(f"first title {first.block.get('full_text')!r}")
    if "&lt; 1 minute" not in first.block["full_text"]:
        raise CheckFailed(f"'<' not escaped: {first.block['full_text']!r}")
    # The real clock's first minute: nothing else written before it.
    if len(frames) < 2:
        raise CheckFailed("no second title")
    second = frames[1]
    if second.runs != [(PREFIX, {}), ("1 minute", {"weight": "bold"})]:
        raise CheckFailed(f"the title after '< 1 minute' is {second.line!r}; expected "
                          "'1 minute', bold, default colour, and nothing between")
    at = second.t - header_t
    if not 59.0 <= at <= 64.0:
        raise CheckFailed(f"'1 minute' came {at:.1f} s after start")
    return f"after {delay:.2f} s; '1 minute' after {at:.1f} s"


def check_x60_count(real, fast, marks):
    need(marks, "click_launch", "first_hidden")
    problems, seen = [], {}
    segments = [[], []]
    for f in fast.frames:
        if f.hidden or f.label is None:
            continue
        if f.minutes is None:
            problems.append(f"malformed label {f.label!r}")
            continue
        if not f.bold:
            problems.append(f"{f.label!r} is not bold")
        want = expected_colour(f.minutes)
        if f.colour != want:
            problems.append(f"{f.label!r} has colour {f.colour}, wanted {want}")
        seen.setdefault(f.minutes, f.colour)
        segments[f.t >= marks["click_launch"]].append(f.minutes)
    for seg in segments:
        if any(b < a for a, b in zip(seg, seg[1:])):
            problems.append(f"the count went back: {seg}")
    after = set(segments[1])
    # One tick is one minute; a tick held up on a busy machine may skip one, not many.
    missing = [m for m in range(1, 16) if m not in after]
    if len(missing) > 3:
        problems.append(f"after the click, minutes {missing} never shown")
    for m, label in ((11, "11 minutes"), (15, "15 minutes"), (60, "1 hour")):
        if m not in seen:
            problems.append(f"{label!r} never shown")
    if 59 not in after and 58 not in after:
        problems.append("the count did not run up to the hour")
    if problems:
        raise CheckFailed("; ".join(problems[:6]))
    return (f"11 min {seen[11]}, 15 min {seen[15]}, then '1 hour' {seen[60]}; "
            f"{len(after)} labels after the click")


def check_click(real, fast, marks):
    need(marks, "click_launch", "click_done")
    frames = fast.frames
    before = last_visible_before(frames, marks["click_launch"])
    after = [f for f in frames if f.t >= marks["click_launch"]]
    if before is None or before.minutes is None or before.minutes < 12:
        raise CheckFailed(f"before the click the bar showed {before and before.describe()}")
    if not after:
        raise CheckFailed("nothing written after the click")
    first = after[0]
    if first.runs != [(PREFIX, {}), ("< 1 minute", {"weight": "bold"})]:
        events = [e["line"] for e in fast.of("in")]
        raise CheckFailed(f"after the click: {first.line!r}; bar sent {events[-3:]}")
    if first.t > marks["click_done"] + 2.0:
        raise CheckFailed(f"restart came {first.t - marks['click_done']:.1f} s after the click")
    nxt = after[1] if len(after) > 1 else None
    if nxt is None or nxt.label != "1 minute" or nxt.t - first.t > 2.5:
        raise CheckFailed(f"the count did not go on from zero: next {nxt and nxt.line!r}")
    return f"{before.label} {before.colour} -> < 1 minute, default colour"


def tick_grid(rec):
    """A moment on the program's one-second tick grid, from titles it wrote at ticks; never
    earlier than the true one, as the tap stamps a line after it is written."""
    ticks = [f.t for f in rec.frames[:2] if not f.hidden]
    if not ticks:
        return None
    ref = ticks[0]
    return ref + min(0.0, *[(t - ref) - round(t - ref) for t in ticks])


def blink_span(rec, start, end):
    return [f for f in rec.frames if start <= f.t <= end]


def check_blink(real, fast, marks):
    need(marks, "first_hidden", "input_launch")
    problems = []
    earliest = marks["last_x_launch"] + IDLE_THRESHOLD
    details = []
    for name, rec in (("real", real), ("x60", fast)):
        hidden = [f for f in rec.frames if f.hidden]
        if not hidden:
            problems.append(f"{name}: never blinked")
            continue
        start = hidden[0].t
        if start < earliest:
            problems.append(f"{name}: blinked after only {start - marks['last_x_launch']:.1f} s "
                            "of idle time")
        ticks = tick_grid(rec)
        if name == "real" and ticks is not None:
            # Blinking starts on a tick, and its first blank frame comes one blink later.
            first_tick = ticks + -((ticks - earliest) // 1)
            if start < first_tick + BLINK_PERIOD - 0.2:
                problems.append(f"{name}: blinked on the tick {first_tick - start + 0.3:.2f} s "
                                f"before the first one after {IDLE_THRESHOLD:.2f} s idle")
        if start > marks["click_done"] + IDLE_THRESHOLD + 6.0:
            problems.append(f"{name}: first blank frame "
                            f"{start - marks['click_done']:.1f} s after the last input")
        span = blink_span(rec, start - 1.5, marks["input_launch"])
        run = [f for f in span if f.t >= start]
        for a, b in zip(run, run[1:]):
            if a.hidden == b.hidden and (a.hidden or a.label == b.label):
                problems.append(f"{name}: two {'blank' if a.hidden else 'visible'} frames "
                                f"in a row at {a.t - start:.2f} s")
                break
        gaps = [b.t - a.t for a, b in zip(run, run[1:])]
        if len(gaps) < 5:
            problems.append(f"{name}: only {len(run)} frames in {marks['input_launch'] - start:.1f}"
                            " s of blinking")
        elif not 0.2 <= statistics.median(gaps) <= 0.45:
            problems.append(f"{name}: frames every {statistics.median(gaps):.2f} s, "
                            f"not every {BLINK_PERIOD}")
        # The blank must take the room of the visible title, or the bar jumps each blink.
        for f in run:
            if not f.hidden:
                continue
            visible = last_visible_before(rec.frames, f.t)
            if visible is None or without_colour(f.runs) != without_colour(visible.runs):
                problems.append(f"{name}: blank frame min_width {f.markup!r} is not the "
                                f"visible title {visible and visible.markup!r}")
                break
        if gaps:
            details.append(f"{name} from {start - marks['last_x_launch']:.1f} s idle, "
                           f"every {statistics.median(gaps):.2f} s")
    if problems:
        raise CheckFailed("; ".join(problems[:6]))
    return "; ".join(details)


def check_return(real, fast, marks):
    need(marks, "input_launch", "double_launch")
    frames = blink_span(real, marks["input_launch"], marks["double_launch"])
    hidden = [f for f in frames if f.hidden]
    if not hidden:
        raise CheckFailed("stopped blinking at once on input, wanted about 10 s later")
    last = hidden[-1]
    after = [f for f in frames if f.t > last.t]
    back = last.t - marks["input_launch"]
    if not after:
        raise CheckFailed(f"still blank {marks['double_launch'] - marks['input_done']:.1f} s "
                          "after input")
    stop = after[0].t - marks["input_done"]
    if back < RETURN_GRACE - 1.5:
        raise CheckFailed(f"last blank frame only {back:.1f} s after input")
    if stop > RETURN_GRACE + 3.0:
        raise CheckFailed(f"blinking went on {stop:.1f} s after input")
    return f"last blank frame {back:.1f} s after input, visible from {stop:.1f} s"


def check_screenshot(real, fast, marks):
    if "shot_error" in marks:
        raise CheckFailed(marks["shot_error"])
    need(marks, "shot")
    shown = marks["shot"]
    if shown is None or shown.colour != "#ff0000":
        raise CheckFailed(f"the bar showed {shown and shown.describe()} when taken")
    if marks["shot_red"] < 30:
        raise CheckFailed(f"only {marks['shot_red']} red pixels in the bar for {shown.label!r}")
    saved = f"; saved {marks['shot_path']}" if "shot_path" in marks else ""
    return f"{shown.label!r} drawn with {marks['shot_red']} red pixels{saved}"


def check_double_click(real, fast, marks):
    need(marks, "double_launch")
    exit_event = real.first("exit")
    if exit_event is None:
        raise CheckFailed(f"still running after the double-click; bar sent "
                          f"{[e['line'] for e in real.of('in')][-3:]}")
    if exit_event["code"] != 0:
        raise CheckFailed(f"exit status {exit_event['code']}")
    took = exit_event["t"] - marks["double_done"]
    if took > 3.0:
        raise CheckFailed(f"quit {took:.1f} s after the double-click")
    return f"exit status 0, {max(took, 0):.2f} s after the double-click"


def check_quiet(real, fast, marks):
    messages = [f"{name}: {e['line']}" for name, rec in (("real", real), ("x60", fast))
                for e in rec.of("err")]
    if messages:
        raise CheckFailed("; ".join(messages[:5]))
    return "nothing on standard error"


CHECKS = [
    ("i3bar protocol: header, '[', one comma-led array per change, no repeats", check_protocol),
    ("first title about 1 s after start: 'Time Sitting: ' + bold '< 1 minute'", check_first_title),
    ("x60 clock: minutes count up, bar's text colour to 10, #ffcccc at 11, #ff0000 from 15",
     check_x60_count),
    ("click on the block restarts the count", check_click),
    ("after 61 x 2^30 ns idle: blank/visible every 0.3 s at constant width", check_blink),
    ("after input: blinking ends about 10 s later", check_return),
    ("the red item on screen", check_screenshot),
    ("double-click quits with status 0", check_double_click),
    ("no messages on standard error", check_quiet),
]


def main(argv):
    if len(argv) >= 2 and argv[0] == "--tap":
        return tap_main(argv[1])
    sys.stdout.reconfigure(line_buffering=True)
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("program")
    parser.add_argument("--screenshot", metavar="PATH")
    args = parser.parse_args(argv)
    program = os.path.abspath(args.program)
    if not os.access(program, os.X_OK):
        print(f"not an executable: {program}", file=sys.stderr)
        return 2
    missing = [t for t in ("Xvfb", "i3", "i3bar", "xdotool", "import") if not shutil.which(t)]
    library = faketime_library()
    if missing or library is None:
        print(f"missing {' '.join(missing + ([] if library else ['libfaketime']))}: "
              "run tools/install-deps --test", file=sys.stderr)
        return 2

    def on_signal(sig, _frame):
        raise KeyboardInterrupt(f"signal {sig}")

    for sig in (signal.SIGINT, signal.SIGTERM, signal.SIGHUP):
        signal.signal(sig, on_signal)
    set_child_subreaper()

    started = now()
    session = Session(program)
    marks, logs = {}, []
    try:
        real = session.write_tap_config("real", {})
        fast = session.write_tap_config("fast", {
            "LD_PRELOAD": library,
            "FAKETIME": f"+0 x{FAKETIME_RATE}",
            # The run loop's one-second tick stays a real second; only the wall clock flies.
            "FAKETIME_DONT_FAKE_MONOTONIC": "1",
        })
        try:
            scenario(session, real, fast, marks, args.screenshot)
        except (StepFailed, subprocess.TimeoutExpired) as e:
            marks["stopped"] = f"run stopped: {e}"
            print(f"run stopped: {e}")
        for rec in (real[1], fast[1]):
            rec.poll()
    except KeyboardInterrupt:
        print("interrupted; cleaning up")
        return 130
    finally:
        logs = [session.log_tail("i3.log"), session.log_tail("xvfb.log")]
        session.close()

    records = {"real": real[1], "x60": fast[1]}
    passed = failed = 0
    for name, check in CHECKS:
        try:
            detail = check(real[1], fast[1], marks)
            print(f"PASS {name}: {detail}")
            passed += 1
        except CheckFailed as e:
            print(f"FAIL {name}: {e}")
            failed += 1
    if failed:
        for rec_name, rec in records.items():
            print(f"--- {rec_name} bar, seconds since its start:")
            for line in rec.transcript(limit=60):
                print(line)
        for log in logs:
            if log:
                print(log)
    print(f"took {now() - started:.0f} s")
    print(f"{passed} passed, {failed} failed")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
