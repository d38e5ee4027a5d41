#!/usr/bin/env python3
"""The driver under a private cupsd: its own server root in a temporary
folder, listening on 127.0.0.1 at a free port, with one queue whose device
is the virtual printer (rasterview --listen) on another. A two-page PDF is
printed and decoded, a text file prints as rasterprint prints it, a long
job is cancelled, and a job whose filter fails is reported. Everything
started here is stopped by its process id.

usage: cupsd_test.py CMAKE BUILD_DIR RASTERVIEW RASTERPRINT"""
import os
import queue
import re
import signal
import socket
import subprocess
import sys
import threading
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import cupstest as c  # noqa: E402

QUEUE = "oemdll"


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


class Lines:
    """A pipe's lines, read on a thread, to wait for with a time limit."""

    def __init__(self, pipe):
        self.lines = queue.Queue()
        threading.Thread(target=self._read, args=(pipe,), daemon=True).start()

    def _read(self, pipe):
        for line in pipe:
            self.lines.put(line.decode(errors="replace").rstrip("\n"))

    def wait(self, pattern, seconds):
        end = time.monotonic() + seconds
        while time.monotonic() < end:
            try:
                line = self.lines.get(timeout=max(0.01, end - time.monotonic()))
            except queue.Empty:
                break
            m = re.search(pattern, line)
            if m:
                return m
        return None


def stop(process, seconds=5):
    if process and process.poll() is None:
        process.send_signal(signal.SIGTERM)
        try:
            process.wait(seconds)
        except subprocess.TimeoutExpired:
            process.kill()
            process.wait()


class Cupsd:
    def __init__(self, inst):
        b = inst.base
        self.base = b
        self.port = free_port()
        self.host = "127.0.0.1:%d" % self.port
        etc = os.path.join(b, "etc")
        for d in ("etc/ppd", "state", "cache", "spool/tmp", "log"):
            os.makedirs(os.path.join(b, d), mode=0o755, exist_ok=True)
        with open(os.path.join(etc, "cupsd.conf"), "w") as f:
            f.write("Listen %s\nBrowsing No\nWebInterface No\nLogLevel debug\nMaxLogSize 0\n"
                    "DefaultAuthType None\n<Location />\n  Order allow,deny\n  Allow 127.0.0.1\n</Location>\n"
                    "<Policy default>\n  <Limit All>\n    Order allow,deny\n    Allow 127.0.0.1\n  </Limit>\n"
                    "</Policy>\n" % self.host)
        with open(os.path.join(etc, "cups-files.conf"), "w") as f:
            f.write("ServerRoot {b}/etc\nServerBin {sb}\nStateDir {b}/state\nCacheDir {b}/cache\n"
                    "RequestRoot {b}/spool\nTempDir {b}/spool/tmp\nAccessLog {b}/log/access_log\n"
                    "ErrorLog {b}/log/error_log\nPageLog {b}/log/page_log\nPrintcap {b}/state/printcap\n"
                    "Sandboxing Relaxed\n"
                    # A sanitized filter's settings, where the test run has any.
                    "PassEnv ASAN_OPTIONS UBSAN_OPTIONS LSAN_OPTIONS\n".format(b=b, sb=inst.serverbin))
        self.env = dict(os.environ, CUPS_SERVERROOT=etc)
        self.log = open(os.path.join(b, "log", "cupsd.out"), "wb")
        self.process = subprocess.Popen(["/usr/sbin/cupsd", "-f", "-c", os.path.join(etc, "cupsd.conf")],
                                        stdout=self.log, stderr=subprocess.STDOUT, env=self.env)

    def run(self, *args, timeout=15):
        return subprocess.run(list(args), capture_output=True, env=self.env, timeout=timeout)

    def running(self, seconds):
        end = time.monotonic() + seconds
        while time.monotonic() < end and self.process.poll() is None:
            p = self.run("lpstat", "-h", self.host, "-r")
            if p.stdout.decode().strip() == "scheduler is running":
                return True
            time.sleep(0.1)
        return False

    def jobs(self, which="not-completed"):
        p = self.run("lpstat", "-h", self.host, "-W", which, "-o", QUEUE)
        return [line.split()[0] for line in p.stdout.decode().splitlines() if line.strip()]

    def error_log(self):
        try:
            with open(os.path.join(self.base, "log", "error_log"), errors="replace") as f:
                return f.read()
        except OSError:
            return ""

    def wait_log(self, pattern, seconds):
        end = time.monotonic() + seconds
        while time.monotonic() < end:
            m = re.search(pattern, self.error_log())
            if m:
                return m
            time.sleep(0.1)
        return None

    def wait_idle(self, seconds):
        end = time.monotonic() + seconds
        while time.monotonic() < end:
            if not self.jobs():
                return True
            time.sleep(0.1)
        return False

    def submit(self, path, *options):
        args = ["lp", "-h", self.host, "-d", QUEUE]
        for o in options:
            args += ["-o", o]
        p = self.run(*(args + [path]))
        m = re.search(r"request id is (\S+)", p.stdout.decode())
        return m.group(1) if m else None

    def stop(self):
        stop(self.process, 10)
        self.log.close()


