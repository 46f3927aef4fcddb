#!/usr/bin/python3
"""The Debian package as a user gets it: built by tools/package from a clean clone of HEAD,
clean under lintian, installed with apt-get on this machine, found by man and the shells, and
gone without a trace after apt-get purge.

Usage: package_test.py SOURCE_DIR. Needs root (it installs and purges the package); exits 77
(skipped) otherwise. Uncommitted changes are not tested: the clone is of HEAD.
"""
import fnmatch
import os
import re
import subprocess
import sys
import tempfile
from pathlib import Path

PACKAGE = "sitting-timer"
APT = ["apt-get", "-y", "-q", "-o", "DPkg::Lock::Timeout=300"]


def run(cmd, check=True, **kwargs):
    print("$", " ".join(map(str, cmd)), flush=True)
    result = subprocess.run(cmd, text=True, capture_output=True, **kwargs)
    if check and result.returncode != 0:
        raise Failure(f"{cmd[0]} exited with {result.returncode}\n{result.stdout}{result.stderr}")
    return result


class Failure(Exception):
    pass


def installed():
    result = run(["dpkg-query", "-W", "-f=${Status}", PACKAGE], check=False)
    return result.returncode == 0 and "installed" in result.stdout.split()


def expect(condition, message):
    if not condition:
        raise Failure(message)
    print("ok:", message.split("\n")[0], flush=True)


def build(source, work):
    head = run(["git", "-C", source, "rev-parse", "HEAD"]).stdout.strip()
    clone = work / "clone"
    run(["git", "init", "-q", clone])
    run(["git", "-C", clone, "fetch", "-q", "--depth=1", Path(source).resolve(), head])
    run(["git", "-C", clone, "checkout", "-q", "--detach", "FETCH_HEAD"])
    print(f"building {head} from a clean clone", flush=True)
    result = run([clone / "tools" / "package", "--output", work / "out"], check=False)
    if result.returncode != 0:
        raise Failure(f"tools/package failed\n{result.stderr[-6000:]}")
    deb = Path(result.stdout.strip().splitlines()[-1])
    expect(deb.is_file() and deb.parent == work / "out",
           f"tools/package printed the .deb's path last: {deb}")
    version = re.search(r"^project\(sitting-timer VERSION ([0-9.]+)",
                        (clone / "CMakeLists.txt").read_text(), re.M).group(1)
    return deb, version


def depends_on_tray_libraries(deb):
    """dh_shlibdeps reads the libraries the tray module links as well as the program's."""
    depends = run(["dpkg-deb", "-f", deb, "Depends"]).stdout
    listed = run(["dpkg-deb", "-c", deb]).stdout
    expect(re.search(r"/usr/lib/[^/]+/sitting-timer/sitting-timer-tray\.so$", listed, re.M),
           "the .deb has the tray module in /usr/lib/<triplet>/sitting-timer/")
    for package in ("libpango-1.0-0", "libcairo2", "libdbusmenu-glib4"):
        expect(re.search(rf"\b{package}\b", depends), f"Depends names {package}: {depends}")


def lint(deb):
    result = run(["lintian", "--info", "--display-info", "--pedantic", "--tag-display-limit", "0",
                  deb], check=False)
    print(result.stdout, flush=True)
    tags = [line for line in result.stdout.splitlines() if re.match(r"^[A-Z]: ", line)]
    bad = [line for line in tags if line[0] in "EW"]
    expect(not bad, "lintian reports no error or warning\n" + "\n".join(bad))


def dpkg_excluded(paths):
    """The paths that dpkg's path-exclude settings keep from being unpacked (minimal and
    container images often exclude /usr/share/man and /usr/share/doc). The last rule that
    matches decides, and its * also matches '/', as dpkg's fnmatch does."""
    rules = []
    config = [Path("/etc/dpkg/dpkg.cfg"), *sorted(Path("/etc/dpkg/dpkg.cfg.d").glob("*"))]
    for file in config:
        if file.is_file():
            for line in file.read_text(errors="replace").splitlines():
                if m := re.match(r"^\s*(path-exclude|path-include)[\s=]+(\S+)", line):
                    rules.append((m.group(1) == "path-exclude", m.group(2), file))
    excluded = {}
    for path in paths:
        decision = None
        for exclude, pattern, file in rules:
            if fnmatch.fnmatchcase(path, pattern):
                decision = (exclude, pattern, file)
        if decision and decision[0]:
            excluded[path] = f"{decision[2]}: path-exclude={decision[1]}"
    return excluded


