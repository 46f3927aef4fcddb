#!/usr/bin/env python3
"""End-to-end test of the D-Bus idle sources on real desktops, headless.

    python3 tests/desktop/dbus_idle_e2e.py path/to/sitting-timer gnome|kde-x11

gnome:   mutter 43 (Wayland only, no Xwayland) under a private session bus. Its compositor has
         neither Wayland idle protocol, so `auto` must choose `gnome`, with WAYLAND_DISPLAY set
         and without. Input through org.gnome.Mutter.RemoteDesktop. Before the idle wait, 50 s
         of pointer motion every half second, then the first 50 s without input: in both the
         program must wake about once a tick (all threads, from /proc) and exchange no message
         with mutter, since it reads from mutter's idle watches, not by asking.
kde-x11: Xvfb and ksmserver under a private session bus. With DISPLAY set, so that the X
         server's own source is there too but comes later in order, `auto` must choose
         `freedesktop-screensaver`. Input with xdotool.

Each runs the program as a bar would (i3bar protocol, pipes held by the test), lets the session
stay idle until the title blinks (about 66 s of real time; nothing is faked), checks that it
alternates hidden and visible every 0.3 s, injects input, and checks that the blinking stops
about 10 s later. Each runs in its own mount and network namespace with a fresh /tmp.
"""

import os
import re
import shutil
import subprocess
import sys
import time

from idle_session import (IDLE_THRESHOLD, RETURN_GRACE, BusMonitor, CheckFailed,
                          PrivateSession, enter_namespace, host_path, need_gi, need_programs,
                          now, unique_name_of, voluntary_switches, wakeups_between)

WAYLAND_NAME = "wayland-idle-test"
QUIET_SECONDS = 50.0
# One wakeup a tick, with room for a stray one (the loop's timer slack, a thread's start).
WAKEUPS_A_TICK = 1.2
X_DISPLAY = ":7"


def call(connection, name, path, interface, method, args=None, reply_type=None):
    from gi.repository import GLib
    reply = connection.call_sync(name, path, interface, method, args,
                                 GLib.VariantType(reply_type) if reply_type else None,
                                 0, 5000, None)
    return reply.unpack() if reply is not None else None


def chosen_source(session, program, env):
    """The idle source `auto` picks in `env`, and the failures it lists before it."""
    bar = session.run_item(program, env)
    line = bar.wait_for_error_line("idle source ")
    time.sleep(0.2)  # the line of what was tried first follows at once
    session.stop(bar.proc)
    tried = [e for e in bar.snapshot()[1] if "idle sources tried first" in e]
    m = re.search(r"idle source (\S+)$", line)
    return (m.group(1) if m else line), (tried[0] if tried else "")


def expect_source(session, program, env, expected, why):
    source, tried = chosen_source(session, program, env)
    print(f"auto chose {source} ({why}); {tried or 'nothing tried first'}")
    if source != expected:
        raise CheckFailed(f"auto chose {source!r} {why}, not {expected!r}; {tried}")
    return tried


def wayland_globals(session, display):
    if not shutil.which("wayland-info"):
        return None
    out = subprocess.run(["wayland-info"], env=dict(session.env, WAYLAND_DISPLAY=display),
                         capture_output=True, text=True, timeout=20).stdout
    return set(re.findall(r"interface: '([^']+)'", out))


