"""Starts that a script notices: a short clip (a notification's click) played
again and again, and a file handed through a pipe. Each play's start runs
from exec to the clip's first sound at the sink's monitor; the players are
interleaved on one server."""

import os
import subprocess
import time

from common import MEDIA, RELEASE, fmt, summary
from media import encode, make_tone, soundlab
from sessions import LiveRecording

LATE_MS = 50


def start_ms(server, command, shell=False):
    """Milliseconds from exec to the first sound at the monitor, or None."""
    recording = LiveRecording(server)
    started = time.monotonic()
    subprocess.run(command, env=server.env, shell=shell, stdin=subprocess.DEVNULL,
                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    samples, arrivals = recording.stop()
    onset = soundlab.onset_ms(samples)
    if onset is None:
        return None
    at = LiveRecording.time_of(arrivals, onset * soundlab.RATE // 1000)
    return (at - started) * 1000 if at is not None else None


def clip_starts(server, commands):
    """Plays each of |commands| in turn on one recording of the monitor;
    returns each play's start, from exec to its first sound, in ms (None
    where none was heard before the next play)."""
    recording = LiveRecording(server)
    starts = []
    for command in commands:
        starts.append(time.monotonic())
        subprocess.run(command, env=server.env, stdin=subprocess.DEVNULL,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        time.sleep(0.1)  # the sink's monitor falls silent between plays
    samples, arrivals = recording.stop()
    windows = soundlab.active_windows(samples, 1)
    onsets = [LiveRecording.time_of(arrivals, i * soundlab.RATE // 1000)
              for i, loud in enumerate(windows) if loud and (i == 0 or not windows[i - 1])]
    found = []
    for k, started in enumerate(starts):
        until = starts[k + 1] if k + 1 < len(starts) else float("inf")
        heard = [t for t in onsets if t is not None and started <= t < until]
        found.append((heard[0] - started) * 1000 if heard else None)
    return found


def bench_clips(server, peer, plays):
    """|plays| plays of a 10 ms and a 30 ms WAV by quorwind and |peer|,
    interleaved."""
    quorwind = os.path.join(RELEASE, "bin", "quorwind")
    rows = []
    for seconds in (0.01, 0.03):
        clip = make_tone(os.path.join(MEDIA, "click-%dms.wav" % (seconds * 1000)), "wav",
                         seconds, 48000, 2)
        players = [quorwind, peer]
        found = clip_starts(server, [[player, clip] for _ in range(plays) for player in players])
        for n, player in enumerate(players):
            mine = found[n::len(players)]
            heard = [s for s in mine if s is not None]
            rows.append({"sink": server.name, "player": os.path.basename(player),
                         "clip": "%d ms WAV" % (seconds * 1000), "plays": plays,
                         "unheard": len(mine) - len(heard),
                         "late": sum(1 for s in heard if s > LATE_MS),
                         "start": summary([s / 1000 for s in heard]) if heard else None})
    return rows


def bench_pipes(server, runs):
    """A 3 s WAV and MP3 through a pipe: quorwind, paplay and ffplay."""
    quorwind = os.path.join(RELEASE, "bin", "quorwind")
    wav = make_tone(os.path.join(MEDIA, "tone-3s.wav"), "wav", 3)
    mp3 = make_tone(os.path.join(MEDIA, "tone-3s.mp3"), "mp3", 3)
    commands = [
        ("quorwind FILE", lambda f: "'%s' '%s'" % (quorwind, f)),
        ("cat FILE | quorwind /dev/stdin", lambda f: "cat '%s' | '%s' /dev/stdin" % (f, quorwind)),
        ("quorwind <(cat FILE)", lambda f: "bash -c \"'%s' <(cat '%s')\"" % (quorwind, f)),
        ("cat FILE | paplay", lambda f: "cat '%s' | paplay" % f),
        ("cat FILE | ffplay -", lambda f: "cat '%s' | SDL_AUDIODRIVER=pulseaudio ffplay -nodisp "
                                          "-autoexit -loglevel quiet -" % f),
    ]
    rows = []
    for label, path in (("3 s WAV", wav), ("3 s MP3", mp3)):
        for name, command in commands:
            if "paplay" in name and path.endswith(".mp3"):
                continue  # paplay reads no MP3
            found = [start_ms(server, command(path), shell=True) for _ in range(max(runs, 3))]
            heard = [s / 1000 for s in found if s is not None]
            rows.append({"command": name, "file": label,
                         "start": summary(heard) if heard else None})
    return rows


def clip_lines(clip_rows, pipe_rows):
    lines = [
        "", "## Short clips", "",
        "Start of each play, from exec to the clip's first sound at the monitor, the "
        "players interleaved; late is later than %d ms." % LATE_MS, "",
        "| sink | player | clip | plays | later than %d ms | unheard | start |" % LATE_MS,
        "|---|---|---|---|---|---|---|",
    ]
    for r in clip_rows:
        lines.append("| %s | %s | %s | %d | %d | %d | %s |" % (
            r["sink"], r["player"], r["clip"], r["plays"], r["late"], r["unheard"],
            fmt(r["start"], 1000, 0, " ms") if r["start"] else "–"))
    lines += [
        "", "## A file through a pipe", "",
        "Start from the shell's exec to the first sound, on PulseAudio.", "",
        "| command | file | start |", "|---|---|---|",
    ]
    for r in pipe_rows:
        lines.append("| `%s` | %s | %s |" % (r["command"].replace("|", "\\|"), r["file"],
                                          fmt(r["start"], 1000, 0, " ms") if r["start"] else "–"))
    return lines
