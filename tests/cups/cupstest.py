"""What the CUPS tests share: a private install of the driver, PDF and CUPS
raster writers, the printer stream's decoder, and checks that print PASS or
FAIL (why)."""
import os
import re
import shutil
import struct
import subprocess
import sys
import tempfile

MM = 72 / 25.4
DPI = 203
MARGIN_PT = 5 * MM  # the PPD's left and right hardware margin
PRINTER_DOTS = 384
CUPS_FILTERS = "/usr/lib/cups/filter"


def dots_to_pt(d):
    return d * 72 / DPI


class Checklist:
    def __init__(self):
        self.failed = 0
        self.passed = 0

    def check(self, name, ok, why=""):
        if ok:
            self.passed += 1
            print("PASS  %s" % name)
        else:
            self.failed += 1
            print("FAIL  %s (%s)" % (name, why))
        sys.stdout.flush()
        return ok

    def finish(self):
        print("%d passed, %d failed" % (self.passed, self.failed))
        return 1 if self.failed else 0


# What AddressSanitizer, LeakSanitizer and UndefinedBehaviorSanitizer
# write when they find something; a sanitized filter may write it to its
# standard error, and so into cupsfilter's or the scheduler's log.
SANITIZER_REPORT = re.compile(r".*(?:ERROR: (?:Address|Leak)Sanitizer|runtime error:|UndefinedBehaviorSanitizer).*")
_filter_output = []


def seen(stderr):
    """Keeps what a filter run wrote, for check_no_reports."""
    _filter_output.append(stderr.decode(errors="replace") if isinstance(stderr, bytes) else stderr)


def check_no_reports(t, what, text=None):
    """No sanitizer report in `text`, or in everything seen()."""
    texts = [text] if text is not None else _filter_output
    report = next((m.group(0) for x in texts for m in [SANITIZER_REPORT.search(x)] if m), None)
    t.check("no sanitizer report from %s" % what, report is None, report)


class Install:
    """The driver installed into a temporary root as `make install-cups`
    lays it out, and a ServerBin whose filter folder has CUPS's filters and
    ours. Every folder is 0755 and root's: cupsd and cupsfilter refuse
    anything others may write, and run filters as lp."""

    def __init__(self, cmake, build):
        # Under /tmp whatever TMPDIR says: lp must reach the files.
        self.base = tempfile.mkdtemp(prefix="oemdll-cups-", dir="/tmp")
        os.chmod(self.base, 0o755)
        self.root = os.path.join(self.base, "root")
        env = dict(os.environ, DESTDIR=self.root)
        subprocess.run([cmake, "--install", build, "--component", "cups"], env=env, check=True,
                       stdout=subprocess.DEVNULL)
        self.filter = os.path.join(self.root, "usr/lib/cups/filter/rastertooemdll")
        self.ppd = os.path.join(self.root, "usr/share/ppd/oemdll/oemdll58.ppd")
        self.serverbin = os.path.join(self.base, "bin")
        os.makedirs(os.path.join(self.serverbin, "filter"))
        for name in os.listdir(CUPS_FILTERS):
            if name == "rastertooemdll":  # a system-wide install: ours is tested
                continue
            os.symlink(os.path.join(CUPS_FILTERS, name), os.path.join(self.serverbin, "filter", name))
        os.symlink(self.filter, os.path.join(self.serverbin, "filter", "rastertooemdll"))
        for sub in ("backend", "daemon", "monitor", "notifier", "driver"):
            src = os.path.join("/usr/lib/cups", sub)
            if os.path.exists(src):
                os.symlink(src, os.path.join(self.serverbin, sub))
        for folder, dirs, _ in os.walk(self.base):
            for d in dirs:
                os.chmod(os.path.join(folder, d), 0o755)

    def remove(self):
        shutil.rmtree(self.base, ignore_errors=True)


def pdf(pages, width_mm, height_mm):
    """A PDF of the given page size whose pages are black rectangles, each
    (x, y, w, h) in printer dots from the imageable area's top left."""
    w_pt, h_pt = width_mm * MM, height_mm * MM
    objects = {1: b"<< /Type /Catalog /Pages 2 0 R >>"}
    kids = []
    n = 3
    for rects in pages:
        content = b"".join(b"0 g %.4f %.4f %.4f %.4f re f\n" % (
            MARGIN_PT + dots_to_pt(x), h_pt - dots_to_pt(y + h), dots_to_pt(w), dots_to_pt(h))
            for x, y, w, h in rects)
        objects[n] = b"<< /Type /Page /Parent 2 0 R /MediaBox [0 0 %.4f %.4f] /Contents %d 0 R >>" % (
            w_pt, h_pt, n + 1)
        objects[n + 1] = b"<< /Length %d >>\nstream\n%sendstream" % (len(content), content)
        kids.append(n)
        n += 2
    objects[2] = b"<< /Type /Pages /Kids [%s] /Count %d >>" % (
        b" ".join(b"%d 0 R" % k for k in kids), len(kids))
    return pdf_file([objects[i] for i in range(1, n)])


def pdf_file(objects):
    """A PDF of the objects' bodies, numbered from 1 (the catalog)."""
    data, offsets = b"%PDF-1.4\n", []
    for i, o in enumerate(objects):
        offsets.append(len(data))
        data += b"%d 0 obj\n%s\nendobj\n" % (i + 1, o)
    xref = len(data)
    data += b"xref\n0 %d\n0000000000 65535 f \n" % (len(objects) + 1)
    data += b"".join(b"%010d 00000 n \n" % o for o in offsets)
    return data + b"trailer\n<< /Size %d /Root 1 0 R >>\nstartxref\n%d\n%%%%EOF\n" % (len(objects) + 1, xref)


