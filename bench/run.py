#!/usr/bin/python3
"""Times bravik on large pictures against the I/O floor (and cp and ffmpeg).

Builds the release binaries, makes the pictures in a scratch directory
(10000 x 10000 bottom-up and top-down, widths of every remainder mod 4, and
32 x 32), checks every program's output once, and then times them in
alternating rounds, rotating the order each round so that no program always
runs first or last. Prints each program's median time, its ratio to the
case's yardstick (the median of the ratios within each round), its user CPU
and peak memory, and whether each target holds.

    /usr/bin/python3 bench/run.py [--rounds 11] [--scratch /tmp/bravik-bench]

Needs about 2.5 GB free under the scratch directory; the pictures are kept
there between runs and remade only when missing. bench/batch.py times many
small pictures instead.
"""
import argparse
import os
import random
import shutil
import statistics
import subprocess
import sys

import harness
from harness import bmpfile

MIB = 1 << 20

# name, width, height (negative: top-down), the programs timed, the
# yardstick, runs per round (a tiny picture takes the mean of many).
CASES = [
    ("10000 x 10000, bottom-up", 10000, 10000, ["bravik", "floor", "ffmpeg"],
     "floor", 1),
    ("32 x 32", 32, 32, ["bravik", "floor", "cp"], "cp", 50),
    ("10000 x 10000, top-down", 10000, -10000, ["bravik", "floor"], "floor", 1),
    ("9997 x 10000", 9997, 10000, ["bravik", "floor"], "floor", 1),
    ("9998 x 10000", 9998, 10000, ["bravik", "floor"], "floor", 1),
    ("9999 x 10000", 9999, 10000, ["bravik", "floor"], "floor", 1),
]


