"""Where a start's milliseconds go: quorwind and paplay (pw-play on PipeWire)
play the same WAV, interleaved, under perf, which notes with the monotonic
clock the exec, the libraries loaded at run time, the connection to the
server, the decoding child's fork and first write, and the first
pa_stream_write; the sink's monitor gives when the first frame is heard.

perf's records slow the loading of libraries at run time more than at exec,
so the marks are compared within a player; the start itself is compared
after them without perf: the first frame heard, players interleaved, median
and mean (the monitor's position is counted in whole milliseconds, so the
mean tells a difference smaller than one).

Usage: timeline.py [--runs N] [--plain-runs N] [--file PATH]   (as root: perf's probes)
"""

import argparse
import os
import re
import statistics
import subprocess
import sys
import time

from common import MEDIA, RELEASE, summary
from media import make_tone, soundlab
from sessions import LiveRecording

LIBPULSE = "/usr/lib/x86_64-linux-gnu/libpulse.so.0"
LIBC = "/lib/x86_64-linux-gnu/libc.so.6"
# Probes: the first frames handed to the server, and each library loaded at
# run time (its name, the first argument, read from the register that holds it).
PROBES = [(LIBPULSE, "pa_stream_write", "probe_libpulse:pa_stream_write"),
          (LIBC, "dlopen file=+0(%di):string", "probe_libc:dlopen")]
EVENTS = ["sched:sched_process_exec", "sched:sched_process_fork", "syscalls:sys_enter_connect",
          "syscalls:sys_enter_write"] + [event for _, _, event in PROBES]


def perf_events(data):
    """(time s, pid, event, details) of each recorded event."""
    script = subprocess.run(["perf", "script", "-i", data, "-F", "pid,time,event,trace"],
                            capture_output=True, text=True, check=True).stdout
    for line in script.splitlines():
        match = re.match(r"\s*(\d+)\s+([\d.]+):\s+(\S+):\s*(.*)", line)
        if match:
            yield float(match[2]), int(match[1]), match[3], match[4]


def marks_of(events, player):
    """The moment of each mark, in ms after the player's exec, and the exec's
    time."""
    exec_at = main_pid = None
    firsts = {}
    forks = {}

    def note(mark, at):
        firsts.setdefault(mark, at)

    for at, pid, event, details in events:
        if event == "sched:sched_process_exec" and exec_at is None and player in details:
            exec_at, main_pid = at, pid
        if exec_at is None:
            continue
        if event == "probe_libc:dlopen":
            library = re.search(r"lib([\w-]+)\.so", details)
            if library:
                note("dlopen " + library[1], at)
        elif event == "syscalls:sys_enter_connect":
            note("connect", at)
        elif event == "sched:sched_process_fork":
            # Threads fork too: a child is a process once it shows as one.
            child = re.search(r"child_pid=(\d+)", details)
            if child:
                forks[int(child[1])] = at
        elif event == "syscalls:sys_enter_write" and pid != main_pid:
            note("child's first write", at)
        if pid != main_pid and pid in forks:
            note("decoding child forked", forks[pid])
        elif event == "probe_libpulse:pa_stream_write":
            note("first pa_stream_write", at)
    if exec_at is None:
        return {}, None
    return {mark: (at - exec_at) * 1000 for mark, at in firsts.items()}, exec_at


def first_heard(samples, arrivals):
    """When the recording's first sound reached the monitor, or None."""
    onset = soundlab.onset_ms(samples)
    return None if onset is None else LiveRecording.time_of(arrivals,
                                                             onset * soundlab.RATE // 1000)


def run_once(server, command, data):
    recording = LiveRecording(server)
    subprocess.run(["perf", "record", "-q", "-k", "mono", "-o", data] +
                   sum([["-e", e] for e in EVENTS], []) + ["--"] + command,
                   env=server.env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    samples, arrivals = recording.stop()
    marks, exec_at = marks_of(perf_events(data), os.path.basename(command[0]))
    heard = first_heard(samples, arrivals)
    if heard is not None and exec_at is not None:
        marks["first frame heard"] = (heard - exec_at) * 1000
    return marks


def timeline(server, players, path, runs):
    data = os.path.join(MEDIA, "timeline.data")
    per_player = {name: [] for name, _ in players}
    for _ in range(runs):
        for name, command in players:  # interleaved: a drift of the machine hits both alike
            per_player[name].append(run_once(server, command + [path], data))
    print("\n%s, median of %d runs, ms after exec" % (server.name, runs))
    print("| mark | " + " | ".join(name for name, _ in players) + " |")
    print("|---|" + "---|" * len(players))
    medians = {}
    for runs_of_player in per_player.values():
        for mark in {m for run in runs_of_player for m in run}:
            medians.setdefault(mark, summary([run.get(mark) for run in runs_of_player])[0])
    for mark in sorted(medians, key=medians.get):  # in the order they happen
        cells = []
        for name, _ in players:
            stat = summary([run.get(mark) for run in per_player[name]])
            cells.append("%.1f" % stat[0] if stat else "–")
        print("| %s | %s |" % (mark, " | ".join(cells)))


def heard_without_perf(server, players, path, runs):
    """The first frame heard, ms after the player's start, with no tracing."""
    heard = {name: [] for name, _ in players}
    for _ in range(runs):
        for name, command in players:
            recording = LiveRecording(server)
            started = time.monotonic()
            player = subprocess.Popen(command + [path], env=server.env, stdout=subprocess.DEVNULL,
                                      stderr=subprocess.DEVNULL)
            time.sleep(0.3)
            player.kill()
            player.wait()
            at = first_heard(*recording.stop())
            if at is not None:
                heard[name].append((at - started) * 1000)
    print("\n%s, first frame heard without perf, %d interleaved runs, ms after start" %
          (server.name, runs))
    print("| player | median | mean |\n|---|---|---|")
    for name, values in heard.items():
        if values:
            print("| %s | %.2f | %.2f |" % (name, statistics.median(values),
                                             statistics.mean(values)))


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--runs", type=int, default=7)
    parser.add_argument("--plain-runs", type=int, default=40)
    parser.add_argument("--file", help="the WAV played (else a 3 s tone)")
    args = parser.parse_args()
    os.makedirs(MEDIA, exist_ok=True)
    path = args.file or make_tone(os.path.join(MEDIA, "tone-3s.wav"), "wav", 3)
    for library, probe, event in PROBES:
        subprocess.run(["perf", "probe", "-q", "-d", event], stderr=subprocess.DEVNULL)
        subprocess.run(["perf", "probe", "-q", "-x", library, probe], check=True)
    quorwind = [os.path.join(RELEASE, "bin", "quorwind")]
    try:
        with soundlab.PulseAudioServer() as server:
            players = [("quorwind", quorwind), ("paplay", ["paplay"])]
            timeline(server, players, path, args.runs)
            heard_without_perf(server, players, path, args.plain_runs)
        with soundlab.PipeWireServer() as server:
            players = [("quorwind", quorwind), ("pw-play", ["pw-play"]), ("paplay", ["paplay"])]
            timeline(server, players, path, args.runs)
            heard_without_perf(server, players, path, args.plain_runs)
    finally:
        for _, _, event in PROBES:
            subprocess.run(["perf", "probe", "-q", "-d", event], stderr=subprocess.DEVNULL)


if __name__ == "__main__":
    sys.exit(main())
