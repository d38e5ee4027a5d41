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
import http.client as http_client
import os
import re
import shutil
import struct
import signal
import socket
import subprocess
import sys
import tempfile
import time
import zlib

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "cups"))
import cupstest  # noqa: E402,F401  (re-exported for the tests)
from cupsd_test import Lines, free_port, stop as stop_process  # noqa: E402

DRIVER = "raster58"


class App:
    """A private raster58-app server. As root PAPPL keeps its state and
    socket in SNAP_COMMON; as another user under XDG_CONFIG_HOME and
    TMPDIR: all four point into `folder`."""

    def __init__(self, binary, folder, server_options=None, options=()):
        self.server_options = server_options  # e.g. "no-tls"
        self.extra = list(options)  # more -o NAME=VALUE
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
                "-o", "log-level=debug"] + (["-o", "server-options=" + self.server_options]
                                            if self.server_options else []) + \
            [arg for option in self.extra for arg in ("-o", option)]

    def start(self, seconds=60):
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
            # PAPPL's status says "Server is not running." with status 0.
            if self.run("status").stdout.startswith(b"Running") and self._answers():
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

    def kill(self):
        """kill -9, as a crash or a power cut ends it."""
        if self.process:
            self.process.kill()
            self.process.wait()
            self.process = None
            self.output.close()

    def stop(self, seconds=10):
        """Stops the server by its process id; the folder stays."""
        if self.process:
            stop_process(self.process, seconds)
            self.process = None
            self.output.close()


