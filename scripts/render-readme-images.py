#!/usr/bin/python3
"""Renders the README's two pictures into docs/.

docs/sample.png is examples/sample.bmp as it is; docs/sample-rgb565.png is
what bravik makes of it, read back from the raw RGB565 output. Both are
enlarged three times with nearest-neighbour scaling so the banding of the
5- and 6-bit components is plain to see.

Usage: scripts/render-readme-images.py [path to bravik]
(default: build/default/bravik, as the README's quick start builds it).
Needs Pillow (Debian's python3-pil), hence /usr/bin/python3.
"""
import os
import subprocess
import sys
import tempfile

from PIL import Image

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
SCALE = 3


def expand(value, bits):
    # Repeating the high bits into the low ones maps the largest 5- or 6-bit
    # value to 255, so white stays white, as displays show it.
    return (value << (8 - bits)) | (value >> (2 * bits - 8))


def decode_rgb565(raw, width, height):
    picture = Image.new("RGB", (width, height))
    pixels = []
    for offset in range(0, len(raw), 2):
        word = raw[offset] | (raw[offset + 1] << 8)
        pixels.append((expand(word >> 11, 5), expand((word >> 5) & 0x3F, 6),
                       expand(word & 0x1F, 5)))
    picture.putdata(pixels)
    return picture


def save(picture, name):
    enlarged = picture.resize((picture.width * SCALE, picture.height * SCALE),
                              Image.NEAREST)
    path = os.path.join(ROOT, "docs", name)
    enlarged.save(path, optimize=True)
    print(f"wrote {os.path.relpath(path, ROOT)} "
          f"({enlarged.width} x {enlarged.height})")


def main():
    tool = sys.argv[1] if len(sys.argv) > 1 else os.path.join(
        ROOT, "build", "default", "bravik")
    source = os.path.join(ROOT, "examples", "sample.bmp")
    original = Image.open(source).convert("RGB")
    width, height = original.size

    with tempfile.TemporaryDirectory() as scratch:
        output = os.path.join(scratch, "sample.raw")
        run = subprocess.run([tool, source, output], capture_output=True,
                             text=True, check=False)
        if not run.stdout.endswith("Image converted successfully"):
            sys.exit(f"{tool} did not convert {source}:\n{run.stdout}")
        with open(output, "rb") as raw_file:
            raw = raw_file.read()
    if len(raw) != 2 * width * height:
        sys.exit(f"expected {2 * width * height} bytes, got {len(raw)}")

    os.makedirs(os.path.join(ROOT, "docs"), exist_ok=True)
    save(original, "sample.png")
    save(decode_rgb565(raw, width, height), "sample-rgb565.png")


if __name__ == "__main__":
    main()
