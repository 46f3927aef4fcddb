#!/usr/bin/env python3
"""The duration's colours in real terminals, read off the screen or the terminal's cells.

    python3 tests/desktop/terminal_colours_e2e.py path/to/sitting-timer

xterm under Xvfb answers the program's OSC 10 and 11 questions (foreground, background): once
white on black, once black on white, the duration runs from the terminal's own foreground to
red, read off the screen with ImageMagick's import. tmux answers neither: there the neutral
ramp, read from the pane's cells with capture-pane. The program's wall clock is stepped by the
test from minute 9 to minute 16 (libfaketime); at each minute: at least 3:1 against the
background (against black and against white in tmux), and the expected colour. Each run in
namespaces of its own. About 20 s.
"""

import os
import re
import secrets
import select
import shutil
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from desktop_support import (SteppedClock, contrast, faketime_library, pixel,  # noqa: E402
                             ramp, read_ppm, text_colour)
from wayland_harness import enter_namespace, now  # noqa: E402

MINUTES = range(9, 17)
TOLERANCE = 3
NEUTRAL = (127, 127, 127)
WHITE, BLACK = (255, 255, 255), (0, 0, 0)
# xterm's default font is 6x13; the line is the first row, inside a 2-pixel window border and
# a 2-pixel inner one, and the title is at most 30 characters wide.
XTERM_BOX = (4, 4, 30 * 6, 13)


class CheckFailed(Exception):
    pass


def wait_for(probe, want, timeout=5.0):
    """probe() until it gives `want` (within the tolerance) or the time is up; its last value."""
    deadline = now() + timeout
    while True:
        seen = probe()
        if seen and all(abs(a - b) <= TOLERANCE for a, b in zip(seen, want)):
            return seen
        if now() > deadline:
            return seen
        time.sleep(0.2)


def step_minutes(clock, probe, expected, backgrounds):
    """Moves the clock through MINUTES; the figures, and what was wrong."""
    problems, figures = [], []
    for minutes in MINUTES:
        clock.set_minutes(minutes)
        want = expected(minutes)
        seen = wait_for(probe, want)
        if seen is None:
            problems.append(f"minute {minutes}: no duration found")
            continue
        ratios = [contrast(seen, b) for b in backgrounds]
        figures.append(f"{minutes}: #{bytes(seen).hex()} "
                       + "/".join(f"{r:.2f}:1" for r in ratios))
        if min(ratios) < 3.0:
            problems.append(f"minute {minutes}: #{bytes(seen).hex()} only {min(ratios):.2f}:1")
        if any(abs(a - b) > TOLERANCE for a, b in zip(seen, want)):
            problems.append(f"minute {minutes}: #{bytes(seen).hex()}, wanted #{bytes(want).hex()}")
    return figures, problems


def start_xvfb(workdir):
    read_fd, write_fd = os.pipe()
    log = open(os.path.join(workdir, "xvfb.log"), "wb")
    proc = subprocess.Popen(["Xvfb", ":5", "-screen", "0", "400x60x24", "-nolisten", "tcp",
                             "-displayfd", str(write_fd)], pass_fds=[write_fd], stdout=log,
                            stderr=subprocess.STDOUT, start_new_session=True)
    os.close(write_fd)
    log.close()
    with os.fdopen(read_fd, "rb") as r:
        if not (select.select([r], [], [], 20)[0] and r.readline().strip()):
            proc.kill()
            raise CheckFailed("Xvfb did not start")
    return proc


def run_xterm(program, env, clock, fg, bg):
    # The program's count starts where the clock stands when it starts.
    clock.set_minutes(0, second=0)
    xterm = subprocess.Popen(["xterm", "-fg", "#%02x%02x%02x" % fg, "-bg", "#%02x%02x%02x" % bg,
                              "-geometry", "50x2+0+0", "-e", *program],
                             env=env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)

    def probe():
        shot = subprocess.run(["import", "-window", "root", "-depth", "8", "ppm:-"], env=env,
                              capture_output=True, timeout=10)
        if shot.returncode != 0:
            return None
        image = read_ppm(shot.stdout)
        # Before xterm's window is up, the root window's black would pass for text.
        x, y, w, _ = XTERM_BOX
        if pixel(image, x + w - 1, y) != bg:
            return None
        return text_colour(image, XTERM_BOX, bg)

    try:
        # The first title comes a second after start; the colours were asked before it.
        if not wait_for(probe, fg):
            raise CheckFailed("xterm shows no title")
        return step_minutes(clock, probe, lambda m: ramp(fg, m), [bg])
    finally:
        xterm.terminate()
        xterm.wait(10)


