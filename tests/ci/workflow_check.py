#!/usr/bin/python3
"""workflow_check.py WORKFLOW: checks the CI workflow, which this machine cannot run, as far as
can be done without GitHub: it parses as YAML, has the jobs and steps the project relies on,
every job has a time limit, every action is pinned to a major version, and every script is
valid bash. Exits 77 (skipped) without PyYAML."""
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
    ("builds", r"cmake --build"),
    ("runs the unit tests", r"ctest .*-L unit"),
    ("runs the tick benchmark", r"tick-bench"),
    ("starts the app", r'"\$bin" .*&'),
    ("quits the app", r"osascript -e 'quit app \"Sitting Timer\"'"),
    ("checks the exit status", r"\[\[ \$status == 0 \]\]"),
    ("packs the .dmg", r"cpack -G DragNDrop"),
]:
    expect(re.search(pattern, script), f"macos: never {what}")
uploads = [s for s in macos.get("steps", []) if s.get("uses", "").startswith("actions/upload-artifact")]
expect(any(".dmg" in (s.get("with") or {}).get("path", "") for s in uploads),
       "macos: never uploads the .dmg")

for problem in problems:
    print("FAIL:", problem)
print(f"{path.name}: {len(jobs)} jobs, " + ("ok" if not problems else f"{len(problems)} problems"))
sys.exit(1 if problems else 0)
