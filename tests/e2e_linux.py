"""End-to-end tests of the native quorwind: real files, a real sound server.

Usage: e2e_linux.py BUILD_DIR  (holding bin/quorwind, lib/quorwind and tools/make_tone)
"""

import os
import shutil
import subprocess
import sys
import tempfile
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import soundlab  # noqa: E402

BUILD = None
TONE_SECONDS = 1.5


def make_tone(path, fmt, seconds=TONE_SECONDS, rate=48000, channels=2):
    soundlab.make_tone(BUILD, path, fmt, seconds, rate, channels)


class Run:
    def __init__(self, args, env, quorwind=None):
        quorwind = quorwind or os.path.join(BUILD, "bin", "quorwind")
        start = time.monotonic()
        done = subprocess.run([quorwind] + args, env=env, capture_output=True, timeout=60)
        self.seconds = time.monotonic() - start
        self.status = done.returncode
        self.stdout = done.stdout
        self.stderr = done.stderr


class EndToEndTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.dir = tempfile.mkdtemp(prefix="quorwind-e2e-")
        cls.server = soundlab.SoundServer().__enter__()

    @classmethod
    def tearDownClass(cls):
        cls.server.__exit__(None, None, None)
        shutil.rmtree(cls.dir, ignore_errors=True)

    def play(self, args, env=None):
        recording = self.server.record()
        run = Run(args, env or self.server.env)
        run.heard_ms = soundlab.heard_ms(recording.stop().samples)
        return run

    def assert_played_whole(self, run, seconds=TONE_SECONDS):
        self.assertEqual((run.status, run.stdout, run.stderr), (0, b"", b""))
        self.assertGreaterEqual(run.heard_ms, 0.98 * seconds * 1000)
        self.assertGreaterEqual(run.seconds, seconds)
        self.assertLess(run.seconds, seconds + 1.0)

    def test_every_format_is_heard_whole_and_ends_on_time(self):
        for fmt, rate, channels in [("wav", 44100, 2), ("wav", 48000, 1), ("aiff", 44100, 1),
                                    ("flac", 48000, 2), ("ogg", 44100, 2), ("opus", 48000, 2),
                                    ("mp3", 44100, 2), ("mp3vbr", 48000, 1)]:
            with self.subTest(fmt=fmt, rate=rate, channels=channels):
                path = os.path.join(self.dir, "tone-%d-%d.%s" % (rate, channels, fmt))
                make_tone(path, fmt, rate=rate, channels=channels)
                self.assert_played_whole(self.play([path]))

    def test_awkward_names_play(self):
        names = [b"with blanks  inside.wav", "caf\u00e9 \u266b.wav".encode(),
                 b"latin1-\xe9t\xe9.wav", b"\xff\xfe raw bytes.flac"]
        for name in names:
            with self.subTest(name=name):
                path = os.path.join(os.fsencode(self.dir), name)
                make_tone(path, "flac" if name.endswith(b".flac") else "wav", seconds=0.5)
                self.assert_played_whole(self.play([path]), seconds=0.5)

    def test_quotes_are_stripped_and_arguments_joined(self):
        folder = os.path.join(self.dir, "my dir")
        os.makedirs(folder, exist_ok=True)
        make_tone(os.path.join(folder, "a.wav"), "wav", seconds=0.5)
        quoted = os.path.join(self.dir, '"my dir"', "a.wav")
        self.assert_played_whole(self.play([quoted]), seconds=0.5)
        self.assert_played_whole(self.play(['"' + self.dir + "/my", 'dir/a.wav"']), seconds=0.5)

    def test_a_name_holding_a_quote_cannot_be_named(self):
        make_tone(os.path.join(self.dir, 'say "hi".wav'), "wav", seconds=0.5)
        run = self.play([os.path.join(self.dir, 'say "hi".wav')])
        self.assertEqual((run.status, run.stdout, run.stderr, run.heard_ms), (1, b"", b"", 0))
        self.assertLess(run.seconds, 0.5)

    def test_nothing_to_play_ends_at_once_and_quietly(self):
        corrupt = os.path.join(self.dir, "corrupt.mp3")
        with open(corrupt, "wb") as f:
            f.write(b"ID3\x03\x00\x00\x00\x00\x00\x10" + os.urandom(20000))
        for args in [[], [os.path.join(self.dir, "missing.wav")], [self.dir], [corrupt]]:
            with self.subTest(args=args):
                run = self.play(args)
                self.assertEqual((run.status, run.stdout, run.stderr, run.heard_ms),
                                 (1, b"", b"", 0))
                self.assertLess(run.seconds, 0.5)

    def test_without_a_sound_server_the_wait_is_silent(self):
        path = os.path.join(self.dir, "silent.wav")
        make_tone(path, "wav", seconds=1.0)
        env = dict(self.server.env, PULSE_SERVER="unix:" + os.path.join(self.dir, "nowhere"))
        run = self.play([path], env=env)
        self.assertEqual((run.status, run.stdout, run.stderr, run.heard_ms), (0, b"", b"", 0))
        self.assertGreaterEqual(run.seconds, 1.0)
        self.assertLess(run.seconds, 2.0)

    def test_missing_module_is_reported(self):
        bin_dir = os.path.join(self.dir, "lonely", "bin")
        os.makedirs(bin_dir, exist_ok=True)
        lonely = os.path.join(bin_dir, "quorwind")
        shutil.copy(os.path.join(BUILD, "bin", "quorwind"), lonely)
        path = os.path.join(self.dir, "lonely.wav")
        make_tone(path, "wav", seconds=1.0)
        run = Run([path], self.server.env, quorwind=lonely)
        self.assertEqual(run.status, 2)
        self.assertEqual(run.stdout, b"")
        self.assertEqual(run.stderr.count(b"\n"), 1)
        self.assertIn(b"libquorwind-mci.so", run.stderr)
        self.assertLess(run.seconds, 0.5)


if __name__ == "__main__":
    BUILD = os.path.abspath(sys.argv.pop(1))
    unittest.main(verbosity=2)
