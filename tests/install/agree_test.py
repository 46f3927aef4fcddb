#!/usr/bin/python3
"""What the program says about itself (--help, --version) and what is installed beside it (the
man page, the shell completions, the Debian changelog) must agree, so that none of them drifts
when an option, a value or the version changes.

Environment (set by CTest): SITTING_TIMER (the built program), SOURCE_DIR, MAN_PAGE (the
rendered page), PROJECT_VERSION.
"""
import os
import re
import shutil
import subprocess
import unittest
from pathlib import Path

SOURCE = Path(os.environ.get("SOURCE_DIR", Path(__file__).resolve().parents[2]))
PROGRAM = os.environ.get("SITTING_TIMER", "")
COMPLETIONS = SOURCE / "data" / "completions"
BASH_COMPLETION = Path("/usr/share/bash-completion/bash_completion")


def help_options(text):
    """{option: [values]} from --help: options at two spaces, their values at four, and the
    literal alternatives of the option's own placeholder ("auto" in "=auto|ID")."""
    options = {}
    current = None
    for line in text.splitlines():
        if m := re.match(r"^  (--[a-z][a-z-]*)(?:=(\S+))?(?:\s|$)", line):
            current = m.group(1)
            literals = [v for v in (m.group(2) or "").split("|") if re.fullmatch(r"[a-z0-9-]+", v)]
            options[current] = literals
        elif (m := re.match(r"^    ([a-z0-9][a-z0-9-]*)\s{2,}", line)) and current:
            options[current].append(m.group(1))
        elif not line.startswith(" "):
            current = None
    return options


def scd_section(text, title):
    m = re.search(rf"^# {title}\n(.*?)(?=^# |\Z)", text, re.S | re.M)
    if not m:
        raise AssertionError(f"the man page has no {title} section")
    return m.group(1)


def man_options(text):
    """{option: [values]} from the man page's OPTIONS: an option is a line holding only
    *--name* or *--name*=_VALUE_, a value a line holding only *value* one tab in."""
    options = {}
    current = None
    for line in scd_section(text, "OPTIONS").splitlines():
        if m := re.fullmatch(r"\*(--[a-z][a-z-]*)\*(?:=_[A-Z]+_)?\s*", line):
            current = m.group(1)
            options[current] = []
        elif (m := re.fullmatch(r"\t\*([a-z0-9][a-z0-9-]*)\*\s*", line)) and current:
            options[current].append(m.group(1))
    return options


def numbered_items(section):
    return re.findall(r"^\. \*([a-z0-9-]+)\*", section, re.M)


def run_help(text=False):
    result = subprocess.run([PROGRAM, "--help"], capture_output=True, text=True, timeout=10)
    assert result.returncode == 0, result.stderr
    options = help_options(result.stdout)
    assert "--status-bar" in options and len(options["--status-bar"]) > 1, result.stdout
    return (options, result.stdout) if text else options


def never_auto(text):
    """The values --help marks as never tried by auto."""
    return set(re.findall(r"^    ([a-z0-9][a-z0-9-]*)\s{2,}.*never auto$", text, re.M))


class ManPageTest(unittest.TestCase):
    def setUp(self):
        self.help = run_help()
        self.page = (SOURCE / "docs" / "sitting-timer.1.scd").read_text()

    def test_options_and_values_match_help(self):
        man = man_options(self.page)
        self.assertEqual(sorted(man), sorted(self.help), "options: man page vs --help")
        for option, values in self.help.items():
            self.assertEqual(man[option], values, f"values of {option}: man page vs --help")

    def test_auto_orders_match_help(self):
        # --help lists the ids in the order auto tries them, but those it marks never auto; the
        # page must tell the same order.
        _, text = run_help(text=True)
        skipped = never_auto(text)
        bars = numbered_items(scd_section(self.page, "STATUS BARS"))
        self.assertEqual(bars, [b for b in self.help["--status-bar"][1:] if b not in skipped])
        sources = numbered_items(scd_section(self.page, "IDLE SOURCES"))
        self.assertEqual(sources, [s for s in self.help["--idle-source"][1:] if s not in skipped])

    def test_synopsis_names_every_option(self):
        synopsis = scd_section(self.page, "SYNOPSIS")
        for option in self.help:
            self.assertIn(f"*{option}*", synopsis)


