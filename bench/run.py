#!/usr/bin/python3
"""Times bravik against the I/O floor, cat, cp and (when installed) ffmpeg.

Builds the release binaries, makes the test pictures in a scratch directory
(10000 x 10000 bottom-up and top-down, widths of every remainder mod 4, and
32 x 32), checks every program's output once, and then times them in
alternating rounds, rotating the order each round so that no program always
runs first or last. Prints medians, ratios to the I/O floor (the median of
the ratios within each round), user CPU and peak memory, and whether each
target holds.

    /usr/bin/python3 bench/run.py [--rounds 11] [--scratch /tmp/bravik-bench]

Needs about 2.5 GB free under the scratch directory; the pictures are kept
there between runs and remade only when missing.
"""

import argparse
import os
import random
import shutil
import statistics
import struct
import subprocess
import sys
import time

REPO = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
FLOOR_BLOCK = 1 << 20  # io_floor's block size
MIB = 1 << 20


def build(build_dir):
    subprocess.run(["cmake", "-S", REPO, "-B", build_dir,
                    "-DCMAKE_BUILD_TYPE=Release", "-DBRAVIK_BUILD_TESTS=OFF",
                    "-DBRAVIK_BUILD_BENCH=ON"],
                   check=True, stdout=subprocess.DEVNULL)
    subprocess.run(["cmake", "--build", build_dir, "-j2",
                    "--target", "bravik", "io_floor"],
                   check=True, stdout=subprocess.DEVNULL)
    return (os.path.join(build_dir, "bravik"),
            os.path.join(build_dir, "bench", "io_floor"))


# --- pictures --------------------------------------------------------------

def stride_of(width):
    return (width * 3 + 3) & ~3


