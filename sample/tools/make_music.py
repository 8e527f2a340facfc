#!/usr/bin/env python3
"""Writes the sample demo's music: a short four-channel tracker module.

Every instrument is synthesised here and the tune is written out note by
note, so the file is entirely ours. Run it from anywhere; it writes
sample/music/tune.mod next to this folder.

Layout of the module (125 BPM, speed 6: a row lasts 0.12 s, a pattern of 64
rows 7.68 s, the four orders 30.72 s). One bar is 16 rows, one beat 4 rows.

  instrument 1  kick    channel 1   every beat from order 1, beats 1 and 3 in order 0
  instrument 2  snare   channel 2   beats 2 and 4 from order 1
  instrument 3  hat     channel 2   the off-beat eighths between them
  instrument 4  bass    channel 3   eighths on the chord's root
  instrument 5  lead    channel 4   a melody in orders 2 and 3
  instrument 6  pad     channel 4   long chord notes in order 0 and 1

The scenes bind syncs to instruments 1, 2 and 5, so keep those numbers.
"""
import math
import os
import random
import struct

RATE_C2 = 8287.0  # playback rate of a sample at C-2 (period 428, PAL)

# ProTracker periods, finetune 0, from C-1 to B-3.
PERIODS = [
    856, 808, 762, 720, 678, 640, 604, 570, 538, 508, 480, 453,
    428, 404, 381, 360, 339, 320, 302, 285, 269, 254, 240, 226,
    214, 202, 190, 180, 170, 160, 151, 143, 135, 127, 120, 113,
]
NOTE_NAMES = ["C-", "C#", "D-", "D#", "E-", "F-", "F#", "G-", "G#", "A-", "A#", "B-"]


def period(note):
    """Period of a note written like "A-2" (octaves 1 to 3)."""
    name, octave = note[:2], int(note[2])
    return PERIODS[(octave - 1) * 12 + NOTE_NAMES.index(name)]


def to_bytes(values):
    """Floats in -1..1 to signed 8-bit sample bytes (the length made even)."""
    out = bytearray(max(-128, min(127, int(round(v * 127)))) & 0xFF for v in values)
    if len(out) % 2:
        out.append(0)
    return bytes(out)


rng = random.Random(1234)


def kick():
    rate = RATE_C2 * 2  # played at C-3
    n = int(rate * 0.30)
    out, phase = [], 0.0
    for i in range(n):
        t = i / rate
        freq = 48 + 110 * math.exp(-t * 28)
        phase += 2 * math.pi * freq / rate
        click = 0.35 * math.exp(-t * 400) * rng.uniform(-1, 1)
        out.append(math.sin(phase) * math.exp(-t * 9) * 0.95 + click)
    return to_bytes(out)


def snare():
    rate = RATE_C2 * 2
    n = int(rate * 0.22)
    out, low = [], 0.0
    for i in range(n):
        t = i / rate
        noise = rng.uniform(-1, 1)
        low += 0.5 * (noise - low)
        tone = math.sin(2 * math.pi * 190 * t) * math.exp(-t * 30)
        out.append((0.75 * low * math.exp(-t * 16) + 0.5 * tone) * 0.95)
    return to_bytes(out)


def hat():
    rate = RATE_C2 * 2
    n = int(rate * 0.06)
    out, prev = [], 0.0
    for i in range(n):
        t = i / rate
        noise = rng.uniform(-1, 1)
        out.append((noise - prev) * 0.5 * math.exp(-t * 60))  # crude high pass
        prev = noise
    return to_bytes(out)


def bass():
    # 32 samples per cycle: C-2 sounds at 259 Hz, so the bass plays octave 1.
    n = 32 * 110
    out = []
    for i in range(n):
        x = (i % 32) / 32.0
        saw = 2 * x - 1
        sq = 1.0 if x < 0.5 else -1.0
        sine = math.sin(2 * math.pi * x)
        env = math.exp(-i / RATE_C2 * 3.0)
        out.append((0.45 * sine + 0.3 * saw + 0.15 * sq) * (0.35 + 0.65 * env))
    return to_bytes(out)


def cycle(harmonics, length=32):
    out = []
    for i in range(length):
        x = 2 * math.pi * i / length
        out.append(sum(a * math.sin(k * x) for k, a in harmonics))
    peak = max(abs(v) for v in out)
    return [v / peak for v in out]


def lead():
    # A short bright attack, then a looped cycle that sustains the note.
    wave = cycle([(1, 1.0), (2, 0.35), (3, 0.3), (5, 0.12)])
    attack = [wave[i % 32] * (1.0 + 0.25 * math.exp(-i / 300)) * 0.75 for i in range(32 * 24)]
    loop = [v * 0.75 for v in wave]
    return to_bytes(attack + loop), len(attack), len(loop)


def pad():
    wave = cycle([(1, 1.0), (2, 0.5), (3, 0.25), (4, 0.18), (6, 0.08)], 64)
    loop = [v * 0.6 for v in wave]
    return to_bytes(loop * 2), 0, 128


# ---------------------------------------------------------------------------
# The tune. Each bar has one chord; the progression runs Am F C G.

