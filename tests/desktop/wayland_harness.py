"""Headless Wayland compositors for the tests and the benchmark: sway 1.7 and KWin 5.27, each in
a namespace of its own, with input injected through the compositor.

Used as a module (the end-to-end test, bench/footprint) and as a command that runs a test binary
beside a compositor it may start, stop and restart itself:

    python3 wayland_harness.py gtest --compositor sway|kwin [--fake-input PATH] BINARY [ARGS]

The binary gets WAYLAND_DISPLAY and XDG_RUNTIME_DIR, and shell commands in the environment:
SITTING_TEST_COMPOSITOR starts the compositor in the foreground (the process it starts is the
compositor itself, so its PID can be signalled), SITTING_TEST_INPUT injects one input event,
SITTING_TEST_PROTOCOL names the idle protocol to test there and SITTING_TEST_LACKS one the
compositor does not offer (empty if none).
"""

import argparse
import json
import os
import pwd
import shlex
import shutil
import signal
import subprocess
import sys
import tempfile
import threading
import time

# An unprivileged user for sway, which refuses to run as root.
USER = "sitting-wayland"
SOCKET = "wayland-1"
NAMESPACE_MARK = "SITTING_WAYLAND_NAMESPACE"
# What auto chooses on each, and the protocol it tries first and finds missing.
EXPECTED_SOURCE = {"sway": "kde-idle", "kwin": "ext-idle-notify"}
LACKS = {"sway": "ext-idle-notify", "kwin": ""}


class HarnessError(Exception):
    pass


def now():
    return time.monotonic()


def missing_tools(kind):
    tools = ["unshare", "mount", "ip", "wayland-info"]
    tools += ["sway", "wtype", "setpriv", "useradd"] if kind == "sway" else ["kwin_wayland"]
    return [t for t in tools if not shutil.which(t)]


def enter_namespace(keep=()):
    """Runs the calling script again in its own mount, network and PID namespaces (once), with a
    fresh /tmp in which the directories in `keep` stay visible. Compositors there can take no
    display, lock file or abstract socket from the rest of the machine, and when the script
    ends, by any means, everything it started ends with it."""
    if os.environ.get(NAMESPACE_MARK) != "1":
        if os.geteuid() != 0:
            raise HarnessError("needs root, to make namespaces and the user for sway")
        argv = ["unshare", "--mount", "--net", "--pid", "--fork", "--kill-child", "--mount-proc",
                "--propagation", "private", sys.executable, os.path.abspath(sys.argv[0]),
                *sys.argv[1:]]
        sys.stdout.flush()
        os.execvpe("unshare", argv, dict(os.environ, **{NAMESPACE_MARK: "1"}))
    # As the namespace's first process, signals without a handler would be ignored.
    for sig in (signal.SIGTERM, signal.SIGHUP):
        signal.signal(sig, lambda s, _f: sys.exit(128 + s))
    keep = sorted({os.path.realpath(p) for p in keep
                   if os.path.realpath(p).startswith("/tmp/")})
    # The old /tmp stays reachable under /mnt, so that what the test needs from it can be bound
    # back: mount(8) would resolve a /proc/self/fd link to the path, which by then names the new,
    # empty /tmp.
    subprocess.run(["mount", "--rbind", "/tmp", "/mnt"], check=True)
    subprocess.run(["mount", "-t", "tmpfs", "-o", "mode=1777", "tmpfs", "/tmp"], check=True)
    for path in keep:
        os.makedirs(path, exist_ok=True)
        subprocess.run(["mount", "--bind", "/mnt" + path[len("/tmp"):], path], check=True)
    os.makedirs("/tmp/.X11-unix", mode=0o1777, exist_ok=True)
    subprocess.run(["ip", "link", "set", "lo", "up"], check=True)


