"""What the desktop tests share."""

import glob
import os


def faketime_library():
    """The libfaketime preload library, or None. Preloaded directly: the `faketime` wrapper
    forks and waits, so the program's exit status and signals would be the wrapper's."""
    for pattern in ("/usr/lib/*/faketime/libfaketime.so.1", "/usr/lib/faketime/libfaketime.so.1",
                    "/usr/local/lib/faketime/libfaketime.so.1"):
        found = sorted(glob.glob(pattern))
        if found:
            return found[0]
    return None


# --------------------------------------------------------------------------------------------
# Colours on screen: a clock stepped from outside, pictures, and WCAG contrast.

START = "2026-01-01 12:00:00"


class SteppedClock:
    """A wall clock that stands still where the test puts it: libfaketime reads the time from a
    file at every call (FAKETIME_NO_CACHE), so writing the file moves the program's clock at
    once. The monotonic clock stays real, and with it the program's ticks."""

    def __init__(self, path):
        self.path = path
        self.set_minutes(0, second=0)
        os.chmod(path, 0o644)

    def set_minutes(self, minutes, second=30):
        """The program, started at START, sees `minutes` whole minutes gone (and a half)."""
        with open(self.path + ".new", "w") as f:
            f.write(f"2026-01-01 {12 + minutes // 60:02d}:{minutes % 60:02d}:{second:02d}\n")
        os.replace(self.path + ".new", self.path)

    def env(self, library):
        return {"LD_PRELOAD": library, "FAKETIME_TIMESTAMP_FILE": self.path,
                "FAKETIME_NO_CACHE": "1", "FAKETIME_DONT_FAKE_MONOTONIC": "1"}


def read_ppm(data):
    """(width, height, RGB bytes) of a binary PPM (P6, maxval 255)."""
    fields, at = [], 0
    while len(fields) < 4:
        while data[at:at + 1].isspace():
            at += 1
        if data[at:at + 1] == b"#":
            at = data.index(b"\n", at) + 1
            continue
        end = at
        while not data[end:end + 1].isspace():
            end += 1
        fields.append(data[at:end])
        at = end
    if fields[0] != b"P6" or int(fields[3]) != 255:
        raise ValueError(f"not an 8-bit P6 picture: {fields}")
    w, h = int(fields[1]), int(fields[2])
    return w, h, data[at + 1:at + 1 + w * h * 3]


def pixel(image, x, y):
    w, _, p = image
    i = (y * w + x) * 3
    return tuple(p[i:i + 3])


def luminance(rgb):
    def lin(c):
        c /= 255
        return c / 12.92 if c <= 0.04045 else ((c + 0.055) / 1.055) ** 2.4
    r, g, b = rgb
    return 0.2126 * lin(r) + 0.7152 * lin(g) + 0.0722 * lin(b)


def contrast(a, b):
    la, lb = sorted((luminance(a), luminance(b)))
    return (lb + 0.05) / (la + 0.05)


def hex_rgb(text):
    return tuple(int(text[i:i + 2], 16) for i in (1, 3, 5))


def ramp(text, minutes, start=None):
    """The duration's colour at `minutes` on a bar whose text colour is `text`: the text colour
    to ten minutes, the sRGB blend to red by (m - 10) / 5, pure red from fifteen."""
    f = min(max(minutes - 10, 0), 5) / 5
    return tuple(round((1 - f) * c + f * r) for c, r in zip(start or text, (255, 0, 0)))


def text_colour(image, box, background, right_share=0.3):
    """The colour of the text drawn at the right end of `box` (x, y, w, h) over `background`:
    of the pixels in the rightmost `right_share` of the drawn columns, the one that stands out
    most from the background, which is the text's own colour where a glyph covers a whole
    pixel. None when nothing is drawn."""
    x0, y0, w, h = box
    columns = [x for x in range(x0, x0 + w)
               if any(pixel(image, x, y) != background for y in range(y0, y0 + h))]
    if not columns:
        return None
    first = columns[-1] - int((columns[-1] - columns[0]) * right_share)
    best, best_contrast = None, 0
    for x in range(first, columns[-1] + 1):
        for y in range(y0, y0 + h):
            px = pixel(image, x, y)
            c = contrast(px, background)
            if c > best_contrast:
                best, best_contrast = px, c
    return best
