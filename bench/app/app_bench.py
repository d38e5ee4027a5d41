#!/usr/bin/env python3
"""What printing through the plug-in adds to the printer application's own
cost of a job. One server (raster58-app-bench) has two printers on socket
devices of their own: "Receipt" with the raster58 driver, and "Floor" with
raster58-discard, the same driver data with every line discarded and one
byte sent at the job's end. Each job goes to both, alternating, several
rounds, through IPP (ipptool Print-Job):

  time    from submit to the last byte at the printer (a socket sink here
          that timestamps every read)
  CPU     the server's user + system time over the job (/proc/PID/stat)
  memory  the server's peak resident memory over the job (VmHWM, reset
          before each job through /proc/PID/clear_refs) less what was
          resident before it

Then documents on "Receipt" alone (the floor driver would print them
through the plug-in too): the sample PDF receipt against CUPS's own PDF
chain to the CUPS filter (cupsfilter on the PPD without the filter's PDF
line) for the same file, and a 40-line text receipt against the same
receipt sent as ready PWG raster. Last, twelve clients at once on each
printer: jobs a second from the first submit to the last byte.

usage: app_bench.py SERVER RECEIPT_PNG [ROUNDS]"""
import os
import random
import shutil
import socket
import statistics
import struct
import subprocess
import sys
import tempfile
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "..", "tests", "app"))
import apptest  # noqa: E402
import cupstest  # noqa: E402
sys.path.insert(0, os.path.join(HERE, ".."))
from cups_bench import HOSTILE, text_pdf  # noqa: E402

DPI = 203
WIDTH = 463         # 58 mm at 203 dpi, the whole media width
PAGE_ROWS = 1198    # 150 mm, as PAPPL sizes the media's raster
PAGES = 100
FIRST_COLUMN = 40   # printed dot 0
DOTS = 384
TICK = os.sysconf("SC_CLK_TCK")


class Sink:
    """A printer on a socket: reads every connection to its end and keeps
    the byte count and the time of the last read since reset()."""

    def __init__(self):
        self.server = socket.create_server(("127.0.0.1", 0))
        self.port = self.server.getsockname()[1]
        self.lock = threading.Lock()
        self.reset()
        threading.Thread(target=self._accept, daemon=True).start()

    def reset(self):
        with self.lock:
            self.bytes = 0
            self.last = None

    def _accept(self):
        while True:
            try:
                conn, _ = self.server.accept()
            except OSError:
                return
            threading.Thread(target=self._read, args=(conn,), daemon=True).start()

    def _read(self, conn):
        with conn:
            while True:
                data = conn.recv(1 << 16)
                if not data:
                    return
                now = time.monotonic()
                with self.lock:
                    self.bytes += len(data)
                    self.last = now

    def settled(self, quiet=0.3, seconds=20):
        """(bytes, time of the last byte) once nothing has arrived for
        `quiet` seconds."""
        end = time.monotonic() + seconds
        while time.monotonic() < end:
            with self.lock:
                count, last = self.bytes, self.last
            if last is not None and time.monotonic() - last >= quiet:
                return count, last
            time.sleep(0.05)
        raise RuntimeError("the printer received nothing")


def pack_line(row):
    """A row in PWG raster's run-length scheme, without the line repeat
    byte: repeated bytes as (count - 1, byte), others as literal runs."""
    out = bytearray()
    i, n = 0, len(row)
    while i < n:
        j = i + 1
        while j < n and j - i < 128 and row[j] == row[i]:
            j += 1
        if j - i > 1:
            out += bytes((j - i - 1, row[i]))
            i = j
            continue
        j = i + 1
        while j < n and j - i < 128 and not (j + 1 < n and row[j] == row[j + 1]):
            j += 1
        out += bytes((0, row[i])) if j - i == 1 else bytes((257 - (j - i),)) + row[i:j]
        i = j
    return bytes(out)


