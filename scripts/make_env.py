#!/usr/bin/env python3
"""Writes a small latitude-longitude HDR environment: sky gradient, sun with its glow, distant
hills on a hazy horizon and the ground, as a Radiance .hdr file (run-length encoded RGBE).

The mapping is the renderer's environment mapping: the image centre looks down -z, columns
run towards +x from there and wrap around, row 0 is straight up (+y), the last row straight
down. The sun stands where the key light of scenes/fisheye.mi comes from: high up behind its
camera, to the right, in the direction (0.45, 0.75, 0.5).

    python3 scripts/make_env.py [output.hdr] [width]

Defaults: scenes/images/sky.hdr beside this script's folder, 400 x 200 pixels.
"""
import math
import os
import struct
import sys

SUN = (0.45, 0.75, 0.5)
SUN_RADIUS = math.radians(2.0)


def unit(v):
    n = math.sqrt(sum(c * c for c in v))
    return tuple(c / n for c in v)


def mix(a, b, t):
    return tuple(x + (y - x) * t for x, y in zip(a, b))


def ridge(phi):
    """Elevation of the distant hills' outline at azimuth phi, radians."""
    return math.radians(6.0) * max(0.0, 0.6 * math.sin(3.0 * phi) + 0.4 * math.sin(7.0 * phi + 1.0) + 0.1)


def radiance(d, sun):
    """Linear RGB seen along the unit direction d."""
    elevation = math.asin(max(-1.0, min(1.0, d[1])))
    phi = math.atan2(d[0], -d[2])
    cos_gamma = max(-1.0, min(1.0, sum(x * y for x, y in zip(d, sun))))
    gamma = math.acos(cos_gamma)
    if elevation >= 0.0:
        t = (elevation / (math.pi / 2)) ** 0.5
        c = mix((1.0, 1.05, 1.15), (0.12, 0.3, 0.8), t)
        glow = 1.6 * math.exp(-gamma / 0.12) + 0.35 * math.exp(-gamma / 0.6)
        c = tuple(x + g * glow for x, g in zip(c, (1.0, 0.8, 0.55)))
        if gamma < SUN_RADIUS:
            c = (60.0, 55.0, 45.0)
        elif elevation < ridge(phi):
            c = mix((0.35, 0.42, 0.55), (0.55, 0.6, 0.7), elevation / ridge(phi))
    else:
        t = min(1.0, -elevation / (math.pi / 2)) ** 0.6
        c = mix((0.5, 0.48, 0.42), (0.12, 0.1, 0.07), t)
    # A bright haze band that fades out a few degrees either side of the horizon.
    haze = math.exp(-abs(elevation) / math.radians(3.0))
    return mix(c, (1.2, 1.2, 1.25), 0.6 * haze)


def rgbe(c):
    m = max(c)
    if m < 1e-32:
        return (0, 0, 0, 0)
    mantissa, exponent = math.frexp(m)
    scale = mantissa * 256.0 / m
    return tuple(min(255, int(x * scale)) for x in c) + (exponent + 128,)


def rle(values):
    """One component of a scanline in the run-length encoding of the format."""
    out = bytearray()
    i, n = 0, len(values)
    while i < n:
        run = 1
        while i + run < n and run < 127 and values[i + run] == values[i]:
            run += 1
        if run >= 4:
            out += bytes((128 + run, values[i]))
            i += run
            continue
        # Literal bytes up to the next run of four or more.
        j = i
        while j < n and j - i < 128:
            if j + 3 < n and values[j] == values[j + 1] == values[j + 2] == values[j + 3]:
                break
            j += 1
        out += bytes((j - i,)) + bytes(values[i:j])
        i = j
    return out


def main():
    here = os.path.dirname(os.path.abspath(__file__))
    path = sys.argv[1] if len(sys.argv) > 1 else os.path.join(here, "..", "scenes", "images", "sky.hdr")
    path = os.path.normpath(path)
    width = int(sys.argv[2]) if len(sys.argv) > 2 else 400
    height = width // 2
    sun = unit(SUN)
    data = bytearray(b"#?RADIANCE\nFORMAT=32-bit_rle_rgbe\n\n")
    data += b"-Y %d +X %d\n" % (height, width)
    for row in range(height):
        v = 1.0 - (row + 0.5) / height
        elevation = (v - 0.5) * math.pi
        pixels = []
        for col in range(width):
            phi = ((col + 0.5) / width - 0.5) * 2.0 * math.pi
            d = (math.sin(phi) * math.cos(elevation), math.sin(elevation), -math.cos(phi) * math.cos(elevation))
            pixels.append(rgbe(radiance(d, sun)))
        data += struct.pack(">BBH", 2, 2, width)
        for k in range(4):
            data += rle([p[k] for p in pixels])
    os.makedirs(os.path.dirname(os.path.abspath(path)), exist_ok=True)
    with open(path, "wb") as f:
        f.write(data)
    print("wrote %s (%d x %d, %d bytes)" % (path, width, height, len(data)))


if __name__ == "__main__":
    main()
