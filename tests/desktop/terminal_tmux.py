#!/usr/bin/env python3
"""The terminal bar in a real terminal emulator: tmux, driven from outside.

Usage: python3 tests/desktop/terminal_tmux.py path/to/sitting-timer

Each run gets a fresh tmux session (a private server, a fixed size, a plain interactive bash) and
types the program's command line at the prompt, so the program meets the same tty, job control
and shell as a user's. The screen is read back with capture-pane and the terminal's modes with
`display -p` (cursor_flag, mouse_*_flag, cursor_x/y).

How clicks get in: `send-keys -H <hex bytes>` writes the bytes to the pane's pty as they are, and
`send-keys -l` does the same for ESC and printable text; either delivers an SGR mouse report
(ESC [ < 0 ; col ; row M, then the release with a final 'm') to the program. tmux's `mouse` option
plays no part: it only decides whether tmux itself takes the mouse of an attached client, and
send-keys bypasses the mouse entirely. The pane's mouse_*_flag variables still show what the
program asked the terminal for.

To see minutes pass within seconds, the program runs with libfaketime preloaded at 60 (or 600)
times wall-clock speed and FAKETIME_DONT_FAKE_MONOTONIC=1, so its ticks and the 400 ms
double-click window stay in real time. The library is preloaded directly rather than through
the `faketime` wrapper: the wrapper forks and waits, so `$?` would be the wrapper's and Ctrl-C
would kill it beside the program. libfaketime also shortens poll timeouts, so the program wakes
far more often under it than it really does; nothing here counts wakeups.

DISPLAY is removed, so the idle probe fails and its message must show once above the line.
"""

import os
import re
import secrets
import signal
import subprocess
import sys
import tempfile
import time

from desktop_support import faketime_library

WIDTH, HEIGHT = 100, 24
PROMPT = "sh$ "
TITLE = re.compile(r"Time Sitting: (< 1 minute|1 minute|(\d+) minutes|1 hour|(\d+) hours)")
IDLE_MESSAGE = "Can't find idle time"
NO_IDLE_SOURCE = "sitting-timer: no idle source:"
PURE_RED = "\x1b[38;2;255;0;0m"


class CheckFailed(Exception):
    pass


def require(condition, message):
    if not condition:
        raise CheckFailed(message)


def minutes(title):
    m = TITLE.fullmatch(title)
    if not m:
        return None
    label = m.group(1)
    if label == "< 1 minute":
        return 0
    if label == "1 minute":
        return 1
    if m.group(2):
        return int(m.group(2))
    return 60 * (int(m.group(3)) if m.group(3) else 1)


def wait_until(predicate, timeout, interval=0.05):
    deadline = time.monotonic() + timeout
    while True:
        value = predicate()
        if value or time.monotonic() >= deadline:
            return value
        time.sleep(interval)


def process_state(pid):
    """The one-letter state of a live process, or None once it is gone or a zombie."""
    try:
        with open(f"/proc/{pid}/stat") as f:
            state = f.read().rsplit(")", 1)[1].split()[0]
    except (FileNotFoundError, ProcessLookupError, IndexError):
        return None
    return None if state in ("Z", "X") else state


class Tmux:
    def __init__(self, env):
        self.socket = f"sitting-timer-test-{os.getpid()}-{secrets.token_hex(4)}"
        self.env = env

    def __call__(self, *args, check=True):
        r = subprocess.run(["tmux", "-L", self.socket, "-f", "/dev/null", *args], env=self.env,
                           stdin=subprocess.DEVNULL, capture_output=True, text=True, timeout=10)
        if check and r.returncode != 0:
            raise CheckFailed(f"tmux {' '.join(args)}: {r.stderr.strip()}")
        return r.stdout

    def kill_server(self):
        try:
            self("kill-server", check=False)
        except subprocess.TimeoutExpired:
            pass


