#!/usr/bin/python3
"""workflow_check.py WORKFLOW: checks the CI workflow, which this machine cannot run, as far as
can be done without GitHub: it parses as YAML, has the jobs and steps the project relies on,
every job has a time limit, every action is pinned to a major version, and every script is
valid bash. Exits 77 (skipped) without PyYAML."""
import os
import pathlib
import re
import subprocess
import sys

try:
    import yaml
except ImportError:
    print("skipped: PyYAML is not installed (python3-yaml)")
    sys.exit(77)

problems = []


def expect(condition, message):
    if not condition:
        problems.append(message)
    return condition


path = pathlib.Path(sys.argv[1])
root = path.resolve().parent.parent.parent
workflow = yaml.safe_load(path.read_text())

# YAML 1.1 reads the key "on" as true.
triggers = workflow.get("on", workflow.get(True))
expect(triggers is not None, "no triggers ('on')")
jobs = workflow.get("jobs") or {}
expect(set(jobs) >= {"linux", "macos"}, f"jobs are {sorted(jobs)}, not linux and macos")


def runs(job):
    return "\n".join(step.get("run", "") for step in job.get("steps", []))


def uses(job):
    return [step["uses"] for step in job.get("steps", []) if "uses" in step]


for name, job in jobs.items():
    steps = job.get("steps") or []
    expect(steps, f"{name}: no steps")
    expect(isinstance(job.get("timeout-minutes"), int), f"{name}: no timeout-minutes")
    expect("runs-on" in job, f"{name}: no runs-on")
    for i, step in enumerate(steps):
        where = f"{name}, step {i + 1} ({step.get('name') or step.get('uses')})"
        expect(("run" in step) != ("uses" in step), f"{where}: needs exactly one of run and uses")
        if "uses" in step:
            expect(re.fullmatch(r"[\w.-]+/[\w.-]+@v\d+", step["uses"]),
                   f"{where}: action not pinned to a major version: {step['uses']}")
        if "run" in step:
            script = step["run"]
            expect(script.count("${{") == script.count("}}"), f"{where}: unbalanced ${{{{ }}}}")
            # GitHub substitutes expressions before bash sees the script.
            plain = re.sub(r"\$\{\{.*?\}\}", "x", script)
            check = subprocess.run(["bash", "-n"], input=plain, text=True, capture_output=True)
            expect(check.returncode == 0, f"{where}: bash says {check.stderr.strip()}")

linux = jobs.get("linux", {})
container = linux.get("container")
image = container.get("image") if isinstance(container, dict) else container
expect(image == "debian:12", f"linux: container is {image!r}, not debian:12")
expect(re.search(r"(^|\s)(\.ci/run|tools/check)\b", runs(linux)), "linux: does not run tools/check")
for script in (".ci/run", "tools/check"):
    expect((root / script).is_file(), f"{script} does not exist")

macos = jobs.get("macos", {})
expect(macos.get("runs-on") == "macos-15", f"macos: runs on {macos.get('runs-on')!r}")
script = runs(macos)
for what, pattern in [
    ("installs with Homebrew", r"brew install .*googletest"),
    ("builds the signed app with one job", r"cmake --build build --target sign-app -j1\b"),
    ("verifies the built app's seal strictly", r'codesign --verify --strict --deep .*"\$app"'),
    ("checks LSMinimumSystemVersion against the deployment target",
     r"CMAKE_OSX_DEPLOYMENT_TARGET[\s\S]*LSMinimumSystemVersion"),
    ("runs the unit tests", r"ctest .*-L unit"),
    ("runs the tick benchmark", r"tick-bench"),
    ("builds the item-window tool", r"swiftc .*tests/macos/item-window\.swift"),
    ("starts the app", r'"\$bin" .*&'),
    ("waits for the app's item", r'item-window "\$pid" wait \d+'),
    ("samples the item's width", r'item-window "\$pid" widths \d+'),
    ("streams the run loop's passes", r"log stream --level debug"),
    ("measures the pass intervals", r'tests/macos/pass-intervals "\$pid"'),
    ("quits the app", r"osascript -e 'quit app \"Sitting Timer\"'"),
    ("checks the exit status", r"\[\[ \$status == 0 \]\]"),
    ("installs the app", r"cmake --install build"),
    ("verifies the installed app's seal",
     r'codesign --verify --strict --deep .*/installed/Sitting Timer\.app"'),
    ("packs the .dmg, retried", r"retry cpack -G DragNDrop"),
    ("opens the .dmg, retried", r"retry hdiutil attach"),
    ("finds the Applications link in the .dmg", r'-L "\$mnt/Applications"'),
    ("verifies the seal of the app in the .dmg",
     r'codesign --verify --strict --deep .*"\$mnt/Sitting Timer\.app"'),
]:
    expect(re.search(pattern, script), f"macos: never {what}")

# hdiutil fails now and then with "Resource busy": every call goes through the retry, which
# tries three times.
for line in script.splitlines():
    if re.match(r"\s*(hdiutil|cpack)\b", line):
        problems.append(f"macos: not retried: {line.strip()}")
retry = re.search(r"retry\(\) \{(.*?)\n\s*\}\n", script, re.S)
expect(retry and re.search(r"for \w+ in 1 2 3;", retry.group(1)),
       "macos: the retry helper does not try three times")

# The app is known to be ready when its item is there, not after a guess: no fixed sleep
# straight after a start, except where a signal during launching is the point.
lines = script.splitlines()
for i, line in enumerate(lines):
    if re.match(r'\s*"\$bin" .*&\s*$', line):
        following = [l.strip() for l in lines[i + 1:i + 3]]
        expect(not any(re.fullmatch(r"sleep [0-9.]+", l) for l in following),
               f"macos: a fixed sleep after starting the app: {following}")

for tool in ("tests/macos/item-window.swift", "tests/macos/pass-intervals"):
    expect((root / tool).is_file(), f"{tool} does not exist")
expect(os.access(root / "tests/macos/pass-intervals", os.X_OK),
       "tests/macos/pass-intervals is not executable")
uploads = [s for s in macos.get("steps", []) if s.get("uses", "").startswith("actions/upload-artifact")]
expect(any(".dmg" in (s.get("with") or {}).get("path", "") for s in uploads),
       "macos: never uploads the .dmg")

for problem in problems:
    print("FAIL:", problem)
print(f"{path.name}: {len(jobs)} jobs, " + ("ok" if not problems else f"{len(problems)} problems"))
sys.exit(1 if problems else 0)
