#!/usr/bin/python3
"""pass-intervals, the macOS CI job's judge of App Nap, fed unified-log streams made up here: it
must pass a loop that keeps time, fail one whose timers are stretched or that stopped early, and
count only the app's own passes."""
import datetime
import json
import subprocess
import unittest
from pathlib import Path

TOOL = Path(__file__).resolve().parent / "pass-intervals"
START = datetime.datetime(2026, 3, 1, 9, 0, tzinfo=datetime.timezone(datetime.timedelta(hours=-8)))


def stream(pid, offsets, message="pass"):
    """ndjson lines as `log stream --style ndjson` writes them, one event per offset in seconds."""
    return [json.dumps({"processID": pid, "eventMessage": message, "subsystem": "x",
                        "timestamp": (START + datetime.timedelta(seconds=t))
                        .strftime("%Y-%m-%d %H:%M:%S.%f%z")}) for t in offsets]


def judge(pid, lines):
    header = 'Filtering the log data using "subsystem == \\"x\\""'
    return subprocess.run([str(TOOL), str(pid)], input="\n".join([header] + lines) + "\n",
                          text=True, capture_output=True, timeout=30)


def ticks(interval, span):
    return [i * interval for i in range(int(span / interval) + 1)]


class PassIntervalsTest(unittest.TestCase):
    def test_a_loop_that_keeps_time_passes_blinking_or_not(self):
        for interval in (1.0, 0.3):
            with self.subTest(interval=interval):
                result = judge(7, stream(7, ticks(interval, 30)))
                self.assertEqual(result.returncode, 0, result.stdout)
                self.assertIn("median", result.stdout)

    def test_stretched_timers_fail(self):
        # Napped: a fire every few seconds, with the odd one on time.
        offsets = sorted(ticks(4.0, 32) + [0.5, 9.0])
        result = judge(7, stream(7, offsets))
        self.assertEqual(result.returncode, 1, result.stdout)
        self.assertIn("above 1.1 s", result.stdout)

    def test_passes_that_stop_early_fail(self):
        result = judge(7, stream(7, ticks(1.0, 10)))
        self.assertEqual(result.returncode, 1, result.stdout)

    def test_only_the_apps_own_passes_count(self):
        # Another process keeping time, and the app's other messages, prove nothing.
        lines = stream(8, ticks(1.0, 30)) + stream(7, ticks(1.0, 30), message="other") + \
            stream(7, [0.0, 30.0])
        result = judge(7, lines)
        self.assertEqual(result.returncode, 1, result.stdout)


if __name__ == "__main__":
    unittest.main()
