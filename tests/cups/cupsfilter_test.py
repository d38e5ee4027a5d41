#!/usr/bin/env python3
"""The driver through real CUPS filter chains, without a daemon: PDFs the
test writes go through `cupsfilter -e` with the built PPD, and the printer
stream must decode to the dots drawn. The filter alone is fed raster it
cannot print and a cancel. Text and PDF print as rasterprint prints them.

usage: cupsfilter_test.py CMAKE BUILD_DIR"""
import array
import fcntl
import os
import signal
import subprocess
import sys
import termios
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import cupstest as c  # noqa: E402


def run_cupsfilter(inst, pdf, options, copies=1, via_raster=False):
    """The PDF through the queue's chain; `via_raster`: through CUPS's own
    PDF to raster chain first, then the filter, as for any raster."""
    path = os.path.join(inst.base, "in.pdf")
    with open(path, "wb") as f:
        f.write(pdf)
    env = dict(os.environ, CUPS_SERVERBIN=inst.serverbin)
    opts = [x for o in options for x in ("-o", o)]
    if via_raster:
        p = subprocess.run(["cupsfilter", "-p", inst.ppd, "-m", "application/vnd.cups-raster", "-n", str(copies)] +
                           opts + [path], capture_output=True, env=env, timeout=60)
        c.seen(p.stderr)
        if p.returncode != 0:
            return p
        path = os.path.join(inst.base, "in.ras")
        with open(path, "wb") as f:
            f.write(p.stdout)
        copies = 1
    cmd = ["cupsfilter", "-e", "-p", inst.ppd, "-m", "printer/foo", "-n", str(copies)] + opts
    if via_raster:
        cmd += ["-i", "application/vnd.cups-raster"]
    p = subprocess.run(cmd + [path], capture_output=True, env=env, timeout=60)
    c.seen(p.stderr)
    return p


# Cases: (name, page size option, paper (mm), copies, rectangles per page in
# the imageable area's dots as drawn, and as printed). Ghostscript moves content by up to 2 rows
# either way, with the paper's length: the first black row sits at 4 mod 8
# and the last one 4 rows off a group of 8 from the job's end, so that the
# trimming does not hang on that rounding.
PAPER_ROWS = {80: 639, 100: 799}
CASES = [
    ("one page: block, rule, right-edge bar", "PageSize=58x100mm", (58, 100), 1,
     [[(40, 100, 100, 60), (0, 300, 384, 4), (380, 100, 4, 295)]],
     [[(40, 100, 100, 60), (0, 300, 384, 4), (380, 100, 4, 295)]]),
    ("two pages, one below the other", "PageSize=58x80mm", (58, 80), 1,
     [[(10, 36, 50, 20)], [(300, 500, 60, 31)]],
     [[(10, 36, 50, 20)], [(300, 500, 60, 31)]]),
    ("copies made by CUPS are not repeated", "PageSize=58x80mm", (58, 80), 2,
     [[(10, 36, 50, 20)], [(300, 500, 60, 31)]],
     [[(10, 36, 50, 20)], [(10, 36, 50, 20)], [(300, 500, 60, 31)], [(300, 500, 60, 31)]]),
    # Raster of 80 mm paper: 70 mm imageable, 559 dots; everything past dot 384 is cut.
    ("custom size wider than the printer is clipped", "PageSize=Custom.80x100mm", (80, 100), 1,
     [[(0, 100, 559, 8), (300, 200, 250, 43)]],
     [[(0, 100, 384, 8), (300, 200, 84, 43)]]),
    # Raster of 40 mm paper: 30 mm imageable, 240 dots, padded white to 384.
    ("custom size narrower than the printer is padded", "PageSize=Custom.40x100mm", (40, 100), 1,
     [[(0, 100, 240, 8), (200, 200, 40, 35)]],
     [[(0, 100, 240, 8), (200, 200, 40, 35)]]),
]


# A PDF is rendered at its own size by the filter; these cases are about
# raster CUPS made for a page size, so their PDFs become raster first.
VIA_RASTER = {"custom size wider than the printer is clipped", "custom size narrower than the printer is padded"}


