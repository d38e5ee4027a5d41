#!/usr/bin/env python3
"""A real client: a private cupsd with a driverless queue (lpadmin -m
everywhere) to a private raster58-app, which prints to the virtual printer.
A PDF printed there gives, within a dot at every edge, the stream the CUPS
driver makes of the same PDF (the build tree's filter through cupsfilter).
Copies and multi-page receipts, sent there and to the app, take the paper
of their content and the gap between receipts.

usage: cups_test.py CMAKE BUILD_DIR RASTER58_APP RASTERVIEW"""
import os
import subprocess
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import apptest as a  # noqa: E402
import cupstest as c  # noqa: E402
from cupsd_test import Cupsd  # noqa: E402
from cupsfilter_test import run_cupsfilter  # noqa: E402

QUEUE = "driverless"
# Two pages of 58 x 80 mm, rectangles in printer dots from the printable
# area's top left; the first starts in a row group of its own.
PAGES = [[(10, 36, 50, 20), (0, 100, 384, 4)], [(300, 500, 60, 31), (100, 200, 1, 40)]]


# The paper a job takes, in rows of 203 dpi (8 a mm): each page its content,
# at most the 4 mm gap between one page's ink and the next (CUPS centres a
# PDF page on a 297 mm sheet), a picture its own length; with
# page-length-default=full every page but the last whole.
GAP = 32
BARS_100MM = [[(0, 0, 384, 8), (0, 791, 384, 8)]]  # a 100 mm page inked to both ends
BARS_20MM = [[(0, 0, 384, 8), (0, 152, 384, 8)]]   # 20 mm of ink on a 100 mm page
RECEIPT_HTML = """<!DOCTYPE html><style>@page { size: 58mm; margin: 0 } body { margin: 0 }
div { height: 25mm; border: solid black; border-width: 2mm 0; box-sizing: border-box; break-after: page }
</style><div></div><div></div>"""
PAPER = [
    # name, through, document, copies, rows (and less than 8 more at each of
    # the job's ends, which the plug-in trims in groups of 8)
    ("copies=2 of an 11 mm PNG receipt", "app", "png", 2, 88 + 88),
    ("lp -n 2 of a 100 mm PDF", "lp", "pdf100", 2, 799 + GAP + 799),
    ("a two-page receipt from Chromium, @page size 58mm", "lp", "chromium", 1, 200 + GAP + 200),
    ("copies=2 of a 100 mm PDF with 20 mm of ink, page-length full", "full", "pdf20", 2, 799 + 160),
]


def chromium_pdf(folder):
    html, out = os.path.join(folder, "receipt.html"), os.path.join(folder, "receipt.pdf")
    with open(html, "w") as f:
        f.write(RECEIPT_HTML)
    profile = os.path.join(folder, "chromium")
    subprocess.run(["chromium", "--headless", "--no-sandbox", "--disable-gpu", "--no-first-run",
                    "--user-data-dir=" + profile, "--no-pdf-header-footer", "--print-to-pdf=" + out,
                    "file://" + html], capture_output=True, timeout=60)
    with open(out, "rb") as f:
        return f.read()


def check_paper(t, inst, app, printer, cupsd):
    documents = {"png": a.png(384, 88, [(0, 0, 384, 2), (0, 86, 384, 2)]), "pdf100": c.pdf(BARS_100MM, 58, 100),
                 "pdf20": c.pdf(BARS_20MM, 58, 100)}
    for name, through, document, copies, want in PAPER:
        if document == "chromium":
            documents[document] = chromium_pdf(inst.base)
        path = os.path.join(inst.base, "paper." + ("png" if document == "png" else "pdf"))
        with open(path, "wb") as f:
            f.write(documents[document])
        os.chmod(path, 0o644)
        if through == "lp":
            p = cupsd.run("lp", "-h", cupsd.host, "-d", QUEUE, "-n", str(copies), path)
            sent = p.returncode == 0 or p.stderr.decode(errors="replace")
        else:
            if through == "full":
                app.run("modify", "-d", "Receipt", "-o", "page-length-default=full")
            fmt = "image/png" if document == "png" else "application/pdf"
            sent = a.print_file(app.ipp_uri("Receipt"), path, fmt, copies=copies)
            if through == "full":
                app.run("modify", "-d", "Receipt", "-o", "page-length-default=content")
        job = printer.wait_job(60) if sent is True or isinstance(sent, int) else None
        rows = len(c.decode(printer.job_bytes(job[0]))[0]) if job and job[2] == "ok" else None
        t.check("%s: %d rows (%.0f mm)" % (name, want, want / 8.0), rows is not None and want <= rows < want + 16,
                "%s rows (%s mm); %s" % (rows, rows and round(rows * 25.4 / 203), sent))


