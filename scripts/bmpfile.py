"""Writes 24-bit BMP files: the one writer behind the sample picture, the
fuzzer's corpus and the benchmarks' pictures. Standard library only.

Pixels are given as the picture's rows top row first, each row `width`
pixels of three bytes in file order (blue, green, red), with no padding.
A positive height stores them bottom row first, as BMP files usually do; a
negative one top row first.

    import bmpfile
    bmpfile.save("out.bmp", 2, 1, bytes((255, 0, 0, 0, 0, 255)))  # blue, red

Fields that the tool reads can be set to unusual values (header size, bit
count, compression, bit-field masks, a gap before the pixels, the pixel
offset), so that the same writer makes the hostile and odd files the tests
feed it.
"""
import struct

# Bit fields that are plain 24-bit pixels under another name.
USUAL_MASKS = (0xFF0000, 0x00FF00, 0x0000FF)
# 72 dots per inch, as most writers put it.
PIXELS_PER_METRE = 2835
FILE_HEADER_BYTES = 14
CORE_HEADER_BYTES = 12  # OS/2 1.x: 16-bit width and height


def row_stride(width):
    """Bytes of one stored row: three per pixel, padded to a multiple of four."""
    return (width * 3 + 3) & ~3


def pad_rows(pixels, width):
    """Unpadded rows, one after the other, with each row's padding added."""
    row_bytes = width * 3
    padding = bytes(row_stride(width) - row_bytes)
    if not padding:
        return bytes(pixels)
    return b"".join(pixels[start:start + row_bytes] + padding
                    for start in range(0, len(pixels), row_bytes))


def headers(width, height, *, header_size=40, bit_count=24, compression=0,
            masks=USUAL_MASKS, gap=b"", offset=None, pixel_bytes=None):
    """Everything before the pixels: the file header, the information header
    (with the masks inside it from 52 bytes on, and after a 40-byte one when
    the compression is bit fields), then `gap`.

    `offset` overrides the pixel offset that the file header gives, and
    `pixel_bytes` the length of the pixel data, which only the file size field
    counts; by default both describe a well-formed file.
    """
    rows = abs(height)
    image_size = row_stride(width) * rows
    if header_size == CORE_HEADER_BYTES:
        info = struct.pack("<IHHHH", CORE_HEADER_BYTES, width & 0xFFFF,
                           rows & 0xFFFF, 1, bit_count)
    else:
        info = struct.pack("<IiiHHIIiiII", header_size, width, height, 1,
                           bit_count, compression, image_size,
                           PIXELS_PER_METRE, PIXELS_PER_METRE, 0, 0)
        info += struct.pack("<III", *masks)
        # Shorter OS/2 2.x headers end early; later ones are zero-filled.
        info = info.ljust(header_size, b"\0")[:header_size]
    if compression == 3 and header_size == 40:
        info += struct.pack("<III", *masks)
    if offset is None:
        offset = FILE_HEADER_BYTES + len(info) + len(gap)
    if pixel_bytes is None:
        pixel_bytes = image_size
    file_header = b"BM" + struct.pack("<IHHI", offset + pixel_bytes, 0, 0,
                                      offset)
    return file_header + info + gap


def encode(width, height, pixels, *, drop_last_padding=False, **fields):
    """The whole file. `drop_last_padding` leaves out the padding of the last
    stored row, as some writers do; `fields` go to headers()."""
    row_bytes = width * 3
    rows = [pixels[y * row_bytes:(y + 1) * row_bytes]
            for y in range(abs(height))]
    if height > 0:
        rows.reverse()
    stored = pad_rows(b"".join(rows), width)
    if drop_last_padding and rows:
        stored = stored[:len(stored) - (row_stride(width) - row_bytes)]
    return headers(width, height, pixel_bytes=len(stored), **fields) + stored


def save(path, width, height, pixels, **options):
    with open(path, "wb") as out:
        out.write(encode(width, height, pixels, **options))
