#!/usr/bin/env python3
"""The command line as a user meets it: options, their errors and exit statuses.

Usage: python3 tests/cli/options_test.py path/to/sitting-timer

Runs the built program with a scrubbed environment (no display, no Wayland, no session bus), so
every idle source and the tray fail their probes for reasons the test knows. Each case checks
the exit status and the first line on standard error; a run that should keep going is ended
with SIGTERM and must then exit 0.
"""

import os
import signal
import subprocess
import sys
import time

PROGRAM = sys.argv[1]
BARE_ENV = {"PATH": "/usr/bin:/bin", "HOME": "/nonexistent", "XDG_RUNTIME_DIR": "/nonexistent"}
IDLE_IDS = ["ext-idle-notify", "kde-idle", "gnome", "freedesktop-screensaver", "x11"]
BAR_IDS = ["terminal", "i3bar", "tray"]  # auto's; xembed only by name
failures = []


def check(name, condition, detail=""):
    print(("ok   " if condition else "FAIL ") + name + ("" if condition else f": {detail}"))
    if not condition:
        failures.append(name)


def run(args, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE):
    return subprocess.run([PROGRAM, *args], stdin=stdin, stdout=stdout, stderr=subprocess.PIPE,
                          env=BARE_ENV, timeout=20, text=True)


def start_on_pipes(args):
    """The program as a bar's status command: pipes on both sides."""
    return subprocess.Popen([PROGRAM, *args], stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                            stderr=subprocess.PIPE, env=BARE_ENV, text=True)


def stop(proc):
    proc.send_signal(signal.SIGTERM)
    out, err = proc.communicate(timeout=5)
    return proc.returncode, out, err


# --help and --version succeed and say what they should.
r = run(["--help"])
check("--help exits 0", r.returncode == 0, r.returncode)
for ident in IDLE_IDS + BAR_IDS + ["xembed", "--status-bar", "--idle-source", "--verbose", "--version"]:
    check(f"--help lists {ident}", ident in r.stdout, r.stdout)
r = run(["--version"])
check("--version", r.returncode == 0 and r.stdout.startswith("sitting-timer "), r.stdout)

# Usage errors: status 2, one line naming the culprit, nothing on standard output.
for args, says in [
    (["--bogus"], "unknown option '--bogus'"),
    (["--status-bar=nonesuch"], "unknown status bar 'nonesuch'"),
    (["--idle-source=nonesuch"], "unknown idle source 'nonesuch'"),
    (["--status-bar"], "unknown option '--status-bar'"),
]:
    r = run(args)
    check(f"{args} exits 2", r.returncode == 2, r.returncode)
    check(f"{args} says why", says in r.stderr.splitlines()[0], r.stderr)
    check(f"{args} leaves stdout alone", r.stdout == "", r.stdout)

# A named part that cannot work here fails loudly, naming it and why; auto never does that.
for args, says in [
    (["--status-bar=terminal"], "status bar terminal: standard output is not a terminal"),
    (["--status-bar", "terminal"], "status bar terminal: standard output is not a terminal"),
    (["--status-bar=i3bar", "--idle-source=x11"], "idle source x11: DISPLAY is not set"),
    (["--status-bar=i3bar", "--idle-source", "ext-idle-notify"],
     "idle source ext-idle-notify: WAYLAND_DISPLAY is not set"),
    (["--status-bar=i3bar", "--idle-source=gnome"], "idle source gnome: "),
    (["--status-bar=i3bar", "--idle-source=freedesktop-screensaver"],
     "idle source freedesktop-screensaver: "),
    (["--status-bar=tray"], "status bar tray: "),
    (["--status-bar=xembed"], "status bar xembed: DISPLAY is not set"),
]:
    r = run(args)
    first = r.stderr.splitlines()[0] if r.stderr else ""
    check(f"{args} exits 2", r.returncode == 2, (r.returncode, r.stderr))
    check(f"{args} names it", first.startswith("sitting-timer: " + says), first)
    check(f"{args} one line", len(r.stderr.splitlines()) == 1, r.stderr)

# auto with no bar to draw on: status 2, and every bar's reason on one line.
r = run([], stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL)
check("no bar exits 2", r.returncode == 2, r.returncode)
check("no bar names all three",
      all(f"{b}: " in r.stderr for b in BAR_IDS) and len(r.stderr.splitlines()) == 1, r.stderr)
check("auto does not try xembed on its own", "xembed: " not in r.stderr, r.stderr)

# auto with no idle source: the item runs, says once what was tried, and ends 0 on SIGTERM.
proc = start_on_pipes(["--verbose"])
time.sleep(2.5)
code, out, err = stop(proc)
lines = err.splitlines()
check("no idle source still runs and ends 0", code == 0, (code, err))
check("no idle source: one line naming every source",
      len([l for l in lines if l.startswith("sitting-timer: no idle source: ")]) == 1
      and all(f"{i}: " in err for i in IDLE_IDS), err)
check("--verbose names the choice", "sitting-timer: status bar i3bar, idle source none" in err, err)
check("the probe's message comes once", lines.count("Can't find idle time") == 1, err)
check("the bar got its header and titles",
      out.startswith('{"version":1,"click_events":true}') and "Time Sitting: " in out, out[:200])

# A bar explicitly chosen on a file rather than a pipe works (auto would not take it).
with open(os.devnull, "w") as sink:
    proc = subprocess.Popen([PROGRAM, "--status-bar=i3bar"], stdin=subprocess.DEVNULL,
                            stdout=sink, stderr=subprocess.PIPE, env=BARE_ENV, text=True)
    time.sleep(1.5)
    check("--status-bar=i3bar on a file keeps running", proc.poll() is None, proc.poll())
    code, _, _ = stop(proc)
    check("... and ends 0 on SIGTERM", code == 0, code)

print(f"{len(failures)} failed" if failures else "all passed")
sys.exit(1 if failures else 0)
