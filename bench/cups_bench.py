#!/usr/bin/env python3
"""What the CUPS filter adds to a print chain: a 100-page PDF through
cupsfilter to the printer stream (pdftopdf, gstoraster, rastertooemdll),
against the same chain stopped at CUPS raster (pdftopdf, gstoraster) as the
floor, alternately in one run; and the peak memory of the filter alone
against that of the floor chain's largest process. Both run on the PPD
without the filter's own PDF and text lines, so that PDF takes CUPS's
chain. Then the sample PDF receipt and a 40-line text receipt, rendered by
the filter itself, against CUPS's own chains for them (the same PPD without
those lines). Last, a PDF page (a 1 m receipt, a 150 mm one) through the
filter and rasterprint against pdftoppm -mono -r 203 of the same page, and
the filter's peak memory and time to stop on hostile PDFs.

usage: cups_bench.py CMAKE BUILD_DIR [ROUNDS]"""
import os
import resource
import statistics
import subprocess
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "cups"))
import cupstest as c  # noqa: E402

PAGES = 100
PAGE = "58x150mm"
PAGE_ROWS = 1199


def receipt_page(n):
    """A receipt-like page: a header block, ruled lines of 'text', a total."""
    rects = [(40, 24, 304, 60)]
    for i in range(40):
        y = 120 + i * 24
        rects.append((16, y, 120 + (i * 37 + n) % 200, 12))
        rects.append((300, y, 68, 12))
    rects.append((0, 1100, 384, 6))
    return rects


def measure(cmd, env, out):
    """Wall time, CPU time of every process in it, and the peak resident set
    of the largest one (kB), measured in a child of its own so earlier runs
    do not count."""
    probe = ("import resource,subprocess,sys,time\n"
             "t=time.monotonic()\n"
             "r=subprocess.run(sys.argv[2:],stdout=open(sys.argv[1],'wb'),stderr=subprocess.DEVNULL)\n"
             "d=time.monotonic()-t\n"
             "u=resource.getrusage(resource.RUSAGE_CHILDREN)\n"
             "print(r.returncode,d,u.ru_utime+u.ru_stime,u.ru_maxrss)\n")
    p = subprocess.run([sys.executable, "-c", probe, out] + cmd, capture_output=True, env=env, check=True)
    code, seconds, cpu, rss = p.stdout.split()
    if code != b"0":
        raise SystemExit("failed: %s" % " ".join(cmd))
    return float(seconds), float(cpu), int(rss)


def cups_chains_ppd(ppd, folder):
    """The PPD without the filter's PDF and text lines: CUPS's own chains."""
    path = os.path.join(folder, "cups-chains.ppd")
    with open(ppd) as f, open(path, "w") as out:
        out.writelines(l for l in f if not (l.startswith("*cupsFilter2") and
                                            ("application/pdf" in l or "text/plain" in l)))
    os.chmod(path, 0o644)
    return path


def text_receipt(lines=40):
    out = ["      CORNER coffee & books", ""]
    for i in range(lines - 6):
        out.append("%-22s%7.2f EUR" % ("Item %d, caf\u00e9" % (i + 1), 1.1 * (i + 1)))
    out += ["-" * 32, "TOTAL %26.2f" % 99.0, "", "Merci - \u00e0 bient\u00f4t!"]
    return "\n".join(out) + "\n"


def documents(inst, env, rounds, here):
    """One-page PDF and 40-line text: the filter's own rendering against
    CUPS's chains to the same filter, alternately."""
    own = ["cupsfilter", "-e", "-p", inst.ppd, "-m", "printer/foo"]
    cups = ["cupsfilter", "-e", "-p", cups_chains_ppd(inst.ppd, inst.base), "-m", "printer/foo"]
    txt = os.path.join(inst.base, "receipt.txt")
    with open(txt, "w", encoding="utf-8") as f:
        f.write(text_receipt())
    pdf = os.path.join(here, "..", "samples", "receipt.pdf")
    out = os.path.join(inst.base, "doc.prn")
    print("| document | CUPS's own chain to the filter | the filter's renderer | ratio |")
    print("|---|---|---|---|")
    for name, path, chain in (("PDF receipt (samples/receipt.pdf)", pdf, "pdftopdf, gstoraster"),
                              ("text receipt, 40 lines", txt, "texttopdf, pdftopdf, gstoraster")):
        theirs, ours = [], []
        for _ in range(rounds):
            theirs.append(measure(cups + [path], env, out)[0])
            ours.append(measure(own + [path], env, out)[0])
        print("| %s | %.3f s (%s) | %.3f s | %.2f |" % (name, statistics.median(theirs), chain,
                                                       statistics.median(ours),
                                                       statistics.median(ours) / statistics.median(theirs)))


