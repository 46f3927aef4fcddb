#!/usr/bin/env python3
"""End to end: the tray item in a real xfce4-panel 4.18 systray under Xvfb.

    python3 tests/desktop/tray_xfce_e2e.py path/to/sitting-timer [--screenshot out.png]

One private session (Xvfb, session bus, xfconfd, a panel with only its systray, which is both
the watcher and the host). The program runs under libfaketime at x60 for the wall clock, so each
second is a minute; its idle time comes from the X server (x11). In order:

  1. the item's pixels appear in the panel;
  2. a real click (xdotool) restarts the count, read from the label the item signals;
  3. the panel is killed and started again: the item comes back;
  4. about 61 s without input: the item alternates hidden and shown every 0.3 s; input stops
     it about 10 s later (no X client may connect while waiting: each one resets Xvfb's idle
     time);
  5. "Restart" and then "Quit" in the real popup menu (right click, keys): status 0;
  6. a second program: a real double-click ends it with status 0.
"""

import argparse
import os
import statistics
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from tray_harness import (PREFIX, Desktop, HarnessError, SignalRecorder, check,  # noqa: E402
                          missing_tools, now, run_scenario, wait_until)
from desktop_support import faketime_library  # noqa: E402
from gi.repository import GLib  # noqa: E402

PANEL_HEIGHT = 30
BLINK = 0.3
IDLE_THRESHOLD = 61 * 2**30 / 1e9  # the program blinks once the idle reading passes 60
RETURN_GRACE = 10.0


def dark(rgb):
    return sum(rgb) < 250


def item_box(desktop, timeout=10):
    """Where the item's drawing is in the panel: the box around its dark pixels."""
    def look():
        shot = desktop.screenshot()
        points = shot.find(dark, (0, 0, shot.width, PANEL_HEIGHT))
        if len(points) < 15:
            return None
        xs, ys = [p[0] for p in points], [p[1] for p in points]
        return (min(xs), min(ys), max(xs) - min(xs) + 1, max(ys) - min(ys) + 1, shot)
    return wait_until(look, timeout, "the item's pixels in the panel", interval=0.3)


def centre(box):
    return box[0] + box[2] // 2, box[1] + box[3] // 2


def labels(recorder, since):
    return [(t, args[0]) for t, _, args in recorder.since(since, "XAyatanaNewLabel")]


def shown(label):
    return label.startswith(PREFIX)


def away(desktop):
    # Prelight repaints the icon's edges while the pointer is over it.
    desktop.x("xdotool", "mousemove", "300", "150")


def scenario(desktop, program, screenshot_path, report):
    desktop.start_xvfb(400, 200)
    desktop.start_bus()
    desktop.start_xfce_panel()
    empty = desktop.screenshot()
    check(not empty.find(dark, (0, 0, empty.width, PANEL_HEIGHT)),
          "the panel shows dark pixels before the program starts")
    recorder = SignalRecorder(desktop.bus_address)
    try:
        run(desktop, program, screenshot_path, report, recorder)
    finally:
        recorder.stop()


