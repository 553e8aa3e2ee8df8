"""What the two benchmarks share: building the binaries, the reference
RGB565 pack every output is checked against, the I/O floor's output, and
timing in alternating rounds."""
import os
import statistics
import subprocess
import sys
import time

REPO = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(REPO, "scripts"))
import bmpfile  # noqa: E402,F401  (re-exported for the benchmarks)

FLOOR_BLOCK = 1 << 20  # io_floor's block size


def build(build_dir):
    """The tool and the floor as the README builds them (Release, default
    options); returns their paths."""
    subprocess.run(["cmake", "-S", REPO, "-B", build_dir,
                    "-DCMAKE_BUILD_TYPE=Release", "-DBRAVIK_BUILD_TESTS=OFF",
                    "-DBRAVIK_BUILD_BENCH=ON"],
                   check=True, stdout=subprocess.DEVNULL)
    subprocess.run(["cmake", "--build", build_dir, "-j2",
                    "--target", "bravik", "io_floor"],
                   check=True, stdout=subprocess.DEVNULL)
    return (os.path.join(build_dir, "bravik"),
            os.path.join(build_dir, "bench", "io_floor"))


def describe_machine(bravik):
    with open("/proc/cpuinfo") as f:
        model = next(line.split(":", 1)[1].strip() for line in f
                     if line.startswith("model name"))
    revision = subprocess.run(["git", "-C", REPO, "describe", "--always",
                               "--dirty"], capture_output=True, text=True,
                              check=False).stdout.strip()
    linkage = subprocess.run(["file", "-b", bravik], capture_output=True,
                             text=True, check=False).stdout
    linkage = "static" if "statically linked" in linkage else "dynamic"
    return ("bravik %s (%s) on %s, %d cores, Linux %s; load at start: %s" %
            (revision, linkage, model, os.cpu_count(), os.uname().release,
             load()))


def load():
    return "%.2f %.2f %.2f" % os.getloadavg()


# Lookup tables for the reference pack: which bits of each 8-bit component
# land in which byte of the little-endian word.
_BLUE_LOW = bytes(v >> 3 for v in range(256))
_GREEN_LOW = bytes((v >> 2 & 0x07) << 5 for v in range(256))
_GREEN_HIGH = bytes(v >> 5 for v in range(256))
_RED_HIGH = bytes(v & 0xF8 for v in range(256))


def _or(a, b):
    return (int.from_bytes(a, "little") |
            int.from_bytes(b, "little")).to_bytes(len(a), "little")


def rgb565(bgr):
    """RGB565 words, low byte first, of pixels given as blue, green, red bytes:
    built byte by byte from tables, not the way the tool computes them."""
    blue, green, red = bgr[0::3], bgr[1::3], bgr[2::3]
    words = bytearray(2 * len(blue))
    words[0::2] = _or(blue.translate(_BLUE_LOW), green.translate(_GREEN_LOW))
    words[1::2] = _or(green.translate(_GREEN_HIGH), red.translate(_RED_HIGH))
    return bytes(words)


def expected_output(bmp, width, height, rows=None):
    """What the tool must write for a 40-byte-header picture, as a map from
    row (counted from the top) to its words; all rows unless `rows` names
    some."""
    stride = bmpfile.row_stride(width)
    rows = range(abs(height)) if rows is None else rows
    expected = {}
    with open(bmp, "rb") as f:
        for row in rows:
            stored = row if height < 0 else height - 1 - row
            f.seek(54 + stored * stride)
            expected[row] = rgb565(f.read(width * 3))
    return expected


def floor_output_size(input_size):
    """What io_floor writes for an input: two thirds of every block."""
    whole, rest = divmod(input_size, FLOOR_BLOCK)
    return whole * (FLOOR_BLOCK // 3 * 2) + rest // 3 * 2


def run_timed(argv, stdout=subprocess.DEVNULL, stdin=None, cwd=None,
              env=None):
    """Runs one program to its end; returns wall and user seconds (the user
    time includes the program's own children, as xargs' are)."""
    start = time.perf_counter()
    process = subprocess.Popen(argv, stdin=stdin, stdout=stdout,
                               stderr=subprocess.DEVNULL, cwd=cwd, env=env)
    _, status, usage = os.wait4(process.pid, 0)
    wall = time.perf_counter() - start
    process.returncode = os.waitstatus_to_exitcode(status)
    if process.returncode != 0:
        sys.exit("%s exited with %d" % (" ".join(argv), process.returncode))
    return wall, usage.ru_utime


def rotated(items, round_index):
    """The round's running order: each round starts one further along, so
    that no program always runs first or last."""
    shift = round_index % len(items)
    return items[shift:] + items[:shift]


def median_ratio(walls, baseline_walls):
    """The median over rounds of the ratio within each round: the two ran
    moments apart, so load that drifts between rounds cancels."""
    return statistics.median(a / b for a, b in zip(walls, baseline_walls))