def check_installed(version, home):
    program = Path("/usr/bin/sitting-timer")
    out = run([program, "--version"], timeout=10).stdout
    expect(out == f"sitting-timer {version}\n", f"--version prints {version}: {out!r}")
    out = run([program, "--help"], timeout=10).stdout
    expect("--status-bar" in out and "--idle-source" in out, "--help lists the options")
    # The tray module loads from where the package puts it: with a bus that is not there the
    # tray fails at connecting, which it tries only once the module is in.
    result = run([program, "--status-bar=tray"], check=False, timeout=20,
                 env={**os.environ, "DBUS_SESSION_BUS_ADDRESS": "unix:path=/nonexistent/bus"})
    expect(result.returncode == 2 and "cannot connect to the session bus" in result.stderr,
           f"the installed program loads its tray module: {result.stderr.strip()}")

    page = run(["man", "-w", PACKAGE]).stdout.strip()
    expect(page == "/usr/share/man/man1/sitting-timer.1.gz", f"man -w finds the page: {page}")
    text = run(["man", "-P", "cat", PACKAGE], env={**os.environ, "MANWIDTH": "80"}).stdout
    expect("--idle-source" in text and version in text, "man shows the page, with the version")

    desktop = "/usr/share/applications/sitting-timer.desktop"
    result = run(["desktop-file-validate", desktop], check=False)
    expect(result.returncode == 0 and not result.stdout.strip(),
           f"desktop-file-validate accepts {desktop}\n{result.stdout}{result.stderr}")

    # Each shell, started as a user's would be, must find the completion on its own.
    env = {"HOME": str(home), "PATH": "/usr/bin:/bin", "TERM": "dumb", "LANG": "C.UTF-8"}
    out = run(["bash", "--norc", "--noprofile", "-c",
               "source /usr/share/bash-completion/bash_completion && "
               "__load_completion sitting-timer && complete -p sitting-timer"],
              env=env, timeout=30).stdout
    expect("-F _sitting_timer" in out, f"bash-completion loads the completion: {out.strip()}")
    out = run(["zsh", "-c", f"autoload -U compinit && compinit -u -d {home}/zcompdump && "
               "print -r -- ${_comps[sitting-timer]}"], env=env, timeout=30).stdout
    expect(out.strip() == "_sitting-timer", f"zsh's compinit finds _sitting-timer: {out.strip()}")
    out = run(["fish", "-c", "complete -C 'sitting-timer --'"], env=env, timeout=30).stdout
    offered = {line.split("\t")[0] for line in out.splitlines()}
    expect({"--status-bar", "--idle-source", "--verbose", "--help", "--version"} <= offered,
           f"fish completes the options: {sorted(offered)}")
    out = run(["fish", "-c", "complete -C 'sitting-timer --status-bar '"], env=env,
              timeout=30).stdout
    expect("tray" in {line.split("\t")[0] for line in out.splitlines()},
           "fish completes the values")


def main():
    if len(sys.argv) != 2:
        sys.exit(__doc__)
    if os.geteuid() != 0:
        print("skipped: installing a package needs root")
        return 77
    if installed():
        print(f"{PACKAGE} is installed on this machine already; this test installs and purges it, "
              f"so it leaves yours alone: apt-get purge {PACKAGE} first")
        return 1

    os.environ["DEBIAN_FRONTEND"] = "noninteractive"
    with tempfile.TemporaryDirectory(prefix="sitting-timer-package.") as tmp:
        work = Path(tmp)
        deb, version = build(sys.argv[1], work)
        lint(deb)
        depends_on_tray_libraries(deb)

        listed = run(["dpkg-deb", "-c", deb]).stdout.splitlines()
        paths = [re.sub(r"^\./", "/", l.split(None, 5)[5]).split(" -> ")[0].rstrip("/") or "/"
                 for l in listed]
        there_before = {p for p in paths if os.path.lexists(p)}
        files = [p for p, l in zip(paths, listed) if not l.startswith("d")]
        excluded = dpkg_excluded(files)
        expect(not excluded, "this machine's dpkg unpacks every file of the package; it "
               "excludes these, so man or the shells could not find them here:\n" +
               "\n".join(f"{p} ({why})" for p, why in excluded.items()))

        home = work / "home"
        home.mkdir()
        try:
            # The test machine has what the package recommends or has no network for it; the
            # package's own files are what is checked here.
            run([*APT, "--no-install-recommends", "install", deb.resolve()], timeout=600)
            expect(installed(), f"apt-get installs {deb.name}")
            owned = run(["dpkg", "-L", PACKAGE]).stdout.splitlines()
            expect(sorted(set(owned) - {"/."}) == sorted(set(paths) - {"/"}),
                   "dpkg lists exactly the files of the .deb")
            check_installed(version, home)
        finally:
            if installed():
                run([*APT, "purge", PACKAGE], timeout=600)
        expect(not installed() and run(["dpkg-query", "-W", PACKAGE], check=False).returncode,
               "apt-get purge removes the package")
        left = [p for p in paths if p not in there_before and os.path.lexists(p)]
        expect(not left, "purge removes every file and directory it installed\n" + "\n".join(left))
        expect(not list(Path("/var/lib/dpkg/info").glob(f"{PACKAGE}.*")),
               "dpkg keeps no control files of the package")
    print("package test passed")
    return 0


if __name__ == "__main__":
    try:
        sys.exit(main())
    except Failure as failure:
        print("FAILED:", failure, flush=True)
        sys.exit(1)
