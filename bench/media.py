"""The media the benchmark plays: made once, cached in build/bench-media,
never committed."""

import array
import os
import subprocess
import sys


from common import MEDIA, RELEASE, SOUNDFONT, ROOT

sys.path.insert(0, os.path.join(ROOT, "tests"))
import soundlab  # noqa: E402


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


# Long files made by the ffmpeg program from a tone, and a small still
# picture for the videos: (label, file ending, encoding options).
LONG_FORMATS = [
    ("Opus WebM", "webm", ["-c:a", "libopus"]),
    ("Vorbis MKA", "mka", ["-c:a", "libvorbis"]),
    ("WMA", "wma", ["-c:a", "wmav2"]),
    ("AC-3", "ac3", ["-c:a", "ac3"]),
    ("AAC + H.264 MKV", "mkv", ["-c:a", "aac", "-c:v", "libx264"]),
    ("MP3 + MPEG-4 AVI", "avi", ["-c:a", "libmp3lame", "-c:v", "mpeg4"]),
    ("AAC + H.264 MP4", "mp4", ["-c:a", "aac", "-c:v", "libx264"]),
]
VIDEO_ENDINGS = {"mkv", "avi", "mp4"}


def long_media(ending, options, seconds):
    """A |seconds| long 440 Hz tone (48 kHz stereo) encoded with |options|,
    with a 32x32 black picture at 5 frames a second for a video."""
    path = os.path.join(MEDIA, "long-%ds.%s" % (seconds, ending))
    if not os.path.exists(path):
        os.makedirs(MEDIA, exist_ok=True)
        tmp = path + ".part." + ending
        picture = (["-f", "lavfi", "-i", "color=c=black:s=32x32:r=5:d=%d" % seconds]
                   if ending in VIDEO_ENDINGS else [])
        subprocess.run(["ffmpeg", "-y", "-loglevel", "quiet", "-f", "lavfi", "-i",
                        "sine=f=440:d=%d:r=48000" % seconds] + picture + ["-ac", "2"] + options +
                       ["-shortest", tmp], check=True, stdin=subprocess.DEVNULL)
        os.rename(tmp, path)
    return path


def decoded_ms(path):
    """The milliseconds of sound the ffmpeg program decodes from |path|,
    counted once and kept beside it."""
    kept = path + ".decoded"
    if not os.path.exists(kept):
        decoder = subprocess.Popen(["ffmpeg", "-loglevel", "quiet", "-i", path, "-vn", "-f",
                                    "s16le", "-ac", "1", "-ar", "48000", "-"],
                                   stdout=subprocess.PIPE, stdin=subprocess.DEVNULL)
        count = 0
        while chunk := decoder.stdout.read(1 << 20):
            count += len(chunk)
        decoder.wait()
        with open(kept, "w") as f:
            f.write("%.3f" % (count / 2 / 48.0))
    with open(kept) as f:
        return float(f.read())
