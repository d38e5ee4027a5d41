#!/usr/bin/env python3
"""raster58-app as clients use it: a private instance printing to the
virtual printer over socket://. Jobs in each format decode to the dots
drawn, bad input is refused with nothing printed, twelve jobs at once all
print, a cancel prints nothing, and the printer survives a restart. PDF
and text print as rasterprint prints them.

usage: app_test.py RASTER58_APP RASTERVIEW RASTERPRINT"""
import calendar
import os
import shutil
import struct
import subprocess
import sys
import tempfile
import threading
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import apptest as a  # noqa: E402
from cupstest import Checklist, black, check_picture, decode, trimmed_rows, pdf as pdf_of  # noqa: E402

PRINTER = "Receipt"
M80 = "om_58x80mm_58x80mm"  # 639 rows at 203 dpi
M297 = "om_58x297mm_58x297mm"  # 2373 rows
ROWS80 = 639


def dots(rects, first=a.FIRST_COLUMN, top=0):
    """Page rectangles as printer dots: columns from `first` on, rows from
    the page's top plus `top`, clipped to the 384 dots."""
    out = []
    for x, y, w, h in rects:
        left, right = max(x - first, 0), min(x + w - first, 384)
        if right > left:
            out.append((left, y + top, right - left, h))
    return out


# Each page: raster columns 39 and 424 lie in the margins and must not print;
# columns 40 and 423 are dots 0 and 383.
PAGE1 = [(39, 10, 2, 50), (423, 10, 2, 50), (100, 100, 30, 20)]
PAGE2 = [(200, 300, 40, 40), (40, 400, 384, 3)]
PICTURE = [(0, 0, 1, 100), (383, 0, 1, 100), (100, 50, 10, 10)]


def expected_two_pages():
    rects = dots(PAGE1) + dots(PAGE2, top=ROWS80)
    return rects, trimmed_rows(2 * ROWS80, 10, ROWS80 + 403), 8


FORMATS = [
    # name, document, format, two requests, media, (rects, rows, rows trimmed at the top), slack
    ("PWG raster 1-bit, two pages", lambda d: a.pwg_raster([(463, ROWS80, 203, PAGE1), (463, ROWS80, 203, PAGE2)]),
     "image/pwg-raster", False, M80, expected_two_pages(), 0),
    ("PWG raster 8-bit grey, two pages", lambda d: a.pwg_raster(
        [(463, ROWS80, 203, PAGE1), (463, ROWS80, 203, PAGE2)], bits=8), "image/pwg-raster", True, M80,
     expected_two_pages(), 0),
    ("Apple raster, two pages", lambda d: a.apple_raster([(463, ROWS80, 203, PAGE1), (463, ROWS80, 203, PAGE2)]),
     "image/urf", True, M80, expected_two_pages(), 0),
    ("PNG 384 dots wide", lambda d: a.png(384, 100, PICTURE), "image/png", False, M80,
     (dots(PICTURE, first=0), None, 0), 1),
    ("PNG 1-bit grey", lambda d: a.png(384, 100, PICTURE, bits=1), "image/png", False, M80,
     (dots(PICTURE, first=0), None, 0), 1),
    ("JPEG", lambda d: jpeg(d), "image/jpeg", True, M80, (dots(PICTURE, first=0), None, 0), 2),
]


def jpeg(folder):
    """The PNG picture as a JPEG, by Ghostscript from a PDF of its size (the
    PDF writer puts x at the 5 mm margin, 40 dots in)."""
    pdf = os.path.join(folder, "picture.pdf")
    with open(pdf, "wb") as f:
        f.write(pdf_of([[(x - 40, y, w, h) for x, y, w, h in PICTURE]], 384 * 25.4 / 203, 100 * 25.4 / 203))
    out = os.path.join(folder, "picture.jpg")
    subprocess.run(["gs", "-q", "-dSAFER", "-sDEVICE=jpeggray", "-r203", "-dJPEGQ=95", "-o", out, pdf], check=True)
    with open(out, "rb") as f:
        return f.read()


def write(folder, name, data):
    path = os.path.join(folder, name)
    with open(path, "wb") as f:
        f.write(data)
    return path


