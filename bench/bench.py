"""Side-by-side benchmark of quorwind and the players people use instead.

Usage: bench.py [--runs N] [--quick]

Plays each tone with each player through a private PulseAudio null sink and
measures, per run: lifetime from exec to exit, overshoot (lifetime minus the
media's length), start latency (exec to the moment the file's first audible
sound is heard at the sink, less where that sound lies in the file),
the share of the tone heard, peak resident memory and CPU time. For quorwind
alone it also times the length query on long files. Writes
bench/results/latest.md and bench/results/overshoot.png.
"""

import argparse
import array
import ctypes
import datetime
import os
import re
import platform
import shutil
import statistics
import subprocess
import sys
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
sys.path.insert(0, os.path.join(ROOT, "tests"))
import soundlab  # noqa: E402

RELEASE = os.path.join(ROOT, "build", "release")
# The Wine row runs the real 32-bit Quorwind.exe where the kernel runs 32-bit
# programs, else the 64-bit build of the same sources.
RUNS_I386 = subprocess.run([os.path.join(ROOT, "tools", "runs-i386.sh")]).returncode == 0
MEDIA = os.path.join(ROOT, "build", "bench-media")
RESULTS = os.path.join(HERE, "results")
SOUNDFONT = "/usr/share/sounds/sf2/default-GM.sf2"
WINE = "/usr/lib/wine/wine" if RUNS_I386 else "/usr/lib/wine/wine64"
WINESERVER = "/usr/lib/wine/wineserver32" if RUNS_I386 else "/usr/lib/wine/wineserver64"
EXE = os.path.join(ROOT, "build", "windows" if RUNS_I386 else "windows64", "bin", "Quorwind.exe")


# MIDI rows, each with the system's General MIDI soundfont set to one of these
# (the alternative default-GM.sf2, which quorwind and fluidsynth both read).
MIDI_SOUNDFONTS = {"3 s MIDI (TimGM6mb)": "/usr/share/sounds/sf2/TimGM6mb.sf2",
                   "3 s MIDI (FluidR3)": "/usr/share/sounds/sf2/FluidR3_GM.sf2"}


def select_soundfont(path):
    subprocess.run(["update-alternatives", "--set", "default-GM.sf2", path], check=True,
                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)


class BusyLoops:
    """|per_core| busy loops per core, as a loaded desktop runs them."""

    def __init__(self, per_core):
        self._loops = [subprocess.Popen(["sh", "-c", "while :; do :; done"])
                       for _ in range(per_core * os.cpu_count())]

    def stop(self):
        for loop in self._loops:
            loop.kill()
            loop.wait()


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


def adopt_orphans():
    """Makes this process the reaper of its descendants' orphans, so that the
    CPU time of a player's own children (quorwind's decoding process) is
    counted even when the player ends without waiting for them."""
    PR_SET_CHILD_SUBREAPER = 36
    ctypes.CDLL(None, use_errno=True).prctl(PR_SET_CHILD_SUBREAPER, 1, 0, 0, 0)


def reap_orphans(seconds=0.2):
    """CPU seconds of the orphans that end within |seconds|."""
    cpu = 0.0
    deadline = time.monotonic() + seconds
    while True:
        try:
            pid, _, usage = os.wait4(-1, os.WNOHANG)
        except ChildProcessError:
            break
        if pid:
            cpu += usage.ru_utime + usage.ru_stime
        elif time.monotonic() < deadline:
            time.sleep(0.005)
        else:
            return cpu
    return cpu


def tree_pss_kb(root):
    """The proportional set size of every process below |root| (not |root|
    itself), summed, in KB: shared pages count once over their sharers."""
    total, queue = 0, [root]
    while queue:
        parent = queue.pop()
        try:
            for task in os.listdir("/proc/%d/task" % parent):
                with open("/proc/%d/task/%s/children" % (parent, task)) as f:
                    for child in f.read().split():
                        queue.append(int(child))
                        with open("/proc/%s/smaps_rollup" % child) as rollup:
                            for line in rollup:
                                if line.startswith("Pss:"):
                                    total += int(line.split()[1])
                                    break
        except OSError:
            pass  # ended while being read
    return total