CHORDS = [("A-", ["A-", "C-", "E-"]), ("F-", ["F-", "A-", "C-"]),
          ("C-", ["C-", "E-", "G-"]), ("G-", ["G-", "B-", "D-"])]
MELODY = [  # (row in the pattern, note), per pattern: a four-bar phrase
    [(0, "E-3"), (6, "C-3"), (8, "D-3"), (12, "E-3"), (16, "F-3"), (22, "E-3"), (24, "C-3"),
     (28, "A-2"), (32, "G-2"), (38, "C-3"), (40, "E-3"), (44, "G-3"), (48, "D-3"), (54, "B-2"),
     (56, "G-2"), (60, "B-2")],
    [(0, "A-3"), (4, "G-3"), (8, "E-3"), (12, "C-3"), (16, "A-2"), (20, "C-3"), (24, "F-3"),
     (28, "E-3"), (32, "G-3"), (36, "E-3"), (40, "C-3"), (44, "E-3"), (48, "D-3"), (52, "B-2"),
     (56, "D-3"), (60, "G-3")],
]


def empty_pattern():
    return [[None] * 4 for _ in range(64)]


def cell(sample, note, effect=0, param=0):
    return (sample, period(note) if note else 0, effect, param)


def drums(p, full):
    for row in range(0, 64, 4):
        beat = (row // 4) % 4
        if full or beat in (0, 2):
            p[row][0] = cell(1, "C-3")
        if full:
            if beat in (1, 3):
                p[row][1] = cell(2, "C-3")
            p[row + 2][1] = cell(3, "C-3", 0xC, 0x20 if row % 8 else 0x28)
    if full:  # a fill into the next pattern
        for row in (58, 59, 61, 62, 63):
            p[row][1] = cell(2, "C-3", 0xC, 0x18 + 4 * (row - 58))


def bassline(p, busy):
    for bar, (root, _) in enumerate(CHORDS):
        for step in range(0, 16, 2 if busy else 4):
            octave = "2" if busy and step in (6, 14) else "1"
            p[bar * 16 + step][2] = cell(4, root + octave)


def pads(p):
    for bar, (_, notes) in enumerate(CHORDS):
        for k, name in enumerate(notes):
            p[bar * 16 + k * 4][3] = cell(6, name + "2", 0xC, 0x30 - 8 * k)


def melody(p, phrase):
    for row, note in MELODY[phrase]:
        p[row][3] = cell(5, note, 0xC, 0x34)
        if row + 3 < 64 and p[row + 3][3] is None:
            p[row + 3][3] = (0, 0, 0xA, 0x04)  # fade a little before the next note


def patterns():
    intro = empty_pattern()
    drums(intro, False)
    bassline(intro, False)
    pads(intro)
    intro[0][0] = (1, period("C-3"), 0xF, 6)  # speed 6, 125 BPM (the default)

    groove = empty_pattern()
    drums(groove, True)
    bassline(groove, True)
    pads(groove)

    lead1 = empty_pattern()
    drums(lead1, True)
    bassline(lead1, True)
    melody(lead1, 0)

    lead2 = empty_pattern()
    drums(lead2, True)
    bassline(lead2, True)
    melody(lead2, 1)
    lead2[63][3] = (0, 0, 0xC, 0)  # the lead stops with the last row
    return [intro, groove, lead1, lead2]


def pack_pattern(p):
    out = bytearray()
    for row in p:
        for c in row:
            sample, per, effect, param = c or (0, 0, 0, 0)
            out += bytes([(sample & 0xF0) | (per >> 8), per & 0xFF,
                          ((sample & 0x0F) << 4) | effect, param])
    return bytes(out)


def module():
    samples = [  # (name, data, volume, loop start, loop length) in bytes
        ("kick", kick(), 64, 0, 0),
        ("snare", snare(), 56, 0, 0),
        ("hat", hat(), 40, 0, 0),
        ("bass", bass(), 58, 0, 0),
    ]
    data, start, length = lead()
    samples.append(("lead", data, 44, start, length))
    data, start, length = pad()
    samples.append(("pad", data, 30, start, length))

    out = bytearray(b"glow & pulse".ljust(20, b"\0"))
    for i in range(31):
        if i < len(samples):
            name, data, volume, loop_start, loop_length = samples[i]
            loop_words = loop_length // 2 if loop_length else 1
            out += name.encode().ljust(22, b"\0")
            out += struct.pack(">HBBHH", len(data) // 2, 0, volume, loop_start // 2, loop_words)
        else:
            out += b"\0" * 22 + struct.pack(">HBBHH", 0, 0, 0, 0, 1)
    orders = [0, 1, 2, 3]
    out += bytes([len(orders), 127]) + bytes(orders).ljust(128, b"\0") + b"M.K."
    for p in patterns():
        out += pack_pattern(p)
    for sample in samples:
        out += sample[1]
    return bytes(out)


if __name__ == "__main__":
    here = os.path.dirname(os.path.abspath(__file__))
    target = os.path.join(here, "..", "music", "tune.mod")
    os.makedirs(os.path.dirname(target), exist_ok=True)
    with open(target, "wb") as f:
        f.write(module())
    print("wrote", os.path.normpath(target), os.path.getsize(target), "bytes")
