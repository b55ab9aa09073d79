"""Checks headless-browser screenshots of the documentation site.

    python3 check_screenshots.py SITE_DIR SHOT.png [SHOT.png ...]

Each screenshot must exist, be a PNG, and not be nearly one colour: at
least 2% of its pixels must differ clearly from the most common colour (an
empty or failed page is a blank rectangle). The benchmarks page's plots
must exist as PNG files in the site. Standard library only.
"""

import re
import struct
import sys
import zlib
from collections import Counter
from pathlib import Path

PNG_SIGNATURE = b"\x89PNG\r\n\x1a\n"


def read_png(path):
    """(width, height, rows of RGB(A) tuples) of an 8-bit RGB or RGBA PNG."""
    data = path.read_bytes()
    if not data.startswith(PNG_SIGNATURE):
        raise ValueError("not a PNG file")
    pos, idat, header = 8, b"", None
    while pos < len(data):
        length, kind = struct.unpack(">I4s", data[pos:pos + 8])
        chunk = data[pos + 8:pos + 8 + length]
        if kind == b"IHDR":
            header = struct.unpack(">IIBBBBB", chunk)
        elif kind == b"IDAT":
            idat += chunk
        pos += 12 + length
    width, height, depth, colour = header[:4]
    if depth != 8 or colour not in (2, 6):
        raise ValueError(f"unexpected PNG format (depth {depth}, colour type {colour})")
    channels = 3 if colour == 2 else 4
    raw = zlib.decompress(idat)
    stride = width * channels
    rows, previous, at = [], bytearray(stride), 0
    for _ in range(height):
        kind, line = raw[at], bytearray(raw[at + 1:at + 1 + stride])
        at += 1 + stride
        for i in range(stride):
            left = line[i - channels] if i >= channels else 0
            up = previous[i]
            corner = previous[i - channels] if i >= channels else 0
            if kind == 1:
                line[i] = (line[i] + left) & 0xFF
            elif kind == 2:
                line[i] = (line[i] + up) & 0xFF
            elif kind == 3:
                line[i] = (line[i] + (left + up) // 2) & 0xFF
            elif kind == 4:
                p = left + up - corner
                pa, pb, pc = abs(p - left), abs(p - up), abs(p - corner)
                line[i] = (line[i] + (left if pa <= pb and pa <= pc else up if pb <= pc else corner)) & 0xFF
        rows.append(bytes(line))
        previous = line
    return width, height, rows, channels


def varied_fraction(path):
    """The fraction of (sampled) pixels clearly unlike the most common colour."""
    width, height, rows, channels = read_png(path)
    pixels = [row[x * channels:x * channels + 3] for row in rows[::4] for x in range(0, width, 4)]
    common = Counter(pixels).most_common(1)[0][0]
    differ = sum(1 for p in pixels if sum(abs(a - b) for a, b in zip(p, common)) > 60)
    return differ / len(pixels), width, height


def main():
    site, shots = Path(sys.argv[1]), [Path(p) for p in sys.argv[2:]]
    failures = []
    for shot in shots:
        if not shot.exists() or shot.stat().st_size == 0:
            failures.append(f"{shot}: no screenshot")
            continue
        try:
            fraction, width, height = varied_fraction(shot)
        except Exception as e:  # noqa: BLE001 - any unreadable file is a failure
            failures.append(f"{shot}: unreadable ({e})")
            continue
        print(f"check-site: {shot.name}: {width}x{height}, {fraction:.1%} of pixels unlike the background")
        if fraction < 0.02:
            failures.append(f"{shot}: nearly uniform ({fraction:.2%} of pixels differ): empty or broken page")
    page = (site / "benchmarks.html").read_text(encoding="utf-8")
    images = re.findall(r'<img[^>]+src="([^"]+\.png)"', page)
    if len(images) < 4:
        failures.append(f"benchmarks.html shows {len(images)} plots, expected 4")
    for image in images:
        path = site / image
        if not path.exists() or not path.read_bytes().startswith(PNG_SIGNATURE):
            failures.append(f"benchmarks.html: plot {image} is missing or not a PNG")
    if failures:
        sys.exit("check-site: " + "\n  ".join(failures))
    print(f"check-site: {len(shots)} pages rendered, {len(images)} plots on the benchmarks page")


if __name__ == "__main__":
    main()