def received(printer, seconds=30):
    """The rows of the next job the virtual printer receives, or None. A
    connection that carried nothing is a refused or cancelled job's, whose
    report may come late on a busy machine: it is passed over."""
    job = printer.wait_job(seconds)
    while job and job[1] == 0 and job[2] == "ok":
        job = printer.wait_job(seconds)
    if not job:
        return None, "nothing received"
    if job[2] != "ok":
        return None, "malformed: " + job[2]
    return decode(printer.job_bytes(job[0]))[0], ""


def black_rows(rows):
    return [y for y, row in enumerate(rows) if any(row)]


def check_formats(t, app, printer, folder):
    uri = app.ipp_uri(PRINTER)
    # Pages at their full length: the frame the rectangles are drawn in.
    app.run("modify", "-d", PRINTER, "-o", "page-length-default=full")
    for i, (name, make, fmt, two, media, (rects, want_rows, top), slack) in enumerate(FORMATS):
        # A JPEG's ringing is grey: thresholded, so that where the picture
        # lands (the dither's phase) does not decide which of it prints.
        job = a.print_file(uri, write(folder, "doc%d" % i, make(folder)), fmt, media=media, two_step=two,
                           color="bi-level" if fmt == "image/jpeg" else None)
        state = a.wait_job_done(uri, job, 20) if isinstance(job, int) else None
        t.check("%s: job completes" % name, state and state[0] == "completed", "%s %s" % (job, state))
        rows, why = received(printer)
        if not t.check("%s: the printer receives it" % name, rows is not None, why):
            continue
        if want_rows is None:  # a picture: placed by the framework, found by its first black row
            top = black_rows(rows)[0] if black_rows(rows) else 0
            rects = [(x, y + top, w, h) for x, y, w, h in rects]
        else:
            rects = [(x, y - top, w, h) for x, y, w, h in rects]
        problem = check_picture(rows, rects, slack)
        if want_rows is not None and len(rows) != want_rows:
            problem = "%d rows, want %d" % (len(rows), want_rows)
        t.check("%s: decodes to the dots drawn" % name, problem is None, problem)
        if slack == 0:
            # Columns 39 to 40 and 423 to 424 are drawn: only 40 and 423 print.
            t.check("%s: columns 40 and 423 are dots 0 and 383" % name,
                    black(rows, 0, 2) and black(rows, 383, 2) and not black(rows, 1, 2) and not black(rows, 382, 2),
                    "row 2: %s" % rows[2].hex())
    app.run("modify", "-d", PRINTER, "-o", "page-length-default=content")


def check_copies(t, app, printer, folder):
    uri = app.ipp_uri(PRINTER)
    path = write(folder, "copies.png", a.png(384, 100, PICTURE))
    counts = []
    for copies in (1, 2):
        job = a.print_file(uri, path, "image/png", copies=copies, media=M80)
        a.wait_job_done(uri, job, 20)
        rows, _ = received(printer)
        counts.append(len(black_rows(rows or [])))
    t.check("PNG with copies=2 prints the picture twice", counts[0] > 0 and counts[1] == 2 * counts[0],
            "black rows %s" % counts)