def run(desktop, program, screenshot_path, report, recorder):
    # 1. The item in the panel.
    started = now()
    first = desktop.start_program(program, ["--idle-source=x11"], fake_rate=60)
    item = desktop.item_name()
    box = item_box(desktop)
    check(box[2] <= 24 and box[3] <= 24, f"the item's drawing is {box[2]}x{box[3]}, not an icon")
    report("item drawn", f"{box[2]}x{box[3]} at ({box[0]},{box[1]}), "
           f"{now() - started:.1f} s after start")
    if screenshot_path:
        # A red count: past the tenth minute at x60.
        wait_until(lambda: now() - started > 13.5, 20, "minute 13")
        shot = item_box(desktop)[4]
        shot.crop(0, 0, 64, PANEL_HEIGHT).write_png(screenshot_path)
        report("screenshot", f"{screenshot_path} at {desktop.tooltip(item)!r}")

    # 2. A real click restarts the count.
    wait_until(lambda: desktop.tooltip(item) not in (PREFIX + "< 1 minute", PREFIX + "1 minute"),
               20, "a count of minutes")
    before = desktop.tooltip(item)
    clicked = now()
    x, y = centre(box)
    desktop.x("xdotool", "mousemove", str(x), str(y), "click", "1")
    away(desktop)
    restarted = wait_until(
        lambda: [l for l in labels(recorder, clicked) if l[1] == PREFIX + "< 1 minute"], 5,
        "the label to restart at '< 1 minute' after the click")
    check(first.poll() is None, "one click ended the program")
    report("click restarts", f"{before!r} -> '< 1 minute' {restarted[0][0] - clicked:.2f} s "
           "after the click")

    # 3. The panel dies and comes back; so does the item.
    desktop.kill_panel()
    gone = now()
    desktop.start_xfce_panel()
    unique = desktop.call("org.freedesktop.DBus", "/org/freedesktop/DBus",
                          "org.freedesktop.DBus", "GetNameOwner", GLib.Variant("(s)", (item,)),
                          "(s)")[0]
    registered = wait_until(lambda: unique + "/StatusNotifierItem" in desktop.call(
        "org.kde.StatusNotifierWatcher", "/StatusNotifierWatcher",
        "org.freedesktop.DBus.Properties", "Get",
        GLib.Variant("(ss)", ("org.kde.StatusNotifierWatcher",
                                 "RegisteredStatusNotifierItems")), "(v)")[0], 10,
        "the item to register with the new panel")
    # A panel that has just started may draw the item once before its layout settles: wait for
    # it in its place, as a user would see it a moment later.
    def in_place():
        back = item_box(desktop)
        return back if abs(back[0] - box[0]) <= 4 else None

    try:
        wait_until(in_place, 10, "the item in its place", interval=0.3)
    except HarnessError:
        check(False, "the item is not back in its place")
    check(registered, "the item did not register with the new panel")
    report("panel restart", f"back in the panel {now() - gone:.1f} s after the kill")

    # 4. Away from the keyboard: blinking, then input, then steady again. Only D-Bus from here
    # until the input: an X client would reset the idle time.
    away(desktop)
    last_input = now()
    blink_from = wait_until(
        lambda: next((t for t, l in labels(recorder, last_input) if not shown(l)), None),
        IDLE_THRESHOLD + 30, "the first hidden frame")
    check(blink_from - last_input > IDLE_THRESHOLD - 1,
          f"blinking began {blink_from - last_input:.1f} s after the last input")
    time.sleep(3.0)
    frames = labels(recorder, blink_from)
    flips = [t for (t, l), (_, p) in zip(frames[1:], frames) if shown(l) != shown(p)]
    gaps = [b - a for a, b in zip(flips, flips[1:])]
    check(len(flips) >= 6, f"only {len(flips)} flips in 3 s of blinking")
    median = statistics.median(gaps)
    check(0.2 <= median <= 0.45, f"frames alternate every {median:.2f} s, not every 0.3 s")
    icons = len(recorder.since(blink_from, "NewIcon"))
    check(icons >= len(flips), f"{icons} icon signals for {len(flips)} flips")
    report("blinking", f"from {blink_from - last_input:.1f} s idle; {len(flips)} flips in 3 s, "
           f"median {median:.3f} s apart; {icons} new icons")

    came_back = now()
    desktop.x("xdotool", "mousemove", "310", "160")
    wait_until(lambda: now() - came_back > RETURN_GRACE + 4, 30, "the return grace")
    after = labels(recorder, came_back)
    hidden = [t for t, l in after if not shown(l)]
    check(hidden, "no hidden frame after the input")
    stop_at = hidden[-1] - came_back
    check(RETURN_GRACE - 1.5 <= stop_at <= RETURN_GRACE + 2.5,
          f"blinking stopped {stop_at:.1f} s after the input")
    check(shown(after[-1][1]), "the last label after blinking is hidden")
    report("return", f"last hidden frame {stop_at:.1f} s after the input")

    # 5. The real menu: Restart, then Quit.
    def menu(downs):
        desktop.x("xdotool", "mousemove", str(x), str(y), "click", "3")
        wait_until(lambda: desktop.x("xdotool", "search", "--onlyvisible", "--class",
                                     "wrapper-2.0", timeout=10).strip(), 5, "the popup menu")
        time.sleep(0.3)
        desktop.x("xdotool", "key", *(["Down"] * downs), "Return")
        away(desktop)

    wait_until(lambda: desktop.tooltip(item) != PREFIX + "< 1 minute", 10, "a count")
    chosen = now()
    menu(1)
    wait_until(lambda: [l for l in labels(recorder, chosen) if l[1] == PREFIX + "< 1 minute"],
               5, "'Restart' in the menu to restart the count")
    check(first.poll() is None, "'Restart' ended the program")
    menu(2)
    wait_until(lambda: first.poll() is not None, 5, "'Quit' to end the program")
    check(first.returncode == 0, f"'Quit' ended the program with status {first.returncode}")
    desktop.processes.pop("program", None)
    report("menu", "'Restart' restarted the count; 'Quit' ended the program with status 0")

    # 6. A double-click quits.
    second = desktop.start_program(program, ["--idle-source=x11"], name="second")
    desktop.item_name()
    box = item_box(desktop)
    x, y = centre(box)
    desktop.x("xdotool", "mousemove", str(x), str(y), "click", "--repeat", "2", "--delay", "150",
              "1")
    away(desktop)
    wait_until(lambda: second.poll() is not None, 5, "the double-click to end the program")
    check(second.returncode == 0, f"double-click ended the program with {second.returncode}")
    desktop.processes.pop("second", None)
    report("double-click", "ended the program with status 0")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("program")
    parser.add_argument("--screenshot", metavar="PATH")
    args = parser.parse_args()
    program = os.path.abspath(args.program)
    missing = missing_tools("Xvfb", "xfce4-panel", "dbus-daemon", "xdotool", "import")
    if missing or not faketime_library():
        print(f"SKIP: missing {' '.join(missing) or 'libfaketime'} (tools/install-deps --test)")
        return 77

    with Desktop("tray-xfce") as desktop:
        return run_scenario(desktop, lambda report: scenario(desktop, program, args.screenshot,
                                                             report), ("program", "second", "panel"))


if __name__ == "__main__":
    sys.exit(main())
