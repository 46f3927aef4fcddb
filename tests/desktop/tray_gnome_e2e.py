#!/usr/bin/env python3
"""End to end: the tray item in GNOME Shell 43 with the AppIndicator extension, headless.

    python3 tests/desktop/tray_gnome_e2e.py path/to/sitting-timer [--screenshot out.png]

gnome-shell runs headless on Wayland as an unprivileged user (nobody), under a private session
bus and a throw-away system bus, with --unsafe-mode so that org.gnome.Shell.Eval can read the
panel. The program runs as that user under libfaketime at x60 for the wall clock. Checked:

  0. started before the extension is on, the program says in one notification, shown by the
     shell after about 5 s, that there is no tray and how to get one; turning the extension
     on then shows the item and withdraws the notification;
  1. the extension shows the item with the label "Time Sitting: ..." beside its icon;
  2. the label follows the count;
  3. "Restart" in the item's menu restarts the count, "Quit" ends the program with status 0.

The menu entries are activated through Eval, as the shell's own click handler would (the
extension opens the menu on a click, and sends the dbusmenu Event the entry's activation
makes): headless gnome-shell takes no X input, and its remote-desktop input needs a screen-cast
session to aim at a point.
"""

import argparse
import os
import re
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from tray_harness import (PREFIX, Desktop, HarnessError, SignalRecorder,  # noqa: E402
                          check, run_scenario,
                          missing_tools, now, wait_until)
from desktop_support import faketime_library  # noqa: E402
from gi.repository import GLib  # noqa: E402

USER = "nobody"
INDICATOR = ("Object.entries(Main.panel.statusArea)"
             ".find(([k, v]) => k.startsWith('appindicator-') && v)[1]")
MINUTES = re.compile(r"^Time Sitting: (?:< 1 minute|1 minute|(\d+) minutes|1 hour|(\d+) hours)$")


def minutes(label):
    m = MINUTES.match(label or "")
    if not m:
        return None
    if m.group(1):
        return int(m.group(1))
    if m.group(2):
        return int(m.group(2)) * 60
    return {"< 1 minute": 0, "1 minute": 1, "1 hour": 60}[label[len(PREFIX):]]


def shell_label(desktop):
    try:
        return desktop.eval_js(f"{INDICATOR}._label.get_text()")
    except HarnessError:
        return None  # not shown yet


def choose(desktop, entry):
    """Opens the item's menu in the shell and activates `entry` as a click on it would."""
    code = (f"const b = {INDICATOR}; b.menu.open(); "
            f"const it = b.menu._getMenuItems().find(i => i.label && i.label.text === "
            f"'{entry}'); "
            "const C = imports.gi.Clutter; "
            "if (it) it.activate(C.Event.new(C.EventType.BUTTON_RELEASE)); "
            "!!it")
    return wait_until(lambda: desktop.eval_js(code), 10, f"'{entry}' in the shell's menu",
                      interval=0.3)


# What the shell's message tray holds: [title, body] of each notification.
NOTIFICATIONS = ("JSON.stringify(Main.messageTray.getSources().flatMap(s => s.notifications)"
                 ".map(n => [n.title, n.bannerBodyText]))")


def notifications(desktop):
    import json
    return [tuple(n) for n in json.loads(desktop.eval_js(NOTIFICATIONS) or "[]")]


def scenario(desktop, program, screenshot, report):
    desktop.start_bus()
    started = now()
    desktop.start_gnome_shell(appindicator=False)
    report("gnome-shell", f"up without the AppIndicator extension in {now() - started:.1f} s")
    recorder = SignalRecorder(desktop.bus_address)
    try:
        run(desktop, program, screenshot, report, recorder)
    finally:
        recorder.stop()


