"""Playing files with each player on a sound server and reading the sink's
monitor as it arrives: start latency, exit after the end, what is heard."""

import array
import os
import shutil
import subprocess
import sys
import threading
import time

from common import MIDI_SOUNDFONTS, RELEASE, fmt, summary
from media import content_onset, soundlab
from players import players, select_soundfont
from processes import BusyLoops, run_measured

# A long file's start is measured, then its player stopped.
START_ONLY_SECONDS = 3.0


class LiveRecording:
    """The sink's monitor, read as it arrives, so that positions map to time."""

    def __init__(self, server):
        self._process = subprocess.Popen(
            ["parec", "-d", "quorwind_sink.monitor", "--raw", "--format=s16le",
             "--rate=%d" % soundlab.RATE, "--channels=1", "--latency-msec=2"],
            stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, env=server.env, bufsize=0)
        self._data = bytearray()
        self._arrivals = []  # (monotonic time, samples received by then)
        self._flowing = threading.Event()
        self._thread = threading.Thread(target=self._read)
        self._thread.start()
        self._flowing.wait(5)
        time.sleep(0.2)

    def _read(self):
        while True:
            chunk = self._process.stdout.read(4096)
            if not chunk:
                return
            now = time.monotonic()
            self._data += chunk
            self._arrivals.append((now, len(self._data) // 2))
            self._flowing.set()

    def stop(self):
        time.sleep(0.4)
        self._process.terminate()
        self._thread.join()
        self._process.wait()
        samples = array.array("h")
        samples.frombytes(bytes(self._data[: len(self._data) // 2 * 2]))
        return samples, self._arrivals

    @staticmethod
    def time_of(arrivals, index):
        """The time sample |index| reached the monitor: from the chunks that
        arrived within a second after it, the one delayed least (chunks arrive
        late by their buffering, never early; looking only near |index| keeps
        the sink's clock drift out)."""
        near = [t - (count - index) / soundlab.RATE for t, count in arrivals
                if index <= count <= index + soundlab.RATE]
        return min(near) if near else None


def bench_players(server, files, runs, wine_prefix, only=None):
    """|files|: (label, path, length, the players it is measured with or None
    for all); |only| limits the players on this server. A file whose length is
    None is long: only its start is measured, and each player is stopped
    after START_ONLY_SECONDS."""
    rows = []
    onsets = {}
    for name, command, extra_env, formats in players(server.env, wine_prefix):
        tool = command("x")[0]
        if not shutil.which(tool) and not os.path.exists(tool):
            continue
        if only and name not in only:
            continue
        env = dict(server.env, **extra_env)
        for label, path, length, file_players in files:
            if formats and os.path.splitext(path)[1] not in formats:
                continue
            if file_players and name not in file_players:
                continue
            if label in MIDI_SOUNDFONTS:
                select_soundfont(MIDI_SOUNDFONTS[label])
            if (label, path) not in onsets:  # a MIDI file's depends on the soundfont
                onsets[label, path] = content_onset(path)
            samples_per_run = []
            for _ in range(runs):
                recording = LiveRecording(server)
                started, lifetime, rss, pss, cpu, status, message = run_measured(
                    command(path), env, START_ONLY_SECONDS if length is None else None)
                if length is None and lifetime >= START_ONLY_SECONDS:
                    status = 0  # stopped as asked: players answer SIGTERM with 143, 123, 4...
                samples, arrivals = recording.stop()
                onset = soundlab.onset_ms(samples)
                end = soundlab.end_ms(samples)
                heard = soundlab.heard_ms(samples, window_ms=1)
                latency = exit_after_end = gaps = None
                if onset is not None:
                    gaps = max(0, end - onset + 1 - heard) / 1000.0  # silent ms inside the sound
                    at = LiveRecording.time_of(arrivals, onset * soundlab.RATE // 1000)
                    latency = at - started - onsets[label, path] if at is not None else None
                    at = LiveRecording.time_of(arrivals, end * soundlab.RATE // 1000)
                    exit_after_end = started + lifetime - at if at is not None else None
                if length is None:  # a start alone: no end, overshoot or share heard
                    exit_after_end = gaps = None
                samples_per_run.append(dict(lifetime=lifetime,
                                            overshoot=None if length is None else lifetime - length,
                                            latency=latency,
                                            heard=None if length is None else heard / (length * 1000.0),
                                            exit_after_end=exit_after_end, gaps=gaps,
                                            rss=rss, pss=pss, cpu=cpu, status=status,
                                            message=message))
            row = {"player": name, "file": label, "sink": getattr(server, "label", server.name)}
            for key in ["lifetime", "overshoot", "latency", "heard", "exit_after_end", "gaps", "rss",
                        "pss", "cpu"]:
                row[key] = summary([s[key] for s in samples_per_run])
            row["statuses"] = sorted({s["status"] for s in samples_per_run})
            failed = [s for s in samples_per_run if s["status"] != 0]
            # A row with a failed run stands as its failure, never as figures.
            row["failure"] = None if not failed else "failed in %d of %d runs: exit status %d%s" % (
                len(failed), runs, failed[0]["status"],
                (", “%s”" % failed[0]["message"][:80]) if failed[0]["message"] else "")
            rows.append(row)
            print("%-10s %-20s %-14s overshoot %s  latency %s  heard %s  exit after end %s  "
                  "rss %s  pss %s  cpu %s" % (
                server.name, name, label, fmt(row["overshoot"], 1000, 0, " ms"),
                fmt(row["latency"], 1000, 0, " ms"), fmt(row["heard"], 100, 1, "%"),
                fmt(row["exit_after_end"], 1000, 0, " ms"),
                fmt(row["rss"], 1 / 1024, 1, " MB"), fmt(row["pss"], 1 / 1024, 1, " MB"),
                fmt(row["cpu"], 1000, 0, " ms")),
                file=sys.stderr)
    return rows


def bench_under_load(tone, seconds, runs, wine_prefix):
    """quorwind and paplay playing a steady tone on PulseAudio while busy loops
    (two, then eight per core) keep every core busy."""
    rows = []
    for per_core in [2, 8]:
        with soundlab.PulseAudioServer() as server:
            server.label = "PulseAudio, %d busy loops per core" % per_core
            loops = BusyLoops(per_core)
            try:
                rows += bench_players(server, [("%d s WAV" % seconds, tone, float(seconds), None)],
                                      runs, wine_prefix, only={"quorwind", "paplay"})
            finally:
                loops.stop()
    return rows


def bench_device_clock(tone, seconds, runs):
    """quorwind and paplay on a sink whose clock runs 0.3 % fast or slow (a pipe
    sink drained at that pace): the tone's span at the device, and the exit
    after the device played its last sound."""
    rows = []
    quorwind = os.path.join(RELEASE, "bin", "quorwind")
    for pace in [1.0, 1.003, 0.997]:
        for name, command in [("quorwind", [quorwind, tone]), ("paplay", ["paplay", tone])]:
            spans, gaps, statuses = [], [], set()
            for _ in range(runs):
                with soundlab.PipeSinkServer(pace) as server:
                    status = subprocess.run(command, env=server.env, stdout=subprocess.DEVNULL,
                                            stderr=subprocess.DEVNULL).returncode
                    ended = time.monotonic()
                    time.sleep(0.6)
                    reads = server.reader.loud_reads
                    statuses.add(status)
                    if reads:
                        spans.append(server.reader.span_ms() / 1000.0)
                        gaps.append(ended - reads[-1])
            rows.append({"pace": pace, "player": name, "span": summary(spans),
                         "exit_after_end": summary(gaps), "statuses": sorted(statuses),
                         "seconds": seconds})
            print("device clock %.3f %-10s span %s  exit after end %s" % (
                pace, name, fmt(rows[-1]["span"], 1000, 0, " ms"),
                fmt(rows[-1]["exit_after_end"], 1000, 0, " ms")), file=sys.stderr)
    return rows
