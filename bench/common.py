"""Where the benchmark finds what it measures and keeps what it makes, and how
it sums up a measure's runs."""

import os
import statistics
import subprocess

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
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
