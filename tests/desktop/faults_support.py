"""What the fault-injection tests share: a private namespace, real X servers and silent ones,
and the program run with pipes on both ends, measured from /proc."""

import os
import shutil
import signal
import socket
import subprocess
import sys
import threading
import time

# Well below a spinning loop (a whole core), above what a loaded machine adds to a program that
# wakes once a second.
IDLE_SHARE = 0.05


def in_private_namespace():
    """Runs this script again in its own mount and network namespace with a fresh /tmp, so that
    its X displays, lock files and sockets cannot meet anyone else's. Returns only inside."""
    if os.environ.get("SITTING_TIMER_FAULTS_NS") == "1":
        return
    if not shutil.which("unshare"):
        sys.exit("unshare is needed")
    here = os.path.dirname(os.path.abspath(__file__))
    # The script, its interpreter and the program under test may all live under /tmp.
    keep = [here, os.path.abspath(sys.argv[0]), sys.executable] + [
        os.path.abspath(a) for a in sys.argv[1:] if os.path.exists(a)]
    env = dict(os.environ, SITTING_TIMER_FAULTS_NS="1")
    code = subprocess.call(["unshare", "--mount", "--net", "--fork", "--propagation", "private",
                            os.path.join(here, "private-tmp"), *keep, "--", sys.executable]
                           + [os.path.abspath(sys.argv[0])] + sys.argv[1:], env=env)
    sys.exit(code)


def socket_path(display):
    return f"/tmp/.X11-unix/X{display}"


class Xvfb:
    def __init__(self, display):
        self.display = display
        self.proc = None
        self.start()

    def start(self):
        self.proc = subprocess.Popen(["Xvfb", f":{self.display}", "-nolisten", "tcp", "-screen",
                                      "0", "640x480x24"], stdout=subprocess.DEVNULL,
                                     stderr=subprocess.DEVNULL)
        deadline = time.monotonic() + 10
        while not os.path.exists(socket_path(self.display)):
            if time.monotonic() > deadline or self.proc.poll() is not None:
                raise RuntimeError(f"Xvfb :{self.display} did not start")
            time.sleep(0.02)

    def signal(self, sig):
        self.proc.send_signal(sig)

    def stop(self):
        if self.proc and self.proc.poll() is None:
            self.proc.send_signal(signal.SIGCONT)
            self.proc.kill()
            self.proc.wait()


class SilentServer:
    """Listens where an X server would and never answers: the kernel accepts connections into
    the backlog, and the set-up handshake waits for ever."""

    def __init__(self, display):
        path = socket_path(display)
        if os.path.exists(path):
            os.unlink(path)
        self.sock = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        self.sock.bind(path)
        self.sock.listen(16)

    def close(self):
        self.sock.close()


class Program:
    """The program with pipes on both ends; both outputs are read as they come."""

    def __init__(self, binary, args, env_extra):
        env = {k: v for k, v in os.environ.items()
               if k not in ("DISPLAY", "WAYLAND_DISPLAY", "DBUS_SESSION_BUS_ADDRESS")}
        env["DBUS_SESSION_BUS_ADDRESS"] = "unix:path=/nonexistent"
        env.update(env_extra)
        self.started = time.monotonic()
        self.proc = subprocess.Popen([binary] + args, stdin=subprocess.PIPE,
                                     stdout=subprocess.PIPE, stderr=subprocess.PIPE, env=env)
        self.out = []
        self.err = []
        self.lock = threading.Lock()
        for stream, lines in ((self.proc.stdout, self.out), (self.proc.stderr, self.err)):
            threading.Thread(target=self._pump, args=(stream, lines), daemon=True).start()

    def _pump(self, stream, lines):
        for raw in stream:
            with self.lock:
                lines.append((time.monotonic(), raw.decode("utf-8", "replace").rstrip("\n")))

    def lines(self, which):
        with self.lock:
            return list(self.out if which == "out" else self.err)

    def wait_for_line(self, which, text, seconds):
        deadline = time.monotonic() + seconds
        while time.monotonic() < deadline:
            for t, line in self.lines(which):
                if text in line:
                    return t
            if self.proc.poll() is not None:
                break
            time.sleep(0.05)
        return None

    def cpu_seconds(self):
        with open(f"/proc/{self.proc.pid}/stat") as f:
            fields = f.read().rsplit(")", 1)[1].split()
        return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")

    def cpu_share_over(self, seconds):
        before = self.cpu_seconds()
        time.sleep(seconds)
        return (self.cpu_seconds() - before) / seconds

    def click(self, first=False):
        self.proc.stdin.write((b"[\n" if first else b",") + b'{"name":"sitting","button":1}\n')
        self.proc.stdin.flush()

    def ended_within(self, seconds):
        """The exit status if it ended within `seconds`, else None."""
        try:
            return self.proc.wait(timeout=seconds)
        except subprocess.TimeoutExpired:
            return None

    def terminate_within(self, seconds=1.0):
        self.proc.send_signal(signal.SIGTERM)
        return self.ended_within(seconds)

    def kill(self):
        if self.proc.poll() is None:
            self.proc.kill()
            self.proc.wait()


class Checks:
    """Collects failures so that one run reports every broken case."""

    def __init__(self):
        self.failures = []

    def expect(self, ok, what):
        print(("ok    " if ok else "FAIL  ") + what, flush=True)
        if not ok:
            self.failures.append(what)

    def finish(self):
        if self.failures:
            print(f"{len(self.failures)} check(s) failed", flush=True)
            return 1
        print("all checks passed", flush=True)
        return 0