class Pane:
    def __init__(self, tmux, name, program, workdir, width=WIDTH, height=HEIGHT):
        self.tmux, self.name, self.program, self.workdir = tmux, name, program, workdir
        self.height = height
        self.pid = None  # the program's, once started
        # The shell starts in the scratch directory, so the commands it is given stay short.
        tmux("new-session", "-d", "-s", name, "-x", str(width), "-y", str(height), "-c", workdir,
             "bash", "--norc", "--noprofile", "+o", "history")
        self.shell = int(self.var("pane_pid"))
        require(wait_until(lambda: self.lines()[0] == PROMPT.rstrip(), 5),
                f"no shell prompt in a new pane:\n{self.dump()}")

    def var(self, name):
        return self.tmux("display", "-p", "-t", self.name, f"#{{{name}}}").rstrip("\n")

    def flags(self):
        return {k: self.var(k) for k in
                ("cursor_flag", "mouse_any_flag", "mouse_standard_flag", "mouse_sgr_flag")}

    def cursor(self):
        return int(self.var("cursor_x")), int(self.var("cursor_y"))

    def lines(self, escapes=False):
        out = self.tmux("capture-pane", "-p", *(["-e"] if escapes else []), "-t", self.name)
        lines = out.split("\n")[:self.height]
        return [line.rstrip() for line in lines] + [""] * (self.height - len(lines))

    def dump(self):
        return "\n".join(f"    {i:2}|{line}" for i, line in enumerate(self.lines()))

    def send_bytes(self, data):
        self.tmux("send-keys", "-t", self.name, "-H", *(f"{b:02x}" for b in data))

    def type_line(self, text):
        self.tmux("send-keys", "-t", self.name, "-l", text)
        self.tmux("send-keys", "-t", self.name, "Enter")

    def press(self, row, column=5, button=0):
        """One click as a terminal reports it: the press, then the release."""
        self.send_bytes(f"\x1b[<{button};{column};{row}M\x1b[<{button};{column};{row}m".encode())

    def prompt_row(self, below=-1):
        """Waits for an empty prompt with the cursor after it, below row `below`; returns its
        row."""
        def ready():
            x, y = self.cursor()
            return x == len(PROMPT) and y > below and self.lines()[y] == PROMPT.rstrip() and (y,)
        found = wait_until(ready, 5)
        require(found, f"no prompt waiting for input:\n{self.dump()}")
        return found[0]

    def shell_output(self, command, name):
        """Runs `command > file` at the prompt, waits for the next prompt, returns the text."""
        file = f"{self.name}-{name}"
        path = os.path.join(self.workdir, file)
        self.prompt_row()
        self.type_line(f"{command} > {file}.tmp && mv {file}.tmp {file}")
        require(wait_until(lambda: os.path.exists(path), 5),
                f"`{command}` gave no output in the pane:\n{self.dump()}")
        self.prompt_row()
        with open(path) as f:
            return f.read()

    def start(self, prefix="", suffix=""):
        self.baseline_tty = self.shell_output("stty -g", "stty-before").strip()
        self.command_row = self.prompt_row()
        self.command_line = PROMPT + f'{prefix}"$SITTING_TIMER"{suffix}'
        self.type_line(self.command_line[len(PROMPT):])

        def descendant():
            # The shell's child, or its grandchild when a wrapper such as setsid runs it.
            parents = {}
            for entry in os.listdir("/proc"):
                if not entry.isdigit():
                    continue
                try:
                    with open(f"/proc/{entry}/stat") as f:
                        parents[int(entry)] = int(f.read().rsplit(")", 1)[1].split()[1])
                except (OSError, IndexError, ValueError):
                    continue
            for pid, ppid in parents.items():
                if ppid == self.shell or parents.get(ppid) == self.shell:
                    try:
                        if os.readlink(f"/proc/{pid}/exe") == self.program:
                            return pid
                    except OSError:
                        continue
            return None

        self.pid = wait_until(descendant, 5)
        require(self.pid, f"the program did not start:\n{self.dump()}")
        STARTED.append(self.pid)

    def title_row(self, timeout=5):
        """Waits for the title and returns its row; the first title is due after one second."""
        rows = wait_until(lambda: [i for i, l in enumerate(self.lines()) if TITLE.fullmatch(l)],
                          timeout)
        require(rows, f"no 'Time Sitting: ...' line within {timeout} s:\n{self.dump()}")
        return rows[0]

    def screen_matches(self, title_row):
        lines = self.lines()
        above_ok = lines[self.command_row] == self.command_line.rstrip()
        # Start-up says once on standard error which idle sources it tried (wrapped over rows),
        # then the idle probe's message shows once.
        between = lines[self.command_row + 1:title_row]
        tried = "".join(between[:-1])
        message_ok = between[-1:] == [IDLE_MESSAGE] and (
            tried == "" or (tried.startswith(NO_IDLE_SOURCE) and IDLE_MESSAGE not in tried))
        title_ok = TITLE.fullmatch(lines[title_row]) is not None
        below_ok = all(line == "" for line in lines[title_row + 1:])
        titles = sum(1 for line in lines if "Time Sitting" in line)
        return above_ok and message_ok and title_ok and below_ok and titles == 1

    def ended(self, timeout):
        return wait_until(lambda: process_state(self.pid) is None, timeout)

    def cpu_seconds(self):
        """User and system CPU time the program has used, from /proc."""
        with open(f"/proc/{self.pid}/stat") as f:
            fields = f.read().rsplit(")", 1)[1].split()
        return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")

    def require_light(self, seconds=2.0, since=None):
        """Over the next `seconds`, or since `since` = (cpu_seconds(), time.monotonic()): at most
        a few percent of one core. Returns the share."""
        if since is None:
            since = (self.cpu_seconds(), time.monotonic())
            time.sleep(seconds)
        share = (self.cpu_seconds() - since[0]) / (time.monotonic() - since[1])
        require(share < 0.05, f"the program used {share:.0%} of a core")
        return share

    def terminate(self):
        """SIGTERM, which must end the program within a second."""
        os.kill(self.pid, signal.SIGTERM)
        require(self.ended(1), "still running 1 s after SIGTERM")

    def clear(self):
        """A clear screen with the prompt at the top, so that rows stay easy to reason about."""
        self.prompt_row()
        self.type_line("clear")
        require(wait_until(lambda: self.cursor() == (len(PROMPT), 0), 5),
                f"the screen did not clear:\n{self.dump()}")

    def resize(self, width):
        self.tmux("resize-window", "-t", self.name, "-x", str(width), "-y", str(self.height))
        require(wait_until(lambda: self.var("pane_width") == str(width), 3),
                f"the pane did not become {width} columns wide")

    def everything(self):
        """The screen with the scrollback above it."""
        return self.tmux("capture-pane", "-p", "-S", "-", "-t", self.name).split("\n")

    def check_restored(self, title_row, exit_status=False):
        """After the program has ended: the prompt on its own line below the title, and the
        terminal as the shell had it. Returns the exit status when asked, read before any
        other command replaces it."""
        fresh = (len(PROMPT), title_row + 1)
        require(wait_until(lambda: self.cursor() == fresh, 3),
                f"the prompt did not come back at the start of the line below the title "
                f"(cursor at {self.cursor()}, wanted {fresh}):\n{self.dump()}")
        lines = self.lines()
        require(TITLE.fullmatch(lines[title_row]) and lines[title_row + 1] == PROMPT.rstrip(),
                f"the title line was not left intact above a fresh prompt:\n{self.dump()}")
        flags = self.flags()
        require(flags["cursor_flag"] == "1", f"the cursor is still hidden: {flags}")
        require(flags["mouse_any_flag"] == "0" and flags["mouse_sgr_flag"] == "0",
                f"mouse reporting is still on: {flags}")
        status = self.exit_status() if exit_status else None
        # bash itself resets the tty after a job killed by a signal, but not after one that
        # exits: stty then shows exactly what the program left behind.
        modes = self.shell_output("stty -a", "stty-a").replace(";", " ").split()
        require("icanon" in modes and "echo" in modes,
                f"stty -a shows {[m for m in modes if m.lstrip('-') in ('icanon', 'echo')]}")
        after = self.shell_output("stty -g", "stty-after").strip()
        require(after == self.baseline_tty,
                f"the tty settings differ from before the program: {self.baseline_tty} -> {after}")
        return status

    def exit_status(self):
        row = self.prompt_row()
        self.type_line('echo "exit status $?"')
        self.prompt_row(below=row)
        found = re.fullmatch(r"exit status (\d+)", self.lines()[row + 1])
        require(found, f"no exit status printed:\n{self.dump()}")
        return int(found.group(1))


