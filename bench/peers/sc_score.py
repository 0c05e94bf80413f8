#!/usr/bin/env python3
"""Write the binary OSC score that `scsynth -N` renders for the peer benchmark.

No sclang is needed: the SynthDef (SCgf version 2) and the score's OSC bundles
are written here byte by byte. The graph is what sclang builds from

    SynthDef(\\vgrain, {
        Out.ar(0, GrainBuf.ar(1, Impulse.ar(RATE), DUR, 0, PITCH,
                              Phasor.ar(0, SPEED / FRAMES, 0, 1),
                              4, 0, -1, MAXGRAINS) * (2 / OVERLAP))
    })

that is: a grain every 1/RATE s (RATE = OVERLAP / DUR, so OVERLAP grains
sound at once), each DUR s long, read from buffer 0 at PITCH frames a sample
(GrainBuf's rate; 1, the default, is the original pitch) with cubic interpolation (interp 4) under GrainBuf's built-in Hann
window (envbufnum -1), starting where a normalised position that scans the
buffer at SPEED seconds of source per second of output points.

Usage: sc_score.py OUT.osc --src SRC.wav --frames N --overlap K --duration S
                   [--grain 0.1] [--speed 0.1666] [--pitch 1] [--synthdef OUT.scsyndef]
"""
import argparse
import struct


# --- SynthDef, file format SCgf version 2 ---------------------------------

SCALAR, CONTROL, AUDIO = 0, 1, 2


def pstring(s):
    b = s.encode("ascii")
    return struct.pack(">B", len(b)) + b


class Graph:
    def __init__(self):
        self.constants = []
        self.ugens = []  # (name, rate, inputs, n_outputs, selector)

    def const(self, value):
        value = struct.unpack(">f", struct.pack(">f", value))[0]
        if value not in self.constants:
            self.constants.append(value)
        return (-1, self.constants.index(value))

    def ugen(self, name, rate, inputs, n_outputs=1, selector=0):
        ins = [x if isinstance(x, tuple) else self.const(float(x)) for x in inputs]
        self.ugens.append((name, rate, ins, n_outputs, selector))
        return (len(self.ugens) - 1, 0)

    def synthdef(self, name):
        out = bytearray()
        out += pstring(name)
        out += struct.pack(">i", len(self.constants))
        for c in self.constants:
            out += struct.pack(">f", c)
        out += struct.pack(">i", 0)  # parameters
        out += struct.pack(">i", 0)  # parameter names
        out += struct.pack(">i", len(self.ugens))
        for uname, rate, ins, n_out, selector in self.ugens:
            out += pstring(uname)
            out += struct.pack(">biih", rate, len(ins), n_out, selector)
            for src, idx in ins:
                out += struct.pack(">ii", src, idx)
            out += struct.pack(">" + "b" * n_out, *([rate] * n_out))
        out += struct.pack(">h", 0)  # variants
        return b"SCgf" + struct.pack(">ih", 2, 1) + bytes(out)


def grain_synthdef(name, rate, grain, speed, frames, overlap, maxgrains, pitch=1.0):
    g = Graph()
    trig = g.ugen("Impulse", AUDIO, [rate, 0.0])
    pos = g.ugen("Phasor", AUDIO, [0, speed / frames, 0, 1, 0.0])
    # GrainBuf inputs: trigger, dur, sndbuf, rate, pos, interp, pan, envbufnum, maxGrains
    grains = g.ugen("GrainBuf", AUDIO, [trig, grain, 0, pitch, pos, 4, 0, -1, maxgrains])
    scaled = g.ugen("BinaryOpUGen", AUDIO, [grains, 2.0 / overlap], selector=2)  # operator 2 is '*'
    g.ugen("Out", AUDIO, [0, scaled], n_outputs=0)
    return g.synthdef(name)


# --- OSC ------------------------------------------------------------------

def osc_string(s):
    b = s.encode("utf-8") + b"\0"
    return b + b"\0" * (-len(b) % 4)


def osc_message(address, *args):
    tags = ","
    data = b""
    for a in args:
        if isinstance(a, bool):
            raise TypeError("no bools in OSC here")
        if isinstance(a, int):
            tags += "i"
            data += struct.pack(">i", a)
        elif isinstance(a, float):
            tags += "f"
            data += struct.pack(">f", a)
        elif isinstance(a, str):
            tags += "s"
            data += osc_string(a)
        elif isinstance(a, (bytes, bytearray)):
            tags += "b"
            data += struct.pack(">i", len(a)) + bytes(a) + b"\0" * (-len(a) % 4)
        else:
            raise TypeError(type(a))
    return osc_string(address) + osc_string(tags) + data


def osc_bundle(seconds, messages):
    whole = int(seconds)
    frac = int(round((seconds - whole) * 2**32))
    if frac >= 2**32:
        whole, frac = whole + 1, 0
    out = b"#bundle\0" + struct.pack(">II", whole, frac)
    for m in messages:
        out += struct.pack(">i", len(m)) + m
    return out


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("out")
    ap.add_argument("--src", required=True, help="the source sound file (mono)")
    ap.add_argument("--frames", type=int, required=True, help="its length in frames")
    ap.add_argument("--overlap", type=int, required=True, help="grains sounding at once")
    ap.add_argument("--duration", type=float, required=True, help="output seconds")
    ap.add_argument("--grain", type=float, default=0.1, help="grain seconds")
    ap.add_argument("--speed", type=float, default=0.1666, help="source s per output s")
    ap.add_argument("--pitch", type=float, default=1.0, help="frames read per sample")
    ap.add_argument("--synthdef", help="also write the SynthDef file here")
    a = ap.parse_args()

    rate = a.overlap / a.grain
    # Room for the grains that overlap a block boundary; unused slots cost nothing.
    maxgrains = 2 * a.overlap
    sdef = grain_synthdef("vgrain", rate, a.grain, a.speed, a.frames, a.overlap, maxgrains, a.pitch)
    if a.synthdef:
        with open(a.synthdef, "wb") as f:
            f.write(sdef)

    bundles = [
        osc_bundle(0.0, [
            osc_message("/d_recv", sdef),
            osc_message("/b_allocRead", 0, a.src, 0, 0),
        ]),
        osc_bundle(0.0, [osc_message("/s_new", "vgrain", 1000, 0, 0)]),
        # The render ends at the last bundle's time.
        osc_bundle(a.duration, [osc_message("/c_set", 0, 0)]),
    ]
    with open(a.out, "wb") as f:
        for b in bundles:
            f.write(struct.pack(">i", len(b)) + b)


if __name__ == "__main__":
    main()