class CompletionTest(unittest.TestCase):
    def setUp(self):
        self.help = run_help()
        self.takes_value = {o for o, values in self.help.items() if values}

    def bash_complete(self, *words):
        """COMPREPLY for a command line whose last word is being completed, split into words as
        readline splits them ("--a=b" is three words)."""
        script = f"""
            source {BASH_COMPLETION}
            source {COMPLETIONS / 'sitting-timer.bash'}
            compopt() {{ :; }}  # only callable while readline completes
            COMP_WORDS=("$@"); COMP_CWORD=$(($# - 1))
            COMP_LINE="$*"; COMP_LINE=${{COMP_LINE// = /=}}; COMP_POINT=${{#COMP_LINE}}
            _sitting_timer sitting-timer "${{COMP_WORDS[COMP_CWORD]}}" "${{COMP_WORDS[COMP_CWORD-1]}}"
            printf '%s\\n' "${{COMPREPLY[@]}}"
        """
        result = subprocess.run(["bash", "--norc", "--noprofile", "-c", script, "bash", *words],
                                capture_output=True, text=True, timeout=20)
        self.assertEqual(result.returncode, 0, result.stderr)
        return sorted(filter(None, result.stdout.splitlines()))

    @unittest.skipUnless(BASH_COMPLETION.exists() and shutil.which("bash"), "no bash-completion")
    def test_bash(self):
        offered = self.bash_complete("sitting-timer", "--")
        expected = sorted(o + "=" if o in self.takes_value else o for o in self.help)
        self.assertEqual(offered, expected)
        for option in self.takes_value:
            values = sorted(self.help[option])
            self.assertEqual(self.bash_complete("sitting-timer", option, ""), values)
            self.assertEqual(self.bash_complete("sitting-timer", option, "=", ""), values)

    def fish_complete(self, line):
        script = f"source {COMPLETIONS / 'sitting-timer.fish'}; complete -C '{line}'"
        result = subprocess.run(["fish", "--no-config", "-c", script], capture_output=True,
                                text=True, timeout=20)
        self.assertEqual(result.returncode, 0, result.stderr)
        return sorted(line.split("\t")[0] for line in result.stdout.splitlines())

    @unittest.skipUnless(shutil.which("fish"), "no fish")
    def test_fish(self):
        self.assertEqual(self.fish_complete("sitting-timer --"), sorted(self.help))
        for option in self.takes_value:
            values = sorted(self.help[option])
            self.assertEqual(self.fish_complete(f"sitting-timer {option} "), values)
            self.assertEqual(self.fish_complete(f"sitting-timer {option}="),
                             [f"{option}={v}" for v in values])

    def test_zsh(self):
        # zsh completes only inside its line editor; read the _arguments specs instead.
        text = (COMPLETIONS / "_sitting-timer").read_text()
        specs = re.findall(r"^\s*'(?:\([^)]*\))?(--[a-z-]+)(=?)\[", text, re.M)
        self.assertEqual(sorted(o for o, _ in specs), sorted(self.help))
        for option, equals in specs:
            self.assertEqual(bool(equals), option in self.takes_value, option)
            if option in self.takes_value:
                block = re.search(rf"'{option}=\[.*?\(\((.*?)\)\)'", text, re.S).group(1)
                self.assertEqual(re.findall(r"([a-z0-9-]+)\\:", block), self.help[option])
        if shutil.which("zsh"):
            check = subprocess.run(["zsh", "-n", str(COMPLETIONS / "_sitting-timer")],
                                   capture_output=True, text=True, timeout=20)
            self.assertEqual(check.returncode, 0, check.stderr)


class VersionTest(unittest.TestCase):
    """The CMake project version is the one version; everything else must carry it."""

    def setUp(self):
        self.version = os.environ["PROJECT_VERSION"]

    def test_program_prints_it(self):
        result = subprocess.run([PROGRAM, "--version"], capture_output=True, text=True, timeout=10)
        self.assertEqual(result.returncode, 0)
        self.assertEqual(result.stdout, f"sitting-timer {self.version}\n")

    def test_debian_changelog_carries_it(self):
        first = (SOURCE / "debian" / "changelog").read_text().splitlines()[0]
        m = re.match(r"^sitting-timer \(([^)]+)\) ", first)
        self.assertIsNotNone(m, first)
        upstream = m.group(1).rsplit("-", 1)[0]  # without the Debian revision
        self.assertEqual(upstream, self.version,
                         "bump debian/changelog (dch -v VERSION-1) with the CMake project version")

    def test_man_page_carries_it(self):
        th = next(l for l in Path(os.environ["MAN_PAGE"]).read_text().splitlines()
                  if l.startswith(".TH"))
        self.assertIn(f'"sitting-timer {self.version}"', th)


if __name__ == "__main__":
    unittest.main()