def tall_pages(count, rows=65536):
    """`count` blank 1-bit pages of `rows` rows: 256 equal lines a code."""
    header = bytearray(a.pwg_raster([(463, 1, 203, [])])[4:4 + 1796])
    struct.pack_into(">I", header, 376, rows)  # cupsHeight
    return b"RaS2" + (bytes(header) + bytes([255, 57, 0]) * (rows // 256)) * count


FORMAT_ERROR, UNPRINTABLE = 0x0411, 0x041B
BAD = [
    # name, document, format, the message names, the answer: a raster stream
    # is printed before it, a spooled document after
    ("raster cut short in its page header", lambda: a.pwg_raster([(463, 200, 203, PAGE1)], truncate=1000),
     "image/pwg-raster", "", FORMAT_ERROR),
    ("raster cut short mid-page", lambda: a.pwg_raster([(463, 200, 203, PAGE1)], truncate=3000),
     "image/pwg-raster", "cut short", FORMAT_ERROR),
    ("raster of garbage", lambda: b"RaS2" + bytes(range(256)) * 40, "image/pwg-raster", "", FORMAT_ERROR),
    ("JPEG of garbage", lambda: b"\xff\xd8\xff\xe0" + bytes(3000), "image/jpeg", "", 0),
    ("PNG cut short", lambda: a.png(384, 100, PICTURE)[:80], "image/png", "cannot be decoded", 0),
    ("job over the row bound", lambda: tall_pages(11), "image/pwg-raster", "699050 rows", UNPRINTABLE),
]


def check_bad_input(t, app, printer, folder):
    uri = app.ipp_uri(PRINTER)
    for name, make, fmt, words, answer in BAD:
        ipp = a.IppConnection(uri, 15)
        try:
            status, job = ipp.print_job(make(), fmt, M297, pieces=2)  # chunked, as ipptool sends it
        except OSError as e:  # no answer in time
            status, job = repr(e), None
        finally:
            ipp.close()
        state = a.wait_job_done(uri, job, 20) if job else None
        t.check("%s: answered %#x, the job aborted, the client told why" % (name, answer),
                status == answer and state and state[0] == "aborted" and words in state[2] and
                state[1] not in ("", "none"), "%s %s %s" % (status, job, state))
        got = printer.wait_job(1.5)
        t.check("%s: nothing printed" % name, got is None or got[1] == 0, str(got))
    path = write(folder, "after.pwg", a.pwg_raster([(463, ROWS80, 203, PAGE1)]))
    job = a.print_file(uri, path, "image/pwg-raster", media=M80)
    state = a.wait_job_done(uri, job, 20) if isinstance(job, int) else None
    rows, why = received(printer)
    t.check("after bad input the next job prints", state and state[0] == "completed" and rows, "%s %s" % (state, why))


def check_twelve(t, app, printer, folder):
    """Twelve jobs at once, each a bar of its own width: all print exactly,
    in some order. The printer answers busy while one streams; clients retry."""
    uri = app.ipp_uri(PRINTER)
    results = [None] * 12

    def send(i):
        path = write(folder, "many%d.pwg" % i, a.pwg_raster([(463, ROWS80, 203, [(40, 0, 10 * (i + 1), 8)])]))
        results[i] = a.print_file(uri, path, "image/pwg-raster", media=M80, seconds=60)

    threads = [threading.Thread(target=send, args=(i,)) for i in range(12)]
    for th in threads:
        th.start()
    for th in threads:
        th.join(90)
    t.check("twelve jobs at once: all accepted", all(isinstance(r, int) for r in results), str(results))
    # Each bar is 8 rows, found by its run (a connection carries one job).
    widths = []
    while len(widths) < 12:
        rows, why = received(printer, 20)
        if rows is None:
            break
        y = 0
        while y < len(rows):
            width = sum(1 for x in range(384) if black(rows, x, y))
            run = next((n for n in range(1, 9) if y + n >= len(rows) or
                        sum(1 for x in range(384) if black(rows, x, y + n)) != width), 8)
            if width and run == 8:
                widths.append(width)
            y += run
    t.check("twelve jobs at once: each prints its bar exactly", sorted(widths) == [10 * (i + 1) for i in range(12)],
            "bar widths %s" % sorted(widths))


def check_cancel(t, app, printer, folder):
    """A job cancelled while its document is still arriving: however fast
    the machine, it is processing when the cancel comes."""
    uri = app.ipp_uri(PRINTER)
    document = a.pwg_raster([(463, 8, 203, [(40, 0, 384, 1)])] * 250)
    held = a.HeldPrintJob(uri, "image/pwg-raster", document[:len(document) // 2], media=M297)
    try:
        job = a.wait_job_state(app, PRINTER, ("processing",))
        if not t.check("a long job is processing", job is not None, "never seen processing"):
            return
        app.run("cancel", "-d", PRINTER, "-j", str(job))
        # The job stops at its next read of the document.
        held.send_rest(document[len(document) // 2:])
        state = a.wait_job_done(uri, job, 20)
    finally:
        held.close()
    t.check("a cancelled job ends canceled", state and state[0] == "canceled", str(state))
    got = printer.wait_job(1.5)
    t.check("a cancelled job prints nothing", got is None or got[1] == 0, str(got))


def slip_problem(rows):
    """What is wrong with an Identify-Printer slip: 36 rows, a bar of all 384
    dots at each end, blank rows about the text, text between them."""
    blank, bar = bytes(48), b"\xff" * 48
    if len(rows) != 36:
        return "%d rows, want 36" % len(rows)
    if rows[:3] != [bar] * 3 or rows[33:] != [bar] * 3:
        return "no bar at both ends"
    if rows[3:11] != [blank] * 8 or rows[25:33] != [blank] * 8 or all(r == blank for r in rows[11:25]):
        return "not blank about the text, or no text"
    return None


def ipp_status(uri, operation, attributes=(), job_attributes=(), document=b""):
    """One request on a connection of its own (PAPPL may close one after
    its answer, and a request sent as it closes breaks); the IPP status."""
    ipp = a.IppConnection(uri)
    try:
        return ipp.status(operation, attributes, job_attributes, document)
    finally:
        ipp.close()


def check_identify(t, app, printer, folder):
    """Identify-Printer prints a slip."""
    uri = app.ipp_uri(PRINTER)
    identify = a.IppConnection.IDENTIFY_PRINTER
    display = [(0x44, "identify-actions", b"display"), (0x41, "message", b"Till 3, here!")]

    # An action it cannot do is ignored and the client told so: the next
    # slip received is display's.
    ignored = ipp_status(uri, identify, [(0x44, "identify-actions", b"sound")])
    status = ipp_status(uri, identify, display)
    slip, why = received(printer)
    t.check("Identify-Printer prints the message between two bars; sound is ignored, and said to be",
            (ignored, status) == (1, 0) and slip is not None and slip_problem(slip) is None,
            "status %s, %s: %s" % (ignored, status, why or slip_problem(slip)))


def bar(rows):
    return a.pwg_raster([(463, rows, 203, [(40, 0, 384, rows)])])


def check_paused(t, app, printer, folder):
    """A paused printer keeps a raster job, spooled, and prints it once
    resumed."""
    uri = app.ipp_uri(PRINTER)
    ipp = a.IppConnection
    raster = [(0x49, "document-format", b"image/pwg-raster")]
    paused = ipp_status(uri, ipp.PAUSE_PRINTER)
    queued = ipp_status(uri, ipp.PRINT_JOB, raster, (), bar(8))
    early = printer.wait_job(1.5)
    resumed = ipp_status(uri, ipp.RESUME_PRINTER)
    rows, why = received(printer)
    t.check("paused, the printer keeps a raster job and prints nothing; resumed, it prints it",
            (paused, queued, resumed) == (0, 0, 0) and early is None and rows is not None and
            black_rows(rows) == list(range(8)),
            "pause %s, job %s, %s while paused, resume %s: %s" % (
                paused, queued, early, resumed, why or "black rows %s" % black_rows(rows)))


def held_jobs(app, printer):
    return [int(line.split()[0]) for line in app.run("jobs", "-d", printer).stdout.decode().splitlines()
            if "pending-held" in line.split()[1:2]]


def check_held(t, app, rasterview, folder):
    """Jobs held (a picture, a raster stream) beside jobs printed, on a
    printer that drops a connection idle for 2 s: each printed job ends its
    own connection and none is lost; a held raster job prints on release."""
    printer = a.VirtualPrinter(rasterview, os.path.join(folder, "idle"), read_timeout=2)
    try:
        app.add_printer("Idle", printer.uri)
        uri = app.ipp_uri("Idle")
        ipp = a.IppConnection
        hold = [(0x44, "job-hold-until", b"indefinite")]
        png = [(0x49, "document-format", b"image/png")]
        raster = [(0x49, "document-format", b"image/pwg-raster")]
        ipp_status(uri, ipp.PRINT_JOB, png, hold, a.png(384, 8, [(0, 0, 384, 8)]))
        picture = held_jobs(app, "Idle")
        got = []
        for rows in (16, 24):  # the second after the printer would have dropped a kept connection
            status = ipp_status(uri, ipp.PRINT_JOB, raster, (), bar(rows))
            job = printer.wait_job(10)
            got.append((status, job and job[1:]))
        t.check("with a job held, each job printed ends its connection, and the next prints",
                len(picture) == 1 and got == [(0, (16, "ok")), (0, (24, "ok"))], "held %s: %s" % (picture, got))

        status = ipp_status(uri, ipp.PRINT_JOB, raster, hold, bar(32))
        held = [j for j in held_jobs(app, "Idle") if j not in picture]
        early = printer.wait_job(1.5)
        released = ipp_status(uri, ipp.RELEASE_JOB, [(0x21, "job-id", struct.pack(">i", held[0]))]) if held else None
        job = printer.wait_job(10)
        t.check("a raster job with job-hold-until is held, printing nothing, and prints on Release-Job",
                (status, len(held), early, released) == (0, 1, None, 0) and job and job[1:] == (32, "ok"),
                "job %s held %s, %s while held, release %s, then %s" % (status, held, early, released, job))

        # Held until a time 4 s on: another job printed meanwhile does not
        # release it early, and the server releases it when the time comes.
        until = time.gmtime(time.time() + 4)
        when = struct.pack(">HBBBBBBcBB", until.tm_year, until.tm_mon, until.tm_mday, until.tm_hour, until.tm_min,
                           until.tm_sec, 0, b"+", 0, 0)
        ipp_status(uri, ipp.PRINT_JOB, png, [(0x31, "job-hold-until-time", when)], a.png(384, 8, [(0, 0, 384, 8)]))
        timed = [j for j in held_jobs(app, "Idle") if j not in picture]
        status = ipp_status(uri, ipp.PRINT_JOB, raster, (), bar(8))
        first = printer.wait_job(10)
        early = printer.wait_job(max(calendar.timegm(until) - time.time() - 0.5, 0))
        state = a.wait_job_done(uri, timed[0], 40) if timed else None
        t.check("a job held until a time stays held while another prints, and prints when the time comes",
                len(timed) == 1 and first and first[1] == 8 and early is None and state and state[0] == "completed" and
                printer.wait_job(10), "held %s, first %s, early %s, then %s" % (timed, first, early, state))

        for j in picture:
            app.run("cancel", "-d", "Idle", "-j", str(j))
        status = ipp_status(uri, ipp.PRINT_JOB, raster, (), bar(8))
        job = printer.wait_job(10)
        t.check("after the held job is cancelled the next job prints", (status, job and job[1:]) == (0, (8, "ok")),
                "%s %s" % (status, job))
    finally:
        printer.stop()


VALIDATE = [
    # name, job attributes Print-Job substitutes
    ("A4 media", [(0x44, "media", b"iso_a4_210x297mm")]),
    ("600 dpi", [(0x32, "printer-resolution", struct.pack(">iib", 600, 600, 3))]),
]


def check_validate(t, app, printer, folder):
    """Validate-Job answers as Print-Job: what Print-Job substitutes it says
    is substituted, and ipp-attribute-fidelity=true refuses both."""
    uri = app.ipp_uri(PRINTER)
    ipp = a.IppConnection
    png = [(0x49, "document-format", b"image/png")]
    fidelity = [(0x22, "ipp-attribute-fidelity", b"\x01")]
    document = a.png(384, 8, [(0, 0, 384, 8)])
    for name, attributes in VALIDATE:
        answers = (ipp_status(uri, 0x04, png, attributes), ipp_status(uri, ipp.PRINT_JOB, png, attributes, document),
                   ipp_status(uri, 0x04, png + fidelity, attributes),
                   ipp_status(uri, ipp.PRINT_JOB, png + fidelity, attributes, document))
        printed = received(printer)[0]
        t.check("%s: Validate-Job and Print-Job substitute it (and print), with fidelity both refuse it" % name,
                answers == (1, 1, 0x040B, 0x040B) and printed, "%s, printed %s" % (answers, printed is not None))


def check_documents(t, app, printer, folder, rasterprint):
    """PDF and text come out as rasterprint prints the same file."""
    uri = app.ipp_uri(PRINTER)
    text = "M" * 32 + "\n" + "M" * 33 + "\nCaf\u00e9\t3,40 \u20ac\n"
    bars = pdf_of([[(20 + 8 * i, 10, 3, 80) for i in range(40)]], 58, 40)
    for name, data, fmt, tool_options in [
            ("text", text.encode(), "text/plain", []),
            ("text in windows-1252", text.encode("cp1252"), "text/plain;charset=windows-1252",
             ["--charset", "windows-1252"]),
            ("PDF", bars, "application/pdf", [])]:
        path = write(folder, "document", data)
        job = a.print_file(uri, path, fmt)
        state = a.wait_job_done(uri, job, 20) if isinstance(job, int) else None
        t.check("%s: job completes" % name, state and state[0] == "completed", "%s %s" % (job, state))
        got = printer.wait_job(10)
        want = subprocess.run([rasterprint] + tool_options + [path], capture_output=True, timeout=30).stdout
        t.check("%s: as rasterprint prints it" % name, got is not None and printer.job_bytes(got[0]) == want and want,
                "received %s" % (got,))


def check_restart(t, app, printer, folder):
    uri = app.ipp_uri(PRINTER)
    app.run("modify", "-d", PRINTER, "-o", "media-ready=" + M80)
    before = a.ipptool("-c", uri, os.path.join(a.HERE, "get-printer.test")).stdout.decode()
    app.stop()
    app.start()
    listed = app.run("printers").stdout.decode().split()
    after = a.ipptool("-c", uri, os.path.join(a.HERE, "get-printer.test")).stdout.decode()
    t.check("after a restart the printer is there", PRINTER in listed, str(listed))
    t.check("after a restart its default and ready media are kept", after.count(M80) == 2 and after == before,
            "before %r after %r" % (before, after))
    job = a.print_file(uri, write(folder, "restart.png", a.png(384, 100, PICTURE)), "image/png")
    state = a.wait_job_done(uri, job, 20) if isinstance(job, int) else None
    rows, why = received(printer)
    t.check("after a restart it prints", state and state[0] == "completed" and rows, "%s %s" % (state, why))


def check_loopback(t, binary, folder):
    """Without listen-hostname the server listens on loopback only."""
    app = a.App(binary, os.path.join(folder, "loopback"))
    os.makedirs(app.folder)
    app.port = a.free_port()
    app.output = open(os.path.join(app.folder, "server.out"), "ab")
    pairs = app.options()
    options = [o for i in range(0, len(pairs), 2) if not pairs[i + 1].startswith("listen-hostname=")
               for o in pairs[i:i + 2]]
    app.process = subprocess.Popen([binary, "server"] + options, env=app.env, stdout=app.output,
                                   stderr=subprocess.STDOUT)
    try:
        listening = ""
        end = time.monotonic() + 30
        while not listening and time.monotonic() < end:
            listening = subprocess.run(["ss", "-ltnH", "sport = :%d" % app.port], capture_output=True).stdout.decode()
            time.sleep(0.1)
        addresses = [line.split()[3] for line in listening.splitlines()]
        t.check("without listen-hostname it listens on loopback only",
                addresses and all(x.startswith(("127.", "[::1]")) for x in addresses), str(addresses))
    finally:
        app.stop()


def main():
    binary, rasterview, rasterprint = sys.argv[1:4]
    started = time.monotonic()
    t = Checklist()
    folder = tempfile.mkdtemp(prefix="raster58-app-")
    printer = app = None
    try:
        printer = a.VirtualPrinter(rasterview, os.path.join(folder, "jobs"))
        app = a.App(binary, os.path.join(folder, "app"))
        os.makedirs(app.folder)
        app.start()
        drivers = app.run("drivers").stdout.decode()
        t.check("drivers lists raster58", drivers.startswith("raster58 "), drivers)
        app.add_printer(PRINTER, printer.uri)
        t.check("printers lists the printer added", PRINTER in app.run("printers").stdout.decode().split())
        for check in (check_formats, check_copies, check_bad_input, check_twelve, check_cancel, check_identify,
                      check_paused, check_validate):
            check(t, app, printer, folder)
        check_held(t, app, rasterview, folder)
        check_restart(t, app, printer, folder)
        # After the restart: PAPPL takes the document filters only before it
        # runs, from the printers it loads, unless a system callback adds them.
        check_documents(t, app, printer, folder, rasterprint)
        check_loopback(t, binary, folder)
    except Exception as e:  # a failure to start is a failed check, not a crash
        t.check("the test runs", False, repr(e))
    finally:
        if app:
            app.stop()
            t.check("the app kept its state in its folder",
                    any(name.endswith(".state") for name in os.listdir(app.folder)), str(os.listdir(app.folder)))
        if printer:
            printer.stop()
        shutil.rmtree(folder, ignore_errors=True)
    # How long it took says nothing of the app: ctest's time limit bounds a hang.
    print("took %.1f s" % (time.monotonic() - started))
    return t.finish()


if __name__ == "__main__":
    sys.exit(main())
