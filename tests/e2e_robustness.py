"""Robustness of the native quorwind: hostile files, load and signals.

Usage: e2e_robustness.py BUILD_DIR [HOSTILE_FILES_PER_FORMAT]

Hostile files are valid tones mutated with a fixed seed: byte flips,
truncation, size fields zeroed or maximal, absurd rates and channel counts.
"""

import os
import random
import signal
import struct
import subprocess
import sys
import time
import unittest
from concurrent.futures import ThreadPoolExecutor

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import e2e_linux  # noqa: E402
import soundlab  # noqa: E402

PER_FORMAT = 12
# Longer claims are waited out only this long; the run is then stopped.
LONGEST_WAIT = 4.0


def mutations(data, rng, count):
    """|count| mutants of |data|, of every kind in turn."""
    def flip(d):
        d = bytearray(d)
        for _ in range(rng.randint(1, 8)):
            d[rng.randrange(len(d))] ^= 1 << rng.randrange(8)
        return bytes(d)

    def truncate(d):
        return d[:rng.randrange(len(d))]

    def field(d, value):
        d = bytearray(d)
        at = rng.randrange(0, min(len(d), 96) - 4)
        d[at:at + 4] = value
        return bytes(d)

    def absurd_format(d):
        # The WAV fmt chunk's channel count and rate, or four bytes near the
        # start of any other format, made absurd.
        d = bytearray(d)
        at = d.find(b"fmt ")
        if at >= 0 and at + 16 <= len(d):
            d[at + 10:at + 16] = struct.pack("<HI", rng.choice([0, 255, 0xffff]),
                                             rng.choice([0, 1, 0x7fffffff, 0xffffffff]))
            return bytes(d)
        return field(d, b"\xff\xff\xff\x7f")

    kinds = [flip, truncate, lambda d: field(d, b"\0\0\0\0"), lambda d: field(d, b"\xff" * 4),
             absurd_format]
    return [kinds[i % len(kinds)](data) for i in range(count)]


