#!/usr/bin/env python3
"""The duration's colours in a real swaybar, dark and light, read off the screen.

    python3 tests/desktop/swaybar_colours_e2e.py path/to/sitting-timer

Headless sway 1.7 (in namespaces of its own, as wayland_harness.py starts it) runs the program
as its bar's status command, under libfaketime with a wall clock the test steps from minute 9 to
minute 16. At each minute grim takes the screen and the test reads the duration's colour and
its contrast against the bar. First with swaybar's default colours (white text on black), then,
after `swaymsg reload`, with a light bar (colors { background #ffffff; statusline #000000 }).
Checked: every minute at least 3:1 against the bar; each colour the ramp from the bar's own
text colour to red, which on the light bar is the old black-to-red ramp. Prints the contrasts.
About 15 s.
"""

import os
import subprocess
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from desktop_support import (SteppedClock, contrast, faketime_library, hex_rgb,  # noqa: E402
                             pixel, ramp, read_ppm, text_colour)
from wayland_harness import (Compositor, HarnessError, enter_namespace,  # noqa: E402
                             missing_tools, now)

MINUTES = range(9, 17)
# The bars: (name, colors block, text, background).
BARS = [("dark (default)", "", "#ffffff", "#000000"),
        ("light", "  colors {\n    background #ffffff\n    statusline #000000\n  }\n",
         "#000000", "#ffffff")]
TOLERANCE = 3  # per component, for rounding in the renderer


class CheckFailed(Exception):
    pass


def write_config(compositor, status_command, colors):
    path = os.path.join(compositor.dir, "sway.config")
    with open(path, "w") as f:
        f.write("xwayland disable\n"
                "output * bg #336699 solid_color\n"
                "bar {\n"
                f"  status_command {status_command}\n"
                "  font monospace 14\n"
                f"{colors}"
                "}\n")


def screenshot(compositor):
    result = subprocess.run(["grim", "-t", "ppm", "-"], env=compositor.client_env(),
                            capture_output=True, timeout=10)
    if result.returncode != 0:
        raise HarnessError(f"grim failed: {result.stderr.decode(errors='replace').strip()}")
    return read_ppm(result.stdout)


def bar_box(image, background):
    """The bar at the bottom of the screen: the rows, counted up from the last, whose right end
    is the bar's background."""
    w, h, _ = image
    top = h
    while top > 0 and all(pixel(image, x, top - 1) == background for x in (w - 1, w - 2)):
        top -= 1
    if h - top < 8:
        raise CheckFailed(f"no bar of {background} at the bottom of the screen")
    return (w // 2, top, w - w // 2, h - top)


def measure(compositor, text, background, minutes):
    """The duration's colour once the bar shows the wanted one, or after 5 s whatever it shows."""
    want = ramp(text, minutes)
    deadline = now() + 5
    while True:
        image = screenshot(compositor)
        try:
            seen = text_colour(image, bar_box(image, background), background)
        except CheckFailed:
            # The bar may not be up yet, or not yet in its new colours after a reload.
            if now() > deadline:
                raise
            seen = None
        if seen and all(abs(a - b) <= TOLERANCE for a, b in zip(seen, want)):
            return seen, want
        if now() > deadline:
            return seen, want
        time.sleep(0.3)


def main(argv):
    sys.stdout.reconfigure(line_buffering=True)
    if len(argv) != 1:
        print(__doc__, file=sys.stderr)
        return 2
    program = os.path.abspath(argv[0])
    library = faketime_library()
    missing = missing_tools("sway") + [t for t in ("grim", "swaymsg") if not _which(t)]
    if missing or not library:
        print(f"missing {' '.join(missing or ['libfaketime'])}: run tools/install-deps --test",
              file=sys.stderr)
        return 2
    started = now()
    try:
        enter_namespace([os.path.dirname(program)])
        compositor = Compositor("sway")
    except (HarnessError, subprocess.CalledProcessError) as e:
        print(f"swaybar colours: {e}", file=sys.stderr)
        return 2
    failed = passed = 0
    figures = []
    try:
        clock = SteppedClock(os.path.join(compositor.dir, "clock"))
        env = " ".join(f"{k}={v}" for k, v in clock.env(library).items())
        status_command = f"env {env} {program}"
        write_config(compositor, status_command, BARS[0][1])
        compositor.start()
        for index, (name, colors, text, background) in enumerate(BARS):
            if index:
                # The new bar starts the program again; its count starts at START once more.
                clock.set_minutes(0, second=0)
                write_config(compositor, status_command, colors)
                sockets = [n for n in os.listdir(compositor.runtime) if n.startswith("sway-ipc")]
                if not sockets:
                    raise CheckFailed("sway has no IPC socket")
                subprocess.run(["swaymsg", "-s", os.path.join(compositor.runtime, sockets[0]),
                                "reload"], env=compositor.client_env(), check=True,
                               capture_output=True, timeout=10)
            # The count starts when the program reads the clock: not before the first title.
            seen, _ = measure(compositor, hex_rgb(text), hex_rgb(background), 0)
            if seen != hex_rgb(text):
                raise CheckFailed(f"the {name} bar shows no title")
            problems, row = [], []
            for minutes in MINUTES:
                clock.set_minutes(minutes)
                seen, want = measure(compositor, hex_rgb(text), hex_rgb(background), minutes)
                if seen is None:
                    problems.append(f"minute {minutes}: nothing drawn")
                    continue
                ratio = contrast(seen, hex_rgb(background))
                row.append(f"{minutes}: #{bytes(seen).hex()} {ratio:.2f}:1")
                if ratio < 3.0:
                    problems.append(f"minute {minutes}: #{bytes(seen).hex()} only {ratio:.2f}:1")
                if any(abs(a - b) > TOLERANCE for a, b in zip(seen, want)):
                    problems.append(f"minute {minutes}: #{bytes(seen).hex()}, wanted "
                                    f"#{bytes(want).hex()}")
            figures.append(f"{name} bar: " + ", ".join(row))
            check = f"{name} bar: minutes 9-16 at least 3:1, the ramp from {text} to red"
            if problems:
                print(f"FAIL {check}: {'; '.join(problems)}")
                failed += 1
            else:
                print(f"PASS {check}")
                passed += 1
    except (CheckFailed, HarnessError, subprocess.SubprocessError) as e:
        print(f"FAIL run stopped: {e}; sway log: {compositor.log_tail(10)}")
        failed += 1
    finally:
        compositor.close()
    for line in figures:
        print(line)
    print(f"took {now() - started:.0f} s")
    print(f"{passed} passed, {failed} failed")
    return 1 if failed else 0


def _which(tool):
    import shutil
    return shutil.which(tool)


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
