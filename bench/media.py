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


def _tone(seconds, ending, options):
    return long_media(ending, options, seconds)


def _run(command, path):
    """Makes |path| with the shell |command| (OUT its output), once."""
    if not os.path.exists(path):
        tmp = path + ".part" + os.path.splitext(path)[1]
        subprocess.run(["bash", "-c", command.replace("OUT", "'%s'" % tmp)], check=True,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                       stdin=subprocess.DEVNULL)
        os.rename(tmp, path)
    return path


def _gst_tone(seconds):
    return ("gst-launch-1.0 -q audiotestsrc num-buffers=%d samplesperbuffer=1024 "
            "! audio/x-raw,rate=48000,channels=2 ! audioconvert ! " % (seconds * 48000 // 1024))


def _ts(seconds, offset=None):
    """Half of |seconds| of AAC in MPEG-TS, its times from 0 or |offset|."""
    name = "part-%gs%s.ts" % (seconds / 2, "-at%d" % offset if offset else "")
    return _run("ffmpeg -loglevel quiet -f lavfi -i sine=f=440:d=%g:r=48000 -ac 2 -c:a aac %s"
                " -f mpegts OUT" % (seconds / 2, "-output_ts_offset %d" % offset if offset
                                    else ""), os.path.join(MEDIA, name))


def muxed_media(kind, seconds):
    """A tone as another program than FFmpeg's muxers writes it, or joined."""
    path = os.path.join(MEDIA, "muxed-%s-%ds" % (kind, seconds))
    if kind == "mkvmerge-vorbis":
        ogg = long_media("ogg", ["-c:a", "libvorbis"], seconds)
        return _run("mkvmerge -q -o OUT '%s'" % ogg, path + ".mka")
    if kind == "mkvmerge-opus":
        opus = long_media("opus", ["-c:a", "libopus"], seconds)
        return _run("mkvmerge -q --webm -o OUT '%s'" % opus, path + ".webm")
    if kind == "mkvmerge-video":
        mp4 = long_media("mp4", ["-c:a", "aac", "-c:v", "libx264"], seconds)
        return _run("mkvmerge -q -o OUT '%s'" % mp4, path + ".mkv")
    if kind == "gst-opus":
        return _run(_gst_tone(seconds) + "opusenc ! webmmux ! filesink location=OUT",
                    path + ".webm")
    if kind == "gst-avi":
        return _run(_gst_tone(seconds) + "lamemp3enc ! m. videotestsrc num-buffers=%d "
                    "! video/x-raw,width=32,height=32,framerate=5/1 ! jpegenc "
                    "! avimux name=m ! filesink location=OUT" % (seconds * 5), path + ".avi")
    if kind == "pipe-mka":
        return _run("ffmpeg -loglevel quiet -f lavfi -i sine=f=440:d=%d:r=48000 -ac 2 "
                    "-c:a libvorbis -f matroska - > OUT" % seconds, path + ".mka")
    if kind == "live-webm":
        return _run("ffmpeg -loglevel quiet -f lavfi -i sine=f=440:d=%d:r=48000 -ac 2 "
                    "-c:a libopus -f webm -live 1 OUT" % seconds, path + ".webm")
    if kind == "ffmpeg-fmp4":
        return _run("ffmpeg -loglevel quiet -f lavfi -i sine=f=440:d=%d:r=48000 -ac 2 -c:a aac "
                    "-movflags frag_keyframe+empty_moov OUT" % seconds, path + ".mp4")
    if kind == "gst-fmp4":
        adts = long_media("aac", ["-c:a", "aac", "-f", "adts"], seconds)
        return _run("gst-launch-1.0 -q filesrc location='%s' ! aacparse "
                    "! mp4mux fragment-duration=1000 ! filesink location=OUT" % adts,
                    path + ".mp4")
    if kind == "ts-joined":
        part = _ts(seconds)
        return _run("cat '%s' '%s' > OUT" % (part, part), path + ".ts")
    if kind == "ts-jumped":
        return _run("cat '%s' '%s' > OUT" % (_ts(seconds), _ts(seconds, 5000)), path + ".ts")
    raise ValueError(kind)


# Files from other muxers, and joined: (label, kind).
MUXED_FORMATS = [
    ("Vorbis MKA by mkvmerge (laced)", "mkvmerge-vorbis"),
    ("AAC + H.264 MKV by mkvmerge", "mkvmerge-video"),
    ("Opus WebM by mkvmerge", "mkvmerge-opus"),
    ("Opus WebM by GStreamer", "gst-opus"),
    ("Opus WebM, live (unknown sizes, no cues)", "live-webm"),
    ("Vorbis MKA written to a pipe (no cues)", "pipe-mka"),
    ("MP3 + MJPEG AVI by GStreamer", "gst-avi"),
    ("AAC fragmented MP4 by FFmpeg", "ffmpeg-fmp4"),
    ("AAC fragmented MP4 by GStreamer", "gst-fmp4"),
    ("AAC TS, two parts joined", "ts-joined"),
    ("AAC TS, the second part's times ahead", "ts-jumped"),
]
