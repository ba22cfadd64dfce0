"""The players compared: quorwind and what people use instead."""

import os
import subprocess

from common import EXE, RELEASE, SOUNDFONT, WINE


def select_soundfont(path):
    subprocess.run(["update-alternatives", "--set", "default-GM.sf2", path], check=True,
                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)


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
