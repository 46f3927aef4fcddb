#!/usr/bin/env python3
"""End to end: the tray item as an XEmbed icon in real trays that take no StatusNotifierItem.

    python3 tests/desktop/tray_xembed_e2e.py path/to/sitting-timer --panel tint2|i3bar

One private session: Xvfb, a session bus with no StatusNotifierWatcher on it, and
  tint2   openbox and tint2 (a panel with only its system tray). The program starts first, as
          from the desktop entry at login (--status-bar=tray), then the panel. In order:
            1. it docks within 3 s of the panel, and its pixels are in the panel;
            2. a tooltip shows while the pointer rests on the icon; a real click (xdotool)
               restarts the count: the icon is "<1" again;
            3. tint2 ends and starts again: the icon is back;
            4. about 61 s without input: the icon alternates hidden and shown every 0.3 s;
               input stops it about 10 s later (read through one X connection made before the
               wait: a new X client could reset Xvfb's idle time);
            5. a real double-click ends it with status 0.
          About 100 s, most of it the idle wait.
  i3bar   i3 with one bar, its tray on the primary output; the program starts once the tray is
          there (--status-bar=tray finds it at start). Steps 1 and 2, then the menu under real
          input: Escape closes it, "Quit" ends the program with status 0. About 10 s.

The wall clock runs ten times fast (libfaketime), so the count leaves "<1" after 6 s. The count
is read from the icon's pixels: the same face draws the same pixels.
"""

import argparse
import ctypes
import os
import statistics
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from tray_harness import (TINT2_COLOUR, Desktop, HarnessError, check,  # noqa: E402
                          missing_tools, now, run_scenario, wait_until)
from desktop_support import faketime_library  # noqa: E402

import gi  # noqa: E402

gi.require_version("Gdk", "3.0")
from gi.repository import Gdk  # noqa: E402

FAKE_RATE = 10
BLINK = 0.3
IDLE_THRESHOLD = 61 * 2**30 / 1e9
RETURN_GRACE = 10.0
DOCK_SECONDS = 3.0

I3_CONFIG = """\
# i3 config file (v4)
font pango:DejaVu Sans 10
ipc-socket {dir}/ipc.sock
focus_follows_mouse no
bar {{
  position top
  mode dock
  tray_output primary
  workspace_buttons no
  binding_mode_indicator no
}}
"""


class Screen:
    """Pixels of the root window through one X connection, made once: new X clients during the
    idle wait could reset the server's idle time."""

    def __init__(self, display):
        self.display = Gdk.Display.open(display)
        if self.display is None:
            raise HarnessError(f"Gdk cannot open {display}")
        self.root = self.display.get_default_screen().get_root_window()

    def grab(self, x, y, w, h):
        pixbuf = Gdk.pixbuf_get_from_window(self.root, x, y, w, h)
        if pixbuf is None:
            raise HarnessError("cannot read the screen")
        data, stride, n = pixbuf.get_pixels(), pixbuf.get_rowstride(), pixbuf.get_n_channels()
        return [[tuple(data[r * stride + c * n:r * stride + c * n + 3]) for c in range(w)]
                for r in range(h)]

    # Never closed: closing a GDK display makes the interpreter's exit fail (status 1) once the
    # server is gone. The process's end lets it go.


def tray_owner(display):
    """The window owning the tray's selection on screen 0, or 0 (one short X connection)."""
    x11 = ctypes.CDLL("libX11.so.6")
    x11.XOpenDisplay.restype = ctypes.c_void_p
    x11.XOpenDisplay.argtypes = [ctypes.c_char_p]
    x11.XInternAtom.restype = ctypes.c_ulong
    x11.XInternAtom.argtypes = [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_int]
    x11.XGetSelectionOwner.restype = ctypes.c_ulong
    x11.XGetSelectionOwner.argtypes = [ctypes.c_void_p, ctypes.c_ulong]
    x11.XCloseDisplay.argtypes = [ctypes.c_void_p]
    handle = x11.XOpenDisplay(display.encode())
    if not handle:
        return 0
    try:
        return x11.XGetSelectionOwner(handle, x11.XInternAtom(handle, b"_NET_SYSTEM_TRAY_S0", 0))
    finally:
        x11.XCloseDisplay(handle)


def light(rgb):
    return min(rgb) > 200


def icon_box(screen, area, background, timeout):
    """The box around the pixels in `area` (x, y, w, h) that are not the bar's background."""
    x0, y0, w, h = area

    def look():
        rows = screen.grab(x0, y0, w, h)
        points = [(x0 + c, y0 + r) for r, row in enumerate(rows) for c, p in enumerate(row)
                  if p != background]
        if len(points) < 30 or not any(light(rows[y - y0][x - x0]) for x, y in points):
            return None
        xs, ys = [p[0] for p in points], [p[1] for p in points]
        return min(xs), min(ys), max(xs) - min(xs) + 1, max(ys) - min(ys) + 1

    return wait_until(look, timeout, "the icon's pixels in the tray", interval=0.1)