def no_tray_notice(desktop, process, report):
    """The default GNOME: no extension, so no tray. The user is told once, then turns it on."""
    started = now()
    shown = wait_until(lambda: [n for n in notifications(desktop)
                                if n[0] == "No tray to show Sitting Timer in"], 20,
                       "the notification that there is no tray", interval=0.3)
    check(len(shown) == 1, f"one notification, not {shown}")
    check("AppIndicator extension" in shown[0][1], f"GNOME's advice, not {shown[0][1]!r}")
    report("no tray notice", f"shown by the shell {now() - started:.1f} s after start")
    time.sleep(1)
    check(len([n for n in notifications(desktop) if n == shown[0]]) == 1, "told more than once")
    check(process.poll() is None, "the program ended without a tray")

    desktop.enable_appindicator()
    turned_on = now()
    label = wait_until(lambda: minutes(shell_label(desktop)) is not None and shell_label(desktop),
                       30, "the item once the extension is on")
    wait_until(lambda: shown[0] not in notifications(desktop), 10,
               "the notification to be withdrawn")
    report("extension turned on", f"{label!r} shown {now() - turned_on:.1f} s later, "
           "the notification withdrawn")


def run(desktop, program, screenshot, report, recorder):
    started = now()
    process = desktop.start_program(program, fake_rate=60)
    no_tray_notice(desktop, process, report)
    first = wait_until(lambda: minutes(shell_label(desktop)) is not None and shell_label(desktop),
                       30, "the label 'Time Sitting: ...' in the panel")
    report("label shown", f"{first!r}, {now() - started:.1f} s after start")

    seen = {minutes(first)}
    wait_until(lambda: seen.add(minutes(shell_label(desktop))) or len(seen - {None}) >= 3, 20,
               "the label to follow the count")
    later = shell_label(desktop)
    check(minutes(later) > minutes(first), f"the label went from {first!r} to {later!r}")
    report("label follows the count", f"{first!r} ... {later!r}")

    if screenshot:
        # The panel's right end, where the extension puts the item.
        path = os.path.join(desktop.env["XDG_RUNTIME_DIR"], "gnome.png")
        desktop.call("org.gnome.Shell.Screenshot", "/org/gnome/Shell/Screenshot",
                     "org.gnome.Shell.Screenshot", "ScreenshotArea",
                     GLib.Variant("(iiiibs)", (880, 0, 400, 32, False, path)), "(bs)")
        wait_until(lambda: os.path.exists(path), 10, "the screenshot")
        os.replace(path, screenshot)
        report("screenshot", screenshot)

    wait_until(lambda: (minutes(shell_label(desktop)) or 0) >= 3, 20, "a few minutes")
    chosen = now()
    choose(desktop, "Restart")
    wait_until(lambda: any(args[0] == PREFIX + "< 1 minute"
                           for _, _, args in recorder.since(chosen, "XAyatanaNewLabel")),
               5, "'Restart' to restart the count")
    shown = wait_until(lambda: (minutes(shell_label(desktop)) or 99) <= 2 and
                       shell_label(desktop), 5, "the shell's label to restart")
    check(process.poll() is None, "'Restart' ended the program")
    report("menu Restart", f"the count restarted; the shell shows {shown!r}")

    choose(desktop, "Quit")
    wait_until(lambda: process.poll() is not None, 10, "'Quit' to end the program")
    check(process.returncode == 0, f"'Quit' ended the program with status {process.returncode}")
    desktop.processes.pop("program", None)
    report("menu Quit", "ended the program with status 0")
    wait_until(lambda: shell_label(desktop) is None, 10, "the item to leave the panel")
    report("item gone", "the extension removed the item")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("program")
    parser.add_argument("--screenshot", metavar="PATH")
    args = parser.parse_args()
    program = os.path.abspath(args.program)
    missing = missing_tools("gnome-shell", "dbus-daemon", "setpriv")
    if not os.path.isdir("/usr/share/gnome-shell/extensions/ubuntu-appindicators@ubuntu.com"):
        missing.append("gnome-shell-extension-appindicator")
    if missing or not faketime_library():
        print(f"SKIP: missing {' '.join(missing) or 'libfaketime'} (tools/install-deps --test)")
        return 77
    if os.geteuid() != 0:
        print("SKIP: needs root to run gnome-shell as an unprivileged user")
        return 77

    with Desktop("tray-gnome", user=USER) as desktop:
        return run_scenario(desktop, lambda report: scenario(desktop, program, args.screenshot,
                                                             report), ("program", "gnome-shell"))


if __name__ == "__main__":
    sys.exit(main())
