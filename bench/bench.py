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
import os
import re
import shutil
import subprocess

from common import (EXE, MEDIA, MIDI_SOUNDFONTS, RESULTS, ROOT, RUNS_I386, SOUNDFONT, WINE,
                    WINESERVER)
from lengths import bench_length_query
from starts import bench_clips, bench_pipes
from media import LONG_FORMATS, encode, long_media, make_tone, soundlab
from players import players, select_soundfont
from processes import adopt_orphans, run_measured
from report import sizes, write_chart, write_markdown
from sessions import bench_device_clock, bench_players, bench_under_load

# Plays of each short clip by each player: a late start that comes now and
# then shows only over many.
CLIP_PLAYS = 100


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--runs", type=int, default=5)
    parser.add_argument("--quick", action="store_true", help="skip the 2-hour files")
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
    ] + [
        # Long files: their start alone, beside a WAV's.
        ("20 min %s (start)" % name, long_media(ending, options, 1200), None, formats)
        for name, ending, options in LONG_FORMATS if ending in {"webm", "mka", "wma", "ac3", "mkv"}
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
            clip_rows = bench_clips(server, "paplay", CLIP_PLAYS)
            pipe_rows = bench_pipes(server, args.runs)
        with soundlab.PipeWireServer() as server:
            rows += bench_players(server, files, args.runs, wine_prefix,
                                  only=few | {"ffplay", "fluidsynth -i", "pw-play"})
            clip_rows += bench_clips(server, "pw-play", CLIP_PLAYS)
        steady = make_tone(os.path.join(MEDIA, "tone-10s.wav"), "wav", 10, 48000, 2)
        rows += bench_under_load(steady, 10, args.runs, wine_prefix)
    finally:
        select_soundfont(default_soundfont)
        xvfb.terminate()
        xvfb.wait()

    write_markdown(rows, length_rows, clock_rows, clip_rows, pipe_rows, sizes(), args.runs,
                   os.path.join(RESULTS, "latest.md"))
    write_chart(rows, os.path.join(RESULTS, "overshoot.png"))
    print(open(os.path.join(RESULTS, "latest.md")).read())


if __name__ == "__main__":
    main()