def make_picture(path, width, height, top_down):
    """A 24-bit BMP of random pixels; rows are padded to four bytes."""
    stride = stride_of(width)
    size = 54 + stride * height
    if os.path.exists(path) and os.path.getsize(path) == size:
        return
    header = struct.pack("<2sIHHI", b"BM", size, 0, 0, 54)
    header += struct.pack("<IiiHHIIiiII", 40, width,
                          -height if top_down else height, 1, 24, 0,
                          stride * height, 2835, 2835, 0, 0)
    generator = random.Random(width * 100003 + height * 7 + top_down)
    padding = bytes(stride - width * 3)
    rows_per_chunk = max(1, (8 * MIB) // stride)
    with open(path + ".part", "wb") as out:
        out.write(header)
        for first in range(0, height, rows_per_chunk):
            count = min(rows_per_chunk, height - first)
            pixels = generator.randbytes(width * 3 * count)
            out.write(b"".join(pixels[i * width * 3:(i + 1) * width * 3] +
                               padding for i in range(count)))
    os.replace(path + ".part", path)


def reference_rows(picture, width, height, top_down, rows):
    """The expected words of the given rows (counted from the top), packed
    here from the picture's bytes: red >> 3, green >> 2, blue >> 3."""
    stride = stride_of(width)
    expected = {}
    with open(picture, "rb") as f:
        for row in rows:
            stored = row if top_down else height - 1 - row
            f.seek(54 + stored * stride)
            data = f.read(width * 3)
            words = [((data[i + 2] >> 3) << 11) | ((data[i + 1] >> 2) << 5) |
                     (data[i] >> 3) for i in range(0, width * 3, 3)]
            expected[row] = struct.pack("<%dH" % width, *words)
    return expected


def floor_output_size(input_size):
    whole, rest = divmod(input_size, FLOOR_BLOCK)
    return whole * (FLOOR_BLOCK // 3 * 2) + rest // 3 * 2


# --- verification ----------------------------------------------------------

def same_files(a, b):
    with open(a, "rb") as fa, open(b, "rb") as fb:
        while True:
            x = fa.read(8 * MIB)
            y = fb.read(8 * MIB)
            if x != y:
                return False
            if not x:
                return True


def check_bravik(out, picture, width, height, top_down, stdout):
    if not stdout.endswith(b"Image converted successfully"):
        return "printed %r" % stdout[-80:]
    if os.path.getsize(out) != 2 * width * height:
        return "size %d, not %d" % (os.path.getsize(out), 2 * width * height)
    rows = sorted({0, 1, height // 2, height - 2, height - 1} |
                  set(random.Random(height).sample(range(height),
                                                   min(height, 24))))
    with open(out, "rb") as f:
        for row, words in reference_rows(picture, width, height, top_down,
                                         rows).items():
            f.seek(row * 2 * width)
            if f.read(2 * width) != words:
                return "row %d differs from the reference" % row
    return None


# --- timing ----------------------------------------------------------------

def run_once(argv, stdout_path=None):
    """Runs one program; returns wall seconds, user seconds and what it
    printed."""
    sink = open(stdout_path, "wb") if stdout_path else subprocess.PIPE
    start = time.perf_counter()
    process = subprocess.Popen(argv, stdout=sink, stderr=subprocess.DEVNULL)
    printed = b""
    if sink is subprocess.PIPE:
        printed = process.stdout.read()
    _, status, usage = os.wait4(process.pid, 0)
    wall = time.perf_counter() - start
    process.returncode = os.waitstatus_to_exitcode(status)
    if stdout_path:
        sink.close()
    else:
        process.stdout.close()
    if process.returncode != 0:
        sys.exit("%s exited with %d" % (" ".join(argv), process.returncode))
    return wall, usage.ru_utime, printed


def peak_memory_kib(argv, stdout_path, report):
    """The program's peak resident set, taken through /usr/bin/time: a child
    of this script would report the script's own size instead, since the
    figure survives the exec that starts the program."""
    run_once(["/usr/bin/time", "-f", "%M", "-o", report] + argv, stdout_path)
    with open(report) as f:
        return int(f.read().split()[-1])


class Tool:
    def __init__(self, name, argv, out, via_stdout=False, check=None):
        self.name = name
        self.argv = argv
        self.out = out
        self.via_stdout = via_stdout
        self.check = check
        self.walls = []
        self.users = []
        self.peak_kib = 0

    def run(self, repeat=1):
        wall_sum = user_sum = 0.0
        printed = b""
        for _ in range(repeat):
            if os.path.exists(self.out):
                os.unlink(self.out)
            wall, user, printed = run_once(
                self.argv, self.out if self.via_stdout else None)
            wall_sum += wall
            user_sum += user
        return wall_sum / repeat, user_sum / repeat, printed

    def verify(self):
        """Checks the output of one run, and takes the peak memory of
        another."""
        _, _, printed = self.run()
        problem = self.check(printed) if self.check else None
        if problem:
            sys.exit("%s: wrong output: %s" % (self.name, problem))
        os.unlink(self.out)
        self.peak_kib = peak_memory_kib(
            self.argv, self.out if self.via_stdout else None,
            os.path.join(os.path.dirname(self.out), "out-peak-memory"))

    def time(self, repeat):
        # Nothing dirty from an earlier run may be written back mid-run.
        os.sync()
        wall, user, _ = self.run(repeat)
        self.walls.append(wall)
        self.users.append(user)


def alternate(tools, rounds, repeat=1):
    for tool in tools:
        tool.verify()
    for round_index in range(rounds):
        shift = round_index % len(tools)
        for tool in tools[shift:] + tools[:shift]:
            tool.time(repeat)


def ratio(tool, baseline):
    """The median over rounds of the wall-time ratio within each round: the
    two ran moments apart, so load that drifts between rounds cancels."""
    return statistics.median(a / b for a, b in zip(tool.walls, baseline.walls))


def report(title, tools, baseline):
    print("\n%s (median of %d rounds)" % (title, len(baseline.walls)))
    print("  %-8s %10s %9s %9s %9s %9s %9s" %
          ("program", "wall ms", "min ms", "max ms", "x " + baseline.name,
           "user %", "peak MiB"))
    for tool in tools:
        wall = statistics.median(tool.walls)
        user = statistics.median(tool.users)
        print("  %-8s %10.2f %9.2f %9.2f %9.3f %9.1f %9.2f" %
              (tool.name, wall * 1e3, min(tool.walls) * 1e3,
               max(tool.walls) * 1e3, ratio(tool, baseline), 100 * user / wall,
               tool.peak_kib / 1024))


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rounds", type=int, default=11)
    parser.add_argument("--scratch", default="/tmp/bravik-bench")
    parser.add_argument("--build-dir", default=os.path.join(REPO, "build",
                                                           "bench"))
    parser.add_argument("--small-repeat", type=int, default=50,
                        help="runs per round on the 32 x 32 picture")
    args = parser.parse_args()
    if args.rounds < 5:
        sys.exit("at least 5 rounds")

    bravik, floor = build(args.build_dir)
    os.makedirs(args.scratch, exist_ok=True)
    scratch = args.scratch
    ffmpeg = shutil.which("ffmpeg")

    with open("/proc/cpuinfo") as f:
        model = next(line.split(":", 1)[1].strip() for line in f
                     if line.startswith("model name"))
    revision = subprocess.run(["git", "-C", REPO, "describe", "--always",
                               "--dirty"], capture_output=True, text=True,
                              check=False).stdout.strip()
    print("bravik %s on %s, %d cores, Linux %s; load at start: %.2f" %
          (revision, model, os.cpu_count(), os.uname().release,
           os.getloadavg()[0]))

    def picture(width, height, top_down=False):
        name = "%dx%d%s.bmp" % (width, height, "-topdown" if top_down else "")
        path = os.path.join(scratch, name)
        make_picture(path, width, height, top_down)
        return path

    def converter_tools(path, width, height, top_down, tag):
        size = os.path.getsize(path)
        out = os.path.join(scratch, "out-%s" % tag)
        return [
            Tool("bravik", [bravik, path, out + ".bravik"], out + ".bravik",
                 check=lambda printed: check_bravik(
                     out + ".bravik", path, width, height, top_down, printed)),
            Tool("floor", [floor, path, out + ".floor"], out + ".floor",
                 check=lambda printed: None
                 if os.path.getsize(out + ".floor") == floor_output_size(size)
                 else "size %d" % os.path.getsize(out + ".floor")),
        ]

    results = {}

    # The main comparison: the largest picture the tool takes.
    big = picture(10000, 10000)
    tools = converter_tools(big, 10000, 10000, False, "big")
    out = os.path.join(scratch, "out-big")
    tools.append(Tool("cat", ["cat", big], out + ".cat", via_stdout=True,
                      check=lambda printed: None
                      if same_files(big, out + ".cat") else "differs"))
    if ffmpeg:
        tools.append(Tool(
            "ffmpeg",
            [ffmpeg, "-v", "error", "-y", "-i", big, "-vf",
             "scale=flags=neighbor:sws_dither=none,format=rgb565le",
             "-f", "rawvideo", out + ".ffmpeg"],
            out + ".ffmpeg",
            check=lambda printed: None
            if same_files(out + ".ffmpeg", out + ".bravik") else
            "differs from bravik's output"))
    # ffmpeg's output is compared with bravik's, which must exist by then.
    alternate(tools, args.rounds)
    report("10000 x 10000, bottom-up, %d MB in" % (os.path.getsize(big) // 10**6),
           tools, tools[1])
    results["big"] = tools

    # A tiny picture: start-up cost against cp of the same file.
    small = picture(32, 32)
    tools = converter_tools(small, 32, 32, False, "small")
    out = os.path.join(scratch, "out-small")
    tools.append(Tool("cp", ["cp", small, out + ".cp"], out + ".cp",
                      check=lambda printed: None
                      if same_files(small, out + ".cp") else "differs"))
    tools.append(Tool("cat", ["cat", small], out + ".cat", via_stdout=True))
    alternate(tools, args.rounds, args.small_repeat)
    report("32 x 32, mean of %d runs per round" % args.small_repeat, tools,
           tools[2])
    results["small"] = tools

    # Layouts that must keep the speed: top-down rows, and every padding.
    variants = [(10000, 10000, True), (9997, 10000, False),
                (9998, 10000, False), (9999, 10000, False)]
    for width, height, top_down in variants:
        path = picture(width, height, top_down)
        tag = "%d%s" % (width, "t" if top_down else "")
        tools = converter_tools(path, width, height, top_down, tag)
        alternate(tools, args.rounds)
        report("%d x %d, %s, %d padding bytes per row" %
               (width, height, "top-down" if top_down else "bottom-up",
                stride_of(width) - width * 3), tools, tools[1])
        results[tag] = tools
        for tool in tools:
            os.unlink(tool.out)

    for name in os.listdir(scratch):
        if name.startswith("out-"):
            os.unlink(os.path.join(scratch, name))

    big_bravik, big_floor = results["big"][0], results["big"][1]
    small_bravik, small_cp = results["small"][0], results["small"][2]
    peak_big = big_bravik.peak_kib / 1024
    peak_small = small_bravik.peak_kib / 1024
    user_share = (statistics.median(big_bravik.users) /
                  statistics.median(big_bravik.walls))
    layouts = [(tag, ratio(tools[0], tools[1]))
               for tag, tools in results.items() if tag not in ("big",
                                                                  "small")]
    checks = [
        ("10000 x 10000 wall <= 1.05 x floor",
         ratio(big_bravik, big_floor) <= 1.05,
         "%.3f" % ratio(big_bravik, big_floor)),
        ("user CPU <= 10% of wall", user_share <= 0.10,
         "%.1f%%" % (100 * user_share)),
        ("peak memory <= 8 MiB", max(peak_big, peak_small) <= 8,
         "%.2f MiB" % max(peak_big, peak_small)),
        ("peak memory 32 x 32 vs 10000 x 10000 within 2 MiB",
         abs(peak_big - peak_small) <= 2,
         "%.2f vs %.2f MiB" % (peak_small, peak_big)),
        ("32 x 32 wall <= 1.3 x cp", ratio(small_bravik, small_cp) <= 1.3,
         "%.3f" % ratio(small_bravik, small_cp)),
        ("top-down and every width mod 4 <= 1.05 x floor",
         all(r <= 1.05 for _, r in layouts),
         ", ".join("%s %.3f" % item for item in layouts)),
    ]
    print("\ntargets (load at end: %.2f)" % os.getloadavg()[0])
    for label, held, figure in checks:
        print("  %-4s %-50s %s" % ("ok" if held else "MISS", label, figure))
    return 0 if all(held for _, held, _ in checks) else 1


if __name__ == "__main__":
    sys.exit(main())