class TreeMemory(threading.Thread):
    """Samples the summed PSS of a process's descendants every 2 ms; |peak_kb|
    is the largest sum seen."""

    def __init__(self, root):
        super().__init__(daemon=True)
        self.root, self.peak_kb, self.done = root, 0, threading.Event()
        self.start()

    def run(self):
        while not self.done.is_set():
            self.peak_kb = max(self.peak_kb, tree_pss_kb(self.root))
            time.sleep(0.002)

    def stop(self):
        self.done.set()
        self.join()
        return self.peak_kb


def run_measured(command, env):
    """Runs |command| under GNU time, whose own start is small enough not to
    count in the peak memory it reports; the CPU time comes from the kernel's
    accounting of the whole run, to the microsecond. Returns (exec time,
    lifetime s, max RSS KB of the player's own process, peak PSS KB of the
    player's whole process tree, CPU s, status, first line of its error
    output)."""
    report = os.path.join(MEDIA, "time-%d.txt" % os.getpid())
    errors = os.path.join(MEDIA, "stderr-%d.txt" % os.getpid())
    reap_orphans(0)  # those of earlier runs (Wine's helpers) are not this run's
    with open(os.devnull, "wb") as null, open(errors, "wb") as err:
        start = time.monotonic()
        process = subprocess.Popen(
            ["/usr/bin/time", "-q", "-f", "%M", "-o", report] + command, env=env,
            stdin=subprocess.DEVNULL, stdout=null, stderr=err)
        memory = TreeMemory(process.pid)  # below GNU time: the player and its children
        _, status, usage = os.wait4(process.pid, 0)
        end = time.monotonic()
        pss = memory.stop()
    process.returncode = os.waitstatus_to_exitcode(status)
    cpu = usage.ru_utime + usage.ru_stime + reap_orphans()
    with open(report) as f:
        rss = int(f.read().split()[-1])
    with open(errors, errors="replace") as f:
        message = next((line.strip() for line in f if line.strip()), "")
    return start, end - start, rss, pss, cpu, process.returncode, message


def make_tone(path, fmt, seconds, rate=44100, channels=2):
    if not os.path.exists(path):
        tmp = path + ".part"
        soundlab.make_tone(RELEASE, tmp, fmt.replace("-vbr", "vbr"), seconds, rate, channels)
        os.rename(tmp, path)
    return path


