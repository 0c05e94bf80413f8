#!/usr/bin/python3
"""Render the peer benchmark's workload with pyo's Granulator, offline.

OVERLAP grains of DUR s sound at once (Granulator keeps a fixed number of
grains, evenly spaced in phase), each under a Hann window (HannTable),
reading PITCH frames a sample (1, the default, is the original pitch;
basedur = dur), starting where a position that scans the source at SPEED
seconds of source per second of output points.

Usage: pyo_granulator.py SRC.wav OUT.wav --overlap K --duration S
                         [--grain 0.1] [--speed 0.1666] [--pitch 1]
Runs under Debian's /usr/bin/python3, where python3-pyo installs pyo.
"""
import argparse
import os
import sys


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("src")
    ap.add_argument("out")
    ap.add_argument("--overlap", type=int, required=True)
    ap.add_argument("--duration", type=float, required=True)
    ap.add_argument("--grain", type=float, default=0.1)
    ap.add_argument("--speed", type=float, default=0.1666)
    ap.add_argument("--pitch", type=float, default=1.0)
    a = ap.parse_args()

    # pyo prints a notice about its optional GUI toolkits on import: keep
    # stdout for our own lines.
    saved = os.dup(1)
    os.dup2(2, 1)
    try:
        import pyo
    finally:
        sys.stdout.flush()
        os.dup2(saved, 1)
        os.close(saved)

    s = pyo.Server(sr=44100, nchnls=1, buffersize=64, duplex=0, audio="offline")
    s.setVerbosity(1)
    s.boot()
    # fileformat 0: WAV; sampletype 3: 32-bit float.
    s.recordOptions(dur=a.duration, filename=a.out, fileformat=0, sampletype=3)

    table = pyo.SndTable(a.src)
    frames = table.getSize()
    seconds = frames / 44100.0
    env = pyo.HannTable()
    pos = pyo.Phasor(freq=a.speed / seconds, mul=frames)
    g = pyo.Granulator(table, env, pitch=a.pitch, pos=pos, dur=a.grain,
                       grains=a.overlap, basedur=a.grain, mul=2.0 / a.overlap)
    g.out()
    s.start()  # offline: renders the whole duration, then returns
    s.shutdown()


if __name__ == "__main__":
    main()
