#!/usr/bin/env python3
"""Writes the fuzzer's starting inputs into fuzz/corpus/.

Small BMPs of every header layout the tool accepts, plus hostile headers that
must be refused cleanly. Run it again after changing it; the files it writes
are kept in the repository so ctest can replay them.
"""
import os
import struct
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
OUT = os.path.join(HERE, "corpus")
sys.path.insert(0, os.path.join(HERE, "..", "scripts"))
import bmpfile  # noqa: E402


def pixels(width, rows, salt):
    """Deterministic varied picture, top row first, blue-green-red bytes."""
    state = 2654435769 * salt + 12345
    data = bytearray()
    for _ in range(width * rows * 3):
        state = (state * 1664525 + 1013904223) & 0xFFFFFFFF
        data.append(state >> 24)
    return bytes(data)


def bmp(width, height, salt=1, **options):
    """A small BMP of a varied picture; `options` go to bmpfile.encode()."""
    return bmpfile.encode(width, height, pixels(width, abs(height), salt),
                          **options)


def patched(data, offset, fmt, value):
    data = bytearray(data)
    struct.pack_into(fmt, data, offset, value)
    return bytes(data)


def main():
    os.makedirs(OUT, exist_ok=True)
    base = bmp(3, 2)
    cases = {
        # Accepted layouts.
        "info40-3x2": base,
        "info40-1x3": bmp(1, 3),
        "info40-4x2-no-padding": bmp(4, 2),
        "info40-top-down": bmp(5, -3),
        "info40-gap": bmp(2, 2, gap=b"\xAB" * 7),
        "info40-bitfields": bmp(3, 2, compression=3),
        "info40-last-padding-dropped": bmp(5, 2, drop_last_padding=True),
        "info40-wide-rows": bmp(70, 2, salt=2),
        "info40-width0": bmp(0, 3),
        "info40-height0": bmp(3, 0),
        "core12": bmp(3, 2, header_size=12),
        "os2-16": bmp(3, 2, header_size=16),
        "os2-64": bmp(3, 2, header_size=64),
        "v2-52-bitfields": bmp(3, 2, header_size=52, compression=3),
        "v3-56": bmp(3, 2, header_size=56),
        "v4-108": bmp(3, 2, header_size=108),
        "v5-124": bmp(6, -2, header_size=124),
        "v5-124-bitfields": bmp(19, 2, header_size=124, compression=3),
        # Refused.
        "hostile-height-min": patched(base, 22, "<I", 0x80000000),
        "hostile-height-minus-10001": patched(base, 22, "<i", -10001),
        "hostile-width-max": patched(base, 18, "<I", 0x7FFFFFFF),
        "hostile-width-negative": patched(base, 18, "<i", -1),
        "hostile-offset-max": patched(base, 10, "<I", 0xFFFFFFFF),
        "hostile-offset-zero": patched(base, 10, "<I", 0),
        "hostile-header-size-0": patched(base, 14, "<I", 0),
        "hostile-header-size-11": patched(base, 14, "<I", 11),
        "hostile-header-size-13": patched(base, 14, "<I", 13),
        "hostile-header-size-65": patched(base, 14, "<I", 65),
        "hostile-header-size-max": patched(base, 14, "<I", 0xFFFFFFFF),
        "hostile-bit-count-0": patched(base, 28, "<H", 0),
        "hostile-bit-count-max": patched(base, 28, "<H", 65535),
        "hostile-bit-count-32": bmp(3, 2, bit_count=32),
        "hostile-rle8": bmp(3, 2, compression=1),
        "hostile-odd-masks": bmp(3, 2, compression=3,
                                 masks=(0xFF, 0xFF00, 0xFF0000)),
        "hostile-10000x10000-60-bytes": patched(
            patched(base, 18, "<i", 10000), 22, "<i", 10000)[:60],
        "hostile-10001-wide": patched(base, 18, "<i", 10001),
        "hostile-truncated-pixels": base[:-5],
        "hostile-header-cut": base[:30],
        "hostile-one-byte": b"B",
        "hostile-empty": b"",
    }
    for name, data in cases.items():
        with open(os.path.join(OUT, name + ".bmp"), "wb") as out:
            out.write(data)


if __name__ == "__main__":
    main()