def blink_and_return(session, bar, idle_ms, inject):
    """Waits out the idle time, checks the blinking, injects input and checks its end."""
    asked = now()
    idle = idle_ms() / 1000.0
    expected = asked + IDLE_THRESHOLD - idle
    print(f"session idle {idle:.1f} s; blinking due in {expected - now():.1f} s")
    first = bar.wait_blinking(timeout=expected - now() + 30)
    print(f"blinking began {first - expected:+.2f} s from when it was due")
    if not expected - 2.5 <= first <= expected + 5:
        raise CheckFailed(f"blinking began {first - expected:+.1f} s from when the session's "
                          f"idle time passed {IDLE_THRESHOLD:.1f} s")
    time.sleep(max(0.0, first + 3.5 - now()))
    bar.check_alternation(first, first + 3.0)

    # The desktop may take a moment to count the input (mutter handles it on a thread of its
    # own), and a new virtual device may miss its first event: look, and send it again.
    for attempt in range(3):
        before = now()
        inject()
        after = now()
        while now() < after + 2.0:
            left = idle_ms() / 1000.0
            if left < now() - before + 1.0:
                break
            time.sleep(0.1)
        else:
            print(f"input {attempt + 1} not counted by the session (idle {left:.1f} s)")
            continue
        break
    else:
        raise CheckFailed(f"the injected input did not reach the session (idle {left:.1f} s): "
                          "a fault of the test's set-up, not of the program")
    time.sleep(max(0.0, before + RETURN_GRACE + 7 - now()))
    end = bar.blinking_end(before)
    if end is None:
        raise CheckFailed(f"still blinking {now() - before:.1f} s after input")
    print(f"blinking ended {end - before:.2f} s after input")
    if not before + RETURN_GRACE - 0.5 <= end <= after + RETURN_GRACE + 4:
        raise CheckFailed(f"blinking ended {end - before:.1f} s after input, "
                          f"not about {RETURN_GRACE:.0f} s")
    return first


def run_gnome(session, program):
    need_programs("mutter", "dbus-daemon")
    session.start_bus()
    mutter = session.start("mutter", ["mutter", "--headless", "--wayland", "--no-x11",
                                      "--virtual-monitor", "1280x800",
                                      "--wayland-display", WAYLAND_NAME])
    session.wait_for_name("org.gnome.Mutter.IdleMonitor", proc=mutter)
    bus = session.bus()
    monitor = ("org.gnome.Mutter.IdleMonitor", "/org/gnome/Mutter/IdleMonitor/Core",
               "org.gnome.Mutter.IdleMonitor")

    def idle_ms():
        return call(bus, *monitor, "GetIdletime", reply_type="(t)")[0]

    found = wayland_globals(session, WAYLAND_NAME)
    if found is None:
        print("wayland-info is not installed: the compositor's globals are not checked")
    else:
        offered = sorted(found & {"ext_idle_notifier_v1", "org_kde_kwin_idle"})
        print(f"mutter offers {len(found)} Wayland globals; idle protocols among them: "
              f"{offered or 'none'}")
        if offered:
            raise CheckFailed(f"mutter offers {offered}: auto would not reach gnome")

    expect_source(session, program, {}, "gnome", "without WAYLAND_DISPLAY")
    expect_source(session, program, {"WAYLAND_DISPLAY": WAYLAND_NAME}, "gnome",
                  "on mutter's Wayland display")
    messages = BusMonitor(session)
    bar = session.run_item(program, {"WAYLAND_DISPLAY": WAYLAND_NAME})
    bar.wait_for_error_line("idle source gnome")
    from gi.repository import GLib
    mutter_name = call(bus, "org.freedesktop.DBus", "/org/freedesktop/DBus",
                       "org.freedesktop.DBus", "GetNameOwner",
                       GLib.Variant("(s)", (monitor[0],)), reply_type="(s)")[0]
    program_name = None
    deadline = now() + 5
    while program_name is None and now() < deadline:
        program_name = unique_name_of(bus, bar.proc.pid)
        time.sleep(0.1)
    if program_name is None:
        raise CheckFailed("the program's connection is not on the bus")

    desktop = "org.gnome.Mutter.RemoteDesktop"
    remote = []

    def inject():
        from gi.repository import GLib
        if not remote:
            # The session accepts input only from the connection that created it.
            remote.append(call(bus, desktop, "/org/gnome/Mutter/RemoteDesktop", desktop,
                               "CreateSession", reply_type="(o)")[0])
            call(bus, desktop, remote[0], desktop + ".Session", "Start")
            time.sleep(0.3)  # its virtual pointer is made on mutter's input thread
        call(bus, desktop, remote[0], desktop + ".Session", "NotifyPointerMotionRelative",
             GLib.Variant("(dd)", (12.0, 8.0)))

    def quiet(what, start, end):
        """Wakeups and messages with mutter from `start` to `end`, measured as they pass."""
        time.sleep(max(0.0, start - now()))
        switches = voluntary_switches(bar.proc.pid)
        while now() < end:
            what()
        span = now() - start
        woke = wakeups_between(switches, voluntary_switches(bar.proc.pid))
        return span, woke, messages.between({program_name}, {mutter_name, monitor[0]}, start,
                                            now())

    def check_quiet(label, span, woke, messages):
        print(f"{label}: {woke} wakeups in {span:.1f} s ({woke / span:.2f} a second, all "
              f"threads), {len(messages)} messages with mutter"
              + (f": {[m[1] + ' ' + m[4] for m in messages[:6]]}" if messages else ""))
        if woke > span * WAKEUPS_A_TICK:
            raise CheckFailed(f"{label}: {woke / span:.2f} wakeups a second, more than "
                              f"{WAKEUPS_A_TICK} a tick")
        if messages:
            raise CheckFailed(f"{label}: {len(messages)} messages with mutter")

    try:
        # The user works: pointer motion every half second. Started after the program's first
        # seconds, in which it adds its idle watch.
        inject()
        start = now() + 2.0

        def move():
            inject()
            time.sleep(0.5)

        check_quiet("working", *quiet(move, start, start + QUIET_SECONDS))
        # Then no input: the first 50 s, before the idle watch fires at 60 s.
        last_input = now()
        check_quiet("idle, before blinking",
                    *quiet(lambda: time.sleep(0.2), last_input + 2.0,
                           last_input + 2.0 + QUIET_SECONDS))
        blink_and_return(session, bar, idle_ms, inject)
    finally:
        session.last_bar = bar
        bus.close_sync(None)


