#!/usr/bin/env python3
"""The D-Bus idle sources against a service that answers late, as a loaded desktop does.

    python3 tests/desktop/slow_idle_service.py path/to/sitting-timer

For each interface (GNOME's GetIdletime without watches, and org.freedesktop.ScreenSaver) and
each lateness (0.5 s, 1.5 s, 3 s, and alternating between 0.1 s and 3 s), a stand-in service
on a private bus of its own answers every call that late but the first (the program's probe at
start, which must be answered within 1 s). The user has been away for 62 s when
the program starts, and comes back 15 s later. All pairs run at once, in a mount and network
namespace of the test's own, about 40 s in all. Each program must blink from about 3.5 s on,
stop about 10 s after the return (later only by the service's lateness), never write "Can't
find idle time" (a late answer is a slow source, not a failure), use a few percent of a core at
most, and end within 1 s of SIGTERM.
"""

import os
import signal
import subprocess
import sys
import time

from idle_session import (IDLE_THRESHOLD, RETURN_GRACE, CheckFailed, PrivateSession,
                          enter_namespace, host_path, need_gi, need_programs, now)

AWAY_AT_START = 62.0
BACK_AFTER = 15.0
CPU_SHARE = 0.05

STAND_IN = """
import signal, sys, time
from gi.repository import Gio, GLib
address, interface, path, method, kind, lateness = sys.argv[1:7]
lateness = [float(x) for x in lateness.split(",")]
XML = (f"<node><interface name='{interface}'><method name='{method}'>"
       f"<arg type='{kind}' direction='out'/></method></interface></node>")
last_input = [time.monotonic() - float(sys.argv[7])]
turn = [0]
signal.signal(signal.SIGUSR1, lambda *_: last_input.__setitem__(0, time.monotonic()))
bus = Gio.DBusConnection.new_for_address_sync(
    address, Gio.DBusConnectionFlags.AUTHENTICATION_CLIENT
    | Gio.DBusConnectionFlags.MESSAGE_BUS_CONNECTION, None, None)

def called(connection, sender, object_path, interface_name, method_name, parameters, invocation):
    idle_ms = int((time.monotonic() - last_input[0]) * 1000)
    # The first call, the program's probe at start, is answered at once: the desktop becomes
    # slow later (a probe that gets no answer within 1 s takes the next source instead).
    delay = lateness[(turn[0] - 1) % len(lateness)] if turn[0] else 0.0
    turn[0] += 1
    def answer():
        invocation.return_value(GLib.Variant(f"({kind})", (idle_ms,)))
        return False
    GLib.timeout_add(int(delay * 1000), answer)

bus.register_object(path, Gio.DBusNodeInfo.new_for_xml(XML).interfaces[0], called, None, None)
bus.call_sync("org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus",
              "RequestName", GLib.Variant("(su)", (interface, 4)), None, 0, 5000, None)
print("ready", flush=True)
GLib.MainLoop().run()
"""

INTERFACES = {
    "gnome": ("org.gnome.Mutter.IdleMonitor", "/org/gnome/Mutter/IdleMonitor/Core",
              "GetIdletime", "t"),
    "freedesktop-screensaver": ("org.freedesktop.ScreenSaver", "/org/freedesktop/ScreenSaver",
                                "GetSessionIdleTime", "u"),
}
LATENESS = {"0.5 s": [0.5], "1.5 s": [1.5], "3 s": [3.0], "alternating": [0.1, 3.0]}


def cpu_seconds(pid):
    with open(f"/proc/{pid}/stat") as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def main():
    if len(sys.argv) != 2:
        print(__doc__)
        return 2
    need_gi()
    need_programs("dbus-daemon")
    enter_namespace()
    program = host_path(sys.argv[1])
    started = now()
    runs = []
    failures = []
    sessions = []
    try:
        for source, (interface, path, method, kind) in INTERFACES.items():
            for label, lateness in LATENESS.items():
                session = PrivateSession()
                sessions.append(session)
                session.start_bus()
                service = session.start(
                    "stand-in", [sys.executable, "-c", STAND_IN, session.bus_address, interface,
                                 path, method, kind, ",".join(map(str, lateness)),
                                 str(AWAY_AT_START)], stdout=subprocess.PIPE)
                if service.stdout.readline().strip() != b"ready":
                    raise CheckFailed("the stand-in service did not start")
                bar = session.run_item(program, {})
                bar.proc.args = [program, f"--idle-source={source}"]
                runs.append((f"{source}, {label} late", lateness, service, bar, now()))
        # run_item names no source; the first line on standard error says which was taken.
        for name, _, _, bar, _ in runs:
            line = bar.wait_for_error_line("idle source ")
            if name.split(",")[0] not in line:
                raise CheckFailed(f"{name}: {line}")
        cpu_before = {bar.proc.pid: (cpu_seconds(bar.proc.pid), now()) for _, _, _, bar, _ in runs}
        time.sleep(max(0.0, runs[-1][4] + BACK_AFTER - now()))
        back = {}
        for name, _, service, _, _ in runs:
            service.send_signal(signal.SIGUSR1)
            back[name] = now()
        time.sleep(RETURN_GRACE + 2 * 3.0 + 4.0)
        for name, lateness, service, bar, t0 in runs:
            frames, errors = bar.snapshot()
            hidden = [f.t for f in frames if f.hidden]
            used, at = cpu_before[bar.proc.pid]
            share = (cpu_seconds(bar.proc.pid) - used) / (now() - at)
            stopping = now()
            bar.proc.send_signal(signal.SIGTERM)
            try:
                bar.proc.wait(1.0)
                ended = f"ended {now() - stopping:.2f} s after SIGTERM"
            except subprocess.TimeoutExpired:
                ended = None
            missing = [e for e in errors if "Can't find idle time" in e]
            due = t0 + IDLE_THRESHOLD - AWAY_AT_START
            print(f"{name}: blinking {hidden[0] - due:+.1f} s from when due, "
                  f"ended {hidden[-1] - back[name]:.1f} s after the return; "
                  f"{len(missing)} \"Can't find idle time\"; CPU {share * 100:.1f} %; "
                  f"{ended or 'did not end within 1 s of SIGTERM'}" if hidden else
                  f"{name}: never blinked")
            if not hidden or hidden[0] > due + max(lateness) + 2.0:
                failures.append(f"{name}: blinking did not start on time")
            elif hidden[-1] < back[name] + RETURN_GRACE - 1.0:
                failures.append(f"{name}: blinking ended before the grace was over")
            elif hidden[-1] > back[name] + RETURN_GRACE + 2 * max(lateness) + 1.5:
                failures.append(f"{name}: still blinking {hidden[-1] - back[name]:.1f} s "
                                "after the return")
            if missing:
                failures.append(f"{name}: \"Can't find idle time\" {len(missing)} times")
            if share > CPU_SHARE:
                failures.append(f"{name}: {share * 100:.1f} % of a core")
            if not ended:
                failures.append(f"{name}: did not end within 1 s of SIGTERM")
    except CheckFailed as e:
        failures.append(str(e))
    finally:
        for session in sessions:
            session.stop_all()
    if failures:
        for failure in failures:
            print(f"FAIL: {failure}")
        return 1
    print(f"PASS ({now() - started:.0f} s)")
    return 0


if __name__ == "__main__":
    sys.exit(main())