def centre(box):
    return box[0] + box[2] // 2, box[1] + box[3] // 2


class Session:
    def __init__(self, desktop, program, panel, report):
        self.desktop, self.program, self.panel, self.report = desktop, program, panel, report
        self.screen = None

    def x(self, *argv):
        return self.desktop.x(*argv)

    def away(self):
        self.x("xdotool", "mousemove", "380", "190")

    def start_panel(self):
        """Starts the panel; returns when it was started."""
        started = now()
        if self.panel == "tint2":
            self.desktop.start_tint2()
        else:
            path = self.desktop.path("i3.config")
            with open(path, "w") as f:
                f.write(I3_CONFIG.format(dir=self.desktop.dir))
            self.desktop.spawn("i3", ["i3", "-c", path])
        return started

    def area(self):
        return (0, 0, 400, 30) if self.panel == "tint2" else (200, 0, 200, 30)

    def background(self):
        if self.panel == "tint2":
            return TINT2_COLOUR
        # i3bar's own: read where no icon is, at the bar's left end.
        return self.screen.grab(5, 5, 1, 1)[0][0]

    def crop(self, box):
        return self.screen.grab(*box)

    def run(self):
        d = self.desktop
        d.start_xvfb(400, 200)
        if self.panel == "i3bar":
            # i3bar shows a tray only on an output it knows as primary.
            self.x("xrandr", "--output", "screen", "--primary")
        d.start_bus()
        self.screen = Screen(d.display)
        if self.panel == "tint2":
            d.spawn("openbox", ["openbox", "--sm-disable"])

        if self.panel == "tint2":
            # 1. Started before the panel, as at login: it waits for either kind of tray and
            # docks in this one.
            started = now()
            program = d.start_program(self.program, ["--idle-source=x11"], fake_rate=FAKE_RATE)
            wait_until(lambda: "waiting for a tray" in d.log_tail("program"), 10,
                       "the program to say it waits for a tray")
            since = self.start_panel()
        else:
            # 1. Started with the tray there: it finds it at once.
            self.start_panel()
            wait_until(lambda: tray_owner(d.display), 10, "i3bar's tray to take the selection")
            started = since = now()
            program = d.start_program(self.program, ["--idle-source=x11"], fake_rate=FAKE_RATE)
        box = icon_box(self.screen, self.area(), self.background(), 15)
        docked = now() - since
        what = "tint2 started" if self.panel == "tint2" else "the program started"
        check(docked <= DOCK_SECONDS, f"docked {docked:.1f} s after {what}")
        if self.panel == "i3bar":
            check("waiting" not in d.log_tail("program"), "it waited though the tray was there")
        check(box[2] <= 32 and box[3] <= 32, f"the icon is {box[2]}x{box[3]}")
        first = self.crop(box)
        self.report("docked", f"{box[2]}x{box[3]} at ({box[0]},{box[1]}), {docked:.1f} s after "
                    f"{what}")

        # The whole title in a tooltip once the pointer rests on the icon; gone when it leaves.
        def tooltip():
            try:
                return self.x("xdotool", "search", "--onlyvisible", "--classname",
                              "sitting-timer-tooltip").strip()
            except HarnessError:
                return ""

        self.x("xdotool", "mousemove", *map(str, centre(box)))
        shown = wait_until(tooltip, 3, "the tooltip")
        self.away()
        wait_until(lambda: not tooltip(), 3, "the tooltip to go")
        self.report("tooltip", f"window {shown} while the pointer rested on the icon")

        # 2. A real click restarts the count: the icon shows "<1" again.
        wait_until(lambda: self.crop(box) != first, 6 * 60 / FAKE_RATE + 10,
                   "the count to leave '<1'")
        check(now() - started >= 60 / FAKE_RATE - 1, "the icon changed before a minute passed")
        clicked = now()
        self.x("xdotool", "mousemove", *map(str, centre(box)), "click", "1")
        self.away()
        wait_until(lambda: self.crop(box) == first, 3, "the icon to show '<1' after the click")
        check(program.poll() is None, "one click ended the program")
        self.report("click restarts", f"'<1' again {now() - clicked:.2f} s after the click")

        if self.panel == "tint2":
            self.restart_and_blink(program)

        box = icon_box(self.screen, self.area(), self.background(), 5)
        if self.panel == "i3bar":
            # 5. The menu under real input: Escape closes it; "Quit" (Down, Down, Return) ends it.
            def menu():
                try:
                    return self.x("xdotool", "search", "--onlyvisible", "--classname",
                                  "sitting-timer-menu").strip()
                except HarnessError:
                    return ""

            self.x("xdotool", "mousemove", *map(str, centre(box)), "click", "3")
            wait_until(menu, 3, "the menu")
            self.x("xdotool", "key", "Escape")
            wait_until(lambda: not menu(), 3, "Escape to close the menu")
            check(program.poll() is None, "Escape ended the program")
            self.x("xdotool", "click", "3")
            wait_until(menu, 3, "the menu again")
            self.x("xdotool", "key", "Down", "Down", "Return")
            wait_until(lambda: program.poll() is not None, 5, "'Quit' to end the program")
            check(program.returncode == 0, f"'Quit' ended it with {program.returncode}")
            d.processes.pop("program", None)
            self.report("menu", "Escape closed it; 'Quit' ended the program with status 0")
            return

        # 5. A real double-click ends it.
        self.x("xdotool", "mousemove", *map(str, centre(box)), "click", "--repeat", "2",
               "--delay", "150", "1")
        wait_until(lambda: program.poll() is not None, 5, "the double-click to end the program")
        check(program.returncode == 0, f"the double-click ended it with {program.returncode}")
        d.processes.pop("program", None)
        self.report("double-click", "ended the program with status 0")

    def restart_and_blink(self, program):
        d = self.desktop
        # 3. The panel ends and comes back; so does the icon.
        d.stop("tint2")
        gone = now()
        wait_until(lambda: not [p for row in self.screen.grab(*self.area()) for p in row
                                if light(p)], 5, "the icon to leave with the panel")
        self.start_panel()
        box = icon_box(self.screen, self.area(), TINT2_COLOUR, 10)
        check(program.poll() is None, "the program ended with the panel")
        self.report("panel restart", f"back {now() - gone:.1f} s after tint2 ended")

        # 4. Away: blinking after about 61 s, its end about 10 s after input. Only the one X
        # connection made at the start is used until the input.
        self.away()
        last_input = now()

        def hidden(rows):
            return all(p == TINT2_COLOUR for row in rows for p in row)

        frames = []  # (t, hidden)

        def sample():
            frames.append((now(), hidden(self.crop(box))))
            return frames[-1][1]

        wait_until(sample, IDLE_THRESHOLD + 20, "the first hidden frame", interval=0.03)
        blink_from = frames[-1][0]
        check(blink_from - last_input > IDLE_THRESHOLD - 1,
              f"blinking began {blink_from - last_input:.1f} s after the last input")
        end = now() + 3
        while now() < end:
            sample()
            time.sleep(0.03)
        seen = [f for f in frames if f[0] >= blink_from]
        flips = [t for (t, h), (_, p) in zip(seen[1:], seen) if h != p]
        gaps = [b - a for a, b in zip(flips, flips[1:])]
        check(len(flips) >= 6, f"only {len(flips)} flips in 3 s of blinking")
        median = statistics.median(gaps)
        check(BLINK - 0.1 <= median <= BLINK + 0.15,
              f"frames alternate every {median:.2f} s, not every {BLINK} s")
        self.report("blinking", f"from {blink_from - last_input:.1f} s idle; {len(flips)} "
                    f"flips in 3 s, median {median:.3f} s apart")

        came_back = now()
        self.x("xdotool", "mousemove", "370", "180")
        frames.clear()
        end = came_back + RETURN_GRACE + 4
        while now() < end:
            sample()
            time.sleep(0.03)
        hidden_after = [t for t, h in frames if h]
        check(hidden_after, "no hidden frame after the input")
        stop_at = hidden_after[-1] - came_back
        check(RETURN_GRACE - 1.5 <= stop_at <= RETURN_GRACE + 2.5,
              f"blinking stopped {stop_at:.1f} s after the input")
        check(not frames[-1][1], "the icon is hidden after blinking")
        self.report("return", f"last hidden frame {stop_at:.1f} s after the input")