def encode(source, path, command):
    """Encodes |source| to |path| with |command| (a list holding IN and OUT)."""
    if not os.path.exists(path):
        tmp = path + ".part" + os.path.splitext(path)[1]
        subprocess.run([source if a == "IN" else tmp if a == "OUT" else a for a in command],
                       check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        os.rename(tmp, path)
    return path


def players(server_env, wine_prefix):
    """Each player: name, command for a file, extra environment, formats it plays."""
    quorwind = os.path.join(RELEASE, "bin", "quorwind")
    return [
        ("quorwind", lambda f: [quorwind, f], {}, None),
        ("paplay", lambda f: ["paplay", f], {}, None),
        ("aplay", lambda f: ["aplay", "-q", "-D", "pulse", f], {}, {".wav"}),
        ("sox play", lambda f: ["play", "-q", f], {"AUDIODRIVER": "pulseaudio"}, None),
        ("mpg123", lambda f: ["mpg123", "-q", "-o", "pulse", f], {}, {".mp3"}),
        ("ffplay", lambda f: ["ffplay", "-nodisp", "-autoexit", "-loglevel", "quiet", f],
         {"SDL_AUDIODRIVER": "pulseaudio"}, None),
        ("mpv", lambda f: ["mpv", "--no-video", "--really-quiet", "--ao=pulse", f], {}, None),
        ("fluidsynth -i", lambda f: ["fluidsynth", "-i", "-q", "-g", "0.8", "-a", "pulseaudio",
                                     SOUNDFONT, f],
         {}, {".mid"}),
        ("pw-play", lambda f: ["pw-play", f], {}, {".wav", ".flac"}),
        ("Quorwind.exe (Wine)",
         lambda f: [WINE, EXE, "Z:" + f.replace("/", "\\")],
         {"WINEPREFIX": wine_prefix, "WINEDEBUG": "-all", "DISPLAY": server_env.get("BENCH_DISPLAY", "")},
         {".wav", ".mp3"}),
    ]


def summary(values):
    values = [v for v in values if v is not None]
    if not values:
        return None
    return statistics.median(values), min(values), max(values)


def fmt(stat, scale=1.0, digits=0, unit=""):
    if stat is None:
        return "–"
    med, lo, hi = (v * scale for v in stat)
    return "%.*f%s (%.*f–%.*f)" % (digits, med, unit, digits, lo, digits, hi)


def content_onset(path):
    """Where the first audible sound lies within the file, in seconds, found as
    on the monitor (a mono mix at the same threshold): start latency counts
    from it, so that an instrument's attack is not taken for the player's delay
    (the MIDI organ takes about 40 ms to become audible, rendered by any
    player)."""
    source = path
    if path.endswith(".mid"):
        source = path + ".rendered.wav"
        subprocess.run(["fluidsynth", "-q", "-n", "-i", "-g", "0.8", "-r", str(soundlab.RATE),
                        "-F", source, SOUNDFONT, path], check=True,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    raw = subprocess.run(["ffmpeg", "-loglevel", "quiet", "-i", source, "-f", "s16le", "-ac", "2",
                          "-ar", str(soundlab.RATE), "-"], stdout=subprocess.PIPE,
                         check=True).stdout
    stereo = array.array("h", raw)
    onset = soundlab.onset_ms([(a + b) // 2 for a, b in zip(stereo[0::2], stereo[1::2])])
    return (onset or 0) / 1000.0


def bench_players(server, files, runs, wine_prefix, only=None):
    """|files|: (label, path, length, the players it is measured with or None
    for all); |only| limits the players on this server."""
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
                started, lifetime, rss, pss, cpu, status, message = run_measured(command(path),
                                                                                  env)
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
                samples_per_run.append(dict(lifetime=lifetime, overshoot=lifetime - length,
                                            latency=latency, heard=heard / (length * 1000.0),
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


def bench_length_query(runs, quick):
    tool = os.path.join(RELEASE, "tools", "length_query")
    module = os.path.join(RELEASE, "lib", "quorwind", "libquorwind-mci.so")
    rows = []
    minutes = [1, 10] if quick else [1, 10, 60]
    for fmt_name, ext in [("WAV", "wav"), ("FLAC", "flac"), ("MP3 CBR", "mp3"),
                          ("MP3 VBR", "mp3-vbr"), ("MP3 VBR without header", "mp3-noheader")]:
        for m in minutes:
            path = os.path.join(MEDIA, "long-%dmin.%s" % (m, ext))
            if ext == "mp3-noheader":
                # As lame -t writes it: no Xing/Info frame, so no stated length.
                encode(make_tone(os.path.join(MEDIA, "long-%dmin.wav" % m), "wav", m * 60), path,
                       ["lame", "--quiet", "-t", "-V", "4", "IN", "OUT"])
            else:
                make_tone(path, ext, m * 60)
            times, reply = [], None
            for _ in range(runs):
                out = subprocess.run([tool, module, path], capture_output=True, text=True,
                                     check=True).stdout.split()
                times.append(float(out[0]))
                reply = out[1] if len(out) > 1 else ""
            # Without a LAME tag the encoder's delay and padding are part of the sound.
            expected = m * 60000 if ext != "mp3-noheader" else int(reply)
            rows.append({"format": fmt_name, "minutes": m, "size": os.path.getsize(path),
                         "cost": summary(times), "reply": reply, "expected": expected})
            print("length query %-8s %3d min  %s ms  reply %s" % (
                fmt_name, m, fmt(rows[-1]["cost"], 1, 2), reply), file=sys.stderr)
    return rows


def sizes():
    stage = os.path.join(ROOT, "build", "release-install")
    shutil.rmtree(stage, ignore_errors=True)
    subprocess.run(["cmake", "--install", RELEASE, "--prefix", stage, "--strip"],
                   check=True, stdout=subprocess.DEVNULL)
    native = os.path.getsize(os.path.join(stage, "bin", "quorwind"))
    module = os.path.getsize(os.path.join(stage, "lib", "quorwind", "libquorwind-mci.so"))
    decoders = [(name, os.path.getsize(os.path.join(stage, "lib", "quorwind", name)))
                for name in ["libquorwind-aac.so", "libquorwind-ffmpeg.so",
                             "libquorwind-midi.so", "libquorwind-alsa.so"]]
    exe32 = os.path.getsize(os.path.join(ROOT, "build", "windows", "bin", "Quorwind.exe"))
    exe64 = os.path.getsize(os.path.join(ROOT, "build", "windows64", "bin", "Quorwind.exe"))
    return native, module, decoders, exe32, exe64


def write_chart(rows, path):
    """One panel per measure, the files side by side, a bar per player in its
    own colour. Failed rows are marked, not plotted; a bar beyond the panel's
    scale is cut at its top and carries its value."""
    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    rows = [r for r in rows if r["sink"] == "PulseAudio"]
    files = list(dict.fromkeys(r["file"] for r in rows))
    names = list(dict.fromkeys(r["player"] for r in rows))
    colours = dict(zip(names, plt.get_cmap("tab10").colors))
    measures = [("latency", "Start latency (ms): exec to the file's first audible sound at the "
                 "sink, less its place in the file", 1000),
                ("exit_after_end", "Exit after end (ms): last sample at the sink to exit", 1000),
                ("pss", "Peak PSS of the process tree (MB)", 1 / 1024)]
    figure, axes = plt.subplots(len(measures), 1, figsize=(14, 12))
    width = 0.8 / max(len(names), 1)
    for axis, (key, title, scale) in zip(axes, measures):
        def value(r):
            return None if r["failure"] or r[key] is None else r[key][0] * scale
        # The scale follows quorwind and paplay, so that their bars can be read.
        own = [abs(value(r)) for r in rows if value(r) is not None and
               r["player"] in ("quorwind", "paplay")]
        top = max(own) * 2.5 if own else 1
        low = min([0] + [max(value(r), -top) for r in rows if value(r) is not None])
        for index, name in enumerate(names):
            for position, label in enumerate(files):
                row = next((r for r in rows if r["player"] == name and r["file"] == label), None)
                if row is None:
                    continue
                x = position - 0.4 + width * (index + 0.5)
                if row["failure"]:
                    axis.text(x, 0, "failed", rotation=90, ha="center", va="bottom", fontsize=7,
                              color=colours[name])
                    continue
                v = value(row)
                if v is None:
                    continue
                shown = max(min(v, top), -top)
                axis.bar(x, shown, width, color=colours[name],
                         hatch="//" if shown != v else None, edgecolor="white")
                if shown != v:
                    axis.text(x, shown, "%.0f" % v, ha="center",
                              va="bottom" if v > 0 else "top", fontsize=7)
        axis.set_title(title, loc="left", fontsize=11)
        axis.set_xticks(range(len(files)), files, fontsize=9)
        axis.set_ylim(low * 1.1, top * 1.12)
        axis.axhline(0, color="black", linewidth=0.6)
        axis.grid(axis="y", alpha=0.3)
    handles = [plt.Rectangle((0, 0), 1, 1, color=colours[n]) for n in names]
    figure.legend(handles, names, loc="upper center", ncol=len(names), fontsize=9,
                  frameon=False)
    figure.suptitle("Median of the runs on a PulseAudio null sink (bars cut at the top of a "
                    "panel carry their value)", y=0.955, fontsize=10)
    figure.tight_layout(rect=(0, 0, 1, 0.94))
    figure.savefig(path, dpi=90)
    plt.close(figure)


def write_markdown(rows, length_rows, clock_rows, size_info, runs, path):
    native, module, decoders, exe32, exe64 = size_info
    cpu = subprocess.run(["sh", "-c", "grep -m1 'model name' /proc/cpuinfo | cut -d: -f2"],
                         capture_output=True, text=True).stdout.strip()
    lines = [
        "# Benchmark results",
        "",
        "Measured %s on %s (%s, %d cores), %d runs each; median (min–max)." % (
            datetime.date.today().isoformat(), platform.node() or "this machine", cpu or
            platform.machine(), os.cpu_count(), runs),
        "Sound goes to a private null sink kept running by a silent stream, on PulseAudio "
        "and on PipeWire with its Pulse server. "
        "Overshoot is the lifetime from exec to exit minus the media's length; start latency "
        "runs from exec to the file's first audible sound at the sink's monitor, less where "
        "that sound lies in the file (the MIDI organ's attack makes its first 40 ms too quiet "
        "to count, whoever renders it); exit after end runs "
        "from the tone's last sample at the monitor to the player's exit; heard counts the "
        "1 ms windows of the monitor that carry the tone (±2 ms at the edges), and gaps the "
        "silent ones between the first and the last. Tree PSS is "
        "the peak, sampled every 2 ms, of the summed proportional set size of the player and "
        "every process it starts (quorwind's decoding child, which maps FFmpeg or FluidSynth "
        "for the files that need them; Wine's server and helpers); own RSS is GNU time's "
        "maximum resident set of the player's own process alone; CPU "
        "time is user + system of the whole run, the player's children included. "
        "Reproduce with `bench/run.sh`.",
        "",
        "## Play and wait",
        "",
        "| sink | player | file | overshoot | start latency | exit after end | heard | gaps | "
        "tree PSS | own RSS | CPU time | exit |",
        "|---|---|---|---|---|---|---|---|---|---|---|---|",
    ]
    for r in rows:
        if r["failure"]:
            lines.append("| %s | %s | %s | %s | | | | | | | | |" % (
                r["sink"], r["player"], r["file"], r["failure"]))
            continue
        lines.append("| %s | %s | %s | %s | %s | %s | %s | %s | %s | %s | %s | %s |" % (
            r["sink"], r["player"], r["file"], fmt(r["overshoot"], 1000, 0, " ms"),
            fmt(r["latency"], 1000, 0, " ms"), fmt(r["exit_after_end"], 1000, 0, " ms"),
            fmt(r["heard"], 100, 1, "%"), fmt(r["gaps"], 1000, 0, " ms"),
            fmt(r["pss"], 1 / 1024, 1, " MB"),
            fmt(r["rss"], 1 / 1024, 1, " MB"), fmt(r["cpu"], 1000, 0, " ms"),
            ",".join(str(s) for s in r["statuses"])))
    lines += [
        "",
        "## A device whose clock runs off",
        "",
        "PulseAudio's pipe sink, its FIFO drained 5 ms at a time by a reader paced at the given "
        "multiple of real time, plays a %d s tone; the span runs from the reader's first to "
        "the end of its last read that carried the tone, and exit after end from there to "
        "the player's exit." % (clock_rows[0]["seconds"] if clock_rows else 0),
        "",
        "| device pace | player | span | exit after end | exit |",
        "|---|---|---|---|---|",
    ]
    for r in clock_rows:
        lines.append("| %.3f | %s | %s | %s | %s |" % (
            r["pace"], r["player"], fmt(r["span"], 1000, 0, " ms"),
            fmt(r["exit_after_end"], 1000, 0, " ms"), ",".join(str(s) for s in r["statuses"])))
    lines += [
        "",
        "## Length query of quorwind's media-control module (open + status … length)",
        "",
        "| format | length | file size | time taken | reply (ms) |",
        "|---|---|---|---|---|",
    ]
    for r in length_rows:
        ok = "" if r["reply"] == str(r["expected"]) else " (expected %d)" % r["expected"]
        lines.append("| %s | %d min | %.1f MB | %s | %s%s |" % (
            r["format"], r["minutes"], r["size"] / 1e6, fmt(r["cost"], 1, 2, " ms"),
            r["reply"], ok))
    lines += [
        "",
        "## Sizes",
        "",
        "| file | bytes |",
        "|---|---|",
        "| `quorwind` (stripped) | %d |" % native,
        "| `libquorwind-mci.so` (stripped) | %d |" % module,
        "| `quorwind` with its module | %d |" % (native + module),
    ] + ["| `%s` (stripped; loaded only for its formats) | %d |" % d for d in decoders] + [
        "| `Quorwind.exe` (32-bit, self-contained) | %d |" % exe32,
        "| `Quorwind.exe` (64-bit build of the same sources) | %d |" % exe64,
        "",
        "The Wine rows run the %s." % ("32-bit Quorwind.exe under 32-bit Wine" if RUNS_I386 else
                                       "64-bit build under 64-bit Wine: this kernel runs no "
                                       "32-bit programs. There, files that Wine plays through "
                                       "its DirectShow driver (MP3, WMA) can end with SIGSEGV "
                                       "(status 139): one of Wine's own threads faults at "
                                       "address 0 as the process ends with the sound still "
                                       "playing; a WAV, which Wine plays through its wave "
                                       "driver, never does"),
        "",
        "![Start latency, exit after end and peak memory per player and file](overshoot.png)",
        "",
    ]
    with open(path, "w") as f:
        f.write("\n".join(lines))


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--runs", type=int, default=5)
    parser.add_argument("--quick", action="store_true", help="skip the 60 minute files")
    parser.add_argument("--files", metavar="REGEX",
                        help="only the rows whose file matches, on PulseAudio, without Wine; "
                        "printed, not written to the results")
    parser.add_argument("--players", metavar="REGEX", default="",
                        help="with --files, only the players whose name matches")
    args = parser.parse_args()
    os.makedirs(MEDIA, exist_ok=True)
    os.makedirs(RESULTS, exist_ok=True)
    adopt_orphans()

    few = {"quorwind", "paplay", "mpv"}
    formats = {"quorwind", "ffplay", "mpv"}  # the formats only FFmpeg's players read
    midi = os.path.join(MEDIA, "organ-3s.mid")
    soundlab.write_midi(midi, [(0, 500000)], [(0, 2880)])  # one note, 3 s at 120 bpm
    files = [
        ("3 s WAV", make_tone(os.path.join(MEDIA, "tone-3s.wav"), "wav", 3), 3.0, None),
        ("3 s MP3", make_tone(os.path.join(MEDIA, "tone-3s.mp3"), "mp3", 3), 3.0, None),
        ("30 s FLAC", make_tone(os.path.join(MEDIA, "tone-30s.flac"), "flac", 30), 30.0, None),
        ("3 s 96 kHz FLAC", make_tone(os.path.join(MEDIA, "tone-3s-96k.flac"), "flac", 3,
                                      96000, 2), 3.0, few),
        ("3 s 5.1 WAV", make_tone(os.path.join(MEDIA, "tone-3s-6ch.wav"), "wav", 3, 48000, 6),
         3.0, few),
        ("3 s M4A", encode(os.path.join(MEDIA, "tone-3s.wav"), os.path.join(MEDIA, "tone-3s.m4a"),
                           ["ffmpeg", "-y", "-i", "IN", "-c:a", "aac", "OUT"]), 3.0, formats),
        ("3 s ADTS AAC", encode(os.path.join(MEDIA, "tone-3s.wav"),
                                os.path.join(MEDIA, "tone-3s.aac"),
                                ["ffmpeg", "-y", "-i", "IN", "-c:a", "aac", "OUT"]), 3.0, formats),
        ("3 s M4A 22.05 kHz", encode(os.path.join(MEDIA, "tone-3s.wav"),
                                     os.path.join(MEDIA, "tone-3s-22k.m4a"),
                                     ["ffmpeg", "-y", "-i", "IN", "-ar", "22050", "-c:a", "aac",
                                      "OUT"]), 3.0, formats),
        ("3 s M4A 48 kHz", encode(os.path.join(MEDIA, "tone-3s.wav"),
                                  os.path.join(MEDIA, "tone-3s-48k.m4a"),
                                  ["ffmpeg", "-y", "-i", "IN", "-ar", "48000", "-c:a", "aac",
                                   "OUT"]), 3.0, formats),
        ("3 s WavPack", encode(os.path.join(MEDIA, "tone-3s.wav"), os.path.join(MEDIA, "tone-3s.wv"),
                               ["ffmpeg", "-y", "-i", "IN", "-c:a", "wavpack", "OUT"]), 3.0,
         formats),
        ("3 s Opus WebM", encode(os.path.join(MEDIA, "tone-3s.wav"),
                                 os.path.join(MEDIA, "tone-3s.webm"),
                                 ["ffmpeg", "-y", "-i", "IN", "-c:a", "libopus", "OUT"]), 3.0,
         formats),
        ("3 s Vorbis WebM", encode(os.path.join(MEDIA, "tone-3s.wav"),
                                   os.path.join(MEDIA, "tone-3s-vorbis.webm"),
                                   ["ffmpeg", "-y", "-i", "IN", "-c:a", "libvorbis", "OUT"]), 3.0,
         formats),
        ("3 s WMA", encode(os.path.join(MEDIA, "tone-3s.wav"), os.path.join(MEDIA, "tone-3s.wma"),
                           ["ffmpeg", "-y", "-i", "IN", "-c:a", "wmav2", "OUT"]), 3.0, formats),
        ("3 s AC-3", encode(os.path.join(MEDIA, "tone-3s.wav"), os.path.join(MEDIA, "tone-3s.ac3"),
                            ["ffmpeg", "-y", "-i", "IN", "-c:a", "ac3", "OUT"]), 3.0, formats),
    ] + [
        (label, midi, 3.0, {"quorwind", "fluidsynth -i"}) for label, soundfont in
        MIDI_SOUNDFONTS.items() if os.path.exists(soundfont)
    ] + [
        ("60 s WAV", make_tone(os.path.join(MEDIA, "tone-60s.wav"), "wav", 60, 48000, 2), 60.0,
         {"quorwind", "paplay"}),
    ]
    default_soundfont = os.path.realpath(SOUNDFONT)
    if args.files:
        chosen = [f for f in files if re.search(args.files, f[0])]
        try:
            with soundlab.PulseAudioServer() as server:
                bench_players(server, chosen, args.runs, None,
                              only=[p[0] for p in players(server.env, None)
                                    if "Wine" not in p[0] and p[0] != "pw-play"
                                    and re.search(args.players, p[0])])
        finally:
            select_soundfont(default_soundfont)
        return
    length_rows = bench_length_query(args.runs, args.quick)
    clock_rows = bench_device_clock(make_tone(os.path.join(MEDIA, "tone-20s.wav"), "wav", 20,
                                              48000, 2), 20, min(args.runs, 3))

    wine_prefix = os.path.join(ROOT, "build", "bench-wine-prefix-%d" % (32 if RUNS_I386 else 64))
    xvfb = subprocess.Popen(["Xvfb", ":97", "-screen", "0", "640x480x24", "-nolisten", "tcp"],
                            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    try:
        with soundlab.PulseAudioServer() as server:
            server.env["BENCH_DISPLAY"] = ":97"
            wine_env = dict(server.env, WINEPREFIX=wine_prefix, WINEDEBUG="-all", DISPLAY=":97")
            # A prefix left by another Wine (64-bit, say) is made anew for this one.
            arch = "win32" if RUNS_I386 else "win64"
            registry = os.path.join(wine_prefix, "system.reg")
            if os.path.exists(registry):
                with open(registry, errors="replace") as f:
                    if "#arch=" + arch not in f.read(4096):
                        shutil.rmtree(wine_prefix)
            if not os.path.exists(registry):
                subprocess.run([WINE, "wineboot", "-i"], env=dict(
                    wine_env, WINEARCH=arch, WINEDLLOVERRIDES="mscoree,mshtml="),
                    stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
            # A resident Wine server, started away from our pipes, and one
            # warm-up run so that Wine's one-time audio set-up is not measured.
            subprocess.run([WINESERVER, "-p"], env=wine_env,
                           stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
            try:
                run_measured([WINE, EXE, "Z:" + files[0][1].replace("/", "\\")], wine_env)
                rows = bench_players(server, files, args.runs, wine_prefix)
            finally:
                subprocess.run([WINESERVER, "-k"], env=wine_env,
                               stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        with soundlab.PipeWireServer() as server:
            rows += bench_players(server, files, args.runs, wine_prefix,
                                  only=few | {"ffplay", "fluidsynth -i", "pw-play"})
        steady = make_tone(os.path.join(MEDIA, "tone-10s.wav"), "wav", 10, 48000, 2)
        rows += bench_under_load(steady, 10, args.runs, wine_prefix)
    finally:
        select_soundfont(default_soundfont)
        xvfb.terminate()
        xvfb.wait()

    write_markdown(rows, length_rows, clock_rows, sizes(), args.runs, os.path.join(RESULTS, "latest.md"))
    write_chart(rows, os.path.join(RESULTS, "overshoot.png"))
    print(open(os.path.join(RESULTS, "latest.md")).read())


if __name__ == "__main__":
    main()
