#!/usr/bin/env python3
"""The tray module as the program finds and loads it: installed, missing, broken, and not
loaded at all when a bar is chosen.

Usage: python3 tests/cli/tray_module_test.py path/to/sitting-timer path/to/build-dir

The session bus address points at nothing, so a loaded module fails at connecting and names
the bus, while one that cannot be loaded fails the tray's probe and names the module.
"""

import os
import shutil
import signal
import subprocess
import sys
import tempfile
import time
from pathlib import Path

PROGRAM, BUILD = sys.argv[1], sys.argv[2]
ENV = {"PATH": "/usr/bin:/bin", "HOME": "/nonexistent", "XDG_RUNTIME_DIR": "/nonexistent",
       "DBUS_SESSION_BUS_ADDRESS": "unix:path=/nonexistent/bus"}
NO_BUS = "status bar tray: cannot connect to the session bus"
failures = []


def check(name, condition, detail=""):
    print(("ok   " if condition else "FAIL ") + name + ("" if condition else f": {detail}"))
    if not condition:
        failures.append(name)


def run(program, args):
    return subprocess.run([program, *args], stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                          stderr=subprocess.PIPE, env=ENV, timeout=20, text=True)


def first_line(result):
    return result.stderr.splitlines()[0] if result.stderr else ""


# The build tree: the module beside the program loads, every reference it makes resolved.
r = run(PROGRAM, ["--status-bar=tray"])
check("build tree: the module loads", r.returncode == 2 and NO_BUS in first_line(r), r.stderr)

with tempfile.TemporaryDirectory(prefix="sitting-timer-module.") as tmp:
    # Installed: the module is found from the program's real path, through a symlink too.
    prefix = Path(tmp) / "prefix"
    subprocess.run(["cmake", "--install", BUILD, "--prefix", prefix], check=True,
                   stdout=subprocess.DEVNULL, timeout=60)
    modules = list(prefix.glob("lib*/**/sitting-timer/sitting-timer-tray.so"))
    check("installed in <libdir>/sitting-timer", len(modules) == 1, modules)
    link = Path(tmp) / "link"
    link.symlink_to(prefix / "bin" / "sitting-timer")
    for program in (prefix / "bin" / "sitting-timer", link):
        r = run(program, ["--status-bar=tray"])
        check(f"installed, run as {program.name}: the module loads",
              r.returncode == 2 and NO_BUS in first_line(r), r.stderr)

    # Missing: the probe fails and names the path it looked at; auto goes on to say why each
    # bar failed, as it does when there is no bus.
    alone = Path(tmp) / "alone" / "bin"
    alone.mkdir(parents=True)
    shutil.copy(PROGRAM, alone)
    r = run(alone / "sitting-timer", ["--status-bar=tray"])
    expected = alone.parent / modules[0].relative_to(prefix)
    check("missing: exit 2, one line naming where the module should be",
          r.returncode == 2 and len(r.stderr.splitlines()) == 1 and first_line(r) ==
          f"sitting-timer: status bar tray: tray module {expected}: "
          "cannot open shared object file: No such file or directory", r.stderr)
    r = run(alone / "sitting-timer", [])
    check("missing, auto: the tray's reason among the others",
          r.returncode == 2 and "; tray: tray module " in first_line(r), r.stderr)

    # Broken: not a shared object, or one cut short anywhere (the loader would map pages past
    # its end, and the first touch of one is SIGBUS), or something that is not a file at all
    # (a FIFO would hold the loader's open for ever). Each fails the probe at once.
    module = alone / "sitting-timer-tray.so"
    whole = modules[0].read_bytes()
    broken = [("not a shared object", b"not a module\n")] + [
        (f"cut to {n} of {len(whole)} bytes", whole[:n])
        for n in (16, 100, 2000, len(whole) // 3, len(whole) // 2, len(whole) - 1)]
    for name, content in broken:
        module.write_bytes(content)
        r = run(alone / "sitting-timer", ["--status-bar=tray"])
        check(f"broken ({name}): exit 2, one line naming the module and why",
              r.returncode == 2 and len(r.stderr.splitlines()) == 1 and first_line(r).startswith(
                  f"sitting-timer: status bar tray: tray module {module}: "), r.stderr)
    module.unlink()
    for name, make in (("a FIFO", os.mkfifo), ("a directory", os.mkdir)):
        make(module)
        started = time.monotonic()
        try:
            r = run(alone / "sitting-timer", ["--status-bar=tray"])
            check(f"{name} in its place: exit 2 at once, saying it is no regular file",
                  r.returncode == 2 and time.monotonic() - started < 5 and first_line(r) ==
                  f"sitting-timer: status bar tray: tray module {module}: not a regular file",
                  r.stderr)
        except subprocess.TimeoutExpired:
            check(f"{name} in its place: exit 2 at once", False, "still running after 20 s")
        (os.unlink if name == "a FIFO" else os.rmdir)(module)

# A bar's status command never maps the module or the libraries it draws with.
proc = subprocess.Popen([PROGRAM], stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                        stderr=subprocess.PIPE, env=ENV, text=True)
time.sleep(1.5)
maps = Path(f"/proc/{proc.pid}/maps").read_text()
proc.send_signal(signal.SIGTERM)
proc.communicate(timeout=5)
check("i3bar: neither the module nor Pango, Cairo or libdbusmenu mapped",
      not any(name in maps for name in ("sitting-timer-tray", "libpango", "libcairo",
                                        "libdbusmenu")),
      [line for line in maps.splitlines() if "pango" in line or "tray" in line])

print(f"{len(failures)} failed" if failures else "all passed")
sys.exit(1 if failures else 0)
