"""A private PulseAudio server with a null sink, and what reached it.

Used by the end-to-end tests and the benchmarks. The server runs in its own
runtime directory and is stopped by its process id; a silent low-latency stream
keeps the sink rendering, so the recorded monitor is continuous and a position
in the recording maps to time.
"""

import array
import os
import shutil
import signal
import subprocess
import tempfile
import time

RATE = 48000  # of the recording: mono, signed 16-bit


def make_tone(build_dir, path, fmt, seconds, rate=48000, channels=2):
    """Writes a sine tone with the tone writer of the native build in |build_dir|."""
    subprocess.run([os.path.join(build_dir, "tools", "make_tone"), path, fmt, str(seconds),
                    str(rate), str(channels)], check=True)
    return path


class Recording:
    """Monitor of the sink, recorded by parec from start() until stop()."""

    def __init__(self, server):
        self._server = server
        self._path = os.path.join(server.dir, "rec-%d.raw" % time.monotonic_ns())
        self._out = open(self._path, "wb")
        self._process = subprocess.Popen(
            ["parec", "-d", "quorwind_sink.monitor", "--raw", "--format=s16le",
             "--rate=%d" % RATE, "--channels=1", "--latency-msec=5"],
            stdout=self._out, stderr=subprocess.DEVNULL, env=server.env)
        self.started_at = time.monotonic()
        self.samples = None
        # parec's first bytes mark the stream as running.
        deadline = time.monotonic() + 5
        while os.path.getsize(self._path) < RATE // 10 and time.monotonic() < deadline:
            time.sleep(0.01)

    def stop(self):
        time.sleep(0.3)  # let the tail of the sound through the monitor
        self._process.send_signal(signal.SIGINT)
        try:
            self._process.wait(timeout=5)
        except subprocess.TimeoutExpired:
            self._process.kill()
            self._process.wait()
        self._out.close()
        self.samples = array.array("h")
        with open(self._path, "rb") as f:
            data = f.read()
        self.samples.frombytes(data[: len(data) // 2 * 2])
        os.remove(self._path)
        return self


def active_windows(samples, window_ms=5, threshold=2000):
    """For each window of the recording, whether the tone was audible in it."""
    size = RATE * window_ms // 1000
    windows = []
    for start in range(0, len(samples) - size + 1, size):
        chunk = samples[start:start + size]
        windows.append(max(chunk) > threshold or -min(chunk) > threshold)
    return windows


def heard_ms(samples, window_ms=5):
    """How many milliseconds of the recording carry sound."""
    return sum(active_windows(samples, window_ms)) * window_ms


def onset_ms(samples, window_ms=1):
    """Position of the first audible sound in the recording, or None."""
    windows = active_windows(samples, window_ms)
    return windows.index(True) * window_ms if True in windows else None


class SoundServer:
    """Context manager: a PulseAudio server with the null sink quorwind_sink."""

    def __init__(self):
        self.dir = tempfile.mkdtemp(prefix="quorwind-pulse-")
        os.chmod(self.dir, 0o700)
        self.socket = os.path.join(self.dir, "native")
        self.env = dict(os.environ)
        self.env.update({
            "PULSE_SERVER": "unix:" + self.socket,
            "XDG_RUNTIME_DIR": self.dir,
            "PULSE_RUNTIME_PATH": self.dir,
        })
        self.env.pop("DISPLAY", None)
        self._server = None
        self._keeper = None

    def __enter__(self):
        with open(os.path.join(self.dir, "server.log"), "wb") as log:
            self._server = subprocess.Popen(
            ["pulseaudio", "-n", "--daemonize=no", "--exit-idle-time=-1", "--use-pid-file=no",
             "--system=no", "--disable-shm=yes", "--log-target=stderr",
             "-L", "module-native-protocol-unix socket=%s auth-anonymous=1" % self.socket,
             "-L", "module-null-sink sink_name=quorwind_sink rate=48000 channels=2"],
            stdout=log, stderr=log, env=dict(self.env, HOME=self.dir))
        deadline = time.monotonic() + 10
        while not self._ready():
            if self._server.poll() is not None or time.monotonic() > deadline:
                self.__exit__(None, None, None)
                raise RuntimeError("the sound server did not start")
            time.sleep(0.05)
        self._keeper = subprocess.Popen(
            ["pacat", "--raw", "--latency-msec=10", "--format=s16le", "--rate=48000",
             "--channels=2", "/dev/zero"],
            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, env=self.env)
        # The sink settles at the keeper's latency once its monitor has run.
        time.sleep(0.3)
        self.record().stop()
        return self

    def _ready(self):
        return subprocess.run(["pactl", "info"], env=self.env, stdout=subprocess.DEVNULL,
                              stderr=subprocess.DEVNULL).returncode == 0

    def record(self):
        return Recording(self)

    def __exit__(self, *exc):
        for process in (self._keeper, self._server):
            if process and process.poll() is None:
                process.terminate()
                try:
                    process.wait(timeout=5)
                except subprocess.TimeoutExpired:
                    process.kill()
                    process.wait()
        shutil.rmtree(self.dir, ignore_errors=True)
        return False
