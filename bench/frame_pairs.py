#!/usr/bin/env python3
"""One-thread frame times of the example scenes: this build's ornrender against another's.

Each scene (at --scale of its resolution) is rendered by both commands in turn, the order
swapped every round, on one thread; a run's time is the user + system CPU time of the whole
process (reading the scene, building the BVH, the photon pass, rendering, writing the files):
on a machine that other work keeps busy, wall time counts the waits for a core. Per scene it
prints the medians of both and the median of the paired ratios (this / base) with their range.

    python3 bench/frame_pairs.py --base BASE_BUILD/bin/ornrender \\
        [--new build/bin/ornrender] [--rounds 5] [--scale 0.5] [--scenes demo,lights,hair,gi,dof]

BASE_BUILD is a build of the earlier commit, for example of a worktree made with
`git worktree add ../base 726b7de` and built there as this one is.

Run from the repository root; the scaled scenes go beside the originals (they name their meshes
relative to themselves) and are removed afterwards.
"""
import argparse, os, re, statistics, subprocess, sys, tempfile


def cpu_seconds(cmd):
    p = subprocess.Popen(cmd, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
    _, status, usage = os.wait4(p.pid, 0)
    err = p.stderr.read().decode(errors="replace")
    p.stderr.close()
    if status != 0:
        sys.exit(f"frame_pairs: {' '.join(cmd)} failed:\n{err}")
    return usage.ru_utime + usage.ru_stime


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--base", required=True)
    ap.add_argument("--new", default="build/bin/ornrender")
    ap.add_argument("--rounds", type=int, default=5)
    ap.add_argument("--scale", type=float, default=0.5)
    ap.add_argument("--scenes", default="demo,lights,hair,gi,dof")
    a = ap.parse_args()
    made = []
    try:
        with tempfile.TemporaryDirectory() as out:
            print(f"{'scene':8} {'base s':>8} {'new s':>8} {'new/base (range)':>24}  rounds {a.rounds}, "
                  f"scale {a.scale}, 1 thread")
            for name in a.scenes.split(","):
                text = open(f"scenes/{name}.mi").read()
                m = re.search(r"resolution\s+(\d+)\s+(\d+)", text)
                if m and a.scale != 1:
                    w, h = (max(1, round(int(v) * a.scale)) for v in m.groups())
                    text = text[: m.start()] + f"resolution {w} {h}" + text[m.end():]
                path = f"scenes/.frame_pairs_{name}.mi"
                open(path, "w").write(text)
                made.append(path)
                times = {"base": [], "new": []}
                for r in range(a.rounds):
                    order = ("base", "new") if r % 2 == 0 else ("new", "base")
                    for k in order:
                        exe = a.base if k == "base" else a.new
                        times[k].append(cpu_seconds([exe, "-q", "-t", "1", "-o", os.path.join(out, k), path]))
                ratios = [n / b for n, b in zip(times["new"], times["base"])]
                print(f"{name:8} {statistics.median(times['base']):8.2f} {statistics.median(times['new']):8.2f} "
                      f"{statistics.median(ratios):8.3f} ({min(ratios):.3f}-{max(ratios):.3f})", flush=True)
    finally:
        for p in made:
            if os.path.exists(p):
                os.remove(p)


if __name__ == "__main__":
    main()
