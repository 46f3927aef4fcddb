#!/usr/bin/env python3
"""End-to-end test of the program's idle time on a real headless Wayland compositor.

    python3 tests/desktop/wayland_e2e.py --compositor sway|kwin [--fake-input PATH] PROGRAM

The program runs as an i3bar status command (pipes held by this script) with --verbose and
--idle-source=auto against sway 1.7 or KWin 5.27, each in namespaces of its own. Checked: auto
chooses the expected source (sway: kde-idle, KWin: ext-idle-notify); after 61 x 2^30 ns without
input the title blinks, hidden and visible in turns every 0.3 s at constant width; after input
through the compositor (wtype on sway, org_kde_kwin_fake_input on KWin) the blinking ends about
10 s later; nothing is said about missing idle time. No input at all reaches the compositor
while it waits, so the wait is real: about 66 s.
"""

import argparse
import os
import statistics
import sys
import time

from wayland_harness import (EXPECTED_SOURCE, BarProgram, Compositor, HarnessError,
                             enter_namespace, missing_tools, now)

# The compositor's idle count starts when the program asks for its notification, at start.
IDLE_THRESHOLD = 61 * 2**30 / 1e9
TICK = 1.0
BLINK_PERIOD = 0.3
RETURN_GRACE = 10.0


class CheckFailed(Exception):
    pass


def wait_for(condition, limit, step=0.1):
    deadline = now() + limit
    while not condition():
        if now() > deadline:
            return False
        time.sleep(step)
    return True


def scenario(compositor, program, marks):
    bar = BarProgram([program, "--status-bar=i3bar", "--verbose"], compositor.client_env())
    marks["bar"] = bar

    def first_hidden():
        return next((f for f in bar.frames() if f[1]), None)

    if not wait_for(first_hidden, IDLE_THRESHOLD + 15, step=0.2):
        raise CheckFailed(f"never blinked in {IDLE_THRESHOLD + 15:.0f} s; stderr: {bar.errors()}")
    wait_for(lambda: False, 3.0)  # some blinking to look at
    marks["input_launch"] = now()
    compositor.input()
    marks["input_done"] = now()

    def settled():
        hidden = [f[0] for f in bar.frames() if f[1]]
        return now() > marks["input_done"] + RETURN_GRACE - 1.0 and hidden and \
            now() - hidden[-1] > 2.0

    wait_for(settled, RETURN_GRACE + 8)
    marks["end"] = now()
    marks["status"] = bar.stop()


def check_source(kind, bar, marks):
    want = f"sitting-timer: status bar i3bar, idle source {EXPECTED_SOURCE[kind]}"
    said = bar.errors()
    if want not in said:
        raise CheckFailed(f"--verbose said {said}, wanted {want!r}")
    return want


def check_blink(kind, bar, marks):
    frames = bar.frames()
    hidden = [f for f in frames if f[1]]
    start = hidden[0][0] - bar.started
    # Blinking is switched on at the first tick past the threshold; its first blank frame comes
    # one blink later.
    earliest = IDLE_THRESHOLD + BLINK_PERIOD - 0.1
    latest = IDLE_THRESHOLD + TICK + BLINK_PERIOD + 2.0
    if not earliest <= start <= latest:
        raise CheckFailed(f"first blank frame {start:.2f} s after start, wanted "
                          f"{earliest:.1f}..{latest:.1f}")
    run = [f for f in frames if hidden[0][0] <= f[0] <= marks["input_launch"]]
    problems = []
    for a, b in zip(run, run[1:]):
        if a[1] == b[1]:
            problems.append(f"two {'blank' if a[1] else 'visible'} frames in a row at "
                            f"{a[0] - bar.started:.2f} s")
            break
    gaps = [b[0] - a[0] for a, b in zip(run, run[1:])]
    if len(gaps) < 5:
        problems.append(f"only {len(run)} frames while blinking")
    elif not 0.2 <= statistics.median(gaps) <= 0.45:
        problems.append(f"frames every {statistics.median(gaps):.2f} s, not {BLINK_PERIOD}")
    for i, f in enumerate(frames):
        if f[1] and i and not frames[i - 1][1] and f[2] != frames[i - 1][2]:
            problems.append(f"blank frame's min_width {f[2]!r} is not the title "
                            f"{frames[i - 1][2]!r}")
            break
    if problems:
        raise CheckFailed("; ".join(problems))
    return f"first blank frame {start:.2f} s after start, every {statistics.median(gaps):.2f} s"