def run_tmux(program, env, clock):
    socket = f"sitting-colours-{secrets.token_hex(4)}"

    def tmux(*args):
        return subprocess.run(["tmux", "-L", socket, "-f", "/dev/null", *args], env=env,
                              capture_output=True, text=True, timeout=10).stdout

    clock.set_minutes(0, second=0)
    tmux("new-session", "-d", "-x", "80", "-y", "3", *program)
    sgr = re.compile(r"\x1b\[38;2;(\d+);(\d+);(\d+)m\d+ minutes")

    def probe():
        found = sgr.search(tmux("capture-pane", "-p", "-e"))
        return tuple(int(g) for g in found.groups()) if found else None

    def expected(minutes):
        # Up to ten minutes no colour of ours at all: nothing to find.
        return ramp(NEUTRAL, minutes) if minutes > 10 else None

    try:
        time.sleep(1.5)
        clock.set_minutes(10)
        time.sleep(1.5)
        if probe() is not None:
            raise CheckFailed("tmux: the duration coloured at ten minutes")
        figures, problems = [], []
        for minutes in (m for m in MINUTES if m > 10):
            clock.set_minutes(minutes)
            want = expected(minutes)
            seen = wait_for(probe, want)
            if seen is None:
                problems.append(f"minute {minutes}: no coloured duration")
                continue
            ratios = (contrast(seen, BLACK), contrast(seen, WHITE))
            figures.append(f"{minutes}: #{bytes(seen).hex()} {ratios[0]:.2f}:1 on black, "
                           f"{ratios[1]:.2f}:1 on white")
            if min(ratios) < 3.0 or seen != want:
                problems.append(f"minute {minutes}: #{bytes(seen).hex()}, wanted "
                                f"#{bytes(want).hex()}, {min(ratios):.2f}:1")
        return figures, problems
    finally:
        tmux("kill-server")


def main(argv):
    sys.stdout.reconfigure(line_buffering=True)
    if len(argv) != 1:
        print(__doc__, file=sys.stderr)
        return 2
    program = os.path.abspath(argv[0])
    library = faketime_library()
    missing = [t for t in ("Xvfb", "xterm", "import", "tmux", "unshare") if not shutil.which(t)]
    if missing or not library:
        print(f"missing {' '.join(missing or ['libfaketime'])}: run tools/install-deps --test",
              file=sys.stderr)
        return 2
    started = now()
    enter_namespace([os.path.dirname(program)])
    workdir = tempfile.mkdtemp(prefix="terminal-colours-")
    clock = SteppedClock(os.path.join(workdir, "clock"))
    env = {k: v for k, v in os.environ.items()
           if k not in ("DISPLAY", "WAYLAND_DISPLAY", "TMUX", "TMUX_PANE", "NO_COLOR",
                        "DBUS_SESSION_BUS_ADDRESS", "I3SOCK", "SWAYSOCK")
           and not k.startswith("FAKETIME")}
    env.update(DISPLAY=":5", TERM="xterm-256color", XDG_RUNTIME_DIR=workdir)
    # Only the program runs on the stepped clock, not the terminals.
    program = ["env", *(f"{k}={v}" for k, v in clock.env(library).items()), program]
    passed = failed = 0
    report = []
    xvfb = None
    try:
        xvfb = start_xvfb(workdir)
        runs = [("xterm, white on black", lambda: run_xterm(program, env, clock, WHITE, BLACK)),
                ("xterm, black on white", lambda: run_xterm(program, env, clock, BLACK, WHITE)),
                ("tmux, which does not answer: the neutral ramp",
                 lambda: run_tmux(program, env, clock))]
        for name, run in runs:
            try:
                figures, problems = run()
            except (CheckFailed, subprocess.SubprocessError, OSError) as e:
                figures, problems = [], [str(e)]
            report.append(f"{name}: " + ", ".join(figures))
            if problems:
                print(f"FAIL {name}: {'; '.join(problems)}")
                failed += 1
            else:
                print(f"PASS {name}: at least 3:1 every minute, the expected colours")
                passed += 1
    except CheckFailed as e:
        print(f"FAIL {e}")
        failed += 1
    finally:
        if xvfb:
            xvfb.terminate()
            xvfb.wait(10)
        shutil.rmtree(workdir, ignore_errors=True)
    for line in report:
        print(line)
    print(f"took {now() - started:.0f} s")
    print(f"{passed} passed, {failed} failed")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
