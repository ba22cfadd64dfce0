"""The length query of quorwind's media-control module (open, then status
... length, as the program sends them) on files of 3 s, 20 minutes and 2
hours: its cost should not grow with the file, and its reply should be what
decodes."""

import os
import subprocess
import sys

from common import MEDIA, RELEASE, fmt, summary
import statistics
import time

from media import LONG_FORMATS, MUXED_FORMATS, decoded_ms, encode, long_media, make_tone, muxed_media

DURATIONS = [("3 s", 3), ("20 min", 1200), ("2 h", 7200)]
# A query costs at most a fifth of a second, so even a one-run benchmark
# makes this many and takes their median: a single query's time carries
# whatever the last minute left out of the page cache.
FEWEST_QUERIES = 5


def made_by_tone_writer(ext, seconds):
    """The project's tone writer's files, and an MP3 without a header."""
    if ext == "mp3-noheader":
        # As lame -t writes it: no Xing/Info frame, so no stated length.
        wav = make_tone(os.path.join(MEDIA, "long-%ds.wav" % seconds), "wav", seconds)
        return encode(wav, os.path.join(MEDIA, "long-%ds.mp3-noheader" % seconds),
                      ["lame", "--quiet", "-t", "-V", "4", "IN", "OUT"])
    return make_tone(os.path.join(MEDIA, "long-%ds.%s" % (seconds, ext)), ext, seconds)


def query(path, runs):
    tool = os.path.join(RELEASE, "tools", "length_query")
    module = os.path.join(RELEASE, "lib", "quorwind", "libquorwind-mci.so")
    times, reply = [], ""
    for _ in range(runs):
        out = subprocess.run([tool, module, path], capture_output=True, text=True,
                             check=True).stdout.split()
        times.append(float(out[0]))
        reply = out[1] if len(out) > 1 else ""
    return summary(times), reply


def ffprobe_query(path, runs):
    """ffprobe's time and its answer (format=duration), in ms."""
    times, answer = [], None
    for _ in range(runs):
        start = time.monotonic()
        out = subprocess.run(["ffprobe", "-v", "error", "-show_entries", "format=duration",
                              "-of", "csv=p=0", path], capture_output=True, text=True).stdout
        times.append((time.monotonic() - start) * 1000)
        try:
            answer = float(out.strip()) * 1000
        except ValueError:
            answer = None
    return statistics.median(times), answer


def bench_length_query(runs, quick):
    """One row per format, one cell per duration: the query's cost, its reply
    and what FFmpeg decodes (the tone writer's files: the length written)."""
    durations = DURATIONS[:2] if quick else DURATIONS
    formats = [(name, lambda s, e=ext: made_by_tone_writer(e, s), ext == "mp3-noheader")
               for name, ext in [("WAV", "wav"), ("FLAC", "flac"), ("MP3 CBR", "mp3"),
                                 ("MP3 VBR", "mp3-vbr"), ("MP3 VBR without header",
                                                          "mp3-noheader")]]
    formats += [(name, lambda s, e=ending, o=options: long_media(e, o, s), True)
                for name, ending, options in LONG_FORMATS]
    formats += [(name, lambda s, k=kind: muxed_media(k, s), True) for name, kind in MUXED_FORMATS]
    rows = []
    for name, make, decoded in formats:
        cells = []
        for label, seconds in durations:
            path = make(seconds)
            cost, reply = query(path, max(runs, FEWEST_QUERIES))
            expected = decoded_ms(path) if decoded else seconds * 1000.0
            cells.append({"duration": label, "size": os.path.getsize(path), "cost": cost,
                          "reply": reply, "expected": expected})
            print("length query %-22s %-6s %s  reply %s, decodes %.0f ms" % (
                name, label, fmt(cost, 1, 1, " ms"), reply, expected), file=sys.stderr)
        probe_cost, probe_answer = ffprobe_query(path, FEWEST_QUERIES)
        rows.append({"format": name, "cells": cells, "ffprobe": {
            "cost": probe_cost, "answer": probe_answer, "expected": cells[-1]["expected"]}})
    return rows
