"""What a shell hands the native quorwind besides a file: a pipe, process
substitution, a FIFO, a speech synthesizer's stream. Each plays as the same
bytes in a file would, quietly; inputs with nothing to play end with status 1.

Usage: e2e_inputs.py BUILD_DIR
"""

import os
import subprocess
import sys
import threading
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import e2e_linux  # noqa: E402

# How long a writer that gives nothing is waited for.
PATIENCE = 10.0


class InputsTest(e2e_linux.MediaTest):
    def shell(self, command, stdin=None, **names):
        """Runs |command| in bash, quorwind's path in QUORWIND and each of
        |names| in the environment; records the sink while it runs."""
        env = dict(self.env, QUORWIND=os.path.join(e2e_linux.BUILD, "bin", "quorwind"), **names)
        recording = self.server.record()
        start = time.monotonic()
        done = subprocess.run(["bash", "-c", command], env=env, capture_output=True, timeout=60,
                              stdin=stdin)
        run = type("Run", (), {})()
        run.seconds = time.monotonic() - start
        run.status, run.stdout, run.stderr = done.returncode, done.stdout, done.stderr
        run.heard_ms = e2e_linux.soundlab.heard_ms(recording.stop().samples)
        return run

    def test_every_input_plays_as_the_same_bytes_in_a_file(self):
        wav = self.ffmpeg("tone.wav")
        mp3 = self.ffmpeg("tone.mp3", "-c:a", "libmp3lame")
        cut = os.path.join(self.dir, "cut.wav")
        with open(wav, "rb") as f, open(cut, "wb") as out:
            out.write(f.read(44 + 4 * 22050))  # its header still claims a second
        speech = os.path.join(self.dir, "speech.wav")
        subprocess.run(["espeak-ng", "-w", speech, "The backup is done"], check=True)
        fifo = os.path.join(self.dir, "fifo")
        os.mkfifo(fifo)
        slowly = ("python3 -c 'import sys,time\nd=open(sys.argv[1],\"rb\").read()\n"
                  "for i in range(0,len(d),4096):\n sys.stdout.buffer.write(d[i:i+4096]);"
                  "sys.stdout.flush();time.sleep(0.02)' \"$F\"")
        cases = [
            # (name, the same bytes in a file, command, the part of it heard)
            ("pipe", wav, 'cat "$F" | "$QUORWIND" /dev/stdin', 0.97),
            ("process substitution", mp3, '"$QUORWIND" <(cat "$F")', 0.97),
            ("mp3 through a pipe", mp3, 'cat "$F" | "$QUORWIND" /dev/stdin', 0.97),
            ("fifo fed by another process", wav, '(cat "$F" > "$FIFO" &) ; "$QUORWIND" "$FIFO"',
             0.97),
            ("an input that ends early", cut, 'cat "$F" | "$QUORWIND" /dev/stdin', 0.97),
            ("a slow writer", wav, slowly + ' | "$QUORWIND" /dev/stdin', 0.97),
            # Speech pauses between its words.
            ("speech", speech,
             'espeak-ng --stdout "The backup is done" | "$QUORWIND" /dev/stdin', 0.4),
        ]
        for name, path, command, heard in cases:
            with self.subTest(name):
                length = e2e_linux.length_reply(path)
                run = self.shell(command, F=path, FIFO=fifo)
                self.assertEqual((run.status, run.stdout, run.stderr), (0, b"", b""))
                self.assertGreaterEqual(run.heard_ms, heard * length)
                self.assertGreaterEqual(run.seconds, length / 1000.0)
                self.assertLess(run.seconds, length / 1000.0 + 1.5)

    def test_inputs_with_nothing_to_play_end_quietly(self):
        fifo = os.path.join(self.dir, "lonely-fifo")
        os.mkfifo(fifo)
        wav = self.ffmpeg("header.wav")
        cases = [
            # (name, command, fewest seconds, most seconds)
            ("fifo with no writer", '"$QUORWIND" "$FIFO"', 0, 1.0),
            ("an empty pipe", 'true | "$QUORWIND" /dev/stdin', 0, 1.0),
            ("zeros", '"$QUORWIND" /dev/zero', 0, 1.0),
            ("noise", '"$QUORWIND" /dev/urandom', 0, 1.0),
            ("a writer that gives nothing", '"$QUORWIND" /dev/stdin', PATIENCE, PATIENCE + 3),
            ("over a gigabyte", '(head -c 44 "$F"; head -c 1100M /dev/zero) | "$QUORWIND" /dev/stdin',
             0, 20),
        ]
        for name, command, fewest, most in cases:
            with self.subTest(name):
                # The test holds the pipe of standard input open, and gives nothing.
                idle = os.pipe()
                run = self.shell(command + "; echo $? >&2", stdin=idle[0], FIFO=fifo, F=wav)
                os.close(idle[0])
                os.close(idle[1])
                self.assertEqual((run.stdout, run.stderr, run.heard_ms), (b"", b"1\n", 0))
                self.assertGreaterEqual(run.seconds, fewest)
                self.assertLess(run.seconds, most)


if __name__ == "__main__":
    e2e_linux.BUILD = os.path.abspath(sys.argv.pop(1))
    unittest.main(verbosity=2)
