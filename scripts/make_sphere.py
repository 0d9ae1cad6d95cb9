#!/usr/bin/env python3
"""Writes a UV sphere (radius 1, centred at the origin) as a Wavefront OBJ file with
per-vertex normals and texture coordinates: make_sphere.py OUT [SEGMENTS RINGS]."""
import math
import sys

out = sys.argv[1]
seg = int(sys.argv[2]) if len(sys.argv) > 2 else 64
rings = int(sys.argv[3]) if len(sys.argv) > 3 else 32
with open(out, "w") as f:
    f.write(f"# UV sphere, {seg} segments x {rings} rings\n")
    for r in range(rings + 1):
        th = math.pi * r / rings
        for s in range(seg + 1):
            ph = 2 * math.pi * s / seg
            x, y, z = math.sin(th) * math.cos(ph), math.cos(th), -math.sin(th) * math.sin(ph)
            f.write(f"v {x:.6f} {y:.6f} {z:.6f}\nvn {x:.6f} {y:.6f} {z:.6f}\nvt {s / seg:.6f} {1 - r / rings:.6f}\n")
    for r in range(rings):
        for s in range(seg):
            a = r * (seg + 1) + s + 1
            b = a + seg + 1
            if r != 0:
                f.write(f"f {a}/{a}/{a} {b}/{b}/{b} {a + 1}/{a + 1}/{a + 1}\n")
            if r != rings - 1:
                f.write(f"f {a + 1}/{a + 1}/{a + 1} {b}/{b}/{b} {b + 1}/{b + 1}/{b + 1}\n")
