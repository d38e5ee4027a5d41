#!/usr/bin/env python3
"""raster58-app under clients at once: printing beside Release-Job and
Get-Printer-Attributes callers, twelve clients retrying busy, two printing
beside two polling. The server neither dies nor hangs, and every accepted
job is printed exactly once: each job is a bar of a width of its own, and
the bars the virtual printer receives are counted.

usage: concurrency_test.py RASTER58_APP RASTERVIEW"""
import http.client
import os
import shutil
import socket
import struct
import sys
import tempfile
import threading
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import apptest as a  # noqa: E402
from cupstest import Checklist, decode  # noqa: E402

HERE = os.path.dirname(os.path.abspath(__file__))
PRINTER = "Receipt"
M80 = "om_58x80mm_58x80mm"
BAR_ROWS = 8


class Run:
    """Jobs of bars 1, 2, ... dots wide, and what the virtual printer got."""

    def __init__(self, app, printer, pause):
        self.app, self.printer, self.pause = app, printer, pause
        self.uri = app.ipp_uri(PRINTER)
        self.lock = threading.Lock()
        self.width = 0
        self.accepted = {}  # bar width -> job id
        self.refused = []

    def print_one(self):
        """One job, sent slowly enough that others find the printer busy,
        retried while it is; whether it was accepted."""
        with self.lock:
            self.width += 1
            width = self.width
        document = a.pwg_raster([(463, 639, 203, [(40, 0, width, BAR_ROWS)])])
        conn = a.IppConnection(self.uri)
        end = time.monotonic() + 60
        try:
            while True:
                status, job = conn.print_job(document, "image/pwg-raster", M80, pieces=4, pause=self.pause)
                if status != a.IppConnection.BUSY or time.monotonic() > end:
                    break
                time.sleep(0.02)
        except (OSError, http.client.HTTPException) as e:
            status, job = repr(e), None
        finally:
            conn.close()
        with self.lock:
            if status == 0 and job:
                self.accepted[width] = job
            else:
                self.refused.append(status)
        return status == 0 and job

    def poll(self, operation, stop):
        """Sends `operation` until `stop`, over one connection while the
        server keeps it and answers in time, else over a new one."""
        attributes = [(0x21, "job-id", struct.pack(">i", 1))] if operation == a.IppConnection.RELEASE_JOB else []
        while not stop.is_set():
            conn = a.IppConnection(self.uri)
            try:
                while not stop.is_set():
                    conn.status(operation, attributes)
            except (OSError, http.client.HTTPException):
                time.sleep(0.05)  # closed by the server, not there any more, or a request lost on the way
            finally:
                conn.close()

    def answers(self):
        """Whether the server answers a new client within 10 s."""
        conn = a.IppConnection(self.uri, 10)
        try:
            return conn.status(a.IppConnection.GET_PRINTER_ATTRIBUTES) == 0
        except (OSError, http.client.HTTPException):
            return False
        finally:
            conn.close()

    def printed(self, seconds=20):
        """How often each bar width was printed, once the printer has been
        silent for a while after the last job."""
        counts = {}
        end = time.monotonic() + seconds
        while time.monotonic() < end and sum(counts.values()) < len(self.accepted) * BAR_ROWS:
            job = self.printer.wait_job(min(5, max(end - time.monotonic(), 0.1)))
            if not job:
                continue
            rows = decode(self.printer.job_bytes(job[0]))[0]
            for row in rows:
                width = sum(bin(b).count("1") for b in row)
                if width:
                    counts[width] = counts.get(width, 0) + 1
        extra = self.printer.wait_job(1)
        if extra:
            counts[-1] = 1
        return {w: n / BAR_ROWS for w, n in counts.items()}


def scenario(t, name, binary, rasterview, folder, printers, rounds, pollers, pause=0.01):
    """A fresh server and printer; `printers` clients each print `rounds`
    jobs one after the other, each sent in pieces `pause` seconds apart,
    while a client for each of `pollers` (IPP operations) loops until they
    are done."""
    folder = tempfile.mkdtemp(dir=folder)
    printer = app = None
    try:
        printer = a.VirtualPrinter(rasterview, os.path.join(folder, "jobs"))
        app = a.App(binary, os.path.join(folder, "app"))
        os.makedirs(app.folder)
        app.start()
        app.add_printer(PRINTER, printer.uri)
        run = Run(app, printer, pause)
        stop = threading.Event()
        polls = [threading.Thread(target=run.poll, args=(operation, stop)) for operation in pollers]
        clients = [threading.Thread(target=lambda: all(run.print_one() for _ in range(rounds)))
                   for _ in range(printers)]
        for th in polls + clients:
            th.start()
        end = time.monotonic() + 90
        for th in clients:
            th.join(max(end - time.monotonic(), 0))
        stop.set()
        for th in polls:
            th.join(10)
        alive = app.process.poll() is None
        t.check("%s: the server lives" % name, alive, "exit status %s" % app.process.returncode)
        if not alive:
            return
        t.check("%s: no hang" % name, run.answers() and not any(th.is_alive() for th in polls + clients),
                "no answer within 10 s, or clients still waiting after 90 s")
        t.check("%s: every job accepted" % name, not run.refused, str(run.refused[:3]))
        counts = run.printed()
        wrong = {w: counts.get(w, 0) for w in run.accepted if counts.get(w, 0) != 1}
        wrong.update({w: n for w, n in counts.items() if w not in run.accepted})
        t.check("%s: each of %d jobs printed exactly once" % (name, len(run.accepted)), not wrong,
                "bar width: times printed %s" % dict(list(wrong.items())[:8]))
        starts = [line.split("]")[1] for line in app.log().splitlines() if "Starting print job." in line]
        t.check("%s: no job started twice" % name, len(starts) == len(set(starts)), "%d starts" % len(starts))
    finally:
        a.stop_all(app, printer)


def main():
    binary, rasterview = sys.argv[1:3]
    t = Checklist()
    folder = tempfile.mkdtemp(prefix="raster58-conc-")
    release, attrs = a.IppConnection.RELEASE_JOB, a.IppConnection.GET_PRINTER_ATTRIBUTES
    try:
        scenario(t, "one printing beside Release-Job and Get-Printer-Attributes", binary, rasterview, folder,
                 1, 40, [release, release, attrs, attrs])
        scenario(t, "two printing beside two polling", binary, rasterview, folder, 2, 10, [attrs, attrs], 0.05)
        scenario(t, "twelve clients retrying busy, 20 rounds", binary, rasterview, folder, 12, 20, [])
    except Exception as e:  # a failure to start is a failed check, not a crash
        t.check("the test runs", False, repr(e))
    finally:
        shutil.rmtree(folder, ignore_errors=True)
    return t.finish()


if __name__ == "__main__":
    sys.exit(main())