def make_picture(path, width, height):
    """A BMP of random pixels, written a few MiB at a time."""
    stride = bmpfile.row_stride(width)
    rows = abs(height)
    head = bmpfile.headers(width, height)
    if os.path.exists(path) and os.path.getsize(path) == len(head) + stride * rows:
        return
    generator = random.Random(width * 100003 + height)
    rows_per_chunk = max(1, 8 * MIB // stride)
    with open(path + ".part", "wb") as out:
        out.write(head)
        for first in range(0, rows, rows_per_chunk):
            count = min(rows_per_chunk, rows - first)
            out.write(bmpfile.pad_rows(generator.randbytes(width * 3 * count),
                                       width))
    os.replace(path + ".part", path)


def same_files(a, b):
    with open(a, "rb") as fa, open(b, "rb") as fb:
        while True:
            x, y = fa.read(8 * MIB), fb.read(8 * MIB)
            if x != y:
                return False
            if not x:
                return True


def check_bravik(case, out, printed):
    _, width, height, *_ = case["row"]
    rows = abs(height)
    if not printed.endswith(b"Image converted successfully"):
        return "printed %r" % printed[-80:]
    if os.path.getsize(out) != 2 * width * rows:
        return "%d bytes, not %d" % (os.path.getsize(out), 2 * width * rows)
    sample = {0, 1, rows // 2, rows - 2, rows - 1} | set(
        random.Random(rows).sample(range(rows), min(rows, 24)))
    with open(out, "rb") as f:
        for row, words in harness.expected_output(case["picture"], width,
                                                  height, sorted(sample)).items():
            f.seek(row * 2 * width)
            if f.read(2 * width) != words:
                return "row %d differs from the reference pack" % row
    return None


def tool_table(bravik, floor):
    """How each program runs (its argv for a picture and an output path) and
    how its output is checked. ffmpeg's must equal bravik's, so bravik is
    checked first."""
    table = {
        "bravik": (lambda src, out: [bravik, src, out], check_bravik),
        "floor": (lambda src, out: [floor, src, out],
                  lambda case, out, _: None
                  if os.path.getsize(out) == harness.floor_output_size(
                      os.path.getsize(case["picture"]))
                  else "%d bytes" % os.path.getsize(out)),
        "cp": (lambda src, out: ["cp", src, out],
               lambda case, out, _: None
               if same_files(case["picture"], out) else "differs"),
    }
    ffmpeg = shutil.which("ffmpeg")
    if ffmpeg:
        table["ffmpeg"] = (
            lambda src, out: [
                ffmpeg, "-nostdin", "-v", "error", "-y", "-i", src, "-vf",
                "scale=flags=neighbor:sws_dither=none,format=rgb565le",
                "-f", "rawvideo", out],
            lambda case, out, _: None
            if same_files(out, case["outputs"]["bravik"])
            else "differs from bravik's output")
    return table


def run(argv, out, repeat=1):
    """Mean wall and user seconds over `repeat` runs, and what the last run
    printed."""
    walls, users = [], []
    for _ in range(repeat):
        if os.path.exists(out):
            os.unlink(out)
        with open(out + ".printed", "wb") as sink:
            wall, user = harness.run_timed(argv, stdout=sink)
        walls.append(wall)
        users.append(user)
    with open(out + ".printed", "rb") as f:
        printed = f.read()
    return statistics.fmean(walls), statistics.fmean(users), printed


def peak_memory_mib(argv, scratch):
    """The program's peak resident set, taken through /usr/bin/time: a child
    of this script would report the script's own size instead, since the
    figure survives the exec that starts the program."""
    report = os.path.join(scratch, "out-peak-memory")
    harness.run_timed(["/usr/bin/time", "-f", "%M", "-o", report] + argv)
    with open(report) as f:
        return int(f.read().split()[-1]) / 1024


def time_case(case, table, rounds, scratch):
    name, _, _, programs, _, repeat = case["row"]
    programs = [p for p in programs if p in table]
    case["outputs"] = {p: os.path.join(scratch, "out-" + p) for p in programs}
    argvs = {p: table[p][0](case["picture"], case["outputs"][p])
             for p in programs}
    for program in programs:
        *_, printed = run(argvs[program], case["outputs"][program])
        problem = table[program][1](case, case["outputs"][program], printed)
        if problem:
            sys.exit("%s, %s: wrong output: %s" % (name, program, problem))
    results = {p: {"walls": [], "users": [],
                   "peak": peak_memory_mib(argvs[p], scratch)}
               for p in programs}
    for round_index in range(rounds):
        for program in harness.rotated(programs, round_index):
            # Nothing dirty from an earlier run may be written back mid-run.
            os.sync()
            wall, user, _ = run(argvs[program], case["outputs"][program],
                                repeat)
            results[program]["walls"].append(wall)
            results[program]["users"].append(user)
    for out in case["outputs"].values():
        for path in (out, out + ".printed"):
            if os.path.exists(path):
                os.unlink(path)
    return results


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rounds", type=int, default=11)
    parser.add_argument("--scratch", default="/tmp/bravik-bench")
    parser.add_argument("--build-dir",
                        default=os.path.join(harness.REPO, "build", "bench"))
    args = parser.parse_args()
    if args.rounds < 5:
        sys.exit("at least 5 rounds")

    bravik, floor = harness.build(args.build_dir)
    os.makedirs(args.scratch, exist_ok=True)
    print(harness.describe_machine(bravik))
    table = tool_table(bravik, floor)

    results = {}
    for row in CASES:
        name, width, height, _, yardstick, repeat = row
        picture = os.path.join(args.scratch, "%dx%d.bmp" % (width, height))
        make_picture(picture, width, height)
        case = {"row": row, "picture": picture}
        timed = time_case(case, table, args.rounds, args.scratch)
        results[name] = timed
        size = os.path.getsize(picture)
        print("\n%s, %s%s (median of %d rounds)" %
              (name, "%d MB" % (size // 10**6) if size >= 10**6
               else "%d bytes" % size,
               ", mean of %d runs per round" % repeat if repeat > 1 else "",
               args.rounds))
        print("  %-8s %10s %11s %8s %10s" %
              ("program", "wall ms", "x " + yardstick, "user %", "peak MiB"))
        base = timed[yardstick]["walls"]
        for program, figures in timed.items():
            wall = statistics.median(figures["walls"])
            print("  %-8s %10.2f %11.3f %8.1f %10.2f" %
                  (program, wall * 1e3,
                   harness.median_ratio(figures["walls"], base),
                   100 * statistics.median(figures["users"]) / wall,
                   figures["peak"]))

    def ratio(case, program="bravik", yardstick="floor"):
        return harness.median_ratio(results[case][program]["walls"],
                                    results[case][yardstick]["walls"])

    big = results[CASES[0][0]]["bravik"]
    user_share = statistics.median(big["users"]) / statistics.median(big["walls"])
    peaks = [results[name]["bravik"]["peak"] for name, *_ in CASES]
    layouts = [(name, ratio(name)) for name, *_ in CASES[2:]]
    checks = [
        ("10000 x 10000 wall <= 1.05 x floor", ratio(CASES[0][0]) <= 1.05,
         "%.3f" % ratio(CASES[0][0])),
        ("user CPU <= 10% of wall", user_share <= 0.10,
         "%.1f%%" % (100 * user_share)),
        ("peak memory <= 8 MiB, within 2 MiB on every picture",
         max(peaks) <= 8 and max(peaks) - min(peaks) <= 2,
         "%.2f to %.2f MiB" % (min(peaks), max(peaks))),
        ("32 x 32 wall <= 1.3 x cp", ratio("32 x 32", yardstick="cp") <= 1.3,
         "%.3f" % ratio("32 x 32", yardstick="cp")),
        ("top-down and every width mod 4 <= 1.05 x floor",
         all(r <= 1.05 for _, r in layouts),
         ", ".join("%.3f" % r for _, r in layouts)),
    ]
    print("\ntargets (load at end: %s)" % harness.load())
    for label, held, figure in checks:
        print("  %-4s %-52s %s" % ("ok" if held else "MISS", label, figure))
    return 0 if all(held for _, held, _ in checks) else 1


if __name__ == "__main__":
    sys.exit(main())
