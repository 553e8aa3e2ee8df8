#!/usr/bin/env python3
"""Writes sample.bmp: a 150 x 100 24-bit picture for trying bravik out.

Hues sweep left to right and brightness falls top to bottom, so the banding
that RGB565 brings to smooth gradients is easy to see; the width (150, not a
multiple of four) gives every row two bytes of padding. Standard library
only, so the picture can be remade anywhere.
"""
import colorsys
import os
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)),
                                "..", "scripts"))
import bmpfile  # noqa: E402

WIDTH, HEIGHT = 150, 100


def pixel(x, y):
    if y < 12:  # a grey ramp along the top
        level = round(255 * x / (WIDTH - 1))
        return level, level, level
    hue = x / WIDTH
    value = 1.0 - (y - 12) / (HEIGHT - 12) * 0.85
    red, green, blue = colorsys.hsv_to_rgb(hue, 0.9, value)
    return round(red * 255), round(green * 255), round(blue * 255)


def main(path):
    pixels = bytearray()
    for y in range(HEIGHT):
        for x in range(WIDTH):
            red, green, blue = pixel(x, y)
            pixels += bytes((blue, green, red))
    bmpfile.save(path, WIDTH, HEIGHT, pixels)


if __name__ == "__main__":
    main(sys.argv[1] if len(sys.argv) > 1 else "sample.bmp")