def text_pdf(length_mm, width_mm=58):
    """A receipt of Helvetica lines and a bar code, `length_mm` long."""
    mm = 72 / 25.4
    lines, y, i = [b"BT /F1 9 Tf"], length_mm * mm - 20, 0
    while y > 40:
        lines.append(b"1 0 0 1 %.2f %.2f Tm (Item %04d ......... %d.%02d EUR) Tj" % (4 * mm, y, i, i % 97, i % 100))
        y, i = y - 11, i + 1
    lines.append(b"ET 0 g")
    lines += [b"%.2f 12 2 24 re f" % (6 * mm + k * 4) for k in range(30)]
    content = b"\n".join(lines)
    return c.one_page_pdf(content, b"/Font << /F1 << /Type /Font /Subtype /Type1 /BaseFont /Helvetica >> >>",
                          width_mm=width_mm, length_mm=length_mm)


def jpeg_pdf(side):
    """A grey progressive JPEG of side x side pixels with almost no scan data
    (under a kilobyte), drawn on a receipt page."""
    be = lambda v: bytes([v >> 8, v & 255])
    j = (b"\xff\xd8\xff\xdb" + be(67) + b"\0" + b"\1" * 64 + b"\xff\xc2" + be(11) + b"\x08" + be(side) + be(side) +
         b"\x01\x01\x11\0" + b"\xff\xc4" + be(20) + b"\0\x01" + b"\0" * 15 + b"\0" + b"\xff\xda" + be(8) +
         b"\x01\x01\0\0\0\0" + b"\0" * 64 + b"\xff\xd9")
    image = (b"<< /Type /XObject /Subtype /Image /Width %d /Height %d /ColorSpace /DeviceGray /BitsPerComponent 8"
             b" /Filter /DCTDecode /Length %d >>\nstream\n%s\nendstream" % (side, side, len(j), j))
    return c.one_page_pdf(b"q 100 0 0 100 20 10 cm /Im Do Q", b"/XObject << /Im 5 0 R >>", [image])


HOSTILE = (("a 4,096 x 4,096 JPEG (the bound)", lambda: jpeg_pdf(4096)),
           ("a 20,000 x 20,000 JPEG", lambda: jpeg_pdf(20000)),
           ("forms nested 40 deep, stopped after 1 s", c.nested_forms_pdf),
           ("transparency groups nested 40 deep, 1 m", lambda: c.nested_forms_pdf(groups=True)))


def filter_hostile(inst, env):
    """The filter's peak memory on hostile PDFs against a one-line receipt's,
    and the time from SIGTERM to its exit on a page that never ends."""
    probe = ("import resource,signal,subprocess,sys,time\n"
             "p=subprocess.Popen(sys.argv[3:],stdout=subprocess.DEVNULL,stderr=subprocess.DEVNULL)\n"
             "t=None\n"
             "if sys.argv[2]=='1':\n"
             "  time.sleep(1); p.send_signal(signal.SIGTERM); t=time.monotonic()\n"
             "p.wait()\n"
             "print(p.returncode,(time.monotonic()-t) if t else -1,resource.getrusage(resource.RUSAGE_CHILDREN).ru_maxrss)\n")
    pdf_env = dict(env, CONTENT_TYPE="application/pdf")
    rows = []
    for name, make in (("a one-line receipt", lambda: text_pdf(20)),) + HOSTILE:
        path = os.path.join(inst.base, "hostile.pdf")
        with open(path, "wb") as f:
            f.write(make())
        stop = "1" if "stopped" in name else "0"
        p = subprocess.run([sys.executable, "-c", probe, path, stop, inst.filter, "1", "user", "bench", "1", "", path],
                           capture_output=True, env=pdf_env, check=True)
        code, stopped, rss = p.stdout.split()
        rows.append((name, int(code), float(stopped), int(rss)))
    idle = rows[0][3]
    print("| the filter on | exit status | SIGTERM to exit | peak RSS | above the one-line receipt's |")
    print("|---|---|---|---|---|")
    for name, code, stopped, rss in rows:
        print("| %s | %d | %s | %.1f MiB | %+.1f MiB |" % (name, code, "%.3f s" % stopped if stopped >= 0 else "-",
                                                           rss / 1024, (rss - idle) / 1024))


