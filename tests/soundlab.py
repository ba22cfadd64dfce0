"""Private sound servers (PulseAudio, PipeWire) with a null sink, and what
reached it.

Used by the end-to-end tests and the benchmarks. Each server runs in its own
runtime directory and is stopped by its process id; a silent low-latency stream
keeps the sink rendering, so the recorded monitor is continuous and a position
in the recording maps to time.
"""

import array
import os
import select
import shutil
import signal
import struct
import subprocess
import tempfile
import threading
import time

RATE = 48000  # of the recording: mono, signed 16-bit


def make_tone(build_dir, path, fmt, seconds, rate=48000, channels=2):
    """Writes a sine tone with the tone writer of the native build in |build_dir|."""
    subprocess.run([os.path.join(build_dir, "tools", "make_tone"), path, fmt, str(seconds),
                    str(rate), str(channels)], check=True)
    return path


def write_midi(path, tempos, notes, ppqn=480):
    """A type 1 file: tempo track (tick deltas, us per quarter) and one track
    of notes (tick deltas, durations in ticks). Returns its length in ms."""
    def quantity(n):
        out = [n & 0x7f]
        while n > 0x7f:
            n >>= 7
            out.append(0x80 | (n & 0x7f))
        return bytes(reversed(out))

    def track(events):
        body = b"".join(quantity(d) + e for d, e in events) + b"\x00\xff\x2f\x00"
        return b"MTrk" + struct.pack(">I", len(body)) + body

    tempo_track = [(d, b"\xff\x51\x03" + us.to_bytes(3, "big")) for d, us in tempos]
    note_track = [(0, b"\xc0\x13")]  # a church organ: it sustains
    for delta, length in notes:
        note_track += [(delta, b"\x90\x45\x64"), (length, b"\x80\x45\x00")]
    with open(path, "wb") as f:
        f.write(b"MThd" + struct.pack(">IHHH", 6, 1, 2, ppqn) + track(tempo_track) +
                track(note_track))


def ogg_crc(data):
    """The CRC of an Ogg page: polynomial 0x04c11db7, unreflected."""
    crc = 0
    for byte in data:
        crc ^= byte << 24
        for _ in range(8):
            crc = (crc << 1) ^ 0x04C11DB7 if crc & 0x80000000 else crc << 1
        crc &= 0xFFFFFFFF
    return crc


def ogg_pages(data):
    """Each page of an Ogg file: (header type, granule, serial, [(packet,
    finished on this page)])."""
    pages, at = [], 0
    while at < len(data):
        kind, granule, serial, _, _, count = struct.unpack_from("<BqIIIB", data, at + 5)
        lacing = data[at + 27: at + 27 + count]
        body, packets, packet, size_at = at + 27 + count, [], b"", 0
        for size in lacing:
            packet += data[body + size_at: body + size_at + size]
            size_at += size
            if size < 255:
                packets.append((packet, True))
                packet = b""
        if lacing and lacing[-1] == 255:
            packets.append((packet, False))
        pages.append((kind, granule, serial, packets))
        at = body + size_at
    return pages