def receipt_rows(rng):
    """A page of receipt-like 1-bit rows (1 = black, whole media width):
    lines of text-like dots 24 rows high with 8 blank rows between, only
    in the printed columns, and a blank end the plug-in trims."""
    bpl = (WIDTH + 7) // 8
    text = []
    for _ in range(48):
        bits = [rng.random() < 0.18 for _ in range(DOTS)]
        row = bytearray(bpl)
        for d, on in enumerate(bits):
            if on:
                x = FIRST_COLUMN + d
                row[x // 8] |= 0x80 >> (x % 8)
        text.append(bytes(row))
    blank = bytes(bpl)
    rows = []
    while len(rows) < PAGE_ROWS - 150:
        rows += [text[rng.randrange(len(text))] for _ in range(24)] + [blank] * 8
    return (rows + [blank] * PAGE_ROWS)[:PAGE_ROWS]


def pwg_page_header(pages):
    """A 58 x 150 mm page's PWG raster header, 1-bit black, of `pages` pages."""
    header = bytearray(1796)
    header[0:9] = b"PwgRaster"
    put = lambda off, fmt, *v: struct.pack_into(">" + fmt, header, off, *v)  # noqa: E731
    put(276, "II", DPI, DPI)
    put(340, "I", 1)
    put(352, "II", round(58 / 25.4 * 72), round(150 / 25.4 * 72))
    put(372, "IIIIII", WIDTH, PAGE_ROWS, 0, 1, 1, (WIDTH + 7) // 8)
    put(396, "III", 0, 3, 0)  # chunky, black (1 = black)
    put(420, "I", 1)
    put(452, "III", pages, 1, 1)  # total pages, cross-feed and feed transforms
    header[1732:1732 + 20] = b"om_58x150mm_58x150mm"
    return bytes(header)


def pwg_document(path, pages, seed=58):
    rng = random.Random(seed)
    header = pwg_page_header(pages)
    packed = {}
    rows_total = 0
    with open(path, "wb") as f:
        f.write(b"RaS2")
        for _ in range(pages):
            f.write(header)
            rows = receipt_rows(rng)
            i = 0
            while i < len(rows):
                j = i + 1
                while j < len(rows) and j - i < 256 and rows[j] == rows[i]:
                    j += 1
                if rows[i] not in packed:
                    packed[rows[i]] = pack_line(rows[i])
                f.write(bytes((j - i - 1,)) + packed[rows[i]])
                i = j
            rows_total += len(rows)
    return rows_total


def proc_cpu(pid):
    with open("/proc/%d/stat" % pid) as f:
        fields = f.read().rpartition(")")[2].split()
    return (int(fields[11]) + int(fields[12])) / TICK  # utime, stime


def proc_kib(pid, key):
    with open("/proc/%d/status" % pid) as f:
        for line in f:
            if line.startswith(key + ":"):
                return int(line.split()[1])
    raise RuntimeError("no %s for %d" % (key, pid))


class BenchApp(apptest.App):
    """At the installed service's log level: a debug log writes some thirty
    lines a page."""

    def options(self):
        return [o.replace("log-level=debug", "log-level=info") for o in super().options()]


def measure(app, printer, sink, path, fmt, media):
    pid = app.process.pid
    with open("/proc/%d/clear_refs" % pid, "w") as f:
        f.write("5")  # resets VmHWM to the resident size now
    rss0 = proc_kib(pid, "VmRSS")
    cpu0 = proc_cpu(pid)
    sink.reset()
    start = time.monotonic()
    job = apptest.print_file(app.ipp_uri(printer), path, fmt, media=media)
    if not isinstance(job, int):
        raise RuntimeError("%s: %s" % (printer, job))
    state = apptest.wait_job_done(app.ipp_uri(printer), job, 120)
    if not state or state[0] != "completed":
        raise RuntimeError("%s: job %d ended %r" % (printer, job, state))
    count, last = sink.settled()
    return {"time": last - start, "cpu": proc_cpu(pid) - cpu0,
            "peak": proc_kib(pid, "VmHWM") - rss0, "hwm": proc_kib(pid, "VmHWM"), "bytes": count}


def text_receipt(lines=40):
    out = ["      CORNER coffee & books", ""]
    for i in range(lines - 6):
        out.append("%-22s%7.2f EUR" % ("Item %d, caf\u00e9" % (i + 1), 1.1 * (i + 1)))
    out += ["-" * 32, "TOTAL %26.2f" % 99.0, "", "Merci - \u00e0 bient\u00f4t!"]
    return "\n".join(out) + "\n"


def pwg_of_rows(path, rows):
    """One 58 x 150 mm page of PWG raster whose printed columns are the
    printer stream's rows."""
    bpl = (WIDTH + 7) // 8
    header = pwg_page_header(1)
    with open(path, "wb") as f:
        f.write(b"RaS2" + header)
        for y in range(PAGE_ROWS):
            row = bytearray(bpl)
            if y < len(rows):
                for d in range(DOTS):
                    if cupstest.black(rows, d, y):
                        x = FIRST_COLUMN + d
                        row[x // 8] |= 0x80 >> (x % 8)
            f.write(b"\0" + pack_line(bytes(row)))


def cups_pdf_chain(build, pdf, rounds):
    """cupsfilter through pdftopdf and gstoraster to the CUPS filter: the
    median wall time of `rounds` runs."""
    inst = cupstest.Install("cmake", build)
    try:
        ppd = os.path.join(inst.base, "cups-chain.ppd")
        with open(inst.ppd) as f, open(ppd, "w") as out:
            out.writelines(l for l in f if not (l.startswith("*cupsFilter2") and "application/pdf" in l))
        env = dict(os.environ, CUPS_SERVERBIN=inst.serverbin)
        times = []
        for _ in range(rounds):
            start = time.monotonic()
            subprocess.run(["cupsfilter", "-e", "-p", ppd, "-m", "printer/foo", pdf], env=env, check=True,
                           stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
            times.append(time.monotonic() - start)
        return statistics.median(times)
    finally:
        inst.remove()


def documents(app, sink, folder, rounds, build):
    pdf = os.path.join(HERE, "..", "..", "samples", "receipt.pdf")
    txt = os.path.join(folder, "receipt.txt")
    with open(txt, "w", encoding="utf-8") as f:
        f.write(text_receipt())
    stream = subprocess.run([os.path.join(build, "tools", "rasterprint"), txt], capture_output=True,
                            check=True).stdout
    pwg = os.path.join(folder, "receipt-text.pwg")
    pwg_of_rows(pwg, cupstest.decode(stream)[0])
    long_pdf = os.path.join(folder, "receipt-1m.pdf")
    with open(long_pdf, "wb") as f:
        f.write(text_pdf(1000))
    jobs = [("PDF receipt", pdf, "application/pdf", None), ("text, 40 lines", txt, "text/plain", None),
            ("the same as PWG", pwg, "image/pwg-raster", "om_58x150mm_58x150mm"),
            ("PDF 1 m receipt", long_pdf, "application/pdf", None)]
    times = {j[0]: [] for j in jobs}
    for r in range(rounds + 1):
        for label, path, fmt, media in jobs:
            m = measure(app, "Receipt", sink, path, fmt, media)
            if r:
                times[label].append(m["time"])
        if r:
            start = time.monotonic()
            subprocess.run(["pdftoppm", "-mono", "-r", "203", long_pdf], check=True, stdout=subprocess.DEVNULL)
            times.setdefault("pdftoppm", []).append(time.monotonic() - start)
    chain = cups_pdf_chain(build, pdf, rounds)
    med = {k: statistics.median(v) for k, v in times.items()}
    print("documents on Receipt, submit to last byte, median (min-max):")
    for label, _, _, _ in jobs:
        print("%-22s %.3f (%.3f-%.3f)" % (label, med[label], min(times[label]), max(times[label])))
    print("CUPS's PDF chain to the filter (cupsfilter: pdftopdf, gstoraster, rastertooemdll): %.3f" % chain)
    print("PDF through the app / CUPS's chain: %.2f; text / the same as PWG raster: %.2f" % (
        med["PDF receipt"] / chain, med["text, 40 lines"] / med["the same as PWG"]))
    print("pdftoppm -mono -r 203 of the 1 m receipt: %.3f; the app / pdftoppm: %.2f" % (
        med["pdftoppm"], med["PDF 1 m receipt"] / med["pdftoppm"]))


def hostile(app, sink, folder):
    """Hostile PDFs on Receipt: the server's peak over its resident size
    before each job, its resident size after, and for a page that never
    ends the time from Cancel-Job to the job's end."""
    pid = app.process.pid
    uri = app.ipp_uri("Receipt")
    print("hostile PDFs on Receipt: | job | ended | Cancel-Job to the end | peak above before | resident after |")
    for name, make in HOSTILE:
        path = os.path.join(folder, "hostile.pdf")
        with open(path, "wb") as f:
            f.write(make())
        with open("/proc/%d/clear_refs" % pid, "w") as f:
            f.write("5")
        rss0 = proc_kib(pid, "VmRSS")
        sink.reset()
        job = apptest.print_file(uri, path, "application/pdf")
        stopped = None
        if "stopped" in name:
            time.sleep(1)
            start = time.monotonic()
            app.run("cancel", "-d", "Receipt", "-j", str(job))
            state = apptest.wait_job_done(uri, job, 30)
            stopped = time.monotonic() - start
        else:
            state = apptest.wait_job_done(uri, job, 120)
        print("| %s | %s | %s | %+.1f MiB | %.1f MiB (%.1f before) |" % (
            name, state[0] if state else "?", "%.3f s" % stopped if stopped is not None else "-",
            (proc_kib(pid, "VmHWM") - rss0) / 1024, proc_kib(pid, "VmRSS") / 1024, rss0 / 1024))


def twelve_at_once(app, sinks, folder, receipt, rounds):
    """Twelve clients submit a job each at once (PNG receipts; and one-page
    PWG raster, which a printer takes one at a time while the others retry
    busy): jobs a second, the median of `rounds`, on each printer."""
    one = os.path.join(folder, "one-page.pwg")
    pwg_document(one, 1)
    print("twelve clients at once, jobs a second from the first submit to the last byte, median (min-max):")
    for label, path, fmt, media in (("PNG receipts", receipt, "image/png", None),
                                    ("one-page PWG raster", one, "image/pwg-raster", "om_58x150mm_58x150mm")):
        rates = {}
        for printer in ("Floor", "Receipt"):
            uri, runs = app.ipp_uri(printer), []
            for _ in range(rounds):
                failures = []

                def client():
                    job = apptest.print_file(uri, path, fmt, media=media, seconds=120)
                    state = apptest.wait_job_done(uri, job, 120) if isinstance(job, int) else None
                    if not state or state[0] != "completed":
                        failures.append((job, state))

                sinks[printer].reset()
                start = time.monotonic()
                clients = [threading.Thread(target=client) for _ in range(12)]
                for c in clients:
                    c.start()
                for c in clients:
                    c.join()
                if failures:
                    raise RuntimeError("%s, %s: %s" % (label, printer, failures[:2]))
                runs.append(12 / (sinks[printer].settled()[1] - start))
            rates[printer] = statistics.median(runs)
            print("%-22s %-8s %.1f (%.1f-%.1f)" % (label, printer, rates[printer], min(runs), max(runs)))
        print("%-22s plug-in / floor: %.2f of the floor's rate" % (label, rates["Receipt"] / rates["Floor"]))


def main():
    server, receipt = sys.argv[1:3]
    rounds = int(sys.argv[3]) if len(sys.argv) > 3 else 7
    folder = tempfile.mkdtemp(prefix="app-bench-")
    app = None
    try:
        pwg = os.path.join(folder, "receipts.pwg")
        rows = pwg_document(pwg, PAGES)
        jobs = [("one receipt, PNG", receipt, "image/png", None),
                ("%d pages, PWG raster" % PAGES, pwg, "image/pwg-raster", "om_58x150mm_58x150mm")]
        sinks = {"Floor": Sink(), "Receipt": Sink()}
        app = BenchApp(server, os.path.join(folder, "app"))
        os.makedirs(app.folder)
        app.start()
        for name, driver in (("Floor", "raster58-discard"), ("Receipt", "raster58")):
            p = app.run("add", "-d", name, "-m", driver, "-v", "socket://127.0.0.1:%d" % sinks[name].port)
            if p.returncode:
                raise RuntimeError("add %s: %s" % (name, (p.stdout + p.stderr).decode(errors="replace")))
        # PAPPL takes the document filters only as it starts: with the
        # printers saved.
        app.stop()
        app.start()
        results = {(j[0], p): [] for j in jobs for p in sinks}
        for r in range(rounds + 1):
            for label, path, fmt, media in jobs:
                order = ("Floor", "Receipt") if r % 2 else ("Receipt", "Floor")
                for printer in order:
                    m = measure(app, printer, sinks[printer], path, fmt, media)
                    if r:  # the first round warms the server up
                        results[(label, printer)].append(m)
        print("%d rounds after one to warm up; PWG document: %d rows, %.1f MB" % (
            rounds, rows, os.path.getsize(pwg) / 1e6))
        print("time: submit to last byte, median (min-max); CPU: the server's, mean a job (the clock ticks"
              " at %d Hz);\npeak: VmHWM over the resident size before the job, median" % TICK)
        print("%-22s %-8s %-24s %-9s %-10s %s" % ("job", "printer", "time, s", "CPU, s", "peak, MiB", "bytes"))
        for label, _, _, _ in jobs:
            s = {}
            for printer in ("Floor", "Receipt"):
                ms = results[(label, printer)]
                times = [m["time"] for m in ms]
                s[printer] = (statistics.median(times), statistics.mean(m["cpu"] for m in ms),
                              statistics.median(m["peak"] for m in ms) / 1024)
                print("%-22s %-8s %-24s %-9.4f %-10.2f %d" % (
                    label, printer, "%.3f (%.3f-%.3f)" % (s[printer][0], min(times), max(times)),
                    s[printer][1], s[printer][2], ms[0]["bytes"]))
            floor, plugin = s["Floor"], s["Receipt"]
            print("%-22s plug-in / floor: time %.2f, CPU %s; peak %+.2f MiB" % (
                label, plugin[0] / floor[0], "%.2f" % (plugin[1] / floor[1]) if floor[1] else "n/a",
                plugin[2] - floor[2]))
        print("the PWG job's 1-bit image: %d rows of %d dots, %.2f MiB" % (rows, DOTS, rows * DOTS / 8 / 2**20))
        documents(app, sinks["Receipt"], folder, rounds, os.path.dirname(os.path.dirname(os.path.dirname(
            os.path.abspath(server)))))
        hostile(app, sinks["Receipt"], folder)
        twelve_at_once(app, sinks, folder, receipt, max(3, rounds // 2))
        print("server VmHWM at the end: %.1f MiB" % (proc_kib(app.process.pid, "VmHWM") / 1024))
        return 0
    finally:
        if app:
            app.stop()
        shutil.rmtree(folder, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
