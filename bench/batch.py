#!/usr/bin/python3
"""Times a batch of many small pictures, one bravik process each, against
the I/O floor started the same way.

Makes several hundred pictures (mostly 160 x 128, a few of each larger size
up to 1280 x 720), converts them all through `xargs -P` with every core, and
times the same batch with io_floor (a statically linked program that reads
each file and writes two thirds of it), in alternating rounds. The figure
that counts is the median over rounds of the batch's time over the floor's.

For the reader's information it also times, in the first few rounds, what a
user might run instead on the same batch: ffmpeg per file through the same
xargs, one Python process that converts every file with Pillow, and the two
batch recipes of the README (xargs with a shell loop, make -j).

Every program's outputs are checked before anything is timed.

    /usr/bin/python3 bench/batch.py [--rounds 11] [--quick] [--bravik PATH]

Needs Debian's own Python (for Pillow); ffmpeg and make are timed when
installed.
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

# Width, height and how many: start-up dominates the first, conversion the
# last.
GROUPS = [(160, 128, 600), (320, 240, 40), (640, 480, 20), (1280, 720, 10)]
TARGET = 1.05

PILLOW_LOOP = r"""
import sys
from PIL import Image, ImageMath
names, source, target = sys.argv[1:]
for name in open(names).read().split():
    red, green, blue = Image.open(f"{source}/{name}.bmp").convert("RGB").split()
    word = ImageMath.eval("(r >> 3 << 11) | (g >> 2 << 5) | (b >> 3)",
                          r=red, g=green, b=blue)
    with open(f"{target}/{name}.raw", "wb") as out:
        out.write(word.convert("I;16").tobytes())
"""

# The README's recipes, with the tool taken from $BRAVIK.
XARGS_RECIPE = r"""
for f; do
  result=$("$BRAVIK" "$f" "${f%.bmp}.raw")
  case $result in
    *"Image converted successfully") ;;
    *) printf "%s: " "$f"; printf "%s\n" "$result" | tail -n 1 ;;
  esac
done
"""
MAKEFILE = """\
.DELETE_ON_ERROR:
all: $(patsubst %.bmp,%.raw,$(wildcard *.bmp))
%.raw: %.bmp
\t@result=$$($(BRAVIK) $< $@); case $$result in \\
\t  *'Image converted successfully') ;; *) echo "$$result"; exit 1 ;; esac
"""


def make_group(folder, width, height, count):
    """`count` pictures of random pixels, named 0000 ... in folder/in."""
    source = os.path.join(folder, "in")
    os.makedirs(source)
    generator = random.Random(width * 7919 + height)
    names = ["%04d" % i for i in range(count)]
    for name in names:
        bmpfile.save(os.path.join(source, name + ".bmp"), width, height,
                     generator.randbytes(width * height * 3))
    with open(os.path.join(folder, "names"), "w") as f:
        f.write("".join(name + "\n" for name in names))
    return names


def each_file(program_args):
    """Runs a program once per picture through xargs on every core; {} in
    its arguments stands for the picture's name."""
    return ["xargs", "-P", str(os.cpu_count()), "-I{}"] + program_args


def programs(bravik, floor, scratch):
    """The table of what is timed: name, how it runs in a group's folder
    (argv; whether it reads the list of names on standard input; whether it
    writes next to the inputs), and whether it is the yardstick or only for
    information."""
    table = [
        ("bravik", each_file([bravik, "in/{}.bmp", "out/{}.raw"]), False),
        ("floor", each_file([floor, "in/{}.bmp", "out/{}.raw"]), False),
    ]
    ffmpeg = shutil.which("ffmpeg")
    if ffmpeg:
        table.append(("ffmpeg", each_file(
            [ffmpeg, "-nostdin", "-v", "error", "-y", "-i", "in/{}.bmp",
             "-vf", "scale=flags=neighbor:sws_dither=none,format=rgb565le",
             "-f", "rawvideo", "out/{}.raw"]), True))
    if subprocess.run([sys.executable, "-c", "import PIL"],
                      stderr=subprocess.DEVNULL, check=False).returncode == 0:
        table.append(("Pillow", [sys.executable, "-c", PILLOW_LOOP, "names",
                                 "in", "out"], True))
    table.append(("xargs recipe",
                  ["sh", "-c", "find in -name '*.bmp' -print0 | xargs -0 "
                   "-n 16 -P %d sh -c '%s' sh" % (os.cpu_count(),
                                                   XARGS_RECIPE)], True))
    if shutil.which("make"):
        makefile = os.path.join(scratch, "Makefile")
        with open(makefile, "w") as f:
            f.write(MAKEFILE)
        table.append(("make recipe",
                      ["make", "-s", "-C", "in", "-f", makefile,
                       "-j%d" % os.cpu_count(), "BRAVIK=" + bravik], True))
    return table


def outputs(folder, name, names):
    """Where a program's outputs land: the recipes write beside the inputs."""
    beside = name.endswith("recipe")
    return [os.path.join(folder, "in" if beside else "out", n + ".raw")
            for n in names]


def clear_outputs(folder):
    shutil.rmtree(os.path.join(folder, "out"), ignore_errors=True)
    os.mkdir(os.path.join(folder, "out"))
    for entry in os.scandir(os.path.join(folder, "in")):
        if entry.name.endswith(".raw"):
            os.unlink(entry.path)


def run_program(argv, folder, env, stdout=subprocess.DEVNULL):
    clear_outputs(folder)
    # Nothing written by the last run may be written back during this one.
    os.sync()
    with open(os.path.join(folder, "names")) as names:
        return harness.run_timed(argv, stdin=names, stdout=stdout, cwd=folder,
                                 env=env)[0]


