#!/usr/bin/env python3
"""raster58-app under whatever clients send: documents it does not print
(PDF, text, random bytes, an empty file, each also as
application/octet-stream) through ipptool and `submit` are refused or
aborted with the reason and the server lives on; the printer's own row
stream passes byte for byte and a corrupt one is refused; transparent grey
and interlaced PNGs print as drawn, a JPEG the way up its EXIF orientation
says, a CMYK one is refused by name; a page claiming
4,294,967,295 rows, a 16384x16384 PNG and 50 jobs whose document never
comes are each ended within their bound while other jobs print; a PDF
page that never ends stops at Cancel-Job; eight
printers in one server each print their own job.

usage: documents_test.py RASTER58_APP RASTERVIEW RASTERPRINT"""
import os
import shutil
import struct
import subprocess
import sys
import tempfile
import threading
import time
import zlib

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import apptest as a  # noqa: E402
from cupstest import Checklist, check_picture, decode, nested_forms_pdf, pdf as pdf_of  # noqa: E402

PRINTER = "Receipt"
OCTETS = "application/octet-stream"
RAW = "application/vnd.oemdll-rows"
PAGE = [(100, 0, 30, 20), (200, 40, 10, 10)]  # a good page's rectangles, on the 58 mm page
UNTYPED = "cannot be told from its contents"
RENDERED = "rendered"  # printed through the document renderers: some ink, exactly as a repeat gives


def good_page():
    return a.pwg_raster([(463, 60, 203, PAGE)])


def good_dots():
    return [(x - a.FIRST_COLUMN, y, w, h) for x, y, w, h in PAGE]


def bomb_png(side=16384):
    """A grey 1-bit PNG of side x side white pixels: a few kilobytes."""
    def chunk(kind, data):
        return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data))
    z = zlib.compressobj(9)
    row = b"\0" + b"\xff" * (side // 8)
    body = b"".join(z.compress(row) for _ in range(side)) + z.flush()
    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", side, side, 1, 0, 0, 0, 0)) +
            chunk(b"IDAT", body) + chunk(b"IEND", b""))


def tall_page():
    """An 8-bit page whose header claims 4,294,967,295 rows, with ten."""
    data = bytearray(a.pwg_raster([(463, 10, 203, [])], bits=8))
    struct.pack_into(">I", data, 4 + 376, 0xFFFFFFFF)
    return bytes(data)


def png_image(kind, depth, pixel, interlace=False, chunks=b"", width=384, height=48):
    """A PNG of colour type `kind` (0 grey, 4 grey and alpha) whose pixel
    (x, y) has the samples pixel(x, y), at 203 dpi; Adam7-interlaced if
    asked; `chunks` (tag, data) before the pixels."""
    def chunk(tag, data):
        return struct.pack(">I", len(data)) + tag + data + struct.pack(">I", zlib.crc32(tag + data))

    def row(y, xs):
        samples = [v for x in xs for v in pixel(x, y)]
        if depth == 16:
            return b"\0" + b"".join(struct.pack(">H", v) for v in samples)
        bits = "".join(format(v, "0%db" % depth) for v in samples)
        bits += "0" * (-len(bits) % 8)
        return b"\0" + bytes(int(bits[i:i + 8], 2) for i in range(0, len(bits), 8))
    passes = [(0, 0, 8, 8), (4, 0, 8, 8), (0, 4, 4, 8), (2, 0, 4, 4), (0, 2, 2, 4), (1, 0, 2, 2), (0, 1, 1, 2)]
    raw = b""
    for x0, y0, dx, dy in passes if interlace else [(0, 0, 1, 1)]:
        xs = range(x0, width, dx)
        if xs:
            raw += b"".join(row(y, xs) for y in range(y0, height, dy))
    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", width, height, depth, kind, 0, 0,
                                                                 int(interlace))) +
            b"".join(chunk(tag, data) for tag, data in chunks) +
            chunk(b"pHYs", struct.pack(">IIB", 7992, 7992, 1)) + chunk(b"IDAT", zlib.compress(raw)) +
            chunk(b"IEND", b""))