def main():
    cmake, build, rasterview, rasterprint = sys.argv[1:5]
    started = time.monotonic()
    t = c.Checklist()
    inst = c.Install(cmake, build)
    printer = cupsd = None
    try:
        # The virtual printer first, so that the backend never meets a closed port.
        recv = os.path.join(inst.base, "recv")
        printer = subprocess.Popen([rasterview, "--listen", "127.0.0.1:0", "--out", recv, "--idle-timeout", "60"],
                                   stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        jobs_seen = Lines(printer.stdout)
        m = Lines(printer.stderr).wait(r"listening on 127\.0\.0\.1:(\d+)", 30)
        if not t.check("virtual printer listens", m is not None, "no listening line"):
            return t.finish()
        device = "socket://127.0.0.1:%s/?snmp=false" % m.group(1)

        cupsd = Cupsd(inst)
        if not t.check("private cupsd starts", cupsd.running(30), open(cupsd.log.name, errors="replace").read()[-400:]):
            return t.finish()
        p = cupsd.run("lpadmin", "-h", cupsd.host, "-p", QUEUE, "-E", "-v", device, "-P", inst.ppd)
        if not t.check("lpadmin adds the queue", p.returncode == 0, p.stderr.decode()):
            return t.finish()

        # Two pages: printed, received, decoded to the dots drawn.
        pages = [[(10, 36, 50, 20)], [(300, 500, 60, 31)]]
        pdf = os.path.join(inst.base, "two.pdf")
        with open(pdf, "wb") as f:
            f.write(c.pdf(pages, 58, 80))
        os.chmod(pdf, 0o644)
        job = cupsd.submit(pdf, "PageSize=58x80mm", "PageLength=Full")
        got = jobs_seen.wait(r"job (\d+): (\d+) rows, (\d+) bytes, (.*)", 60) if job else None
        t.check("two-page job reaches the virtual printer", got is not None and got.group(4) == "ok",
                got.group(0) if got else "job %s, nothing received" % job)
        t.check("two-page job completes", cupsd.wait_idle(30), "jobs left: %s" % cupsd.jobs())
        if got:
            with open(os.path.join(recv, "job-%04d.prn" % int(got.group(1))), "rb") as f:
                rows, widths = c.decode(f.read())
            rects = [(10, 36, 50, 20), (300, 639 + 500, 60, 31)]
            want = c.trimmed_rows(2 * 639, 36, 639 + 531)
            why = c.check_picture(rows, [(x, y - 32, w, h) for x, y, w, h in rects])
            t.check("received job decodes to the rows drawn", len(rows) == want and why is None,
                    "%d rows (want %d); %s" % (len(rows), want, why))

        # Text with no option: the queue's 32 columns, the rows rasterprint prints.
        text = os.path.join(inst.base, "note.txt")
        with open(text, "w", encoding="utf-8") as f:
            f.write("M" * 32 + "\n" + "M" * 33 + "\nCaf\u00e9 cr\u00e8me\t3,40 \u20ac\n")
        os.chmod(text, 0o644)
        job = cupsd.submit(text)
        got = jobs_seen.wait(r"job (\d+): (\d+) rows, (\d+) bytes, (.*)", 20) if job else None
        want = subprocess.run([rasterprint, text], capture_output=True, timeout=30).stdout
        if t.check("text job reaches the virtual printer", got is not None and got.group(4) == "ok",
                   got.group(0) if got else "job %s, nothing received" % job):
            with open(os.path.join(recv, "job-%04d.prn" % int(got.group(1))), "rb") as f:
                t.check("text job: the rows rasterprint prints", f.read() == want and want, "%s rows" % got.group(2))

        # A long job, cancelled while the filter runs: the filter ends cleanly.
        long_pdf = os.path.join(inst.base, "long.pdf")
        with open(long_pdf, "wb") as f:
            f.write(c.pdf([[(0, y, 384, 4) for y in range(0, 7900, 50)]] * 30, 58, 1000))
        os.chmod(long_pdf, 0o644)
        job = cupsd.submit(long_pdf, "PageSize=Custom.58x1000mm")
        number = job.split("-")[-1] if job else "?"
        pid = cupsd.wait_log(r"\[Job %s\] Started filter \S*rastertooemdll \(PID (\d+)\)" % number, 60)
        # Cancel once the filter reads pages: before that it has no handler yet.
        reading = cupsd.wait_log(r"\[Job %s\] Printing page 1" % number, 60)
        if t.check("long job starts the filter", pid is not None and reading is not None, "job %s" % job):
            cupsd.run("cancel", "-h", cupsd.host, job)
            t.check("cancelled job leaves the queue", cupsd.wait_idle(45), "jobs left: %s" % cupsd.jobs())
            end = cupsd.wait_log(r"PID %s \(\S*rastertooemdll\) (.*)" % pid.group(1), 30)
            log = [l for l in cupsd.error_log().splitlines() if "[Job %s]" % number in l and "rastertooemdll" in l]
            t.check("cancelled filter exits cleanly", end is not None and end.group(1).startswith("exited with no errors"),
                    "\n".join(log[-6:]))
            received = jobs_seen.wait(r"job (\d+): .*", 5)
            t.check("what the printer got of it is whole rows",
                    received is None or received.group(0).endswith(", ok"), received.group(0) if received else "")

        # A job the filter cannot print: reported, then cleared by the test.
        bad = os.path.join(inst.base, "bad.ras")
        with open(bad, "wb") as f:
            f.write(c.raster(c.raster_page(384, 10, bits=8)))
        os.chmod(bad, 0o644)
        job = cupsd.submit(bad, "document-format=application/vnd.cups-raster")
        stopped = cupsd.wait_log(r"\[Job %s\] Job stopped due to filter errors" % job.split("-")[-1], 45) \
            if job else None
        t.check("failing filter: job reported stopped", stopped is not None, "job %s" % job)
        t.check("failing filter: its ERROR line is logged",
                re.search(r"E \[.*\] \[Job %s\] page 1: unsupported raster: 8 bits per pixel" % (job or "").split("-")[-1],
                          cupsd.error_log()) is not None, "not in error_log")
        cupsd.run("cancel", "-h", cupsd.host, "-a", QUEUE)
        t.check("failing filter: the queue is cleared", cupsd.wait_idle(30), "jobs left: %s" % cupsd.jobs())
        c.check_no_reports(t, "the filter under cupsd", cupsd.error_log())
    finally:
        if cupsd:
            cupsd.stop()
        stop(printer)
        inst.remove()
    # How long it took says nothing of the driver: ctest's time limit bounds a hang.
    print("took %.1f s" % (time.monotonic() - started))
    return t.finish()


if __name__ == "__main__":
    sys.exit(main())
