"""The published results: bench/results/latest.md and its chart."""

import datetime
import os
import platform
import shutil
import subprocess

from starts import clip_lines

from common import ROOT, RELEASE, RUNS_I386, fmt


def sizes():
    stage = os.path.join(ROOT, "build", "release-install")
    shutil.rmtree(stage, ignore_errors=True)
    subprocess.run(["cmake", "--install", RELEASE, "--prefix", stage, "--strip"],
                   check=True, stdout=subprocess.DEVNULL)
    native = os.path.getsize(os.path.join(stage, "bin", "quorwind"))
    module = os.path.getsize(os.path.join(stage, "lib", "quorwind", "libquorwind-mci.so"))
    formats = "loaded only for its formats"
    modules = [(name, when, os.path.getsize(os.path.join(stage, "lib", "quorwind", name)))
                for name, when in [("libquorwind-aac.so", formats),
                                   ("libquorwind-ffmpeg.so", formats),
                                   ("libquorwind-midi.so", formats),
                                   ("libquorwind-pulse.so", "loaded to play on a Pulse server"),
                                   ("libquorwind-alsa.so", "loaded only where no Pulse server answers")]]
    exe32 = os.path.getsize(os.path.join(ROOT, "build", "windows", "bin", "Quorwind.exe"))
    exe64 = os.path.getsize(os.path.join(ROOT, "build", "windows64", "bin", "Quorwind.exe"))
    return native, module, modules, exe32, exe64


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


def write_markdown(rows, length_rows, clock_rows, clip_rows, pipe_rows, size_info, runs, path):
    native, module, modules, exe32, exe64 = size_info
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
        "Time taken by the query, as the program sends it, on files of each length; the "
        "reply against the milliseconds FFmpeg decodes from the same file (the tone "
        "writer's WAV, FLAC and MP3: the length written).",
        "",
        "| format | %s | reply − decoded (%s) | ffprobe at %s: time, answer − decoded |" % (
            " | ".join(c["duration"] for c in length_rows[0]["cells"]),
            ", ".join(c["duration"] for c in length_rows[0]["cells"]),
            length_rows[0]["cells"][-1]["duration"]) if length_rows else "",
        "|---|%s---|---|" % ("---|" * (len(length_rows[0]["cells"]) if length_rows else 0)),
    ]
    for r in length_rows:
        probe = r.get("ffprobe")
        lines.append("| %s | %s | %s | %s |" % (
            r["format"], " | ".join(fmt(c["cost"], 1, 1, " ms") for c in r["cells"]),
            ", ".join(("%+.0f ms" % (float(c["reply"]) - c["expected"])) if c["reply"] else
                      "no reply" for c in r["cells"]),
            ("%.0f ms, %s" % (probe["cost"], "%+.0f ms" % (probe["answer"] - probe["expected"])
                              if probe["answer"] is not None else "none")) if probe else "–"))
    lines += clip_lines(clip_rows, pipe_rows)
    lines += [
        "",
        "## Sizes",
        "",
        "| file | bytes |",
        "|---|---|",
        "| `quorwind` (stripped) | %d |" % native,
        "| `libquorwind-mci.so` (stripped) | %d |" % module,
        "| `quorwind` with its module | %d |" % (native + module),
    ] + ["| `%s` (stripped; %s) | %d |" % d for d in modules] + [
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