def expected_picture(size_mm, pages):
    """The rectangles in the job's frame, before trimming, and the job's
    first and last black row."""
    page_rows = PAPER_ROWS[size_mm[1]]
    rects = []
    for i, page in enumerate(pages):
        rects += [(x, y + i * page_rows, w, h) for x, y, w, h in page]
    top = min(y for _, y, _, _ in rects)
    bottom = max(y + h for _, y, _, h in rects)
    return rects, page_rows * len(pages), top, bottom


def check_case(t, inst, case):
    name, option, size_mm, copies, drawn, printed = case
    # Pages at their full length: the frame the rectangles are drawn in.
    p = run_cupsfilter(inst, c.pdf(drawn, *size_mm), [option, "PageLength=Full"], copies, name in VIA_RASTER)
    if not t.check(name + ": cupsfilter succeeds", p.returncode == 0 and p.stdout,
                   "exit %d, %d bytes; %s" % (p.returncode, len(p.stdout), p.stderr.decode()[-400:])):
        return
    try:
        rows, widths = c.decode(p.stdout)
    except ValueError as e:
        t.check(name + ": stream decodes", False, str(e))
        return
    rects, job_rows, top, bottom = expected_picture(size_mm, printed)
    want = c.trimmed_rows(job_rows, top, bottom)
    t.check(name + ": rows trimmed as the plug-in trims", len(rows) == want, "%d rows, want %d" % (len(rows), want))
    t.check(name + ": every row is 384 dots", set(widths) == {384}, "widths %s" % sorted(set(widths)))
    shift = top // 8 * 8
    why = c.check_picture(rows, [(x, y - shift, w, h) for x, y, w, h in rects])
    t.check(name + ": dots where they were drawn", why is None, why)


def header_cut(compressed, keep):
    """Three pages cut `keep` bytes into the second page's header."""
    page = c.raster_page(384, 100, rows=bytes(range(48)) * 100, compressed=compressed)
    return c.raster(page, page, page, compressed=compressed)[:4 + len(page) + keep]


def height_zero(page):
    bad = bytearray(page)
    bad[376:380] = bytes(4)  # cupsHeight
    return bytes(bad)


LONG_PAGE = 8000  # rows, the longest page printed
BAD_RASTER = [
    ("truncated page", c.raster(c.raster_page(384, 100))[:-48 * 30], "cut short: 70 of 100 rows"),
    ("copies past the job's bound", c.raster(c.raster_page(384, LONG_PAGE, copies=9999)),
     "page 1: the job is too long: more than 699050 rows of 384 dots"),
    ("pages adding up past the job's bound",
     c.raster(c.raster_page(384, LONG_PAGE, copies=50), c.raster_page(384, LONG_PAGE, copies=50)),
     "page 2: the job is too long: more than 699050 rows"),
    ("a bad header on page 2", c.raster(c.raster_page(384, 10), height_zero(c.raster_page(384, 10)),
                                        c.raster_page(384, 10)), "page 2: the page header is not valid"),
    ("cut 100 bytes into page 2's header", header_cut(False, 100), "page 2: the raster ends inside the page header"),
    ("compressed, cut 10 bytes into page 2's header", header_cut(True, 10), "page 2: the raster ends inside"),
    ("compressed, cut 1790 bytes into page 2's header", header_cut(True, 1790), "page 2: the raster ends inside"),
    ("8 bits per pixel", c.raster(c.raster_page(384, 10, bits=8)), "8 bits per pixel"),
    ("RGB colour space", c.raster(c.raster_page(384, 10, color_space=1)), "colour space 1"),
    ("not raster at all", b"%PDF-1.4\n" + bytes(4000), "not CUPS raster"),
    ("no pages", b"RaS3", "no pages"),
]


def check_bad_raster(t, inst):
    for name, data, says in BAD_RASTER:
        try:
            p = subprocess.run([inst.filter, "1", "user", "title", "1", ""], input=data, capture_output=True,
                               timeout=20)
        except subprocess.TimeoutExpired:
            t.check("bad raster, %s: the filter ends" % name, False, "still running after 20 s")
            continue
        c.seen(p.stderr)
        errors = [l for l in p.stderr.decode().splitlines() if l.startswith("ERROR:")]
        t.check("bad raster, %s: one ERROR line, exit 1, nothing printed" % name,
                p.returncode == 1 and len(errors) == 1 and says in errors[0] and not p.stdout,
                "exit %d, %d bytes out, errors %s" % (p.returncode, len(p.stdout), errors))


