#!/usr/bin/env python3
"""Generate the short game sounds shipped in tavik/sounds/ (ding.wav, coin.wav ...).

Every sound is synthesised here from sine waves, sweeps and seeded noise with
nothing but the Python standard library (math, random, struct, wave). No
recorded or downloaded audio is used.

    python3 tools/make_sounds.py            # writes tavik/sounds/<name>.wav
    python3 tools/make_sounds.py -o DIR     # write somewhere else

The output is deterministic: every run produces byte-identical files
(16-bit mono PCM at 22050 Hz, each well under a second).
"""
import argparse
import math
import pathlib
import random
import struct
import wave

RATE = 22050
PEAK = 0.6   # of full scale: loud enough, with room so that overlapping plays do not clip


def envelope(t, length, attack=0.005, release=None):
    """A quick rise, then an exponential fall that reaches silence at `length`."""
    if t < attack:
        return t / attack
    release = release if release is not None else length
    fade = math.exp(-4 * (t - attack) / release)
    tail = max(0.0, 1 - (t - attack) / (length - attack))
    return fade * tail


def tone(frequency, length, harmonics=(1.0,)):
    """A tone with a few harmonics, shaped by the envelope."""
    samples = []
    for index in range(int(length * RATE)):
        t = index / RATE
        value = sum(weight * math.sin(2 * math.pi * frequency * (number + 1) * t)
                    for number, weight in enumerate(harmonics))
        samples.append(value / sum(harmonics) * envelope(t, length))
    return samples


def sweep(start, end, length):
    """A tone whose pitch glides from `start` to `end` hertz."""
    samples, phase = [], 0.0
    count = int(length * RATE)
    for index in range(count):
        t = index / RATE
        frequency = start + (end - start) * index / count
        phase += 2 * math.pi * frequency / RATE
        samples.append(math.sin(phase) * envelope(t, length, release=length / 2))
    return samples


def noise(length, seed):
    """A burst of noise, darkened by a simple low-pass filter."""
    generator = random.Random(seed)
    samples, smoothed = [], 0.0
    for index in range(int(length * RATE)):
        smoothed += 0.25 * (generator.uniform(-1, 1) - smoothed)
        samples.append(2 * smoothed * envelope(index / RATE, length))
    return samples


def sequence(*parts):
    return [sample for part in parts for sample in part]


SOUNDS = {
    # a bell: a high tone with bright harmonics
    "ding": lambda: tone(1320, 0.5, (1.0, 0.5, 0.25)),
    # collecting something: two quick rising notes
    "coin": lambda: sequence(tone(988, 0.08, (1.0, 0.3)), tone(1319, 0.3, (1.0, 0.3))),
    # a jump: a rising glide
    "jump": lambda: sweep(300, 900, 0.25),
    # a bump: a short dark thud of noise
    "hit": lambda: noise(0.2, seed=7),
    # winning: a rising major arpeggio
    "win": lambda: sequence(*(tone(frequency, 0.14, (1.0, 0.4)) for frequency in (523, 659, 784)),
                            tone(1047, 0.45, (1.0, 0.4))),
    # losing: a falling glide
    "lose": lambda: sweep(600, 150, 0.6),
}


def write(path, samples):
    frames = b"".join(struct.pack("<h", round(max(-1.0, min(1.0, sample)) * PEAK * 32767)) for sample in samples)
    with wave.open(str(path), "wb") as output:
        output.setnchannels(1)
        output.setsampwidth(2)
        output.setframerate(RATE)
        output.writeframes(frames)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    default = pathlib.Path(__file__).resolve().parent.parent / "tavik" / "sounds"
    parser.add_argument("-o", "--output", type=pathlib.Path, default=default)
    arguments = parser.parse_args()
    arguments.output.mkdir(parents=True, exist_ok=True)
    for name, make in SOUNDS.items():
        write(arguments.output / f"{name}.wav", make())
        print(arguments.output / f"{name}.wav")


if __name__ == "__main__":
    main()