def ogg_page(kind, granule, serial, sequence, packets):
    """One Ogg page holding |packets|, as ogg_pages gives them."""
    lacing, body = b"", b""
    for packet, finished in packets:
        lacing += bytes([255] * (len(packet) // 255) + ([len(packet) % 255] if finished else []))
        body += packet
    page = struct.pack("<4sBBqIIIB", b"OggS", 0, kind, granule, serial, sequence, 0,
                       len(lacing)) + lacing + body
    return page[:22] + struct.pack("<I", ogg_crc(page)) + page[26:]


class Recording:
    """Monitor of the sink, recorded by parec from start() until stop()."""

    def __init__(self, server, env=None):
        self._server = server
        self._path = os.path.join(server.dir, "rec-%d.raw" % time.monotonic_ns())
        self._out = open(self._path, "wb")
        self._process = subprocess.Popen(
            ["parec", "-d", "quorwind_sink.monitor", "--raw", "--format=s16le",
             "--rate=%d" % RATE, "--channels=1", "--latency-msec=5"],
            stdout=self._out, stderr=subprocess.DEVNULL, env=env or server.env)
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


def end_ms(samples, window_ms=1):
    """Position just after the last audible sound in the recording, or None."""
    windows = active_windows(samples, window_ms)
    return (len(windows) - windows[::-1].index(True)) * window_ms if True in windows else None


class SoundServer:
    """Context manager: a private sound server with the null sink quorwind_sink,
    reached through the Pulse protocol at |env|. Subclasses start the server."""

    def __init__(self):
        self.dir = tempfile.mkdtemp(prefix="quorwind-sound-")
        os.chmod(self.dir, 0o700)
        self.env = dict(os.environ)
        self.env.update({"XDG_RUNTIME_DIR": self.dir, "PULSE_RUNTIME_PATH": self.dir,
                         "HOME": self.dir, "XDG_CONFIG_HOME": os.path.join(self.dir, "config")})
        self.env.pop("DISPLAY", None)
        self.env.pop("DBUS_SESSION_BUS_ADDRESS", None)
        self._processes = []  # stopped in reverse order, by process id

    def _start(self, command, name, env=None):
        with open(os.path.join(self.dir, name + ".log"), "wb") as log:
            process = subprocess.Popen(command, stdout=log, stderr=log, env=env or self.env,
                                       stdin=subprocess.DEVNULL)
        self._processes.append(process)
        return process

    def _await(self, ready, what, seconds=20):  # a busy machine starts servers slowly
        deadline = time.monotonic() + seconds
        while not ready():
            if any(p.poll() is not None for p in self._processes) or time.monotonic() > deadline:
                self.__exit__(None, None, None)
                raise RuntimeError(what + " did not start")
            time.sleep(0.05)

    def _pactl(self, *args, env=None):
        return subprocess.run(["pactl"] + list(args), env=env or self.env,
                              stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL).returncode == 0

    def _keep_sink_running(self, env=None):
        # A silent low-latency stream keeps the sink rendering at desktop latency.
        self._start(["pacat", "--raw", "--latency-msec=10", "--format=s16le", "--rate=48000",
                     "--channels=2", "/dev/zero"], "keeper-%d" % time.monotonic_ns(), env)
        time.sleep(0.3)
        self.record(env).stop()  # the sink settles once its monitor has run

    def _forget_exited(self):
        """Forgets the server and the helpers that ended with it."""
        time.sleep(0.1)
        self._processes = [p for p in self._processes if p.poll() is None]

    def record(self, env=None):
        return Recording(self, env)

    def kill_server(self):
        """Kills the server itself (not the helpers) at once, as a crash would."""
        self._server.kill()
        self._server.wait()

    def pause_server(self, paused=True):
        """Stops the server itself (SIGSTOP), as a hung one behaves, or lets it go on."""
        self._server.send_signal(signal.SIGSTOP if paused else signal.SIGCONT)

    def __exit__(self, *exc):
        if hasattr(self, "_server"):
            self.pause_server(False)
        for process in reversed(self._processes):
            if process.poll() is None:
                process.terminate()
                try:
                    process.wait(timeout=5)
                except subprocess.TimeoutExpired:
                    process.kill()
                    process.wait()
        shutil.rmtree(self.dir, ignore_errors=True)
        return False


class PulseAudioServer(SoundServer):
    """PulseAudio with its native socket in the private runtime directory."""

    name = "PulseAudio"

    def _sink_module(self):
        return "module-null-sink sink_name=quorwind_sink rate=48000 channels=2"

    def _launch(self, socket, env):
        self._server = self._start(
            ["pulseaudio", "-n", "--daemonize=no", "--exit-idle-time=-1", "--use-pid-file=no",
             "--system=no", "--disable-shm=yes", "--log-target=stderr",
             "-L", "module-native-protocol-unix socket=%s auth-anonymous=1" % socket,
             "-L", self._sink_module()],
            "pulseaudio-%d" % time.monotonic_ns(), env)
        self._await(lambda: self._pactl("info", env=env), "PulseAudio")

    def __enter__(self):
        socket = os.path.join(self.dir, "native")
        self.env["PULSE_SERVER"] = "unix:" + socket
        self._launch(socket, self.env)
        self._keep_sink_running()
        return self

    def restart_server(self):
        """Kills the server, as a crash would, and starts another at once with
        the same sink; its socket opens once the sink runs at desktop
        latency, as a restarted desktop server's does."""
        self.kill_server()
        self._forget_exited()
        staging = os.path.join(self.dir, "staging-%d" % time.monotonic_ns())
        env = dict(self.env, PULSE_SERVER="unix:" + staging)
        self._launch(staging, env)
        self._keep_sink_running(env)
        self._pactl("load-module", "module-native-protocol-unix",
                    "socket=" + os.path.join(self.dir, "native"), "auth-anonymous=1", env=env)


class PipeWireServer(SoundServer):
    """PipeWire with its session manager and Pulse server, on a private D-Bus
    session bus."""

    name = "PipeWire"

    def __enter__(self):
        bus = os.path.join(self.dir, "bus")
        self._start(["dbus-daemon", "--session", "--nofork", "--nopidfile",
                     "--address=unix:path=" + bus], "dbus")
        self._await(lambda: os.path.exists(bus), "D-Bus")
        self.env.update({"DBUS_SESSION_BUS_ADDRESS": "unix:path=" + bus,
                         "PIPEWIRE_RUNTIME_DIR": self.dir,
                         "PULSE_SERVER": "unix:" + os.path.join(self.dir, "native")})
        self._launch()
        return self

    def _launch(self):
        self._server = self._start(["pipewire"], "pipewire-%d" % time.monotonic_ns())
        self._await(lambda: os.path.exists(os.path.join(self.dir, "pipewire-0")), "PipeWire")
        self._start(["wireplumber"], "wireplumber-%d" % time.monotonic_ns())
        # The sink is PipeWire's own, there before its Pulse server answers:
        # a client that connects at once finds it.
        self._await(lambda: subprocess.run(
            ["pw-cli", "create-node", "adapter",
             "{ factory.name=support.null-audio-sink node.name=quorwind_sink "
             "media.class=Audio/Sink object.linger=true audio.rate=48000 audio.channels=2 "
             "audio.position=[ FL FR ] }"],
            env=self.env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL).returncode == 0,
            "the null sink")
        self._start(["pipewire-pulse"], "pipewire-pulse-%d" % time.monotonic_ns())
        self._await(lambda: self._pactl("info"), "PipeWire's Pulse server")
        self._await(lambda: self._pactl("set-default-sink", "quorwind_sink"), "the default sink")
        self._keep_sink_running()

    def restart_server(self):
        """Kills PipeWire, as a crash would, and starts it again at once with
        its session manager, its Pulse server and the same sink."""
        self.kill_server()
        for process in self._processes[1:]:  # all but the D-Bus daemon
            process.terminate()
            process.wait()
        self._forget_exited()
        for leftover in ["pipewire-0", "pipewire-0-manager", "native"]:
            for suffix in ["", ".lock"]:
                try:
                    os.remove(os.path.join(self.dir, leftover + suffix))
                except OSError:
                    pass
        self._launch()

    def set_quantum(self, frames):
        """Runs the graph at |frames| a period, or as its streams ask for 0."""
        subprocess.run(["pw-metadata", "-n", "settings", "0", "clock.force-quantum", str(frames)],
                       env=self.env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                       check=True)
        time.sleep(0.3)


class PacedReader(threading.Thread):
    """Drains a pipe sink's FIFO 5 ms of sound at a time, at |pace| times real
    time, as a device whose clock runs off would; notes when it played sound.
    A read is dated by the device's schedule, not by when this thread got to
    it: a thread held back by the machine catches up on what the FIFO kept,
    and a real device would have played that on time. A read that finds less
    than its 5 ms is an underrun: the device played silence for the rest."""

    CHUNK_MS = 5

    def __init__(self, fifo, pace):
        super().__init__(daemon=True)
        self._fd = os.open(fifo, os.O_RDONLY | os.O_NONBLOCK)
        self._pace = pace
        self._stopping = threading.Event()
        self.loud_reads = []  # monotonic times at which sound was due to play
        self._short_reads = []  # the same, of the reads that found too little

    def run(self):
        size = RATE * self.CHUNK_MS // 1000 * 4  # s16le stereo at the sink's rate
        due = time.monotonic()
        while not self._stopping.is_set():
            due += self.CHUNK_MS / 1000.0 / self._pace
            delay = due - time.monotonic()
            if delay > 0:
                select.select([], [], [], delay)
            try:
                data = os.read(self._fd, size)
            except BlockingIOError:
                data = b""
            if len(data) < size:
                self._short_reads.append(due)
            samples = array.array("h")
            samples.frombytes(data[: len(data) // 2 * 2])
            if samples and (max(samples) > 2000 or -min(samples) > 2000):
                self.loud_reads.append(due)

    def span_ms(self):
        """From the first to the end of the last read that carried sound."""
        if not self.loud_reads:
            return 0.0
        return (self.loud_reads[-1] - self.loud_reads[0]) * 1000 + self.CHUNK_MS / self._pace

    def underran(self):
        """Whether the sound ran out between its first and last reads, in the
        FIFO or in the server, which then plays silence: the server or the
        player, or the machine under them, was held back."""
        first, last = self.loud_reads[0], self.loud_reads[-1]
        return (any(first < t < last for t in self._short_reads) or
                len(self.loud_reads) < round((last - first) * 1000 * self._pace / self.CHUNK_MS) + 1)

    def stop(self):
        self._stopping.set()
        self.join()
        os.close(self._fd)


class PipeSinkServer(PulseAudioServer):
    """PulseAudio whose sink writes into a FIFO that a PacedReader drains at
    |pace| times real time: a sound device whose clock runs fast or slow."""

    name = "PulseAudio pipe sink"

    def __init__(self, pace):
        super().__init__()
        self.pace = pace
        self.reader = None

    def _sink_module(self):
        return "module-pipe-sink sink_name=quorwind_sink file=%s format=s16le rate=%d channels=2" % (
            os.path.join(self.dir, "sink.fifo"), RATE)

    def _keep_sink_running(self):
        self.reader = PacedReader(os.path.join(self.dir, "sink.fifo"), self.pace)
        self.reader.start()
        super()._keep_sink_running()

    def __exit__(self, *exc):
        if self.reader:
            self.reader.stop()
        return super().__exit__(*exc)
