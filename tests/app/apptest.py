"""What the printer application's tests share: a private instance of the
app whose state, spool, log and socket stay in one folder, and the virtual
printer (rasterview --listen) its printers print to. Everything started
here is stopped by its process id.

    app = App(binary, folder)
    app.start()
    app.add_printer("Receipt", "socket://127.0.0.1:%d" % printer.port)
    ... app.ipp_uri("Receipt"), app.http_url("/") ...
    app.stop()
"""
import csv
import os
import signal
import socket
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "cups"))
import cupstest  # noqa: E402,F401  (re-exported for the tests)
from cupsd_test import Lines, free_port, stop as stop_process  # noqa: E402

DRIVER = "raster58"


class App:
    """A private raster58-app server. As root PAPPL keeps its state and
    socket in SNAP_COMMON; as another user under XDG_CONFIG_HOME and
    TMPDIR: all four point into `folder`."""

    def __init__(self, binary, folder):
        self.binary = os.path.abspath(binary)
        self.folder = os.path.abspath(folder)
        self.spool = os.path.join(self.folder, "spool")
        self.log_file = os.path.join(self.folder, "app.log")
        self.port = None
        self.process = None
        self.env = dict(os.environ, SNAP_COMMON=self.folder, XDG_CONFIG_HOME=self.folder, TMPDIR=self.folder)
        self.env.pop("SNAP", None)

    def options(self):
        return ["-o", "server-port=%d" % self.port, "-o", "listen-hostname=127.0.0.1",
                "-o", "spool-directory=" + self.spool, "-o", "log-file=" + self.log_file,
                "-o", "log-level=debug"]

    def start(self, seconds=15):
        """Starts the server and waits until it answers; raises on failure."""
        os.makedirs(self.spool, exist_ok=True)
        if self.port is None:
            self.port = free_port()
        self.output = open(os.path.join(self.folder, "server.out"), "ab")
        self.process = subprocess.Popen([self.binary, "server"] + self.options(), env=self.env,
                                        stdout=self.output, stderr=subprocess.STDOUT)
        end = time.monotonic() + seconds
        while time.monotonic() < end:
            if self.process.poll() is not None:
                raise RuntimeError("the app exited with %d: %s" % (self.process.returncode, self.log()[-800:]))
            if self.run("status").returncode == 0 and self._answers():
                return
            time.sleep(0.1)
        self.stop()
        raise RuntimeError("the app did not start within %d s" % seconds)

    def _answers(self):
        try:
            with socket.create_connection(("127.0.0.1", self.port), 1):
                return True
        except OSError:
            return False

    def run(self, *args, timeout=30):
        """A sub-command against this instance (add, jobs, submit, ...)."""
        return subprocess.run([self.binary] + list(args), env=self.env, capture_output=True, timeout=timeout)

    def add_printer(self, name, device_uri):
        p = self.run("add", "-d", name, "-m", DRIVER, "-v", device_uri)
        if p.returncode != 0:
            raise RuntimeError("add %s failed: %s" % (name, (p.stdout + p.stderr).decode(errors="replace")))

    def ipp_uri(self, name):
        return "ipp://127.0.0.1:%d/ipp/print/%s" % (self.port, name)

    def http_url(self, path="/"):
        return "http://127.0.0.1:%d%s" % (self.port, path)

    def log(self):
        try:
            with open(self.log_file, errors="replace") as f:
                return f.read()
        except OSError:
            return ""

    def stop(self, seconds=10):
        """Stops the server by its process id; the folder stays."""
        if self.process:
            stop_process(self.process, seconds)
            self.process = None
            self.output.close()


class VirtualPrinter:
    """rasterview --listen on a port the system picks; each job it receives
    is kept as folder/job-NNNN.prn and reported on a line."""

    def __init__(self, rasterview, folder, idle_timeout=120):
        self.folder = folder
        self.process = subprocess.Popen([rasterview, "--listen", "127.0.0.1:0", "--out", folder,
                                         "--idle-timeout", str(idle_timeout)],
                                        stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        self.lines = Lines(self.process.stdout)
        m = Lines(self.process.stderr).wait(r"listening on 127\.0\.0\.1:(\d+)", 10)
        if not m:
            self.stop()
            raise RuntimeError("the virtual printer did not start")
        self.port = int(m.group(1))
        self.uri = "socket://127.0.0.1:%d" % self.port

    def wait_job(self, seconds):
        """(number, rows, status) of the next job received, or None."""
        m = self.lines.wait(r"job (\d+): (\d+) rows, (\d+) bytes, (.*)", seconds)
        return (int(m.group(1)), int(m.group(2)), m.group(4)) if m else None

    def job_bytes(self, number):
        with open(os.path.join(self.folder, "job-%04d.prn" % number), "rb") as f:
            return f.read()

    def stop(self):
        stop_process(self.process)


def ipptool(*args, timeout=60):
    return subprocess.run(["ipptool"] + list(args), capture_output=True, timeout=timeout)


def job_state(uri, job_id):
    """(job-state, job-state-reasons, job-state-message) as Get-Job-Attributes reports them."""
    p = ipptool("-c", "-d", "job=%d" % job_id, uri, os.path.join(HERE, "get-job.test"))
    rows = list(csv.reader(p.stdout.decode(errors="replace").strip().splitlines()))
    if len(rows) < 2:
        return None
    return tuple((rows[1] + ["", "", ""])[:3])


def print_file(uri, path, fmt, copies=1, media=None, two_step=False, seconds=60):
    """Submits a document with Print-Job (or Create-Job and Send-Document),
    retrying while the printer answers busy; the job id, or an error text."""
    args = ["-c", "-f", path, "-d", "format=" + fmt]
    if media:
        args += ["-d", "media=" + media]
    test = "create-job.test" if two_step else "print-job.test"
    if not two_step:
        args += ["-d", "copies=%d" % copies]
    end = time.monotonic() + seconds
    while True:
        p = ipptool(*(args + [uri, os.path.join(HERE, test)]))
        out = p.stdout.decode(errors="replace")
        rows = list(csv.reader(out.strip().splitlines()))
        if p.returncode == 0 and len(rows) >= 2 and rows[1] and rows[1][0].isdigit():
            return int(rows[1][0])
        if "busy" not in out + p.stderr.decode(errors="replace") or time.monotonic() > end:
            return "ipptool: " + (out + p.stderr.decode(errors="replace")).strip()[-400:]
        time.sleep(0.2)


def wait_job_done(uri, job_id, seconds):
    end = time.monotonic() + seconds
    while time.monotonic() < end:
        s = job_state(uri, job_id)
        if s and s[0] in ("completed", "aborted", "canceled"):
            return s
        time.sleep(0.1)
    return job_state(uri, job_id)