def run_kde_x11(session, program):
    need_programs("Xvfb", "ksmserver", "xdotool", "dbus-daemon")
    session.start_bus()
    display = {"DISPLAY": X_DISPLAY}
    session.start("Xvfb", ["Xvfb", X_DISPLAY, "-screen", "0", "1024x600x24", "-nolisten", "tcp"])
    socket = "/tmp/.X11-unix/X" + X_DISPLAY[1:]
    deadline = now() + 20
    while not os.path.exists(socket):
        if now() > deadline:
            raise CheckFailed("Xvfb did not start")
        time.sleep(0.05)
    ksmserver = session.start("ksmserver", ["ksmserver"], env=display)
    session.wait_for_name("org.freedesktop.ScreenSaver", proc=ksmserver)
    bus = session.bus()

    def idle_ms():
        return call(bus, "org.freedesktop.ScreenSaver", "/org/freedesktop/ScreenSaver",
                    "org.freedesktop.ScreenSaver", "GetSessionIdleTime", reply_type="(u)")[0]

    tried = expect_source(session, program, display, "freedesktop-screensaver",
                          "with DISPLAY set")
    if "gnome: org.gnome.Mutter.IdleMonitor is not on the session bus" not in tried:
        raise CheckFailed(f"gnome's failure is not explained: {tried!r}")
    bar = session.run_item(program, display)
    bar.wait_for_error_line("idle source freedesktop-screensaver")

    def inject():
        subprocess.run(["xdotool", "mousemove_relative", "--", "12", "8"],
                       env=dict(session.env, **display), check=True, timeout=20)

    try:
        blink_and_return(session, bar, idle_ms, inject)
    finally:
        session.last_bar = bar
        bus.close_sync(None)


def main():
    if len(sys.argv) != 3 or sys.argv[2] not in ("gnome", "kde-x11"):
        print(__doc__)
        return 2
    need_gi()
    enter_namespace()
    program = host_path(sys.argv[1])
    started = now()
    with PrivateSession() as session:
        session.last_bar = None
        try:
            (run_gnome if sys.argv[2] == "gnome" else run_kde_x11)(session, program)
        except CheckFailed as e:
            print(f"FAIL: {e}")
            if session.last_bar:
                print("what the program wrote (seconds from the start):")
                print(session.last_bar.timeline(started))
            for name, _ in session.processes:
                log = session.log(name)
                if os.path.exists(log):
                    with open(log, errors="replace") as f:
                        tail = f.read()[-1500:]
                    if tail.strip():
                        print(f"--- {name} log (tail)\n{tail}")
            return 1
    print(f"PASS ({now() - started:.0f} s)")
    return 0


if __name__ == "__main__":
    sys.exit(main())