STARTED = []  # every program pid, so none outlives the test


class Report:
    def __init__(self):
        self.passed = self.failed = 0

    def run(self, checks):
        """Runs (name, function) pairs in order; after a failure the rest cannot mean anything."""
        broken = None
        for name, check in checks:
            if broken:
                self.result(name, False, f"not run: '{broken}' failed first")
                continue
            try:
                detail = check()
                self.result(name, True, detail)
            except CheckFailed as e:
                self.result(name, False, str(e))
                broken = name
            except (OSError, subprocess.SubprocessError) as e:
                self.result(name, False, f"could not drive tmux: {e!r}")
                broken = name

    def result(self, name, ok, detail):
        first, *rest = (detail or "").split("\n")
        print(f"{'PASS' if ok else 'FAIL'} {name}{': ' + first if first else ''}", flush=True)
        if rest:
            print("\n".join(rest), file=sys.stderr, flush=True)
        if ok:
            self.passed += 1
        else:
            self.failed += 1


def real_clock_run(tmux, program, workdir, report):
    pane = None
    state = {}

    def starts():
        nonlocal pane
        pane = Pane(tmux, "real", program, workdir)
        pane.start()
        row = state["row"] = pane.title_row()
        require(pane.lines()[row] == "Time Sitting: < 1 minute",
                f"the first title is {pane.lines()[row]!r}")
        require(pane.screen_matches(row),
                f"wanted the command line, '{IDLE_MESSAGE}' once, then the title:\n{pane.dump()}")
        styled = pane.lines(escapes=True)[row]
        # The prefix is plain, the label bold; black stays the terminal's own colour.
        require(re.fullmatch(r"Time Sitting: \x1b\[1m< 1 minute(\x1b\[0?m)?", styled),
                f"styled title is {styled!r}")
        flags = pane.flags()
        require(flags == {"cursor_flag": "0", "mouse_any_flag": "1", "mouse_standard_flag": "1",
                          "mouse_sgr_flag": "1"},
                f"wanted the cursor hidden and SGR button reporting on: {flags}")
        return "bold label, plain prefix, idle message above, cursor hidden, SGR mouse on"

    def in_place():
        # Long enough for the idle probe's retry (every 10 s) to try printing its message again.
        row = state["row"]
        end = time.monotonic() + 11
        samples = 0
        while time.monotonic() < end:
            require(pane.screen_matches(row), f"after {samples} samples:\n{pane.dump()}")
            require(pane.cursor()[1] == row and pane.var("history_size") == "0",
                    f"the cursor left row {row} or the screen scrolled: cursor {pane.cursor()}, "
                    f"history {pane.var('history_size')}")
            samples += 1
            time.sleep(0.5)
        return f"{samples} samples over 11 s: one title line on row {row}, message once, no scroll"

    def typed_keys():
        row = state["row"]
        # Text, Enter, an arrow, a lone Escape, Tab, Ctrl-D, and Shift-F3, which looks like a
        # cursor position report for row 1. (Ctrl-Z and Ctrl-\ keep their signals.)
        pane.tmux("send-keys", "-t", pane.name, "-l", "hello")
        pane.tmux("send-keys", "-t", pane.name, "Enter", "Up", "Escape", "Tab")
        pane.send_bytes(b"\x04\x1b[1;2R")
        # Echoed keys would be wiped by the next redraw; look before it comes.
        require(pane.screen_matches(row), f"typed keys showed up:\n{pane.dump()}")
        time.sleep(1.3)
        state_letter = process_state(pane.pid)
        require(state_letter not in (None, "T", "t"),
                f"the program {'ended' if state_letter is None else 'was stopped'} by typed keys")
        require(pane.screen_matches(row) and pane.cursor()[1] == row,
                f"the line broke after typed keys:\n{pane.dump()}")
        require(pane.flags()["cursor_flag"] == "0", "the cursor came back while running")
        return "text, Enter, arrows, Esc, Tab, ^D, Shift-F3: line intact, still running"

    def ctrl_c():
        row = state["row"]
        pane.tmux("send-keys", "-t", pane.name, "C-c")
        require(pane.ended(3), "still running 3 s after Ctrl-C")
        pane.check_restored(row)
        return "prompt on a fresh line, icanon and echo on, tty as before, cursor shown, mouse off"

    report.run([("title shows", starts), ("updates in place", in_place),
                ("typed keys are ignored", typed_keys), ("Ctrl-C restores the terminal", ctrl_c)])