def ensure_user():
    try:
        return pwd.getpwnam(USER)
    except KeyError:
        pass
    # Another test may be creating it at the same moment.
    subprocess.run(["useradd", "--system", "--no-create-home", "--shell", "/usr/sbin/nologin",
                    USER], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    try:
        return pwd.getpwnam(USER)
    except KeyError:
        raise HarnessError(f"cannot create the user {USER}") from None


def sanitized_env(extra=None):
    """The environment without any way into the machine's own session."""
    env = {k: v for k, v in os.environ.items()
           if k not in ("DISPLAY", "WAYLAND_DISPLAY", "DBUS_SESSION_BUS_ADDRESS", "SWAYSOCK",
                        "XDG_SESSION_TYPE", "XDG_CURRENT_DESKTOP", NAMESPACE_MARK)}
    env.update(extra or {})
    return env


class Compositor:
    """One headless compositor, started, killed and restarted by PID, with its own runtime
    directory and log."""

    def __init__(self, kind, fake_input=None):
        if kind not in EXPECTED_SOURCE:
            raise HarnessError(f"unknown compositor {kind}")
        if kind == "kwin" and not (fake_input and os.access(fake_input, os.X_OK)):
            raise HarnessError("KWin needs the fake-input helper for input")
        self.kind = kind
        self.fake_input = fake_input
        self.dir = tempfile.mkdtemp(prefix=f"wayland-{kind}-")
        os.chmod(self.dir, 0o755)
        self.runtime = os.path.join(self.dir, "runtime")
        os.mkdir(self.runtime, 0o700)
        self.log = os.path.join(self.dir, "compositor.log")
        self.process = None
        if kind == "sway":
            user = ensure_user()
            os.chown(self.runtime, user.pw_uid, user.pw_gid)
            config = os.path.join(self.dir, "sway.config")
            with open(config, "w") as f:
                f.write("xwayland disable\n")
            self.argv = ["setpriv", f"--reuid={user.pw_uid}", f"--regid={user.pw_gid}",
                         "--init-groups", "--reset-env", "env", f"XDG_RUNTIME_DIR={self.runtime}",
                         "WLR_BACKENDS=headless", "WLR_LIBINPUT_NO_DEVICES=1", "sway", "-c",
                         config]
        else:
            # The installed binary's file capability is refused here; a copy has none.
            binary = os.path.join(self.dir, "kwin_wayland")
            shutil.copy(shutil.which("kwin_wayland"), binary)
            home = os.path.join(self.dir, "home")
            os.mkdir(home)
            self.argv = ["env", "-i", f"PATH={os.environ.get('PATH', '/usr/bin:/bin')}",
                         f"HOME={home}", f"XDG_RUNTIME_DIR={self.runtime}",
                         f"XDG_CONFIG_HOME={home}/config", f"XDG_CACHE_HOME={home}/cache",
                         f"XDG_DATA_HOME={home}/data", "KWIN_WAYLAND_NO_PERMISSION_CHECKS=1",
                         binary, "--virtual", "--socket", SOCKET, "--width", "1024", "--height",
                         "768"]

    def client_env(self, extra=None):
        return sanitized_env(dict({"WAYLAND_DISPLAY": SOCKET, "XDG_RUNTIME_DIR": self.runtime},
                                  **(extra or {})))

    def start_command(self):
        """A shell command that becomes the compositor, for a test binary to run."""
        return "exec " + " ".join(map(shlex.quote, self.argv)) + " >>" + shlex.quote(self.log) \
            + " 2>&1"

    def input_command(self):
        if self.kind == "sway":
            # A modifier alone: input the compositor counts, typed into nothing.
            argv = ["wtype", "-k", "Shift_L"]
        else:
            argv = [self.fake_input]
        env = f"WAYLAND_DISPLAY={SOCKET} XDG_RUNTIME_DIR={shlex.quote(self.runtime)}"
        return f"env {env} " + " ".join(map(shlex.quote, argv))

    def start(self, timeout=30):
        with open(self.log, "ab") as log:
            self.process = subprocess.Popen(self.argv, stdin=subprocess.DEVNULL, stdout=log,
                                            stderr=subprocess.STDOUT, env=sanitized_env(),
                                            start_new_session=True)
        self.wait_ready(timeout)
        return self

    def globals(self):
        result = subprocess.run(["wayland-info"], env=self.client_env(), capture_output=True,
                                text=True, timeout=10)
        if result.returncode != 0:
            return None
        return {line.split("'")[1] for line in result.stdout.splitlines()
                if line.startswith("interface: '")}

    def wait_ready(self, timeout):
        deadline = now() + timeout
        while True:
            if self.process.poll() is not None:
                raise HarnessError(f"{self.kind} ended with status {self.process.returncode}: "
                                   f"{self.log_tail()}")
            if os.path.exists(os.path.join(self.runtime, SOCKET)):
                found = self.globals()
                if found and "wl_seat" in found:
                    return
            if now() > deadline:
                raise HarnessError(f"{self.kind} not ready after {timeout} s: {self.log_tail()}")
            time.sleep(0.2)

    def input(self):
        """One input event through the compositor; returns when it has been sent."""
        result = subprocess.run(self.input_command(), shell=True, env=sanitized_env(),
                                capture_output=True, text=True, timeout=20)
        if result.returncode != 0:
            raise HarnessError(f"input failed ({result.returncode}): {result.stderr.strip()}")

    def stop(self):
        if self.process and self.process.poll() is None:
            self.process.terminate()
            try:
                self.process.wait(10)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait()

    def log_tail(self, lines=6):
        try:
            with open(self.log, errors="replace") as f:
                return " | ".join(f.read().splitlines()[-lines:])
        except OSError:
            return ""

    def close(self):
        self.stop()
        shutil.rmtree(self.dir, ignore_errors=True)


class BarProgram:
    """The program as an i3bar status command: its standard input and output are pipes held
    here, as a bar holds them, and every line it writes is kept with the time it came."""

    def __init__(self, argv, env):
        self.process = subprocess.Popen(argv, stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                        stderr=subprocess.PIPE, env=env)
        self.started = now()
        self.out = []  # (time, line)
        self.err = []
        self.lock = threading.Lock()
        self.readers = [threading.Thread(target=self._read, args=(s, l), daemon=True)
                        for s, l in ((self.process.stdout, self.out),
                                     (self.process.stderr, self.err))]
        for reader in self.readers:
            reader.start()

    def _read(self, stream, lines):
        for raw in stream:
            with self.lock:
                lines.append((now(), raw.decode("utf-8", "replace").rstrip("\n")))

    def frames(self):
        """The title frames written so far, as (time, hidden, markup): the header and "[" come
        first, then one array per line."""
        with self.lock:
            lines = list(self.out[2:])
        frames = []
        for t, line in lines:
            try:
                block = json.loads(line.lstrip(","))[0]
            except (ValueError, IndexError, KeyError, TypeError):
                continue
            # A hidden title keeps its width: a blank with the visible markup as min_width.
            hidden = block.get("full_text") == " "
            frames.append((t, hidden, block.get("min_width") if hidden else block.get("full_text")))
        return frames

    def errors(self):
        with self.lock:
            return [line for _, line in self.err]

    def stop(self):
        """SIGTERM; the exit status, negative for a signal."""
        if self.process.poll() is None:
            self.process.terminate()
            try:
                self.process.wait(10)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait()
        for reader in self.readers:
            reader.join(2)
        return self.process.returncode


def run_gtest(args):
    missing = missing_tools(args.compositor)
    if missing:
        print(f"missing {' '.join(missing)}: run tools/install-deps --test", file=sys.stderr)
        return 2
    binary = os.path.abspath(args.binary)
    keep = [os.path.dirname(binary)] + ([os.path.dirname(args.fake_input)]
                                        if args.fake_input else [])
    try:
        enter_namespace(keep)
        compositor = Compositor(args.compositor, args.fake_input)
    except (HarnessError, subprocess.CalledProcessError) as e:
        print(f"wayland harness: {e}", file=sys.stderr)
        return 2
    try:
        env = compositor.client_env({
            "SITTING_TEST_COMPOSITOR": compositor.start_command(),
            "SITTING_TEST_INPUT": compositor.input_command(),
            "SITTING_TEST_PROTOCOL": EXPECTED_SOURCE[args.compositor],
            "SITTING_TEST_LACKS": LACKS[args.compositor],
        })
        code = subprocess.run([binary, *args.args], env=env).returncode
        if code != 0:
            print(f"{args.compositor} log: {compositor.log_tail(12)}")
        return code
    finally:
        compositor.close()


def main(argv):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    sub = parser.add_subparsers(dest="command", required=True)
    gtest = sub.add_parser("gtest", help="run a test binary beside a compositor")
    gtest.add_argument("--compositor", choices=sorted(EXPECTED_SOURCE), required=True)
    gtest.add_argument("--fake-input", help="the KWin input helper")
    gtest.add_argument("binary")
    gtest.add_argument("args", nargs=argparse.REMAINDER)
    args = parser.parse_args(argv)
    if args.fake_input:
        args.fake_input = os.path.abspath(args.fake_input)
    return run_gtest(args)


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
