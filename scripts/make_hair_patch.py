#!/usr/bin/env python3
"""Writes a patch of hairs as a scene object, for `$include` in a scene (scenes/hair.mi).

    scripts/make_hair_patch.py [--hairs N] [--seed S] [--name NAME] > scenes/hair_patch.mi

The hairs grow from a jittered grid on the square [-0.5, 0.5] x [-0.5, 0.5] of the plane y = 0,
up and leaning away from the centre, each one cubic segment of four vertices with a per-hair
radius (hair_data r 1) that the instance's scale multiplies.
"""
import argparse
import math
import random


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--hairs", type=int, default=3000)
    ap.add_argument("--seed", type=int, default=11)
    ap.add_argument("--name", default="hair_patch")
    args = ap.parse_args()
    rnd = random.Random(args.seed)
    side = math.ceil(math.sqrt(args.hairs))
    per_hair = 1 + 4 * 3
    print("# %d hairs made by scripts/make_hair_patch.py --hairs %d --seed %d"
          % (args.hairs, args.hairs, args.seed))
    print('object "%s" visible shadow trace' % args.name)
    print("  hair\n    degree 3\n    hair_data r 1")
    print("    scalars %d" % (args.hairs * per_hair))
    for k in range(args.hairs):
        x = -0.5 + (k % side + rnd.random()) / side
        z = -0.5 + (k // side + rnd.random()) / side
        length = 0.35 + 0.25 * rnd.random()
        # lean away from the centre, with a little random sway
        lean = 0.25 + 0.15 * rnd.random()
        d = math.hypot(x, z) or 1.0
        lx, lz = x / d * lean + 0.08 * (rnd.random() - 0.5), z / d * lean + 0.08 * (rnd.random() - 0.5)
        pts = []
        for v in range(4):
            t = v / 3.0
            pts.append((x + lx * length * t * t, length * (t - 0.25 * lean * t * t), z + lz * length * t * t))
        radius = 0.0035 + 0.0015 * rnd.random()
        print("    %.4f " % radius + "  ".join("%.4f %.4f %.4f" % p for p in pts))
    starts = " ".join(str(k * per_hair) for k in range(args.hairs + 1))
    print("    hairs %d %s" % (args.hairs + 1, starts))
    print("  end hair\nend object")


if __name__ == "__main__":
    main()