def fast_clock_run(tmux, program, workdir, library, report):
    pane = None
    state = {}

    def click_restarts():
        nonlocal pane
        require(library, "libfaketime.so.1 not found (Debian package faketime)")
        pane = Pane(tmux, "clicks", program, workdir)
        pane.start("FAKETIME='+0 x60' LD_PRELOAD=$FAKETIME_LIB ")
        row = state["row"] = pane.title_row()
        seen = []

        def counted_up():
            lines = pane.lines()
            require(pane.screen_matches(row), f"the line broke while counting:\n{pane.dump()}")
            if not seen or seen[-1] != lines[row]:
                seen.append(lines[row])
            return minutes(lines[row]) >= 2

        require(wait_until(counted_up, 6, interval=0.2),
                f"the count did not reach 2 minutes at 60x; saw {seen}")
        counts = [minutes(t) for t in seen]
        require(counts == sorted(counts), f"the count went backwards: {seen}")

        def restarted():
            return pane.lines()[row] == "Time Sitting: < 1 minute"

        # A left press on another row, a right press on the item's row, and keys that look
        # like a position report (Shift-F3) before it: none of them is a click on the item.
        pane.send_bytes(b"\x1b[1;2R")
        pane.press(row + 1 + 2)
        pane.press(row + 1, button=2)
        require(not wait_until(restarted, 0.5),
                f"the count restarted without a left click on its row:\n{pane.dump()}")
        pane.press(row + 1)
        require(wait_until(restarted, 0.5), f"a left click did not restart it:\n{pane.dump()}")
        state["clicked_at"] = time.monotonic()
        return f"counted {' -> '.join(t.split(': ')[1] for t in seen)}, click -> '< 1 minute'"

    def double_click():
        row = state["row"]
        # Two clicks further apart than 400 ms are two clicks.
        time.sleep(max(0.0, state["clicked_at"] + 0.7 - time.monotonic()))
        pane.press(row + 1)
        time.sleep(0.5)
        require(process_state(pane.pid) is not None, "two clicks 700 ms apart quit the program")
        start = time.monotonic()
        pane.press(row + 1)
        pane.press(row + 1)
        gap = time.monotonic() - start
        require(gap < 0.3, f"could not deliver two clicks within 400 ms (took {gap:.3f} s)")
        require(pane.ended(2), "still running 2 s after a double-click")
        status = pane.check_restored(row, exit_status=True)
        require(status == 0, f"exit status {status}")
        return (f"clicks 700 ms apart kept it running; two within {gap * 1000:.0f} ms "
                f"quit with status 0, terminal restored")

    report.run([("a left click on the item restarts the count", click_restarts),
                ("double-click quits with status 0", double_click)])

    colour_pane = None
    colour_state = {}

    def colour():
        nonlocal colour_pane
        require(library, "libfaketime.so.1 not found (Debian package faketime)")
        colour_pane = Pane(tmux, "colour", program, workdir)
        colour_pane.start("FAKETIME='+0 x600' LD_PRELOAD=$FAKETIME_LIB ")
        row = colour_state["row"] = colour_pane.title_row()
        first = colour_pane.lines(escapes=True)[row]
        if minutes(colour_pane.lines()[row]) <= 10:
            require("38;" not in first, f"coloured before ten minutes: {first!r}")
        require(wait_until(lambda: (minutes(colour_pane.lines()[row]) or 0) >= 15, 4),
                f"did not reach 15 minutes at 600x:\n{colour_pane.dump()}")
        styled = colour_pane.lines(escapes=True)[row]
        require(styled.startswith("Time Sitting: ") and "\x1b[1m" in styled
                and PURE_RED in styled, f"wanted a bold pure red label: {styled!r}")
        return f"{colour_pane.lines()[row]!r} in bold 24-bit red"

    def sigterm():
        os.kill(colour_pane.pid, signal.SIGTERM)
        require(colour_pane.ended(3), "still running 3 s after SIGTERM")
        colour_pane.check_restored(colour_state["row"])
        return "prompt on a fresh line, tty as before, cursor shown, mouse off"

    report.run([("red from fifteen minutes on", colour), ("SIGTERM restores the terminal", sigterm)])