def check_return(kind, bar, marks):
    frames = [f for f in bar.frames() if f[0] >= marks["input_launch"]]
    hidden = [f for f in frames if f[1]]
    if not hidden:
        raise CheckFailed("stopped blinking at once on input, wanted about 10 s later")
    last = hidden[-1][0] - marks["input_launch"]
    after = [f for f in frames if f[0] > hidden[-1][0]]
    if not after:
        raise CheckFailed(f"still blank {marks['end'] - marks['input_done']:.1f} s after input")
    visible = after[0][0] - marks["input_done"]
    if last < RETURN_GRACE - 1.5:
        raise CheckFailed(f"last blank frame only {last:.1f} s after input")
    if visible > RETURN_GRACE + TICK + 2.0:
        raise CheckFailed(f"blinking went on {visible:.1f} s after input")
    return f"last blank frame {last:.1f} s after input, visible for good from {visible:.1f} s"


def check_quiet(kind, bar, marks):
    others = [line for line in bar.errors() if not line.startswith("sitting-timer: ")]
    if others:
        raise CheckFailed(f"standard error: {others[:4]}")
    if marks.get("status") != 0:
        raise CheckFailed(f"exit status {marks.get('status')} on SIGTERM")
    return "only --verbose lines on standard error; status 0 on SIGTERM"


CHECKS = [
    ("auto chooses the expected idle source", check_source),
    ("after 61 x 2^30 ns idle: blank/visible every 0.3 s at constant width", check_blink),
    ("after input through the compositor: blinking ends about 10 s later", check_return),
    ("no idle failure reported; clean exit", check_quiet),
]


def main(argv):
    sys.stdout.reconfigure(line_buffering=True)
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--compositor", choices=sorted(EXPECTED_SOURCE), required=True)
    parser.add_argument("--fake-input", help="the KWin input helper")
    parser.add_argument("program")
    args = parser.parse_args(argv)
    program = os.path.abspath(args.program)
    fake_input = os.path.abspath(args.fake_input) if args.fake_input else None
    if not os.access(program, os.X_OK):
        print(f"not an executable: {program}", file=sys.stderr)
        return 2
    missing = missing_tools(args.compositor)
    if missing:
        print(f"missing {' '.join(missing)}: run tools/install-deps --test", file=sys.stderr)
        return 2
    keep = [os.path.dirname(program), os.path.dirname(os.path.abspath(__file__))]
    if fake_input:
        keep.append(os.path.dirname(fake_input))
    started = now()
    marks = {}
    try:
        enter_namespace(keep)
        compositor = Compositor(args.compositor, fake_input).start()
    except HarnessError as e:
        print(f"wayland e2e: {e}", file=sys.stderr)
        return 2
    try:
        scenario(compositor, program, marks)
    except (CheckFailed, HarnessError) as e:
        marks["stopped"] = str(e)
        print(f"run stopped: {e}")
    finally:
        if "bar" in marks:
            marks.setdefault("status", marks["bar"].stop())
        log = compositor.log_tail(10)
        compositor.close()
    bar = marks.get("bar")
    passed = failed = 0
    for name, check in CHECKS:
        try:
            if bar is None:
                raise CheckFailed("the program was not started")
            if "stopped" in marks and check is not check_source:
                raise CheckFailed(f"not reached ({marks['stopped']})")
            detail = check(args.compositor, bar, marks)
            print(f"PASS {name}: {detail}")
            passed += 1
        except CheckFailed as e:
            print(f"FAIL {name}: {e}")
            failed += 1
    if failed and bar:
        print("--- frames, seconds since start:")
        for t, hidden, markup in bar.frames()[-40:]:
            print(f"{t - bar.started:8.3f} {'blank  ' if hidden else 'visible'} {markup}")
        print(f"--- stderr: {bar.errors()}")
        print(f"--- {args.compositor} log: {log}")
    print(f"{args.compositor}: took {now() - started:.0f} s; {passed} passed, {failed} failed")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
