#!/usr/bin/python3
"""The macOS app bundle as CMake makes, signs and installs it, checked on Linux: the project is
configured for Darwin with a stand-in toolchain (darwin-standin/), built with one job by each
generator, and installed. No code is compiled; what is checked is CMake's part: the seal is made
once everything is in the bundle (a file added after it fails `codesign --verify --strict`),
the installed app is at the prefix's top level and sealed once complete, and Info.plist names
the oldest macOS the app is built for.

Environment (set by CTest): SOURCE_DIR. A generator whose tool is missing is left out.
"""
import hashlib
import os
import plistlib
import shutil
import subprocess
import tempfile
import unittest
from pathlib import Path

SOURCE = Path(os.environ.get("SOURCE_DIR", Path(__file__).resolve().parents[2]))
STANDIN = Path(__file__).resolve().parent / "darwin-standin"
APP = "Sitting Timer.app"
DEPLOYMENT_TARGET = "13.4"  # what darwin-standin/toolchain.cmake sets


def listing(bundle):
    """{path inside the bundle: content} for every file in it."""
    return {str(p.relative_to(bundle)): p.read_bytes() for p in sorted(bundle.rglob("*"))
            if p.is_file()}


def seals(log):
    """[(bundle, {path: md5})] for each call of the stand-in codesign, in order."""
    calls = []
    for line in log.read_text().splitlines() if log.exists() else []:
        if line.startswith("sign "):
            calls.append((line[len("sign "):], {}))
        else:
            digest, path = line.split(None, 1)
            calls[-1][1][path.removeprefix("./")] = digest
    return calls


def md5s(bundle):
    return {path: hashlib.md5(content).hexdigest() for path, content in listing(bundle).items()}


class Project:
    def __init__(self, generator, where):
        self.build = where / "build"
        self.log = where / "codesign.log"
        self.env = dict(os.environ, PATH=f"{STANDIN}:{os.environ['PATH']}",
                        CODESIGN_LOG=str(self.log))
        self.run("cmake", "-S", SOURCE, "-B", self.build, "-G", generator,
                 f"-DCMAKE_TOOLCHAIN_FILE={STANDIN / 'toolchain.cmake'}",
                 "-DCMAKE_BUILD_TYPE=Release", "-DSITTING_TIMER_TESTS=OFF",
                 "-DSITTING_TIMER_BENCH=OFF")

    def run(self, *command, env=None):
        result = subprocess.run([str(c) for c in command], env=env or self.env, text=True,
                                stdout=subprocess.PIPE, stderr=subprocess.STDOUT, timeout=60)
        if result.returncode != 0:
            raise AssertionError(f"{' '.join(map(str, command))} failed:\n{result.stdout}")
        return result.stdout

    def make(self):
        self.log.unlink(missing_ok=True)
        self.run("cmake", "--build", self.build, "-j1")
        return seals(self.log)


class BundleTest(unittest.TestCase):
    def for_each_generator(self, check):
        for generator, tool in (("Unix Makefiles", "make"), ("Ninja", "ninja")):
            if not shutil.which(tool):
                continue
            with self.subTest(generator=generator), tempfile.TemporaryDirectory() as where:
                check(Project(generator, Path(where)))

    def assertSealedComplete(self, seal_calls, bundle):
        self.assertTrue(seal_calls, f"{bundle} was never signed")
        sealed, contents = seal_calls[-1]
        self.assertEqual(sealed, str(bundle))
        self.assertEqual(contents, md5s(bundle), "the bundle changed after it was sealed")

    def test_the_build_seals_the_bundle_with_everything_in_it_also_after_an_icon_change(self):
        def check(project):
            bundle = project.build / APP
            calls = project.make()
            self.assertEqual(sorted(listing(bundle)),
                             ["Contents/Info.plist", "Contents/MacOS/Sitting Timer",
                              "Contents/Resources/SittingTimer.icns"])
            self.assertSealedComplete(calls, bundle)
            # A rebuild that remakes the icon alone must seal again, after the copy.
            (project.build / "SittingTimer.icns").unlink()
            self.assertSealedComplete(project.make(), bundle)

        self.for_each_generator(check)

    def test_install_puts_the_app_at_the_prefix_top_level_and_seals_it_there_once_complete(self):
        def check(project):
            project.make()
            destdir = project.build.parent / "destdir"
            project.log.unlink()
            project.run("cmake", "--install", project.build, "--prefix", "/Applications",
                        env=dict(project.env, DESTDIR=str(destdir)))
            prefix = destdir / "Applications"
            self.assertEqual(sorted(p.name for p in prefix.iterdir()), [APP])
            installed = prefix / APP
            self.assertEqual(sorted(listing(installed)), sorted(listing(project.build / APP)))
            self.assertSealedComplete(seals(project.log), installed)

        self.for_each_generator(check)

    def test_the_property_list_names_the_deployment_target_as_the_oldest_macos(self):
        def check(project):
            project.make()
            with open(project.build / APP / "Contents" / "Info.plist", "rb") as f:
                plist = plistlib.load(f)
            self.assertEqual(plist["LSMinimumSystemVersion"], DEPLOYMENT_TARGET)
            self.assertEqual(plist["CFBundleExecutable"], "Sitting Timer")
            self.assertIs(plist["LSUIElement"], True)

        self.for_each_generator(check)


if __name__ == "__main__":
    unittest.main()
