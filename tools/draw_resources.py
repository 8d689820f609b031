#!/usr/bin/env python3
"""Draws the updater's own pictures: res/bk.png (640 x 455 window background)
and res/logo.ico (32 x 32 and 16 x 16 icon). Standard library only."""
import math
import os
import struct
import zlib

HERE = os.path.dirname(os.path.abspath(__file__))
RES = os.path.join(HERE, '..', 'res')


def lerp(a, b, t):
    return int(a + (b - a) * t)


def background_pixel(x, y, w, h):
    # soft blue-to-white vertical gradient with a pale arc in the upper half
    t = y / (h - 1)
    r, g, b = lerp(32, 244, t), lerp(110, 248, t), lerp(200, 252, t)
    d = math.hypot(x - w / 2, y + h * 0.9)
    if abs(d - h * 1.25) < 3:
        r, g, b = lerp(r, 255, 0.5), lerp(g, 255, 0.5), lerp(b, 255, 0.5)
    return r, g, b


def write_png(path, w, h, pixel):
    raw = bytearray()
    for y in range(h):
        raw.append(0)
        for x in range(w):
            raw.extend(pixel(x, y, w, h))

    def chunk(tag, data):
        body = tag + data
        return struct.pack('>I', len(data)) + body + struct.pack('>I', zlib.crc32(body) & 0xffffffff)

    png = b'\x89PNG\r\n\x1a\n'
    png += chunk(b'IHDR', struct.pack('>IIBBBBB', w, h, 8, 2, 0, 0, 0))
    png += chunk(b'IDAT', zlib.compress(bytes(raw), 9))
    png += chunk(b'IEND', b'')
    with open(path, 'wb') as f:
        f.write(png)


def icon_pixel(x, y, size):
    # a blue disc with a white upward arrow
    c = (size - 1) / 2
    if math.hypot(x - c, y - c) > size / 2 - 0.5:
        return (0, 0, 0, 0)
    u, v = (x - c) / size, (y - c) / size
    arrow_head = v < 0.05 and abs(u) < (0.05 - v) * 0.9 and v > -0.32
    arrow_shaft = 0.0 <= v < 0.3 and abs(u) < 0.08
    if arrow_head or arrow_shaft:
        return (255, 255, 255, 255)
    return (30, 120, 210, 255)


def dib(size):
    rows = []
    for y in reversed(range(size)):  # bottom-up
        row = bytearray()
        for x in range(size):
            r, g, b, a = icon_pixel(x, y, size)
            row.extend((b, g, r, a))
        rows.append(bytes(row))
    mask_row = b'\x00' * (((size + 31) // 32) * 4)
    header = struct.pack('<IiiHHIIiiII', 40, size, size * 2, 1, 32, 0, 0, 0, 0, 0, 0)
    return header + b''.join(rows) + mask_row * size


def write_ico(path, sizes):
    images = [dib(s) for s in sizes]
    out = struct.pack('<HHH', 0, 1, len(sizes))
    offset = 6 + 16 * len(sizes)
    for s, img in zip(sizes, images):
        out += struct.pack('<BBBBHHII', s % 256, s % 256, 0, 0, 1, 32, len(img), offset)
        offset += len(img)
    with open(path, 'wb') as f:
        f.write(out + b''.join(images))


if __name__ == '__main__':
    write_png(os.path.join(RES, 'bk.png'), 640, 455, background_pixel)
    write_ico(os.path.join(RES, 'logo.ico'), [32, 16])