def check(name, argv, folder, names, width, height, env):
    """Runs the program over the group once and checks every output."""
    printed = os.path.join(folder, "printed")
    with open(printed, "wb") as sink:
        run_program(argv, folder, env, stdout=sink)
    with open(printed, "rb") as f:
        text = f.read()
    if name == "bravik":
        # Runs print at once and their lines interleave; count the outcomes.
        if (text.count(b"Image converted successfully") != len(names) or
                text.count(b"\n") != 2 * len(names)):
            return "printed %r" % text[-200:]
    elif text:
        return "printed %r" % text[-200:]
    for bmp_name, out in zip(names, outputs(folder, name, names)):
        bmp = os.path.join(folder, "in", bmp_name + ".bmp")
        if not os.path.exists(out):
            return "no %s" % out
        with open(out, "rb") as f:
            got = f.read()
        if name == "floor":
            want = harness.floor_output_size(os.path.getsize(bmp))
            if len(got) != want:
                return "%s has %d bytes, not %d" % (out, len(got), want)
            continue
        want = b"".join(harness.expected_output(bmp, width, height).values())
        if got != want:
            return "%s differs from the reference pack" % out
    return None


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rounds", type=int, default=11)
    parser.add_argument("--info-rounds", type=int, default=3,
                        help="rounds that also time ffmpeg, Pillow and the "
                        "recipes")
    parser.add_argument("--quick", action="store_true",
                        help="a tenth of the pictures and 3 rounds, to check "
                        "that everything runs")
    parser.add_argument("--scratch", default="/tmp/bravik-batch")
    parser.add_argument("--build-dir",
                        default=os.path.join(harness.REPO, "build", "bench"))
    parser.add_argument("--bravik", help="time this binary instead of "
                        "building one")
    args = parser.parse_args()
    groups = GROUPS
    if args.quick:
        groups = [(w, h, max(2, n // 10)) for w, h, n in GROUPS]
        args.rounds = args.info_rounds = 3

    bravik, floor = harness.build(args.build_dir)
    bravik = os.path.abspath(args.bravik or bravik)
    print(harness.describe_machine(bravik))
    shutil.rmtree(args.scratch, ignore_errors=True)
    folders = []
    for width, height, count in groups:
        folder = os.path.join(args.scratch, "%dx%d" % (width, height))
        folders.append((folder, width, height,
                        make_group(folder, width, height, count)))
    table = programs(bravik, floor, args.scratch)
    env = dict(os.environ, BRAVIK=bravik)

    for name, argv, _ in table:
        for folder, width, height, names in folders:
            problem = check(name, argv, folder, names, width, height, env)
            if problem:
                sys.exit("%s: wrong output: %s" % (name, problem))
    print("every output checked: %d pictures, %d programs" %
          (sum(len(names) for *_, names in folders), len(table)))

    # walls[name][group] is the list of that program's times, one per round.
    walls = {name: [[] for _ in folders] for name, _, _ in table}
    for round_index in range(args.rounds):
        timed = [entry for entry in table
                 if not entry[2] or round_index < args.info_rounds]
        for name, argv, _ in harness.rotated(timed, round_index):
            for index, (folder, *_) in enumerate(folders):
                walls[name][index].append(run_program(argv, folder, env))
        print("round %d of %d done, load %s" %
              (round_index + 1, args.rounds, harness.load()), flush=True)

    floor_walls = walls["floor"]
    print("\nms per picture and x floor (median of the per-round ratios)")
    print("%-13s" % "" + "".join("%17s" % ("%d x %dx%d" % (len(n), w, h))
                                 for _, w, h, n in folders) +
          "%17s" % "whole batch")
    table = [entry for entry in table if walls[entry[0]][0]]
    for name, _, info in table:
        cells = []
        for index in range(len(folders)):
            count = len(folders[index][3])
            cells.append("%7.3f %5.2fx" % (
                1e3 * statistics.median(walls[name][index]) / count,
                harness.median_ratio(walls[name][index],
                                     floor_walls[index][:len(walls[name][index])])))
        batch = [sum(times) for times in zip(*walls[name])]
        floor_batch = [sum(times) for times in zip(*floor_walls)]
        cells.append("%7.0fms %4.2fx" % (
            1e3 * statistics.median(batch),
            harness.median_ratio(batch, floor_batch)))
        rounds = len(walls[name][0])
        print("%-13s" % name + "".join("%17s" % cell for cell in cells) +
              "   (%d round%s%s)" % (rounds, "s" if rounds > 1 else "",
                                     ", for information" if info else ""))

    # Where the one Pillow process stops beating a process per picture.
    # Where one Pillow process, which starts once, stops keeping up with a
    # process per picture: its time over bravik's in the rounds both ran.
    if "Pillow" in (name for name, _, _ in table):
        print("\nPillow in one process, x bravik: %s" % ", ".join(
            "%dx%d %.2f" % (w, h, harness.median_ratio(
                walls["Pillow"][index],
                walls["bravik"][index][:len(walls["Pillow"][index])]))
            for index, (_, w, h, _) in enumerate(folders)))
    batch = [sum(times) for times in zip(*walls["bravik"])]
    floor_batch = [sum(times) for times in zip(*floor_walls)]
    ratio = harness.median_ratio(batch, floor_batch)
    print("load at end: %s" % harness.load())
    print("%s batch <= %.2f x floor: %.3f" %
          ("ok  " if ratio <= TARGET else "MISS", TARGET, ratio))
    return 0 if ratio <= TARGET else 1


if __name__ == "__main__":
    sys.exit(main())
