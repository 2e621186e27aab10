#!/usr/bin/env python3
"""Draws the bundled sample picture (tests/data/sample.ppm): smooth gradients, hard edges, fine
stripes and saturated discs, so that every stage of a JPEG coder has something to do."""
import math
import sys

WIDTH, HEIGHT = 320, 200


def pixel(x, y):
    # Sky-like vertical gradient with a soft horizontal wave.
    r = 40 + 120 * y / HEIGHT
    g = 90 + 80 * (0.5 + 0.5 * math.sin(x / 23.0))
    b = 200 - 100 * y / HEIGHT
    # Saturated discs.
    for cx, cy, radius, colour in ((80, 70, 40, (230, 30, 30)), (170, 110, 50, (20, 200, 60)),
                                   (260, 60, 30, (250, 220, 10))):
        if (x - cx) ** 2 + (y - cy) ** 2 <= radius ** 2:
            r, g, b = colour
    # Fine stripes and a checkerboard at the bottom edge.
    if y >= 160 and x < 160:
        v = 255 if (x // 2) % 2 else 0
        r = g = b = v
    if y >= 160 and x >= 160:
        v = 230 if ((x // 8) + (y // 8)) % 2 else 25
        r, g, b = v, v, 255 - v
    return tuple(max(0, min(255, int(round(c)))) for c in (r, g, b))


def main(path):
    with open(path, "wb") as out:
        out.write(b"P6\n%d %d\n255\n" % (WIDTH, HEIGHT))
        out.write(bytes(c for y in range(HEIGHT) for x in range(WIDTH) for c in pixel(x, y)))


if __name__ == "__main__":
    main(sys.argv[1] if len(sys.argv) > 1 else "tests/data/sample.ppm")
