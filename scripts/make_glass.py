#!/usr/bin/env python3
"""Writes the meshes of the glass-of-water scene into DIR: make_glass.py DIR.
glass.obj and water.obj are two closed solids; the water's side and bottom use the very
triangles of the glass's inner wall and inner bottom, wound the other way, so the two share
that boundary exactly. Y is up; the glass stands on y = 0 with its axis on the y axis.
tiles_dark.obj and tiles_light.obj are the two colours of a checkered floor and back wall,
for something to see bent through the glass."""
import math
import os
import sys

R, r = 1.0, 0.88  # outer and inner radius
H, B = 2.6, 0.25  # height and bottom thickness
W = 1.75  # water level
SEG = 96


class Mesh:
    def __init__(self):
        self.v, self.n, self.f = [], [], []

    def vertex(self, p, n):
        self.v.append(p)
        self.n.append(n)
        return len(self.v)

    def tri(self, a, b, c, want):
        # Wound counter-clockwise seen from outside the solid: the geometric normal points
        # along `want`.
        pa, pb, pc = self.v[a - 1], self.v[b - 1], self.v[c - 1]
        e1 = [pb[i] - pa[i] for i in range(3)]
        e2 = [pc[i] - pa[i] for i in range(3)]
        cr = (e1[1] * e2[2] - e1[2] * e2[1], e1[2] * e2[0] - e1[0] * e2[2], e1[0] * e2[1] - e1[1] * e2[0])
        self.f.append((a, b, c) if sum(cr[i] * want[i] for i in range(3)) > 0 else (a, c, b))

    def wall(self, radius, ys, sign):
        """A cylinder wall through the heights `ys`; sign 1: normals away from the axis."""
        rings = []
        for y in ys:
            ring = []
            for s in range(SEG):
                ph = 2 * math.pi * s / SEG
                d = (math.cos(ph), 0.0, -math.sin(ph))
                ring.append(self.vertex((radius * d[0], y, radius * d[2]), tuple(sign * c for c in d)))
            rings.append(ring)
        for lo, hi in zip(rings, rings[1:]):
            for s in range(SEG):
                s1 = (s + 1) % SEG
                mid = 2 * math.pi * (s + 0.5) / SEG
                want = (sign * math.cos(mid), 0.0, -sign * math.sin(mid))
                self.tri(lo[s], lo[s1], hi[s1], want)
                self.tri(lo[s], hi[s1], hi[s], want)

    def disc(self, r0, r1, y, up):
        """A flat disc (r0 = 0) or ring at height y facing up (up = 1) or down (-1)."""
        n = (0.0, float(up), 0.0)
        outer = [self.vertex((r1 * math.cos(2 * math.pi * s / SEG), y, -r1 * math.sin(2 * math.pi * s / SEG)), n)
                 for s in range(SEG)]
        if r0 == 0:
            centre = self.vertex((0.0, y, 0.0), n)
            for s in range(SEG):
                self.tri(centre, outer[s], outer[(s + 1) % SEG], n)
            return
        inner = [self.vertex((r0 * math.cos(2 * math.pi * s / SEG), y, -r0 * math.sin(2 * math.pi * s / SEG)), n)
                 for s in range(SEG)]
        for s in range(SEG):
            s1 = (s + 1) % SEG
            self.tri(inner[s], outer[s], outer[s1], n)
            self.tri(inner[s], outer[s1], inner[s1], n)

    def write(self, path, title):
        with open(path, "w") as f:
            f.write(f"# {title}\n")
            for p, n in zip(self.v, self.n):
                f.write(f"v {p[0]:.6f} {p[1]:.6f} {p[2]:.6f}\nvn {n[0]:.6f} {n[1]:.6f} {n[2]:.6f}\n")
            for a, b, c in self.f:
                f.write(f"f {a}//{a} {b}//{b} {c}//{c}\n")


out = sys.argv[1]
glass = Mesh()
glass.wall(R, [0.0, H], 1)
glass.disc(0, R, 0.0, -1)
glass.disc(r, R, H, 1)
glass.wall(r, [B, W, H], -1)  # a ring at the water level, so the wet part matches the water's side
glass.disc(0, r, B, 1)
glass.write(os.path.join(out, "glass.obj"), f"glass: radius {R}, inner radius {r}, height {H}, bottom {B}")

water = Mesh()
water.wall(r, [B, W], 1)
water.disc(0, r, B, -1)
water.disc(0, r, W, 1)
water.write(os.path.join(out, "water.obj"), f"water in the glass: radius {r}, from {B} to {W}")

# Checkered floor (x -6..6, z -4..4) and back wall (z = -4, y 0..6), tiles of 0.5.
TILE = 0.5
for parity, name in ((0, "tiles_dark.obj"), (1, "tiles_light.obj")):
    tiles = Mesh()
    for i in range(24):
        for j in range(16):
            if (i + j) % 2 != parity:
                continue
            x0, z0 = -6 + i * TILE, -4 + j * TILE
            q = [tiles.vertex(p, (0.0, 1.0, 0.0)) for p in
                 ((x0, 0.0, z0), (x0 + TILE, 0.0, z0), (x0 + TILE, 0.0, z0 + TILE), (x0, 0.0, z0 + TILE))]
            tiles.tri(q[0], q[1], q[2], (0, 1, 0))
            tiles.tri(q[0], q[2], q[3], (0, 1, 0))
    for i in range(24):
        for j in range(12):
            if (i + j) % 2 == parity:
                continue
            x0, y0 = -6 + i * TILE, j * TILE
            q = [tiles.vertex(p, (0.0, 0.0, 1.0)) for p in
                 ((x0, y0, -4.0), (x0 + TILE, y0, -4.0), (x0 + TILE, y0 + TILE, -4.0), (x0, y0 + TILE, -4.0))]
            tiles.tri(q[0], q[1], q[2], (0, 0, 1))
            tiles.tri(q[0], q[2], q[3], (0, 0, 1))
    tiles.write(os.path.join(out, name), "checkered floor and back wall, tiles of 0.5")