RUNNING_FLAGS = {"cursor_flag": "0", "mouse_any_flag": "1", "mouse_standard_flag": "1",
                 "mouse_sgr_flag": "1"}


def modes_given_back(pane):
    flags = pane.flags()
    return (flags["cursor_flag"] == "1" and flags["mouse_any_flag"] == "0"
            and flags["mouse_sgr_flag"] == "0")


def fault_runs(tmux, program, workdir, report):
    """Surroundings that once broke the line or left the terminal in a mess: standard input
    elsewhere, a narrow pane and resizes, a stop and continue, the signals that end a program,
    a dumb terminal. Each keeps the CPU low and leaves the terminal as it found it."""

    def stdin_elsewhere():
        pane = Pane(tmux, "devnull", program, workdir)
        pane.start(suffix=" < /dev/null")
        row = pane.title_row()
        require(pane.screen_matches(row), f"the screen is not as in a plain start:\n{pane.dump()}")
        require(wait_until(lambda: pane.flags() == RUNNING_FLAGS, 3),
                f"standard output is the controlling terminal, so mouse reporting should be on "
                f"through /dev/tty: {pane.flags()}")
        share = pane.require_light()
        # The clicks come in through /dev/tty.
        pane.press(row + 1)
        pane.press(row + 1)
        require(pane.ended(2), "a double-click did not quit: clicks are not read from /dev/tty")
        # Answers piled up unread would now show at the prompt and break the commands below.
        status = pane.check_restored(row, exit_status=True)
        require(status == 0, f"exit status {status}")

        # A new session has no controlling terminal: no /dev/tty, so no mouse and no questions.
        pane.clear()
        pane.start(prefix="setsid -w ", suffix=" < /dev/null")
        row = pane.title_row()
        flags = pane.flags()
        require(flags["cursor_flag"] == "0" and flags["mouse_any_flag"] == "0"
                and flags["mouse_sgr_flag"] == "0",
                f"without a readable terminal: wanted the cursor hidden and no mouse: {flags}")
        pane.require_light(1.0)
        pane.terminate()
        pane.check_restored(row)
        return (f"via /dev/tty: mouse on, double-click quits, {share:.1%} CPU; no controlling "
                f"terminal: no mouse; both leave a clean prompt and the tty as found")

    def narrow():
        pane = Pane(tmux, "narrow", program, workdir, width=20)
        pane.start()
        full = "Time Sitting: < 1 minute"

        def one_line(width):
            # The whole history counts: a copy that scrolled away is still a copy.
            titles = [line for line in pane.everything() if "Time Sitt" in line]
            rows = [i for i, line in enumerate(pane.lines()) if "Time Sitt" in line]
            return (titles == [full[:width - 1]] and len(rows) == 1
                    and all(line == "" for line in pane.lines()[rows[0] + 1:]) and rows[0])

        row = wait_until(lambda: one_line(20), 5)
        require(row, f"no single cut line in a 20-column pane:\n{pane.dump()}")
        since = (pane.cpu_seconds(), time.monotonic())
        samples = 0
        while time.monotonic() - since[1] < 11:
            require(one_line(20) == row and pane.cursor()[1] == row,
                    f"after {samples} samples, not one line on row {row}:\n{pane.dump()}")
            samples += 1
            time.sleep(0.5)
        share = pane.require_light(since=since)
        for width in (40, 12, WIDTH):
            pane.resize(width)
            row = wait_until(lambda: one_line(width), 3)
            require(row, f"after a resize to {width} columns, not one line and nothing left "
                         f"below it:\n{pane.dump()}")
        pane.terminate()
        pane.check_restored(row)
        return (f"one line over 11 s ({samples} samples, {share:.1%} CPU); resized to 40, 12, "
                f"{WIDTH}: one line each time, nothing left behind")

    def stop_continue():
        pane = Pane(tmux, "stop", program, workdir, height=40)
        pane.start()
        row = pane.title_row()
        pane.require_light(1.0)
        for how in ("kill -TSTP", "Ctrl-Z"):
            if how == "Ctrl-Z":
                pane.send_bytes(b"\x1a")
            else:
                os.kill(pane.pid, signal.SIGTSTP)
            require(wait_until(lambda: process_state(pane.pid) == "T", 3),
                    f"{how} did not stop the program (state {process_state(pane.pid)})")
            require(wait_until(lambda: modes_given_back(pane), 3),
                    f"stopped by {how}, the terminal keeps the program's modes: {pane.flags()}")
            # The shell has the terminal, in its own mode, and nothing was left for it to read.
            stty = pane.shell_output("stty -g", "stty-stopped").strip()
            require(stty == pane.baseline_tty,
                    f"while stopped the tty is not as before: {pane.baseline_tty} -> {stty}")
            prompt = pane.prompt_row()
            pane.type_line("fg")
            require(wait_until(lambda: process_state(pane.pid) not in (None, "T", "t"), 3),
                    "fg did not continue the program")
            require(wait_until(lambda: pane.flags() == RUNNING_FLAGS, 3),
                    f"after fg the program did not take the terminal again: {pane.flags()}")
            rows = wait_until(lambda: [i for i, line in enumerate(pane.lines())
                                       if i > prompt and TITLE.fullmatch(line)], 3)
            require(rows, f"after fg the line did not come back below the prompt:\n{pane.dump()}")
            row = rows[-1]
        time.sleep(0.3)  # the answer telling the line's new row
        pane.press(row + 1)
        pane.press(row + 1)
        require(pane.ended(2), "a double-click after fg did not quit")
        status = pane.check_restored(row, exit_status=True)
        require(status == 0, f"exit status {status}")
        return ("kill -TSTP and Ctrl-Z: modes given back and stty as before while stopped, "
                "taken again after fg; clicks work after it; clean prompt at the end")

    def ending_signals():
        pane = Pane(tmux, "signals", program, workdir)
        names = []
        for name in ("SIGQUIT", "SIGUSR1", "SIGUSR2", "SIGALRM", "SIGHUP"):
            if names:
                pane.clear()
            pane.start()
            row = pane.title_row()
            require(pane.screen_matches(row), f"before {name}:\n{pane.dump()}")
            if name == "SIGQUIT":
                pane.send_bytes(b"\x1c")  # Ctrl-\\, as a user sends it
            else:
                os.kill(pane.pid, getattr(signal, name))
            require(pane.ended(1), f"still running 1 s after {name}")
            status = pane.check_restored(row, exit_status=True)
            require(status == 0, f"exit status {status} after {name}")
            names.append(name)
        return f"{', '.join(names)} (SIGQUIT as Ctrl-\\): each ended in order, status 0, tty as found"

    def dumb():
        pane = Pane(tmux, "dumb", program, workdir)
        raw = os.path.join(workdir, "dumb-raw")
        pane.start(prefix="TERM=dumb ")
        # What the program writes, byte for byte; the shell's own sequences come before the
        # command runs and after it ends, outside the recording.
        pane.tmux("pipe-pane", "-t", pane.name, f"cat > {raw}")

        def recorded():
            with open(raw, "rb") as f:
                return f.read()
        require(wait_until(lambda: os.path.exists(raw) and b"Time Sitting" in recorded(), 4),
                f"no title recorded:\n{pane.dump()}")
        share = pane.require_light(2.5)
        pane.tmux("pipe-pane", "-t", pane.name)
        time.sleep(0.2)
        data = recorded()
        require(b"\x1b" not in data, f"escape sequences on a dumb terminal: {data!r}")
        require(data.count(b"Time Sitting: < 1 minute\r\n") == 1,
                f"wanted the title once, as a line of its own: {data!r}")
        require(modes_given_back(pane), f"cursor or mouse touched: {pane.flags()}")
        row = pane.title_row()
        pane.terminate()
        pane.check_restored(row)
        return f"one plain line over 3.5 s, no escape sequence, {share:.1%} CPU"

    for name, check in (("standard input not the terminal", stdin_elsewhere),
                        ("a narrow pane and resizes", narrow),
                        ("stopped and continued", stop_continue),
                        ("signals that end the program", ending_signals),
                        ("TERM=dumb", dumb)):
        report.run([(name, check)])