def wait_drained(pipe, seconds=60):
    """Until the filter has taken everything written to its input."""
    end = time.monotonic() + seconds
    waiting = array.array("i", [1])
    while time.monotonic() < end:
        fcntl.ioctl(pipe.fileno(), termios.FIONREAD, waiting)
        if waiting[0] == 0:
            return
        time.sleep(0.005)


def check_cancel(t, inst):
    """SIGTERM while the raster is still arriving: the filter stops and
    exits 0 without printing."""
    page = c.raster(c.raster_page(384, 8000, rows=b"\xff" * 48 * 8000))
    p = subprocess.Popen([inst.filter, "1", "user", "title", "1", ""], stdin=subprocess.PIPE,
                         stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    p.stdin.write(page[:len(page) // 2])
    p.stdin.flush()
    # More than a pipe holds: once it is drained the filter is reading, its handler in place.
    wait_drained(p.stdin)
    p.send_signal(signal.SIGTERM)
    try:
        out, err = p.communicate(timeout=30)
    except subprocess.TimeoutExpired:
        p.kill()
        p.communicate()
        t.check("SIGTERM mid-page: filter exits", False, "still running 30 s after SIGTERM")
        return
    c.seen(err)
    t.check("SIGTERM mid-page: exit 0, no ERROR, nothing printed",
            p.returncode == 0 and b"ERROR:" not in err and not out,
            "exit %d, %d bytes out, %s" % (p.returncode, len(out), err.decode()[-300:]))


def check_compressed(t, inst):
    """Compressed raster ends cleanly after its last page (libcups reads it
    ahead): every page printed."""
    page = c.raster_page(384, 16, rows=b"\xff" * 48 * 16, compressed=True)
    p = subprocess.run([inst.filter, "1", "u", "t", "1", ""], input=c.raster(page, page, page, compressed=True),
                       capture_output=True, timeout=20)
    c.seen(p.stderr)
    rows, _ = c.decode(p.stdout) if p.returncode == 0 else ([], [])
    t.check("compressed raster, three pages: all printed", len(rows) == 48 and all(r == b"\xff" * 48 for r in rows),
            "exit %d, %d rows; %s" % (p.returncode, len(rows), p.stderr.decode()[-300:]))


def check_cancel_copies(t, inst):
    """SIGTERM once a page with copies is in, the input still open: the
    filter is handing over the copies or waiting for the next page. Either
    way it stops, prints nothing, and counts the page whole or not at all.
    Which of the two it meets is the machine's speed; cups.raster_job puts
    the cancel among the copies every time."""
    page = c.raster(c.raster_page(384, LONG_PAGE, rows=b"\xaa" * 48 * LONG_PAGE, copies=87))
    p = subprocess.Popen([inst.filter, "1", "user", "title", "1", ""], stdin=subprocess.PIPE,
                         stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    p.stdin.write(page)
    p.stdin.flush()
    wait_drained(p.stdin)
    p.send_signal(signal.SIGTERM)
    try:
        p.wait(30)
        stopped = True
    except subprocess.TimeoutExpired:
        stopped = False
    try:  # closes the input
        out, err = p.communicate(timeout=20)
    except subprocess.TimeoutExpired:
        p.kill()
        out, err = p.communicate()
    c.seen(err)
    counted = [line for line in err.decode().splitlines() if line.startswith("PAGE:")]
    t.check("SIGTERM once the page is in: stops, exit 0, cancelled, nothing printed, the page counted whole or not",
            stopped and p.returncode == 0 and b"INFO: Job cancelled" in err and not out and
            counted in ([], ["PAGE: 1 87"]),
            "%s, exit %s, %d bytes out, %s" % ("stopped" if stopped else "still running 30 s after SIGTERM",
                                              p.returncode, len(out), err.decode()[-300:]))


def check_placement(t, inst):
    """A page whose imaging box starts right of the margin (imagetoraster
    centres pictures) lands that many dots in."""
    row = b"\xff" * 8  # 64 black dots
    page = c.raster_page(64, 8, rows=row * 8, bbox_left=c.MARGIN_PT + c.dots_to_pt(100))
    p = subprocess.run([inst.filter, "1", "u", "t", "1", ""], input=c.raster(page), capture_output=True, timeout=20)
    c.seen(p.stderr)
    rows, _ = c.decode(p.stdout) if p.returncode == 0 else ([], [])
    why = c.check_picture(rows, [(100, 0, 64, 8)], slack=0) if len(rows) == 8 else "%d rows" % len(rows)
    t.check("a page placed by its imaging box", p.returncode == 0 and why is None, why or p.stderr.decode())


def check_documents(t, inst, rasterprint):
    """Text and PDF through the queue's own chain come out as rasterprint
    prints them: the same renderers, the same options."""
    env = dict(os.environ, CUPS_SERVERBIN=inst.serverbin)
    text = b"M" * 32 + b"\n" + b"M" * 33 + b"\n\xa4 caf\xe9\tend\n"
    bars = c.pdf([[(20 + 8 * i, 10, 3, 80) for i in range(40)]], 58, 40)
    # The text's rows: four lines of 24 at 32 columns (33 wrap), three of 18
    # at 42; the plug-in trims blank rows in groups of 8.
    for name, data, options, tool_options, text_rows in [
            ("text, no option: 32 columns", text.decode("latin-1").encode(), [], [], 4 * 24),
            ("text, charset and 42 columns", text, ["charset=iso-8859-15", "columns=42"],
             ["--charset", "iso-8859-15", "--columns", "42"], 3 * 18),
            ("PDF", bars, [], [], 0)]:
        path = os.path.join(inst.base, "doc")
        with open(path, "wb") as f:
            f.write(data)
        opts = [x for o in options for x in ("-o", o)]
        p = subprocess.run(["cupsfilter", "-e", "-p", inst.ppd, "-m", "printer/foo"] + opts + [path],
                           capture_output=True, env=env, timeout=60)
        c.seen(p.stderr)
        want = subprocess.run([rasterprint] + tool_options + [path], capture_output=True, timeout=60)
        t.check("%s: as rasterprint prints it" % name,
                p.returncode == 0 and want.returncode == 0 and p.stdout == want.stdout and p.stdout,
                "exit %d/%d, %d/%d bytes; %s" % (p.returncode, want.returncode, len(p.stdout), len(want.stdout),
                                                p.stderr.decode()[-300:]))
        if name == "PDF" and p.returncode == 0:
            rows, _ = c.decode(p.stdout)
            row = next((r for r in rows if any(r)), b"")
            bits = "".join(format(b, "08b") for b in row)
            runs = [len(r) for r in bits.split("0") if r]
            t.check("PDF: 3-dot bars print 3 dots wide", runs == [3] * 40, str(runs))
        elif p.returncode == 0:
            rows, _ = c.decode(p.stdout)
            t.check("%s: lines of the grid" % name, text_rows - 16 < len(rows) <= text_rows,
                    "%d rows, want %d" % (len(rows), text_rows))
    # PostScript reaches the filter as PDF made by gstopdf, the job's type still PostScript.
    ps = os.path.join(inst.base, "doc.ps")
    with open(ps, "w") as f:
        f.write("%!PS\n<< /PageSize [164 200] >> setpagedevice\n20 20 moveto 100 0 rlineto 0 50 rlineto "
                "-100 0 rlineto closepath fill showpage\n")
    p = subprocess.run(["cupsfilter", "-e", "-p", inst.ppd, "-m", "printer/foo", ps], capture_output=True, env=env,
                       timeout=60)
    c.seen(p.stderr)
    rows = c.decode(p.stdout)[0] if p.returncode == 0 else []
    t.check("PostScript: printed by way of PDF", any(any(r) for r in rows),
            "exit %d, %d rows; %s" % (p.returncode, len(rows), p.stderr.decode()[-300:]))


def main():
    cmake, build = sys.argv[1:3]
    t = c.Checklist()
    inst = c.Install(cmake, build)
    try:
        p = subprocess.run(["cupstestppd", "-R", inst.root, inst.ppd], capture_output=True, timeout=30)
        t.check("cupstestppd passes the built PPD", p.returncode == 0, p.stdout.decode()[-400:])
        for case in CASES:
            check_case(t, inst, case)
        check_bad_raster(t, inst)
        check_placement(t, inst)
        check_compressed(t, inst)
        check_cancel(t, inst)
        check_cancel_copies(t, inst)
        check_documents(t, inst, os.path.join(build, "tools", "rasterprint"))
        c.check_no_reports(t, "any filter run")
    finally:
        inst.remove()
    return t.finish()


if __name__ == "__main__":
    sys.exit(main())
