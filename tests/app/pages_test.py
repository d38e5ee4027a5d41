#!/usr/bin/env python3
"""raster58-app prints client pages, 8-bit and 1-bit, at the client's own
size: its page length without media, other resolutions scaled to 203 dpi,
pages wider than the paper fitted to the 384 dots (or cut to their middle
with print-scaling none), grey thresholded for bi-level and dithered for
monochrome, and a 58 mm page of pure black and white exactly as its 1-bit
twin.

usage: pages_test.py RASTER58_APP RASTERVIEW"""
import os
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import apptest as a  # noqa: E402
from cupstest import black, decode  # noqa: E402

PRINTER = "Receipt"
FULL = (40, 0, 384, 2)  # a bar across the printed dots of a 58 mm page


def bars(width, height, thick=2):
    """Bars at a page's top and bottom, so that no blank row is trimmed."""
    return [(0, 0, width, thick), (0, height - thick, width, thick)]


def frame(width, height, thick=5):
    return bars(width, height, thick) + [(0, 0, thick, height), (width - thick, 0, thick, height)]


def bbox(rows):
    ys = [y for y, row in enumerate(rows) if any(row)]
    xs = [x for x in range(384) if any(black(rows, x, y) for y in ys)]
    return (xs[0], ys[0], xs[-1] + 1, ys[-1] + 1) if ys else None


def near(got, want):
    return got is not None and all(abs(g - w) <= 1 for g, w in zip(got, want))


MM300 = lambda mm: round(mm * 300 / 25.4)  # noqa: E731

PAGES = [
    # name, pages (width, height, dpi, rects), options, printed rows, black box (x0, y0, x1, y1) in dots
    ("two 100 mm pages, no media", [(463, 799, 203, bars(463, 799))] * 2, {}, 1598, (0, 0, 384, 1598)),
    ("a 400 mm page, no media", [(463, 3197, 203, bars(463, 3197))], {}, 3197, (0, 0, 384, 3197)),
    # 15 to 45 mm across and 5 to 20 mm down a 58 mm page at 300 dpi
    ("a 300 dpi page", [(685, 300, 300, [(MM300(15), MM300(5), MM300(30), MM300(15))])], {}, None,
     (80, 0, 320, 120)),
    ("an A6-wide page, fitted", [(839, 400, 203, frame(839, 400))], {}, 183, (0, 0, 384, 183)),
    ("an A6-wide page, print-scaling none: its middle", [(839, 100, 203, [(228, 0, 5, 100), (607, 0, 5, 100)])],
     {"scaling": "none"}, 100, (0, 0, 384, 100)),
    ("a 684-column page, fitted", [(684, 100, 203, [(0, 0, 684, 100)])], {}, 56, (0, 0, 384, 56)),
    ("a 4000-column page, fitted", [(4000, 100, 203, [(0, 0, 4000, 100)])], {}, 10, (0, 0, 384, 10)),
]

# 58 mm pages whose columns 39 and 424 lie in the margins: only 40 to 423 print.
EXACT = [(39, 10, 2, 50), (423, 10, 2, 50), (100, 100, 30, 20), (200, 300, 40, 40)]


def received(printer, seconds=20):
    job = printer.wait_job(seconds)
    if not job or job[2] != "ok":
        return None, str(job)
    return decode(printer.job_bytes(job[0]))[0], ""


def send(t, app, printer, folder, name, data, **options):
    uri = app.ipp_uri(PRINTER)
    path = os.path.join(folder, "page.pwg")
    with open(path, "wb") as f:
        f.write(data)
    job = a.print_file(uri, path, "image/pwg-raster", **options)
    state = a.wait_job_done(uri, job, 30) if isinstance(job, int) else None
    t.check("%s: job completes" % name, state and state[0] == "completed", "%s %s" % (job, state))
    rows, why = received(printer)
    t.check("%s: the printer receives it" % name, rows is not None, why)
    return rows


def check_pages(t, app, printer, folder):
    for bits, (name, pages, options, want_rows, want_box) in [(b, p) for b in (8, 1) for p in PAGES]:
        name += ", %d-bit" % bits
        rows = send(t, app, printer, folder, name, a.pwg_raster(pages, bits=bits), **options)
        if rows is None:
            continue
        if want_rows is not None:
            t.check("%s: %d rows" % (name, want_rows), len(rows) == want_rows, "%d rows" % len(rows))
        got = bbox(rows)
        t.check("%s: black within a dot of %s" % (name, want_box), near(got, want_box), str(got))
        if pages[0][3] == [(0, 0, pages[0][0], pages[0][1])]:
            t.check("%s: every dot black" % name, all(row == b"\xff" * 48 for row in rows))


def check_exact(t, app, printer, folder):
    page = [(463, 639, 203, EXACT)]
    one = send(t, app, printer, folder, "58 mm 1-bit", a.pwg_raster(page), media="om_58x80mm_58x80mm")
    eight = send(t, app, printer, folder, "58 mm 8-bit", a.pwg_raster(page, bits=8))
    t.check("a 58 mm 8-bit page of black and white prints the 1-bit page's rows", one and one == eight,
            "%s and %s rows" % (len(one or []), len(eight or [])))
    t.check("column 40 is dot 0 and 423 dot 383, 39 and 424 do not print",
            one and black(one, 0, 2) and black(one, 383, 2) and not black(one, 1, 2) and not black(one, 382, 2))
    narrow = send(t, app, printer, folder, "1-bit page narrower than the media",
                  a.pwg_raster([(384, 100, 203, [(0, 0, 10, 10)])]), media="om_58x80mm_58x80mm")
    t.check("a 1-bit page narrower than the media prints at its own width", near(bbox(narrow or []), (0, 0, 10, 10)),
            str(bbox(narrow or [])))


def check_grey(t, app, printer, folder):
    """Grey 100 of 255: a threshold makes it black, a dither about 60 % black."""
    page = [(463, 64, 203, [(40, 0, 384, 64)])]
    share = {}
    for mode in ("bi-level", "monochrome"):
        rows = send(t, app, printer, folder, "grey, " + mode, a.pwg_raster(page, bits=8, ink=100), color=mode)
        dots = sum(bin(b).count("1") for row in rows or [] for b in row)
        share[mode] = dots / (384 * 64.0)
    t.check("bi-level thresholds grey, monochrome dithers it",
            share["bi-level"] == 1.0 and 0.45 < share["monochrome"] < 0.75, str(share))


def main():
    def checks(t, app, printer, folder):
        for check in (check_pages, check_exact, check_grey):
            check(t, app, printer, folder)
    return a.run_instance("raster58-pages-", checks, PRINTER)


if __name__ == "__main__":
    sys.exit(main())
