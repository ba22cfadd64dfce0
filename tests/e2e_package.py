"""End-to-end test of the Debian packages (the player, its FFmpeg formats, its
MIDI): built from a copy of the sources by dpkg-buildpackage, checked by
lintian, unpacked with dpkg-deb and run from there.

Usage: e2e_package.py SOURCE_DIR BUILD_DIR  (a native build, for the tone writer)
"""

import glob
import os
import re
import shutil
import subprocess
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import soundlab  # noqa: E402

SOURCE = BUILD = None
# What a build leaves in a checkout, which a clean one does not have.
PACKAGES = ("quorwind", "quorwind-ffmpeg", "quorwind-midi")
LEFTOVERS = {"build", ".git", "debian/.debhelper", "debian/files",
             "debian/debhelper-build-stamp"} | {"debian/" + p for p in PACKAGES}


def copy_sources(destination):
    def ignored(folder, names):
        relative = os.path.relpath(folder, SOURCE)
        return [n for n in names if os.path.normpath(os.path.join(relative, n)) in LEFTOVERS or
                (relative == "." and n.startswith("obj-")) or n.endswith(".substvars")]
    shutil.copytree(SOURCE, destination, ignore=ignored, symlinks=True)


class PackageTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.dir = tempfile.mkdtemp(prefix="quorwind-package-")
        source = os.path.join(cls.dir, "quorwind")
        copy_sources(source)
        log = os.path.join(cls.dir, "build.log")
        with open(log, "wb") as out:
            # Only on a CPU and a disk that nothing else wants: the sound
            # tests beside it keep their timing.
            built = subprocess.run(
                ["chrt", "--idle", "0", "ionice", "-c", "3",
                 "dpkg-buildpackage", "-b", "-us", "-uc"], cwd=source,
                stdout=out,
                stderr=subprocess.STDOUT,
                # The unit tests ran in the native preset already.
                env=dict(os.environ, DEB_BUILD_OPTIONS="nocheck parallel=%d" % os.cpu_count()))
        if built.returncode != 0:
            with open(log, errors="replace") as f:
                tail = f.read()[-4000:]
            raise AssertionError("dpkg-buildpackage failed:\n" + tail)
        cls.debs = {p: glob.glob(os.path.join(cls.dir, p + "_*.deb"))[0] for p in PACKAGES}
        cls.deb = cls.debs["quorwind"]
        # The player alone, with each of the others, and with both.
        cls.roots = {}
        for extras in [(), ("quorwind-ffmpeg",), ("quorwind-midi",), PACKAGES[1:]]:
            root = os.path.join(cls.dir, "root-" + "-".join(("quorwind",) + extras))
            for package in ("quorwind",) + extras:
                subprocess.run(["dpkg-deb", "-x", cls.debs[package], root], check=True)
            cls.roots[extras] = root
        cls.root = cls.roots[PACKAGES[1:]]
        cls.quorwind = os.path.join(cls.root, "usr", "bin", "quorwind")

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.dir, ignore_errors=True)

    def run_quorwind(self, *args, cwd=None, env=None):
        return subprocess.run([self.quorwind] + list(args), cwd=cwd, env=env,
                              capture_output=True, timeout=60)

    def test_lintian_reports_no_error_or_warning(self):
        lintian = subprocess.run(["lintian", "--fail-on", "error,warning"] +
                                 list(self.debs.values()),
                                 capture_output=True, text=True)
        tags = [line for line in lintian.stdout.splitlines() if re.match(r"[EW]: ", line)]
        self.assertEqual((lintian.returncode, tags), (0, []), lintian.stdout + lintian.stderr)

    def test_one_version_for_package_program_and_project(self):
        with open(os.path.join(SOURCE, "CMakeLists.txt")) as f:
            project = re.search(r"project\(Quorwind VERSION ([0-9.]+)", f.read()).group(1)
        package = subprocess.run(["dpkg-deb", "-f", self.deb, "Version"], capture_output=True,
                                 text=True, check=True).stdout.strip()
        version = self.run_quorwind("--version")
        self.assertEqual(package, project)
        self.assertEqual((version.returncode, version.stdout, version.stderr),
                         (0, ("quorwind %s\n" % project).encode(), b""))
        usage = self.run_quorwind("--help")
        self.assertEqual((usage.returncode, usage.stderr), (0, b""))
        self.assertIn(b"man quorwind", usage.stdout)

    def test_manual_renders_without_warnings(self):
        page = os.path.join(self.root, "usr", "share", "man", "man1", "quorwind.1.gz")
        man = subprocess.run(["man", "--warnings", "-l", page], capture_output=True, text=True,
                             env=dict(os.environ, MANWIDTH="80", LC_ALL="C.UTF-8"))
        self.assertEqual((man.returncode, man.stderr), (0, ""))
        for section in ("SYNOPSIS", "EXIT STATUS", "ENVIRONMENT", "EXAMPLES"):
            self.assertIn(section, man.stdout)

    def test_unpacked_player_plays_and_names_of_options_play_as_files(self):
        with soundlab.PulseAudioServer() as server:
            tone = soundlab.make_tone(BUILD, os.path.join(self.dir, "tone.wav"), "wav", 1.0)
            cases = [("tone.wav", [tone], None)]
            for name in ("--help", "--version"):
                folder = tempfile.mkdtemp(dir=self.dir)
                shutil.copy(tone, os.path.join(folder, name))
                cases.append((name, [name], folder))
            for what, args, cwd in cases:
                with self.subTest(what):
                    recording = server.record()
                    run = self.run_quorwind(*args, cwd=cwd, env=server.env)
                    heard = soundlab.heard_ms(recording.stop().samples)
                    self.assertEqual((run.returncode, run.stdout, run.stderr), (0, b"", b""))
                    self.assertGreaterEqual(heard, 980)


    def test_each_package_plays_its_formats_and_without_it_nothing_is_played(self):
        tone = soundlab.make_tone(BUILD, os.path.join(self.dir, "source.wav"), "wav", 0.5)
        wma = os.path.join(self.dir, "tone.wma")
        subprocess.run(["ffmpeg", "-loglevel", "quiet", "-y", "-i", tone, "-c:a", "wmav2", wma],
                       check=True)
        midi = os.path.join(self.dir, "note.mid")
        soundlab.write_midi(midi, [(0, 500000)], [(0, 480)])
        for extras, root in self.roots.items():
            for path, needs in [(tone, None), (wma, "quorwind-ffmpeg"), (midi, "quorwind-midi")]:
                with self.subTest(installed=("quorwind",) + extras, file=os.path.basename(path)):
                    run = subprocess.run([os.path.join(root, "usr", "bin", "quorwind"), path],
                                         capture_output=True, timeout=30,
                                         env=dict(os.environ, PULSE_SERVER="unix:/nowhere"))
                    played = needs is None or needs in extras
                    self.assertEqual((run.returncode, run.stdout, run.stderr),
                                     (0 if played else 1, b"", b""))


if __name__ == "__main__":
    SOURCE, BUILD = os.path.abspath(sys.argv[1]), os.path.abspath(sys.argv[2])
    unittest.main(argv=sys.argv[:1], verbosity=2)