def with_orientation(jpeg, orientation, big_endian=True):
    """The JPEG with an EXIF APP1 marker giving its orientation."""
    order, e = (b"MM", ">") if big_endian else (b"II", "<")
    tiff = order + struct.pack(e + "HIH", 42, 8, 1) + struct.pack(e + "HHIHH", 0x0112, 3, 1, orientation, 0)
    app1 = b"Exif\0\0" + tiff + b"\0\0\0\0"
    return jpeg[:2] + b"\xff\xe1" + struct.pack(">H", len(app1) + 2) + app1 + jpeg[2:]


def ink_shape(rows):
    """"tall" or "wide" for the inked part's box, and which quarter of it
    holds the most ink ("top-left", ...)."""
    dots = [(x, y) for y, row in enumerate(rows) if any(row) for x in range(len(row) * 8)
            if (row[x // 8] >> (7 - x % 8)) & 1]
    if not dots:
        return None
    xs, ys = [d[0] for d in dots], [d[1] for d in dots]
    mx, my = (min(xs) + max(xs)) / 2, (min(ys) + max(ys)) / 2
    counts = {}
    for x, y in dots:
        key = ("top" if y < my else "bottom") + "-" + ("left" if x < mx else "right")
        counts[key] = counts.get(key, 0) + 1
    return ("tall" if max(ys) - min(ys) > max(xs) - min(xs) else "wide"), max(counts, key=counts.get)


class Run:
    def __init__(self, t, app, printer, folder):
        self.t, self.app, self.printer, self.folder = t, app, printer, folder
        self.uri = app.ipp_uri(PRINTER)

    def write(self, name, data):
        path = os.path.join(self.folder, name)
        with open(path, "wb") as f:
            f.write(data)
        return path

    def alive(self, name):
        self.t.check("%s: the server lives on" % name, self.app.process.poll() is None and
                     self.app.run("status").returncode == 0)

    def received(self, seconds=20):
        job = self.printer.wait_job(seconds)
        return (self.printer.job_bytes(job[0]) if job and job[2] == "ok" else None), job

    def nothing_printed(self, name):
        got = self.printer.wait_job(1)
        self.t.check("%s: nothing printed" % name, got is None or got[1] == 0, str(got))

    def good_job_prints(self, name):
        job = a.print_file(self.uri, self.write("good.pwg", good_page()), "image/pwg-raster")
        state = a.wait_job_done(self.uri, job, 30) if isinstance(job, int) else job
        stream, got = self.received()
        problem = check_picture(decode(stream)[0], good_dots(), 0) if stream else "received %s" % (got,)
        self.t.check("%s: a good job then prints exactly" % name,
                     state and state[0] == "completed" and problem is None, "%s %s" % (state, problem))


def raw_stream(run, rasterprint):
    png = run.write("raw.png", a.png(384, 40, [(0, 0, 384, 4), (50, 10, 30, 20)]))
    out = os.path.join(run.folder, "raw.prn")
    subprocess.run([rasterprint, png, "-o", out], check=True, capture_output=True)
    with open(out, "rb") as f:
        return f.read()


def submit(run, path, fmt):
    """A document through ipptool, or with fmt None through `submit`: the
    job id, or the refusal's text."""
    if fmt:
        return a.print_file(run.uri, path, fmt)
    p = run.app.run("submit", "-d", PRINTER, path)
    said = (p.stdout + p.stderr).decode().strip()
    return int(said.rsplit("-", 1)[1]) if p.returncode == 0 and said.rsplit("-", 1)[-1].isdigit() else said


def check_documents(run, rasterprint):
    t = run.t
    raw = raw_stream(run, rasterprint)
    pdf = pdf_of([[(10, 10, 100, 20)]], 58, 100)
    text = b"Total 12.50\nThank you\n"
    noise = bytes((i * 7919 + 13) % 251 for i in range(5000))
    documents = [
        # name, data, format (None: `submit` a file of that name); None = printed byte for byte, else the reason's words
        ("PDF", pdf, "application/pdf", RENDERED),
        ("PDF as octet-stream", pdf, OCTETS, RENDERED),
        ("text", text, "text/plain", RENDERED),
        ("text as octet-stream", text, OCTETS, RENDERED),
        ("random bytes", noise, "application/x-random", "application/x-random"),
        ("random bytes as octet-stream", noise, OCTETS, UNTYPED),
        ("empty file", b"", "application/pdf", "No file"),
        ("empty file as octet-stream", b"", OCTETS, "No file"),
        ("the printer's stream", raw, RAW, None),
        ("the printer's stream as octet-stream", raw, OCTETS, None),
        ("a corrupt stream", raw[:100] + b"\0" * 50 + raw[150:], RAW, "not the printer's row stream"),
        ("a stream cut short", raw[:-3], RAW, "truncated row"),
        ("receipt.pdf", pdf, None, RENDERED),
        ("receipt.txt", text, None, RENDERED),
        ("notes.md", noise, None, UNTYPED),
        ("receipt.prn", raw, None, None),
    ]
    for name, data, fmt, words in documents:
        job = submit(run, run.write(name.replace(" ", "_"), data), fmt)
        name += "" if fmt else " through submit"
        if not isinstance(job, int):
            t.check("%s: refused, saying why" % name, words and words in job, job)
            continue
        state = a.wait_job_done(run.uri, job, 30)
        if words is RENDERED:
            stream, got = run.received()
            rows = decode(stream)[0] if stream else []
            t.check("%s: printed" % name, state and state[0] == "completed" and any(any(r) for r in rows),
                    "%s %s" % (state, got))
        elif words is None:
            stream, got = run.received()
            t.check("%s: printed byte for byte" % name, state and state[0] == "completed" and stream == raw,
                    "%s %s" % (state, got))
        else:
            t.check("%s: aborted, saying why" % name, state and state[0] == "aborted" and words in state[2] and
                    "document-format-error" in state[1], str(state))
            run.nothing_printed(name)
    run.alive("every kind of document")
    run.good_job_prints("after every kind of document")


def check_pictures(run):
    """Transparent grey pictures print their background as paper, an
    interlaced 1-bit PNG as it is, a JPEG the way up its EXIF orientation
    says, and a CMYK JPEG is refused by name."""
    t = run.t
    mark = (40, 8, 120, 24)  # the opaque black rectangle, in dots

    def inside(x, y):
        return mark[0] <= x < mark[0] + mark[2] and mark[1] <= y < mark[1] + mark[3]
    # As ImageMagick writes a grey picture on a transparent background: a
    # gamma, and a background colour that is not the paper's.
    magick = [(b"gAMA", struct.pack(">I", 45455)), (b"bKGD", struct.pack(">H", 0))]
    opaque = lambda x, y: (0, 255 if inside(x, y) else 0)  # noqa: E731  (transparent pixels are black)
    pngs = [
        # name, colour type, bits, pixel(x, y), interlaced, chunks
        ("grey and alpha, as ImageMagick writes it", 4, 8, opaque, False, magick),
        ("grey and alpha, 16 bits", 4, 16, lambda x, y: (0, 65535 if inside(x, y) else 0), False, []),
        ("grey and alpha, interlaced", 4, 8, opaque, True, []),
        ("grey with a transparent grey", 0, 8, lambda x, y: (0 if inside(x, y) else 128,), False,
         [(b"tRNS", struct.pack(">H", 128))]),
        ("1-bit, interlaced", 0, 1, lambda x, y: (0 if inside(x, y) else 1,), True, []),
    ]
    for name, kind, depth, pixel, interlace, chunks in pngs:
        path = run.write("picture.png", png_image(kind, depth, pixel, interlace, chunks))
        job = a.print_file(run.uri, path, "image/png")
        state = a.wait_job_done(run.uri, job, 30) if isinstance(job, int) else job
        stream, got = run.received()
        rows = decode(stream)[0] if stream else []
        # Blank rows above the ink are the plug-in's to trim: the ink is compared from its first row.
        rows = rows[next((y for y, row in enumerate(rows) if any(row)), 0):]
        problem = check_picture(rows, [(mark[0], 0, mark[2], mark[3])], 1) if stream else "received %s" % (got,)
        t.check("PNG, %s: printed as drawn" % name, state and state[0] == "completed" and problem is None,
                "%s %s" % (state, problem))

    # A portrait picture: a block in its top left corner, a line along its foot.
    pdf = run.write("photo.pdf", pdf_of([[(0, 0, 80, 80), (0, 312, 160, 8)]], 30, 50))
    jpegs = {}
    for device in ("jpeggray", "jpeg", "jpegcmyk"):
        out = os.path.join(run.folder, device + ".jpg")
        subprocess.run(["gs", "-q", "-dSAFER", "-sDEVICE=" + device, "-r203", "-o", out, pdf], check=True)
        with open(out, "rb") as f:
            jpegs[device] = f.read()
    photos = [
        # name, JPEG, what prints ("tall"/"wide", the block's corner), or the refusal's words
        ("no orientation", jpegs["jpeggray"], ("tall", "top-left")),
        ("upside down", with_orientation(jpegs["jpeggray"], 3), ("tall", "bottom-right")),
        ("turned right", with_orientation(jpegs["jpeggray"], 6), ("wide", "top-right")),
        ("turned left, Intel order", with_orientation(jpegs["jpeg"], 8, False), ("wide", "bottom-left")),
        ("mirrored", with_orientation(jpegs["jpeg"], 2, False), ("tall", "top-right")),
        ("CMYK", jpegs["jpegcmyk"], "CMYK"),
        ("cut short", jpegs["jpeggray"][:len(jpegs["jpeggray"]) * 2 // 3], "cut short"),
    ]
    for name, data, want in photos:
        job = a.print_file(run.uri, run.write("photo.jpg", data), "image/jpeg")
        state = a.wait_job_done(run.uri, job, 30) if isinstance(job, int) else job
        if isinstance(want, str):
            t.check("JPEG, %s: refused, saying why" % name, state and state[0] == "aborted" and want in state[2],
                    str(state))
            run.nothing_printed("JPEG, %s" % name)
            continue
        stream, got = run.received()
        shape = ink_shape(decode(stream)[0]) if stream else None
        t.check("JPEG, %s: printed upright" % name, state and state[0] == "completed" and shape == want,
                "%s %s %s" % (state, shape, got))


def check_bounds(run):
    t = run.t
    started = time.monotonic()
    ipp = a.IppConnection(run.uri, 15)
    try:  # a raster stream refused is answered with the error, after it is read
        status, job = ipp.print_job(tall_page(), "image/pwg-raster", "om_58x297mm_58x297mm")
    finally:
        ipp.close()
    state = a.wait_job_done(run.uri, job, 10) if job else status
    # The connection's time-out bounds a server that reads on for the rows.
    t.check("a page claiming 4294967295 rows: refused (document-format-error), saying why",
            status == 0x0411 and state and state[0] == "aborted" and "4294967295" in state[2],
            "%s %s after %.1f s" % (status, state, time.monotonic() - started))
    run.good_job_prints("after the tall page")

    started = time.monotonic()
    bomb = a.print_file(run.uri, run.write("bomb.png", bomb_png()), "image/png")
    run.good_job_prints("beside the PNG bomb")
    state = a.wait_job_done(run.uri, bomb, 20) if isinstance(bomb, int) else bomb
    t.check("a 16384x16384 PNG: aborted, saying why", state and state[0] == "aborted" and "16384x16384" in state[2],
            "%s after %.1f s" % (state, time.monotonic() - started))

    created = []
    for _ in range(50):
        p = a.ipptool("-c", run.uri, os.path.join(a.HERE, "create-only.test"))
        lines = p.stdout.decode().split()
        created.append(int(lines[-1]) if p.returncode == 0 and lines and lines[-1].isdigit() else None)
    t.check("50 Create-Jobs without documents: accepted", all(created), str(created))
    picture = run.write("beside.png", a.png(384, 40, [(0, 0, 384, 40)]))
    job = a.print_file(run.uri, picture, "image/png")
    state = a.wait_job_done(run.uri, job, 30) if isinstance(job, int) else job
    t.check("beside them another job prints", state and state[0] == "completed", str(state))
    # They are cancelled after the printer's multiple-operation-time-out, 60 s.
    end = time.monotonic() + 90
    states = []
    while time.monotonic() < end:
        states = [a.job_state(run.uri, j) for j in created if j]
        if all(s and s[0] == "canceled" for s in states):
            break
        time.sleep(2)
    t.check("50 Create-Jobs without documents: cancelled within 90 s, saying why",
            states and all(s and s[0] == "canceled" and "no document" in s[2] for s in states), str(states[:2]))
    job = a.print_file(run.uri, picture, "image/png")
    a.wait_job_done(run.uri, job, 30)
    # The device is closed after each job, jobs waiting or not: each picture
    # arrives whole on a connection of its own.
    black = []
    for _ in range(2):
        stream, got = run.received()
        black.append(len([y for y, row in enumerate(decode(stream)[0]) if any(row)]) if stream else got)
    t.check("beside them and after them, each picture ends its own connection", black == [40, 40], str(black))
    run.alive("the bounds")


def check_cancel(run):
    """Cancel-Job stops a PDF page that would never end, inside the page."""
    t = run.t
    job = a.print_file(run.uri, run.write("nested.pdf", nested_forms_pdf()), "application/pdf")
    end = time.monotonic() + 20
    state = None
    while isinstance(job, int) and time.monotonic() < end:
        state = a.job_state(run.uri, job)
        if state and state[0] != "pending":
            break
        time.sleep(0.1)
    t.check("forms nested 40 deep: the job renders", state and state[0] == "processing", "%s %s" % (job, state))
    started = time.monotonic()
    p = run.app.run("cancel", "-d", PRINTER, "-j", str(job))
    state = a.wait_job_done(run.uri, job, 10) if isinstance(job, int) else job
    # The page never ends: a cancel seen only between pages would leave the
    # job processing past the wait (the renderer's own clock is 120 s).
    t.check("forms nested 40 deep: Cancel-Job ends the job inside its page",
            p.returncode == 0 and state and state[0] == "canceled",
            "%s %s after %.1f s" % (p.stderr, state, time.monotonic() - started))
    run.printer.wait_job(1)
    run.good_job_prints("after the cancelled PDF")


def check_shop(t, binary, rasterview, folder):
    """Eight printers in one server, a job to each at once: each prints its own."""
    app, printers = None, []
    try:
        printers = [a.VirtualPrinter(rasterview, os.path.join(folder, "shop%d" % i)) for i in range(8)]
        app = a.App(binary, os.path.join(folder, "shop"))
        os.makedirs(app.folder)
        app.start()
        for i, p in enumerate(printers):
            app.add_printer("Till%d" % i, p.uri)
        results = [None] * 8

        def send(i):
            path = os.path.join(folder, "till%d.png" % i)
            with open(path, "wb") as f:
                f.write(a.png(384, 8, [(0, 0, 20 * (i + 1), 8)]))
            results[i] = a.print_file(app.ipp_uri("Till%d" % i), path, "image/png")

        threads = [threading.Thread(target=send, args=(i,)) for i in range(8)]
        for th in threads:
            th.start()
        for th in threads:
            th.join(60)
        widths = []
        for p in printers:
            job = p.wait_job(30)
            rows = decode(p.job_bytes(job[0]))[0] if job and job[2] == "ok" else []
            widths.append(max((sum(bin(b).count("1") for b in row) for row in rows), default=0))
        t.check("eight printers, a job to each at once: each prints its own exactly",
                widths == [20 * (i + 1) for i in range(8)], "%s %s" % (results, widths))
    finally:
        a.stop_all(app, *printers)


def main():
    binary, rasterview, rasterprint = sys.argv[1:4]
    t = Checklist()
    folder = tempfile.mkdtemp(prefix="raster58-documents-")
    printer = app = None
    try:
        # A printer patient with slow jobs (the device is closed after each
        # job, jobs waiting for their documents or not).
        printer = a.VirtualPrinter(rasterview, os.path.join(folder, "jobs"), read_timeout=120)
        app = a.App(binary, os.path.join(folder, "app"))
        os.makedirs(app.folder)
        app.start()
        app.add_printer(PRINTER, printer.uri)
        run = Run(t, app, printer, folder)
        check_documents(run, rasterprint)
        check_pictures(run)
        check_bounds(run)
        check_cancel(run)
        app.stop()
        app = None
        check_shop(t, binary, rasterview, folder)
    except Exception as e:  # a failure to start is a failed check, not a crash
        t.check("the test runs", False, repr(e))
    finally:
        a.stop_all(app, printer)
        shutil.rmtree(folder, ignore_errors=True)
    return t.finish()


if __name__ == "__main__":
    sys.exit(main())