def pdf_pages(inst, env, rounds, build):
    """A PDF page through the filter and rasterprint against pdftoppm's
    1-bit rendering of the same page, alternately in one run."""
    rasterprint = os.path.join(build, "tools", "rasterprint")
    out = os.path.join(inst.base, "page.out")
    pdf_env = dict(env, CONTENT_TYPE="application/pdf")
    print("wall (CPU) time, medians; ratios to pdftoppm's")
    print("| page | pdftoppm -mono -r 203 | rastertooemdll | ratio | rasterprint | ratio |")
    print("|---|---|---|---|---|---|")
    for name, length in (("1 m receipt", 1000), ("one-page receipt, 150 mm", 150)):
        path = os.path.join(inst.base, "page-%d.pdf" % length)
        with open(path, "wb") as f:
            f.write(text_pdf(length))
        floor, filt, tool = [], [], []
        for _ in range(rounds):
            floor.append(measure(["pdftoppm", "-mono", "-r", "203", path], env, out)[:2])
            filt.append(measure([inst.filter, "1", "user", "bench", "1", "", path], pdf_env, out)[:2])
            tool.append(measure([rasterprint, "-o", out, path], env, out)[:2])
        (f, fc), (a, ac), (b, bc) = ((statistics.median(r[0] for r in v), statistics.median(r[1] for r in v))
                                     for v in (floor, filt, tool))
        print("| %s | %.3f s (%.3f) | %.3f s (%.3f) | %.2f (%.2f) | %.3f s (%.3f) | %.2f (%.2f) |" % (
            name, f, fc, a, ac, a / f, ac / fc, b, bc, b / f, bc / fc))


def main():
    cmake, build = sys.argv[1:3]
    rounds = int(sys.argv[3]) if len(sys.argv) > 3 else 5
    inst = c.Install(cmake, build)
    try:
        pdf = os.path.join(inst.base, "in.pdf")
        with open(pdf, "wb") as f:
            f.write(c.pdf([receipt_page(n) for n in range(PAGES)], 58, 150))
        env = dict(os.environ, CUPS_SERVERBIN=inst.serverbin)
        base = ["cupsfilter", "-e", "-p", cups_chains_ppd(inst.ppd, inst.base), "-o", "PageSize=" + PAGE]
        ras, prn = os.path.join(inst.base, "job.ras"), os.path.join(inst.base, "job.prn")
        runs = {"floor": [], "chain": [], "alone": []}
        for _ in range(rounds):
            runs["floor"].append(measure(base + ["-m", "application/vnd.cups-raster", pdf], env, ras))
            runs["chain"].append(measure(base + ["-m", "printer/foo", pdf], env, prn))
            runs["alone"].append(measure([inst.filter, "1", "user", "bench", "1", "", ras], env, prn))
        rows, _ = c.decode(open(prn, "rb").read())
        wall = {k: statistics.median(r[0] for r in v) for k, v in runs.items()}
        cpu = {k: statistics.median(r[1] for r in v) for k, v in runs.items()}
        rss = {k: max(r[2] for r in v) for k, v in runs.items()}
        spread = lambda k, i: "%.3f s (%.3f-%.3f)" % (
            statistics.median(r[i] for r in runs[k]), min(r[i] for r in runs[k]), max(r[i] for r in runs[k]))
        print("%d pages of %s (%d rows each), %d rounds: medians (min-max)" % (PAGES, PAGE, PAGE_ROWS, rounds))
        print("printer stream: %d rows, %d bytes; raster: %d bytes" % (
            len(rows), os.path.getsize(prn), os.path.getsize(ras)))
        print("| run | wall | CPU, all processes | peak RSS of its largest process |")
        print("|---|---|---|---|")
        for k, name in (("floor", "floor: pdftopdf, gstoraster"), ("chain", "chain: pdftopdf, gstoraster, rastertooemdll"),
                        ("alone", "rastertooemdll alone on the saved raster")):
            print("| %s | %s | %s | %.1f MiB |" % (name, spread(k, 0), spread(k, 1), rss[k] / 1024))
        print("filter's share of the chain's CPU time: %.1f %% (chain - floor); alone: %.1f %%" % (
            100 * (cpu["chain"] - cpu["floor"]) / cpu["chain"], 100 * cpu["alone"] / cpu["chain"]))
        print("chain's wall time / floor's: %.2f" % (wall["chain"] / wall["floor"]))
        print("filter's peak memory / floor's: %.2f" % (rss["alone"] / rss["floor"]))
        documents(inst, env, rounds, os.path.dirname(os.path.abspath(__file__)))
        pdf_pages(inst, env, rounds, build)
        filter_hostile(inst, env)
    finally:
        inst.remove()


if __name__ == "__main__":
    main()