def one_page_pdf(content, resources=b"", extras=(), width_mm=58, length_mm=40):
    """A one-page PDF drawing `content`; `extras` are objects numbered from 5."""
    return pdf_file([b"<< /Type /Catalog /Pages 2 0 R >>", b"<< /Type /Pages /Kids [3 0 R] /Count 1 >>",
                     b"<< /Type /Page /Parent 2 0 R /MediaBox [0 0 %.3f %.3f] /Resources << %s >> /Contents 4 0 R >>"
                     % (width_mm * MM, length_mm * MM, resources),
                     b"<< /Length %d >>\nstream\n%s\nendstream" % (len(content), content)] + list(extras))


def nested_forms_pdf(depth=40, groups=False):
    """Form XObjects `depth` deep, each drawing the next twice (2**depth
    rectangles from a few kilobytes: a page that never ends), or once as
    transparency groups on a 1 m page."""
    forms = []
    for i in range(depth):
        last = i == depth - 1
        body = b"0 0 10 10 re f" if last else b"/F Do" if groups else b"/F Do /F Do"
        res = b"" if last else b"/XObject << /F %d 0 R >>" % (6 + i)
        group = b"/Group << /S /Transparency /I true >> " if groups else b""
        forms.append(b"<< /Type /XObject /Subtype /Form /BBox [0 0 200 3000] %s/Resources << %s >> /Length %d >>\n"
                     b"stream\n%s\nendstream" % (group, res, len(body), body))
    return one_page_pdf(b"/F Do", b"/XObject << /F 5 0 R >>", forms, length_mm=1000 if groups else 40)


def raster_page(width, height, rows=None, bits=1, color_space=3, copies=1, bbox_left=MARGIN_PT, compressed=False):
    """One page of version 3 CUPS raster (big-endian), or of version 2 with
    its rows compressed; rows default to white for K (all zero)."""
    bpl = (width * bits + 7) // 8
    header = bytearray(1796)
    def put(offset, fmt, *values):
        struct.pack_into(">" + fmt, header, offset, *values)
    put(276, "II", DPI, DPI)
    put(340, "I", copies)
    put(372, "IIIIII", width, height, 0, min(bits, 8), bits, bpl)
    put(396, "III", 0, color_space, 0)
    put(420, "I", 1)
    put(436, "ffff", bbox_left, 0, bbox_left + dots_to_pt(width), dots_to_pt(height))
    body = rows if rows is not None else bytes(bpl * height)
    return bytes(header) + (compress(body, bpl) if compressed else body)


def compress(body, bpl):
    """Rows as version 2 raster holds them (1-byte pixels): each run of equal
    rows (up to 256) as a repeat count, then runs of equal bytes (up to 128)."""
    out = bytearray()
    rows = [body[i:i + bpl] for i in range(0, len(body), bpl)]
    i = 0
    while i < len(rows):
        same = 1
        while i + same < len(rows) and same < 256 and rows[i + same] == rows[i]:
            same += 1
        out.append(same - 1)
        row, x = rows[i], 0
        while x < len(row):
            run = 1
            while x + run < len(row) and run < 128 and row[x + run] == row[x]:
                run += 1
            out += bytes([run - 1, row[x]])
            x += run
        i += same
    return bytes(out)


def raster(*pages, compressed=False):
    return (b"RaS2" if compressed else b"RaS3") + b"".join(pages)


def decode(stream):
    """The printer stream as rows of dots: (rows, widths), each row a
    bytes object of the command's data. Raises ValueError on a bad command."""
    rows, widths = [], []
    pos = 0
    while pos < len(stream):
        head = stream[pos:pos + 8]
        if len(head) < 8 or head[:6] != b"\x1b\x2e\x01\x00\x00\x01":
            raise ValueError("no row command at byte %d" % pos)
        dots = head[6] | head[7] << 8
        k = (dots + 7) // 8
        if pos + 8 + k > len(stream):
            raise ValueError("row cut short at byte %d" % pos)
        rows.append(stream[pos + 8:pos + 8 + k])
        widths.append(dots)
        pos += 8 + k
    return rows, widths


def black(rows, x, y):
    row = rows[y]
    return x // 8 < len(row) and (row[x // 8] >> (7 - x % 8)) & 1 == 1


def check_picture(rows, rects, slack=2):
    """Whether every rectangle (x, y, w, h, in the decoded rows' frame) is
    black inside, allowing `slack` dots at its edges, and every dot farther
    than that from all of them is white. Returns a reason, or None."""
    for x, y, w, h in rects:
        for yy in range(y + slack, y + h - slack):
            for xx in range(x + slack, min(x + w - slack, PRINTER_DOTS)):
                if yy >= len(rows) or not black(rows, xx, yy):
                    return "white dot at (%d, %d) inside the rectangle at (%d, %d)" % (xx, yy, x, y)
    for yy, row in enumerate(rows):
        if not any(row):
            continue
        for xx in range(len(row) * 8):
            if black(rows, xx, yy) and not any(
                    x - slack <= xx < x + w + slack and y - slack <= yy < y + h + slack for x, y, w, h in rects):
                return "black dot at (%d, %d) outside every rectangle" % (xx, yy)
    return None


def trimmed_rows(page_rows, top, bottom):
    """Rows the plug-in sends of `page_rows` rows whose first black row is
    `top` and last is `bottom` - 1: blank rows go in whole groups of 8."""
    return page_rows - top // 8 * 8 - (page_rows - bottom) // 8 * 8