def black_dots(rows):
    return {(x, y) for y, row in enumerate(rows) if any(row) for x in range(len(row) * 8) if c.black(rows, x, y)}


def within_a_dot(a_dots, b_dots):
    """A dot of one that has no dot of the other within one dot, or None."""
    for dots, other in ((a_dots, b_dots), (b_dots, a_dots)):
        for x, y in dots:
            if not any((x + dx, y + dy) in other for dx in (-1, 0, 1) for dy in (-1, 0, 1)):
                return (x, y)
    return None


def queue_ready(cupsd, seconds):
    """Whether the queue is idle and accepting, its PPD made."""
    end = time.monotonic() + seconds
    while time.monotonic() < end:
        p = cupsd.run("lpstat", "-h", cupsd.host, "-p", QUEUE, "-a", QUEUE)
        out = p.stdout.decode()
        if "is idle" in out and "accepting requests" in out and \
                os.path.exists(os.path.join(cupsd.base, "etc", "ppd", QUEUE + ".ppd")):
            return True
        time.sleep(0.2)
    return False


def main():
    cmake, build, binary, rasterview = sys.argv[1:5]
    started = time.monotonic()
    t = c.Checklist()
    inst = c.Install(cmake, build)
    printer = app = cupsd = None
    try:
        printer = a.VirtualPrinter(rasterview, os.path.join(inst.base, "jobs"))
        app = a.App(binary, os.path.join(inst.base, "app"))
        os.makedirs(app.folder)
        app.start()
        app.add_printer("Receipt", printer.uri)

        pdf = c.pdf(PAGES, 58, 80)
        reference = run_cupsfilter(inst, pdf, ["PageSize=58x80mm"])
        if not t.check("the CUPS driver prints the PDF", reference.returncode == 0 and reference.stdout,
                       reference.stderr.decode(errors="replace")[-400:]):
            return t.finish()
        want = c.decode(reference.stdout)[0]

        cupsd = Cupsd(inst)
        if not t.check("private cupsd starts", cupsd.running(10)):
            return t.finish()
        p = cupsd.run("lpadmin", "-h", cupsd.host, "-p", QUEUE, "-E", "-v", app.ipp_uri("Receipt"),
                      "-m", "everywhere", timeout=30)
        if not t.check("lpadmin -m everywhere makes a queue for the app", p.returncode == 0,
                       p.stderr.decode(errors="replace")):
            return t.finish()
        t.check("the queue is ready", queue_ready(cupsd, 15), cupsd.error_log()[-400:])

        path = os.path.join(inst.base, "two.pdf")
        with open(path, "wb") as f:
            f.write(pdf)
        os.chmod(path, 0o644)
        p = cupsd.run("lp", "-h", cupsd.host, "-d", QUEUE, "-o", "media=om_58x80mm_58x80mm", path)
        t.check("lp submits the PDF", p.returncode == 0, p.stderr.decode(errors="replace"))
        job = printer.wait_job(40)
        if t.check("the job reaches the printer through the app", job is not None and job[2] == "ok",
                   "%s; %s" % (job, cupsd.error_log()[-600:])):
            rows = c.decode(printer.job_bytes(job[0]))[0]
            got_dots, want_dots = black_dots(rows), black_dots(want)
            odd = within_a_dot(got_dots, want_dots)
            t.check("it matches the CUPS driver's stream within a dot",
                    want_dots and abs(len(rows) - len(want)) <= 8 and odd is None,
                    "%d rows, driver %d; unmatched dot %s" % (len(rows), len(want), odd))
        t.check("the CUPS job completes", cupsd.wait_idle(20), "jobs left: %s" % cupsd.jobs())
        check_paper(t, inst, app, printer, cupsd)
        # CUPS's ipp backend sends Validate-Job first: it must substitute as
        # Print-Job does, not refuse the size the printer does not have.
        p = cupsd.run("lp", "-h", cupsd.host, "-d", QUEUE, "-o", "media=iso_a4_210x297mm", path)
        job = printer.wait_job(60) if p.returncode == 0 else None
        t.check("lp -o media=A4: substituted and printed, not cancelled", job is not None and job[2] == "ok",
                "%s %s; %s" % (p.stderr.decode(errors="replace"), job, cupsd.error_log()[-400:]))
    except Exception as e:
        t.check("the test runs", False, repr(e))
    finally:
        a.stop_all(cupsd, app, printer)
        inst.remove()
    # How long it took says nothing of the driver: ctest's time limit bounds a hang.
    print("took %.1f s" % (time.monotonic() - started))
    return t.finish()


if __name__ == "__main__":
    sys.exit(main())
