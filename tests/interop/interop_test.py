#!/usr/bin/python3
"""bravik against BMP files written by other programs.

The same pictures are written as BMP by ImageMagick (its default writer,
which uses a 124-byte header, and its BMP3 writer), Pillow and netpbm (both
its Windows and its OS/2 header), plus a top-down copy made here from one of
them. Each file is converted by bravik and must give, byte for byte, what
Pillow decodes from it, packed into RGB565 by dropping low bits. Each
writer's header layout is checked too, so every layout stays covered.

Usage: interop_test.py <path to bravik>

Exits 77 (skipped) when a writer is not installed, unless the environment
variable CI is set: there every writer must be present.
"""
import os
import random
import shutil
import struct
import subprocess
import sys
import tempfile

SKIPPED = 77

# One size for every amount of row padding (width mod 4 is 1, 2, 3, 0). Each
# has more than 256 pixels of random colours, so no writer falls back to a
# palette.
SIZES = [(37, 23), (38, 17), (39, 13), (40, 11)]

# Colours whose low bits decide between truncation and rounding, and the
# extremes of every component.
CORNER_COLOURS = [(7, 3, 7), (8, 4, 8), (0, 0, 0), (255, 255, 255),
                  (255, 0, 0), (0, 255, 0), (0, 0, 255), (248, 252, 248)]


def missing(what):
    if os.environ.get("CI"):
        print(f"FAIL: {what} is required under CI")
        sys.exit(1)
    print(f"SKIP: {what} is not installed")
    sys.exit(SKIPPED)


try:
    from PIL import Image
except ImportError:
    missing("Pillow (python3-pil)")

CONVERT = "/usr/bin/convert"  # ImageMagick itself, not any other convert
for tool in (CONVERT, "/usr/bin/ppmtobmp"):
    if not os.access(tool, os.X_OK):
        missing(tool)


def make_picture(width, height, salt):
    rng = random.Random(salt)
    pixels = [tuple(rng.randrange(256) for _ in range(3))
              for _ in range(width * height)]
    pixels[:len(CORNER_COLOURS)] = CORNER_COLOURS
    picture = Image.new("RGB", (width, height))
    picture.putdata(pixels)
    return picture


def run(args, stdout=subprocess.DEVNULL):
    subprocess.run(args, check=True, stdout=stdout, stderr=subprocess.DEVNULL)


def make_top_down(source, target):
    """Rewrites a bottom-up 40-byte-header BMP with its rows top row first."""
    data = open(source, "rb").read()
    offset, header_size, width, height = struct.unpack_from("<I I i i", data, 10)
    assert header_size == 40 and height > 0, source
    stride = (width * 3 + 3) & ~3
    rows = [data[offset + i * stride:offset + (i + 1) * stride]
            for i in range(height)]
    header = bytearray(data[:offset])
    struct.pack_into("<i", header, 22, -height)
    with open(target, "wb") as out:
        out.write(bytes(header) + b"".join(reversed(rows)))


def write_bitmaps(picture, directory):
    """Every writer's BMP of `picture`, by name."""
    png = os.path.join(directory, "picture.png")
    picture.save(png)
    ppm = os.path.join(directory, "picture.ppm")
    picture.save(ppm, "PPM")
    files = {name: os.path.join(directory, name + ".bmp")
             for name in ("imagemagick", "imagemagick-bmp3", "pillow",
                          "netpbm", "netpbm-os2", "top-down")}
    run([CONVERT, png, files["imagemagick"]])
    run([CONVERT, png, "BMP3:" + files["imagemagick-bmp3"]])
    picture.save(files["pillow"], "BMP")
    with open(files["netpbm"], "wb") as out:
        run(["/usr/bin/ppmtobmp", "-bpp=24", ppm], stdout=out)
    with open(files["netpbm-os2"], "wb") as out:
        run(["/usr/bin/ppmtobmp", "-os2", "-bpp=24", ppm], stdout=out)
    make_top_down(files["pillow"], files["top-down"])
    return files


# The layout each writer is known to produce: information header size, pixel
# offset, whether rows are stored top row first. A writer that changes its
# layout fails here rather than quietly leaving that layout untested.
LAYOUTS = {
    "imagemagick": (124, 138, False),
    "imagemagick-bmp3": (40, 54, False),
    "pillow": (40, 54, False),
    "netpbm": (40, 54, False),
    "netpbm-os2": (12, 26, False),
    "top-down": (40, 54, True),
}


def layout(path):
    """(header size, pixel offset, top-down), or a reason the file is not
    an uncompressed 24-bit BMP."""
    data = open(path, "rb").read(34)
    offset, header_size = struct.unpack_from("<II", data, 10)
    if header_size == 12:
        # The OS/2 core header: 16-bit dimensions, no compression field.
        _, height, _, bit_count = struct.unpack_from("<HHHH", data, 18)
        compression = 0
    else:
        height, _, bit_count, compression = struct.unpack_from("<iHHI", data,
                                                               22)
    if bit_count != 24 or compression != 0:
        return f"{bit_count} bits per pixel, compression {compression}"
    return header_size, offset, height < 0


def pack(picture):
    words = bytearray()
    for red, green, blue in picture.getdata():
        words += struct.pack("<H", (red >> 3) << 11 | (green >> 2) << 5 | blue >> 3)
    return bytes(words)


def main():
    bravik = sys.argv[1]
    failures = []
    with tempfile.TemporaryDirectory(prefix="bravik-interop-") as directory:
        for salt, (width, height) in enumerate(SIZES):
            picture = make_picture(width, height, salt)
            for name, path in write_bitmaps(picture, directory).items():
                label = f"{name} {width}x{height}"
                found = layout(path)
                if found != LAYOUTS[name]:
                    failures.append(f"{label}: wrote {found}, not (header size, "
                                    f"pixel offset, top-down) {LAYOUTS[name]}")
                    continue
                label += " (header %d, pixels at %d%s)" % (
                    found[0], found[1], ", top-down" if found[2] else "")
                decoded = Image.open(path)
                decoded.load()
                if decoded.convert("RGB").tobytes() != picture.tobytes():
                    failures.append(f"{label}: the writer changed the picture")
                    continue
                output = os.path.join(directory, name + ".raw")
                result = subprocess.run([bravik, path, output],
                                        capture_output=True, text=True)
                expected_out = (f"Input file: {path}\nOutput file: {output}\n"
                                "Image converted successfully")
                if result.stdout != expected_out or result.stderr or result.returncode:
                    failures.append(f"{label}: printed {result.stdout!r}, "
                                    f"stderr {result.stderr!r}, status {result.returncode}")
                    continue
                got = open(output, "rb").read()
                if got != pack(decoded.convert("RGB")):
                    failures.append(f"{label}: output differs from Pillow's decoding")
                    continue
                print(f"ok   {label}")
    for failure in failures:
        print(f"FAIL {failure}")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