def main():
    if len(sys.argv) != 2:
        print(f"usage: {sys.argv[0]} path/to/sitting-timer", file=sys.stderr)
        return 2
    program = os.path.realpath(sys.argv[1])
    if not os.access(program, os.X_OK):
        print(f"not an executable: {program}", file=sys.stderr)
        return 2

    env = {k: v for k, v in os.environ.items()
           if k not in ("DISPLAY", "WAYLAND_DISPLAY", "TMUX", "TMUX_PANE", "LD_PRELOAD")
           and not k.startswith("FAKETIME")}
    library = faketime_library()
    env.update(PS1=PROMPT, HISTFILE="/dev/null", SITTING_TIMER=program,
               FAKETIME_LIB=library or "", FAKETIME_DONT_FAKE_MONOTONIC="1")
    env.setdefault("TERM", "xterm-256color")
    tmux = Tmux(env)

    # An ordinary exit, an exception or a signal ends up in `finally`; the watchdog covers
    # SIGKILL (a CTest timeout), which would otherwise leave the server and its shells behind.
    def leave(signum, _frame):
        raise SystemExit(128 + signum)

    for sig in (signal.SIGTERM, signal.SIGHUP):
        signal.signal(sig, leave)
    watchdog = subprocess.Popen(
        ["sh", "-c", 'while kill -0 "$1" 2>/dev/null; do sleep 1; done; '
                     'tmux -L "$2" -f /dev/null kill-server 2>/dev/null',
         "watchdog", str(os.getpid()), tmux.socket],
        stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
        start_new_session=True)
    report = Report()
    started = time.monotonic()
    try:
        with tempfile.TemporaryDirectory(prefix="sitting-timer-tmux-") as workdir:
            real_clock_run(tmux, program, workdir, report)
            fast_clock_run(tmux, program, workdir, library, report)
            fault_runs(tmux, program, workdir, report)
    finally:
        tmux.kill_server()
        for pid in STARTED:
            # The pane's hangup should have ended it; a survivor would be a fault of its own.
            if not wait_until(lambda: process_state(pid) is None, 2):
                print(f"program {pid} survived the pane's hangup; killing it", file=sys.stderr)
                try:
                    os.kill(pid, signal.SIGKILL)
                except ProcessLookupError:
                    pass
        os.killpg(watchdog.pid, signal.SIGTERM)
        watchdog.wait()
    print(f"took {time.monotonic() - started:.1f} s", file=sys.stderr, flush=True)
    print(f"{report.passed} passed, {report.failed} failed", flush=True)
    return 0 if report.failed == 0 else 1


if __name__ == "__main__":
    sys.exit(main())