def set_child_subreaper():
    # i3 forks its bar: without this it would be adopted by init, out of the cleanup's reach.
    try:
        ctypes.CDLL(None, use_errno=True).prctl(36, 1, 0, 0, 0)  # PR_SET_CHILD_SUBREAPER
    except (OSError, AttributeError):
        pass


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("program")
    parser.add_argument("--panel", choices=("tint2", "i3bar"), required=True)
    args = parser.parse_args()
    program = os.path.abspath(args.program)
    tools = ["Xvfb", "dbus-daemon", "xdotool"]
    tools += ["tint2", "openbox"] if args.panel == "tint2" else ["i3", "i3bar", "xrandr"]
    missing = missing_tools(*tools)
    if missing or not faketime_library():
        print(f"SKIP: missing {' '.join(missing) or 'libfaketime'} (tools/install-deps --test)")
        return 77
    set_child_subreaper()
    with Desktop(f"tray-{args.panel}") as desktop:
        session = Session(desktop, program, args.panel, None)

        def scenario(report):
            session.report = report
            session.run()

        status = run_scenario(desktop, scenario, ("program", args.panel, "i3"))
    # i3bar, forked by i3, is ours to reap once i3 is gone.
    try:
        while os.waitpid(-1, os.WNOHANG)[0] > 0:
            pass
    except ChildProcessError:
        pass
    return status


if __name__ == "__main__":
    sys.exit(main())
