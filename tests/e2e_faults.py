"""Faults in what the native quorwind depends on: a decoder that hangs, spins
or grows without bound inside the decoding child, and a sound server that
hangs before or during the sound. None may hold the program past its bounds,
print, or leave a process behind.

Usage: e2e_faults.py BUILD_DIR
"""

import os
import subprocess
import sys
import threading
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import e2e_linux  # noqa: E402

# The decoding child's bounds, as the player sets them.
OPEN_BOUND = 10.0
STALL_BOUND = 3.0
DATA_LIMIT = 1 << 30


def descendants(pid):
    """The processes below |pid|, children first."""
    found, queue = [], [pid]
    while queue:
        parent = queue.pop()
        try:
            for task in os.listdir("/proc/%d/task" % parent):
                with open("/proc/%d/task/%s/children" % (parent, task)) as f:
                    children = [int(c) for c in f.read().split()]
                found += children
                queue += children
        except OSError:
            pass
    return found


def data_bytes(pid):
    """The process's data (heap and private writable mappings), or 0."""
    try:
        with open("/proc/%d/status" % pid) as f:
            for line in f:
                if line.startswith("VmData:"):
                    return int(line.split()[1]) * 1024
    except OSError:
        pass
    return 0


def cpu_seconds(pid):
    """The process's user and system time so far, or 0."""
    try:
        with open("/proc/%d/stat" % pid) as f:
            fields = f.read().rsplit(")", 1)[1].split()
        return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")
    except (OSError, IndexError, ValueError):
        return 0


def session_members(sid):
    """The live processes of session |sid|: a zombie has ended, and is left
    to whichever init reaps orphans (some containers' never do)."""
    members = []
    for entry in os.listdir("/proc"):
        if entry.isdigit():
            try:
                with open("/proc/%s/stat" % entry) as f:
                    fields = f.read().rsplit(")", 1)[1].split()
                if int(fields[3]) == sid and fields[0] != "Z":  # state, ppid, pgrp, session
                    members.append(int(entry))
            except (OSError, IndexError):
                pass
    return members


class Watched:
    """One run of quorwind in a session of its own, with the peak data and the
    most CPU time of its decoding children sampled as it runs."""

    def __init__(self, args, env):
        start = time.monotonic()
        process = subprocess.Popen([os.path.join(e2e_linux.BUILD, "bin", "quorwind")] + args,
                                   env=env, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                   start_new_session=True)
        self.peak_child_data = 0
        self.peak_child_cpu = 0
        done = threading.Event()

        def sample():
            while not done.is_set():
                for child in descendants(process.pid):
                    self.peak_child_data = max(self.peak_child_data, data_bytes(child))
                    self.peak_child_cpu = max(self.peak_child_cpu, cpu_seconds(child))
                time.sleep(0.01)

        sampler = threading.Thread(target=sample)
        sampler.start()
        self.stdout, self.stderr = process.communicate(timeout=60)
        self.seconds = time.monotonic() - start
        done.set()
        sampler.join()
        self.status = process.returncode
        time.sleep(1.0)
        self.left_behind = session_members(process.pid)


class DecoderFaultsTest(e2e_linux.ServerTest):
    def test_a_decoder_that_hangs_spins_or_grows_never_holds_the_program(self):
        path = os.path.join(self.dir, "tone.wav")
        e2e_linux.make_tone(path, "wav", seconds=3.0)
        faulty = os.path.join(e2e_linux.BUILD, "tests", "libfaulty_sndfile.so")
        # The longest each may take: an open that hangs, or grows until its
        # allocations fail, is over within the open bound, and FFmpeg, the
        # next family, then plays the file (its start given 3 s: the machine
        # may be busy). Each fault is seen to happen: the hang holds the open
        # to its bound, the spin burns the child's CPU until the stall bound,
        # the growth reaches the data limit.
        for fault, longest in [("hang-open", OPEN_BOUND + 3.0 + 3.0), ("spin", 3.0 + 2.0),
                               ("allocate", OPEN_BOUND + 3.0 + 3.0)]:
            with self.subTest(fault=fault):
                run = Watched([path], dict(self.env, LD_PRELOAD=faulty, QUORWIND_TEST_FAULT=fault))
                self.assertIn(run.status, [0, 1])
                self.assertEqual((run.stdout, run.stderr, run.left_behind), (b"", b"", []))
                self.assertLess(run.seconds, longest)
                self.assertGreater(run.peak_child_data, 0)  # the children were seen
                self.assertLess(run.peak_child_data, DATA_LIMIT)
                if fault == "hang-open":
                    self.assertGreater(run.seconds, OPEN_BOUND)
                elif fault == "spin":
                    self.assertGreater(run.peak_child_cpu, 0.5)  # a waiting child has none
                else:
                    self.assertGreater(run.peak_child_data, DATA_LIMIT // 2)


class HungServerTest(e2e_linux.ServerTest):
    """A Pulse server stopped with SIGSTOP, reached directly and through
    ALSA's pulse plugin."""

    SECONDS = 2.0

    def routes(self):
        alsa_only = dict(self.env, PULSE_SERVER="unix:" + os.path.join(self.dir, "nowhere"))
        return [("pulse, then ALSA to the same server", self.env), ("ALSA", alsa_only)]

    def setUp(self):
        self.path = os.path.join(self.dir, "tone.wav")
        e2e_linux.make_tone(self.path, "wav", seconds=self.SECONDS)

    def tearDown(self):
        self.server.pause_server(False)

    def test_a_server_hung_before_the_start_costs_under_a_second(self):
        for route, env in self.routes():
            with self.subTest(route=route):
                self.server.pause_server()
                try:
                    run = Watched([self.path], env)
                finally:
                    self.server.pause_server(False)
                self.assertEqual((run.status, run.stdout, run.stderr, run.left_behind),
                                 (0, b"", b"", []))
                self.assertGreaterEqual(run.seconds, self.SECONDS)
                self.assertLess(run.seconds, self.SECONDS + 1.0)

    def test_a_server_hung_mid_sound_does_not_delay_the_end(self):
        for route, env in self.routes():
            with self.subTest(route=route):
                timer = threading.Timer(1.0, self.server.pause_server)
                timer.start()
                try:
                    run = Watched([self.path], env)
                finally:
                    timer.join()
                    self.server.pause_server(False)
                self.assertEqual((run.status, run.stdout, run.stderr, run.left_behind),
                                 (0, b"", b"", []))
                self.assertGreaterEqual(run.seconds, self.SECONDS)
                # The start (tens of milliseconds) and the process's end.
                self.assertLess(run.seconds, self.SECONDS + 0.3)


if __name__ == "__main__":
    e2e_linux.BUILD = os.path.abspath(sys.argv.pop(1))
    unittest.main(verbosity=2)
