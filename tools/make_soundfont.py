"""Writes a tiny SoundFont 2 file: one looped sine instrument played by every
melodic program and by the drum bank. Fuzzing renders MIDI with it, so that
its time goes to the MIDI input rather than to loading a full set.

Usage: make_soundfont.py OUT
"""

import math
import struct
import sys


def chunk(tag, body):
    return tag + struct.pack("<I", len(body)) + body + (b"\0" if len(body) % 2 else b"")


def riff_list(kind, tag, chunks):
    body = kind + b"".join(chunks)
    return tag + struct.pack("<I", len(body)) + body


def name(text):
    return text.encode().ljust(20, b"\0")


def main(out):
    period = 100  # 441 Hz at 44.1 kHz
    sine = [int(12000 * math.sin(2 * math.pi * i / period)) for i in range(period)]
    samples = struct.pack("<%dh" % (period + 46), *(sine + [0] * 46))  # 46 zeros end a sample

    programs = [(0, p) for p in range(128)] + [(128, 0)]
    phdr = b"".join(name("Sine") + struct.pack("<HHHIII", p, bank, i, 0, 0, 0)
                    for i, (bank, p) in enumerate(programs))
    phdr += name("EOP") + struct.pack("<HHHIII", 0, 0, len(programs), 0, 0, 0)
    pbag = b"".join(struct.pack("<HH", i, 0) for i in range(len(programs) + 1))
    pgen = struct.pack("<HH", 41, 0) * len(programs) + struct.pack("<HH", 0, 0)  # instrument 0
    inst = name("Sine") + struct.pack("<H", 0) + name("EOI") + struct.pack("<H", 1)
    ibag = struct.pack("<HH", 0, 0) + struct.pack("<HH", 2, 0)
    igen = struct.pack("<HHHH", 54, 1, 53, 0) + struct.pack("<HH", 0, 0)  # looped, sample 0
    shdr = name("Sine") + struct.pack("<IIIIIBbHH", 0, period, 0, period, 44100, 69, 0, 0, 1)
    shdr += name("EOS") + struct.pack("<IIIIIBbHH", 0, 0, 0, 0, 0, 0, 0, 0, 0)
    modulators = struct.pack("<HHhHH", 0, 0, 0, 0, 0)

    body = (riff_list(b"INFO", b"LIST", [chunk(b"ifil", struct.pack("<HH", 2, 1)),
                                         chunk(b"isng", b"EMU8000\0"),
                                         chunk(b"INAM", b"Sine\0\0")]) +
            riff_list(b"sdta", b"LIST", [chunk(b"smpl", samples)]) +
            riff_list(b"pdta", b"LIST", [chunk(b"phdr", phdr), chunk(b"pbag", pbag),
                                         chunk(b"pmod", modulators), chunk(b"pgen", pgen),
                                         chunk(b"inst", inst), chunk(b"ibag", ibag),
                                         chunk(b"imod", modulators), chunk(b"igen", igen),
                                         chunk(b"shdr", shdr)]))
    with open(out, "wb") as f:
        f.write(b"RIFF" + struct.pack("<I", len(body) + 4) + b"sfbk" + body)


if __name__ == "__main__":
    main(sys.argv[1])
