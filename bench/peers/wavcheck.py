#!/usr/bin/env python3
"""Check that a benchmark render holds sound: the right length, finite, not silent.

Usage: wavcheck.py OUT.wav --seconds S [--rate 44100] [--floor-db -80]
Prints one line: "ok <seconds> s, peak <dBFS>, rms <dBFS>", or
"SILENT ...", "SHORT ...", "NONFINITE ..." and then exits with status 3.
A file that cannot be read as WAV exits with status 1.
Reads 16/24/32-bit integer and 32/64-bit float WAV (also WAVE_FORMAT_EXTENSIBLE)
with the standard library alone.
"""
import argparse
import array
import math
import struct
import sys

PCM, FLOAT, EXTENSIBLE = 1, 3, 0xFFFE


def read_wav(path):
    """Returns (rate, channels, samples): samples interleaved, as floats in [-1, 1]."""
    with open(path, "rb") as f:
        data = f.read()
    if len(data) < 12 or data[0:4] not in (b"RIFF", b"RF64") or data[8:12] != b"WAVE":
        raise ValueError("not a WAV file")
    pos, fmt, body = 12, None, None
    while pos + 8 <= len(data):
        cid = data[pos:pos + 4]
        size = struct.unpack("<I", data[pos + 4:pos + 8])[0]
        chunk = data[pos + 8:pos + 8 + size]
        if cid == b"fmt ":
            fmt = chunk
        elif cid == b"data":
            body = chunk
        pos += 8 + size + (size & 1)
    if fmt is None or body is None:
        raise ValueError("no fmt or data chunk")
    tag, channels, rate, _, _, bits = struct.unpack("<HHIIHH", fmt[:16])
    if tag == EXTENSIBLE and len(fmt) >= 26:
        tag = struct.unpack("<H", fmt[24:26])[0]
    width = bits // 8
    n = len(body) // width
    body = body[:n * width]
    if tag == FLOAT and bits in (32, 64):
        a = array.array("f" if bits == 32 else "d")
        a.frombytes(body)
        if sys.byteorder != "little":
            a.byteswap()
        return rate, channels, a
    if tag == PCM and bits in (16, 32):
        a = array.array("h" if bits == 16 else "i")
        a.frombytes(body)
        if sys.byteorder != "little":
            a.byteswap()
        scale = 1.0 / (1 << (bits - 1))
        return rate, channels, array.array("d", (x * scale for x in a))
    if tag == PCM and bits == 24:
        scale = 1.0 / (1 << 23)
        out = array.array("d", bytes(8 * n))
        for i in range(n):
            out[i] = int.from_bytes(body[3 * i:3 * i + 3], "little", signed=True) * scale
        return rate, channels, out
    raise ValueError(f"unsupported WAV format {tag}, {bits} bits")


def db(x):
    return 20 * math.log10(x) if x > 0 else float("-inf")


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("wav")
    ap.add_argument("--seconds", type=float, required=True, help="expected length")
    ap.add_argument("--rate", type=int, default=44100)
    ap.add_argument("--floor-db", type=float, default=-80.0,
                    help="a peak below this counts as silence")
    a = ap.parse_args()
    try:
        rate, channels, s = read_wav(a.wav)
    except (OSError, ValueError) as e:
        print(f"UNREADABLE {a.wav}: {e}")
        return 1
    frames = len(s) // max(channels, 1)
    seconds = frames / rate if rate else 0.0
    peak = max(max(s, default=0.0), -min(s, default=0.0))
    if not math.isfinite(peak) or any(not math.isfinite(x) for x in s):
        print(f"NONFINITE {seconds:.3f} s: the render holds NaN or infinity")
        return 3
    rms = math.sqrt(math.fsum(x * x for x in s) / len(s)) if len(s) else 0.0
    desc = f"{seconds:.3f} s, {rate} Hz, {channels} ch, peak {db(peak):.1f} dBFS, rms {db(rms):.1f} dBFS"
    if rate != a.rate:
        print(f"WRONGRATE {desc}")
        return 3
    # Block-based engines may stop up to one block (<= 1024 samples) short.
    if seconds < a.seconds - 1024 / a.rate:
        print(f"SHORT {desc} (expected {a.seconds:g} s)")
        return 3
    if db(peak) < a.floor_db:
        print(f"SILENT {desc}")
        return 3
    print(f"ok {desc}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