class VirtualPrinter:
    """rasterview --listen on a port the system picks; each job it receives
    is kept as folder/job-NNNN.prn and reported on a line."""

    def __init__(self, rasterview, folder, idle_timeout=120, read_timeout=10):
        self.folder = folder
        self.process = subprocess.Popen([rasterview, "--listen", "127.0.0.1:0", "--out", folder,
                                         "--idle-timeout", str(idle_timeout), "--read-timeout", str(read_timeout)],
                                        stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        self.lines = Lines(self.process.stdout)
        m = Lines(self.process.stderr).wait(r"listening on 127\.0\.0\.1:(\d+)", 30)
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


def stop_all(*parts):
    """Stops each server, browser or printer that was started; None is
    one that was not."""
    for part in parts:
        if part:
            part.stop()


def run_instance(prefix, body, printer="Receipt", **app_args):
    """Runs body(t, app, virtual_printer, folder) against a private instance
    printing to the virtual printer, with a printer of that name added (none
    for None). A failure to start, an exception or a server that died is a
    failed check; everything started is stopped and the folder removed.
    Returns the checklist's exit status."""
    t = cupstest.Checklist()
    folder = tempfile.mkdtemp(prefix=prefix)
    vp = app = None
    try:
        vp = VirtualPrinter(sys.argv[2], os.path.join(folder, "jobs"))
        app = App(sys.argv[1], os.path.join(folder, "app"), **app_args)
        os.makedirs(app.folder)
        app.start()
        if printer:
            app.add_printer(printer, vp.uri)
        body(t, app, vp, folder)
        t.check("the server lives", app.process.poll() is None, "exit status %s" % app.process.returncode)
    except Exception as e:  # a failure to start is a failed check, not a crash
        t.check("the test runs", False, repr(e))
    finally:
        stop_all(app, vp)
        shutil.rmtree(folder, ignore_errors=True)
    return t.finish()


def ipptool(*args, timeout=60):
    return subprocess.run(["ipptool"] + list(args), capture_output=True, timeout=timeout)


def job_state(uri, job_id):
    """(job-state, job-state-reasons, job-state-message) as Get-Job-Attributes reports them."""
    p = ipptool("-c", "-d", "job=%d" % job_id, uri, os.path.join(HERE, "get-job.test"))
    rows = list(csv.reader(p.stdout.decode(errors="replace").strip().splitlines()))
    if len(rows) < 2:
        return None
    return tuple((rows[1] + ["", "", ""])[:3])


def print_file(uri, path, fmt, copies=1, media=None, two_step=False, seconds=60, color=None, scaling=None):
    """Submits a document with Print-Job (or Create-Job and Send-Document),
    retrying while the printer answers busy; the job id, or an error text."""
    args = ["-c", "-f", path, "-d", "format=" + fmt]
    if media:
        args += ["-d", "media=" + media]
    if color:
        args += ["-d", "color=" + color]
    if scaling:
        args += ["-d", "scaling=" + scaling]
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
        said = out + p.stderr.decode(errors="replace")
        if not ("busy" in said or "printing another job" in said) or time.monotonic() > end:
            return "ipptool: " + said.strip()[-400:]
        time.sleep(0.2)


def _ipp_attribute(tag, name, value):
    name, value = name.encode(), value.encode()
    return struct.pack(">BH", tag, len(name)) + name + struct.pack(">H", len(value)) + value


class HeldPrintJob:
    """A Print-Job whose document is still arriving: the request and `first`
    bytes of the document are sent, the rest waits for send_rest() (or never
    comes: close() ends the connection). The app takes a streamed job as it
    arrives, so it stays processing for as long as the test holds it."""

    def __init__(self, uri, fmt, first, media=None):
        host, port, path = re.match(r"ipp://([^:/]+):(\d+)(/.*)", uri).groups()
        request = struct.pack(">BBHI", 2, 0, 0x0002, 1) + b"\x01"
        request += _ipp_attribute(0x47, "attributes-charset", "utf-8")
        request += _ipp_attribute(0x48, "attributes-natural-language", "en")
        request += _ipp_attribute(0x45, "printer-uri", uri)
        request += _ipp_attribute(0x42, "requesting-user-name", "test")
        request += _ipp_attribute(0x49, "document-format", fmt)
        if media:
            request += b"\x02" + _ipp_attribute(0x44, "media", media)
        request += b"\x03"
        self.sock = socket.create_connection((host, int(port)), 30)
        self.sock.sendall(("POST %s HTTP/1.1\r\nHost: %s:%s\r\nContent-Type: application/ipp\r\n"
                           "Transfer-Encoding: chunked\r\n\r\n" % (path, host, port)).encode())
        self._chunk(request + first)

    def _chunk(self, data):
        self.sock.sendall(b"%x\r\n" % len(data) + data + b"\r\n")

    def send_rest(self, rest):
        """The rest of the document and the request's end; the app's HTTP answer."""
        if rest:
            self._chunk(rest)
        self.sock.sendall(b"0\r\n\r\n")
        return self.sock.recv(4096)

    def close(self):
        self.sock.close()


def wait_job_state(app, printer, states, seconds=30):
    """The id of a job `app jobs` lists in one of `states` (e.g. ("processing",)),
    waiting for one; None if none shows within `seconds`."""
    end = time.monotonic() + seconds
    while time.monotonic() < end:
        for line in app.run("jobs", "-d", printer).stdout.decode().splitlines():
            fields = line.split()
            if len(fields) > 1 and fields[1] in states:
                return int(fields[0])
        time.sleep(0.05)
    return None


def wait_job_done(uri, job_id, seconds):
    end = time.monotonic() + seconds
    while time.monotonic() < end:
        s = job_state(uri, job_id)
        if s and s[0] in ("completed", "aborted", "canceled"):
            return s
        time.sleep(0.1)
    return job_state(uri, job_id)


# Raster documents as clients send them. A page is (width, height, dpi,
# rects), rects black rectangles (x, y, w, h) in the page's own pixels.
PAGE_WIDTH = 463   # 58 mm at 203 dpi, the whole media width
FIRST_COLUMN = 40  # the column printed as dot 0


def _pack_line(pixels, unit):
    """One line in the PWG / Apple raster run-length scheme: a line repeat
    count of 0, then literal runs of up to 128 pixels of `unit` bytes."""
    out = bytearray([0])
    n = len(pixels) // unit
    i = 0
    while i < n:
        k = min(128, n - i)
        out.append(0 if k == 1 else 257 - k)
        out += pixels[i * unit:(i + k) * unit]
        i += k
    return bytes(out)


def _bitmap(width, height, rects):
    rows = [bytearray(width) for _ in range(height)]
    for x, y, w, h in rects:
        for yy in range(max(0, y), min(height, y + h)):
            for xx in range(max(0, x), min(width, x + w)):
                rows[yy][xx] = 1
    return rows


def pwg_raster(pages, bits=1, truncate=None, ink=0):
    """PWG raster of black_1 (1 = black) or sgray_8 (0 = black) pages; at 8
    bits the rectangles are of grey `ink`."""
    out = bytearray(b"RaS2")
    for width, height, dpi, rects in pages:
        bpl = (width + 7) // 8 if bits == 1 else width
        h = bytearray(1796)
        h[0:9] = b"PwgRaster"
        put = lambda off, fmt, *v: struct.pack_into(">" + fmt, h, off, *v)  # noqa: E731
        put(276, "II", dpi, dpi)
        put(340, "I", 1)
        put(352, "II", width * 72 // dpi, height * 72 // dpi)
        put(372, "IIIIII", width, height, 0, bits, bits, bpl)
        put(396, "III", 0, 3 if bits == 1 else 18, 0)
        put(420, "I", 1)
        out += h
        for row in _bitmap(width, height, rects):
            if bits == 1:
                line = bytearray(bpl)
                for x, v in enumerate(row):
                    if v:
                        line[x // 8] |= 0x80 >> (x % 8)
            else:
                line = bytes(ink if v else 255 for v in row)
            out += _pack_line(bytes(line), 1)
    return bytes(out[:truncate] if truncate else out)


def apple_raster(pages):
    """Apple raster (image/urf) of 8-bit sGray pages (0 = black)."""
    out = bytearray(b"UNIRAST\0") + struct.pack(">I", len(pages))
    for width, height, dpi, rects in pages:
        out += struct.pack(">BBBB8xIII8x", 8, 0, 1, 4, width, height, dpi)
        for row in _bitmap(width, height, rects):
            out += _pack_line(bytes(0 if v else 255 for v in row), 1)
    return bytes(out)


def png(width, height, rects, ppm=7992, bits=8):
    """A grey PNG of 8 or 1 bits (black rectangles on white) at 203 dpi
    (7992 dots a metre) unless told otherwise."""
    def chunk(kind, data):
        return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data))
    raw = bytearray()
    for row in _bitmap(width, height, rects):
        if bits == 8:
            raw += b"\0" + bytes(0 if v else 255 for v in row)
        else:
            line = bytearray(b"\xff" * ((width + 7) // 8))
            for x, v in enumerate(row):
                if v:
                    line[x // 8] &= ~(0x80 >> (x % 8)) & 0xff
            raw += b"\0" + line
    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", width, height, bits, 0, 0, 0, 0)) +
            (chunk(b"pHYs", struct.pack(">IIB", ppm, ppm, 1)) if ppm else b"") +
            chunk(b"IDAT", zlib.compress(bytes(raw))) + chunk(b"IEND", b""))


def ipp_message(operation, uri, attributes=(), request_id=1, job_attributes=()):
    """An IPP/2.0 request: the operation attributes every request carries,
    then `attributes` as (value tag, name, value bytes), and a job group of
    `job_attributes` if any; an empty name is an additional value of the
    attribute before it."""
    def attr(tag, name, value):
        name = name.encode()
        return (struct.pack(">BH", tag, len(name)) + name + struct.pack(">H", len(value)) + value)
    body = struct.pack(">BBHI", 2, 0, operation, request_id) + b"\x01"
    body += attr(0x47, "attributes-charset", b"utf-8") + attr(0x48, "attributes-natural-language", b"en")
    body += attr(0x45, "printer-uri", uri.encode())
    body += b"".join(attr(tag, name, value) for tag, name, value in attributes)
    if job_attributes:
        body += b"\x02" + b"".join(attr(tag, name, value) for tag, name, value in job_attributes)
    return body + b"\x03"


class IppConnection:
    """Requests over one kept-alive HTTP connection, as a busy client sends
    them: far faster than an ipptool process each. `status` returns the IPP
    status code of the answer; socket.timeout if none comes in time."""

    PRINT_JOB, GET_PRINTER_ATTRIBUTES, RELEASE_JOB, PAUSE_PRINTER, RESUME_PRINTER = 2, 0x0B, 0x0D, 0x10, 0x11
    IDENTIFY_PRINTER = 0x3C
    BUSY = 0x0507

    def __init__(self, uri, seconds=5):
        import urllib.parse
        u = urllib.parse.urlparse(uri.replace("ipp://", "http://"))
        self.uri, self.path = uri, u.path
        self.http = http_client.HTTPConnection(u.hostname, u.port, timeout=seconds)

    def answer(self, operation, attributes=(), job_attributes=(), document=b""):
        """(HTTP status, IPP answer)."""
        self.http.request("POST", self.path, ipp_message(operation, self.uri, attributes,
                                                         job_attributes=job_attributes) + document,
                          {"Content-Type": "application/ipp"})
        response = self.http.getresponse()
        return response.status, response.read()

    def status(self, operation, attributes=(), job_attributes=(), document=b""):
        answer = self.answer(operation, attributes, job_attributes, document)[1]
        return struct.unpack(">H", answer[2:4])[0] if len(answer) >= 4 else None

    def print_job(self, document, fmt, media, pieces=1, pause=0.0):
        """Print-Job with the document whole, or chunked in `pieces` sent
        `pause` seconds apart as a client on a slow link would; (status,
        job id or None)."""
        head = ipp_message(self.PRINT_JOB, self.uri, [(0x49, "document-format", fmt.encode())])[:-1]
        head += b"\x02" + struct.pack(">BH", 0x44, 5) + b"media" + struct.pack(">H", len(media)) + media.encode()
        head += b"\x03"

        def body():
            yield head
            step = -(-len(document) // pieces)
            for i in range(0, len(document), step):
                if i:
                    time.sleep(pause)
                yield document[i:i + step]
        self.http.request("POST", self.path, head + document if pieces == 1 else body(),
                          {"Content-Type": "application/ipp"}, encode_chunked=pieces > 1)
        answer = self.http.getresponse().read()
        if len(answer) < 4:
            return None, None
        at = answer.find(b"\x21\x00\x06job-id\x00\x04")
        return struct.unpack(">H", answer[2:4])[0], struct.unpack(">i", answer[at + 11:at + 15])[0] if at > 0 else None

    def close(self):
        self.http.close()