class RobustnessTest(e2e_linux.ServerTest):
    def quorwind(self):
        return os.path.join(e2e_linux.BUILD, "bin", "quorwind")

    def test_hostile_files_never_crash_hang_or_print(self):
        rng = random.Random(20261208)
        sources = []
        for fmt in ["wav", "wav24", "imaadpcm", "aiff", "flac", "ogg", "opus", "mp3", "mp3vbr"]:
            path = os.path.join(self.dir, "source." + fmt)
            e2e_linux.make_tone(path, fmt, 0.3, 48000 if fmt == "opus" else 44100, 2)
            sources.append(path)
        for codec, ext in [("aac", "m4a"), ("wmav2", "wma")]:
            path = os.path.join(self.dir, "source." + ext)
            subprocess.run(["ffmpeg", "-loglevel", "quiet", "-y", "-f", "lavfi", "-i",
                            "sine=duration=0.3", "-c:a", codec, path], check=True)
            sources.append(path)
        midi = os.path.join(self.dir, "source.mid")
        soundlab.write_midi(midi, [(0, 500000)], [(0, 288)])
        sources.append(midi)

        cases = []
        for source in sources:
            with open(source, "rb") as f:
                data = f.read()
            for i, mutant in enumerate(mutations(data, rng, PER_FORMAT)):
                path = "%s.hostile-%03d" % (source, i)
                with open(path, "wb") as f:
                    f.write(mutant)
                cases.append(path)

        def run(path):
            reply = e2e_linux.length_reply(path) or 0
            wait = min(reply / 1000.0, LONGEST_WAIT)
            start = time.monotonic()
            process = subprocess.Popen([self.quorwind(), path], env=self.env,
                                       stdout=subprocess.PIPE, stderr=subprocess.PIPE)
            try:
                out, err = process.communicate(timeout=wait + 3.0)
                over = False
            except subprocess.TimeoutExpired:
                process.kill()
                out, err = process.communicate()
                over = reply / 1000.0 < wait + 3.0  # ran past its own length
            return path, process.returncode, out, err, over, time.monotonic() - start

        with ThreadPoolExecutor(4) as pool:
            for path, status, out, err, over, _ in pool.map(run, cases):
                with self.subTest(path=os.path.basename(path)):
                    self.assertIn(status, [0, 1, 2, -signal.SIGKILL])
                    # A run-time error is reported, once; nothing else is printed.
                    report = b"quorwind: Run-time error: Overflow\n" if status == 2 else b""
                    self.assertEqual((out, err, over), (b"", report, False))

    def test_every_too_long_midi_is_the_overflow_error(self):
        slowest = b"\x00\xff\x51\x03\xff\xff\xff"
        gap = b"\xff\xff\xff\x7f\xff\x01\x00"  # the longest delta, then a meta event
        for name, body in [("one gap", slowest + gap), ("5000 gaps", slowest + gap * 5000),
                           ("5000 tempo changes", (slowest + gap) * 5000)]:
            with self.subTest(name=name):
                body += b"\x00\xff\x2f\x00"
                path = os.path.join(self.dir, name.replace(" ", "-") + ".mid")
                with open(path, "wb") as f:
                    f.write(b"MThd" + struct.pack(">IHHH", 6, 0, 1, 1) + b"MTrk" +
                            struct.pack(">I", len(body)) + body)
                run = e2e_linux.Run([path], self.env)
                self.assertEqual((run.status, run.stdout, run.stderr),
                                 (2, b"", b"quorwind: Run-time error: Overflow\n"))

    def test_fifty_at_once_on_one_server(self):
        path = os.path.join(self.dir, "crowd.wav")
        e2e_linux.make_tone(path, "wav", 1.0)
        start = time.monotonic()
        processes = [subprocess.Popen([self.quorwind(), path], env=self.env,
                                      stdout=subprocess.PIPE, stderr=subprocess.PIPE)
                     for _ in range(50)]
        results = [(p.communicate(timeout=30), p.returncode) for p in processes]
        self.assertEqual({(out, err, status) for (out, err), status in results},
                         {(b"", b"", 0)})
        self.assertLess(time.monotonic() - start, 1.0 + 10.0)
        self.assertTrue(self.server._pactl("info"), "the server died")

    def test_signals_end_the_wait_at_once_and_the_sound_with_it(self):
        path = os.path.join(self.dir, "long.wav")
        e2e_linux.make_tone(path, "wav", 5.0)
        for signum in [signal.SIGINT, signal.SIGTERM]:
            with self.subTest(signal=signum.name):
                recording = self.server.record()
                process = subprocess.Popen([self.quorwind(), path], env=self.env,
                                           stdout=subprocess.PIPE, stderr=subprocess.PIPE)
                time.sleep(1.0)
                sent = time.monotonic()
                process.send_signal(signum)
                out, err = process.communicate(timeout=5)
                ended = time.monotonic() - sent
                heard = soundlab.heard_ms(recording.stop().samples)
                self.assertEqual((process.returncode, out, err), (-signum, b"", b""))
                self.assertLess(ended, 0.5)
                self.assertLess(heard, 1000 + 500)  # the sound stopped with it

    def test_closed_output_streams_change_nothing(self):
        path = os.path.join(self.dir, "closed.wav")
        e2e_linux.make_tone(path, "wav", 0.5)
        for args, status in [([path], 0), ([os.path.join(self.dir, "missing.wav")], 1)]:
            with self.subTest(args=args):
                start = time.monotonic()
                done = subprocess.run(["sh", "-c", 'exec "$0" "$@" >&- 2>&-', self.quorwind()] +
                                      args, env=self.env, timeout=10)
                self.assertEqual(done.returncode, status)
                self.assertLess(time.monotonic() - start, 0.5 + 1.0)


if __name__ == "__main__":
    e2e_linux.BUILD = os.path.abspath(sys.argv.pop(1))
    if len(sys.argv) > 1 and sys.argv[1].isdigit():
        PER_FORMAT = int(sys.argv.pop(1))
    unittest.main(verbosity=2)
