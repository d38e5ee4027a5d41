"""Headless Chromium driven over its DevTools protocol, with the standard
library only: the browser runs in a fresh profile folder, and one page
target is spoken to over a websocket (RFC 6455, text frames)."""
import base64
import json
import os
import shutil
import signal
import socket
import struct
import subprocess
import tempfile
import time
import urllib.request

CHROMIUM = "/usr/bin/chromium"
FLAGS = ["--headless", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
         "--disable-background-networking", "--disable-component-update", "--disable-sync"]


class Error(Exception):
    pass


class WebSocket:
    def __init__(self, url, timeout):
        assert url.startswith("ws://")
        hostport, _, path = url[5:].partition("/")
        host, _, port = hostport.rpartition(":")
        self.sock = socket.create_connection((host, int(port)), timeout=timeout)
        key = base64.b64encode(os.urandom(16)).decode()
        self.sock.sendall(("GET /%s HTTP/1.1\r\nHost: %s\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
                           "Sec-WebSocket-Key: %s\r\nSec-WebSocket-Version: 13\r\n\r\n"
                           % (path, hostport, key)).encode())
        head = b""
        while b"\r\n\r\n" not in head:
            chunk = self.sock.recv(1)
            if not chunk:
                raise Error("websocket handshake cut short")
            head += chunk
        if not head.startswith(b"HTTP/1.1 101"):
            raise Error("websocket refused: %r" % head.split(b"\r\n")[0])

    def _exact(self, n):
        data = b""
        while len(data) < n:
            chunk = self.sock.recv(n - len(data))
            if not chunk:
                raise Error("websocket closed")
            data += chunk
        return data

    def _frame(self, opcode, payload):
        n = len(payload)
        if n < 126:
            head = struct.pack("!BB", 0x80 | opcode, 0x80 | n)
        elif n < 65536:
            head = struct.pack("!BBH", 0x80 | opcode, 0x80 | 126, n)
        else:
            head = struct.pack("!BBQ", 0x80 | opcode, 0x80 | 127, n)
        mask = os.urandom(4)
        self.sock.sendall(head + mask + bytes(b ^ mask[i % 4] for i, b in enumerate(payload)))

    def send(self, text):
        self._frame(0x1, text.encode())

    def recv(self):
        message = b""
        while True:
            b0, b1 = self._exact(2)
            n = b1 & 0x7F
            if n == 126:
                n = struct.unpack("!H", self._exact(2))[0]
            elif n == 127:
                n = struct.unpack("!Q", self._exact(8))[0]
            payload = self._exact(n)
            opcode = b0 & 0x0F
            if opcode == 0x8:
                raise Error("websocket closed by the browser")
            if opcode == 0x9:
                self._frame(0xA, payload)
                continue
            if opcode in (0x0, 0x1, 0x2):
                message += payload
                if b0 & 0x80:
                    return message.decode()

    def close(self):
        self.sock.close()


class Browser:
    """Chromium with one page, spoken to by method calls that wait for
    their answer; events that arrive meanwhile are kept for wait_event."""

    def __init__(self, deadline):
        self.deadline = deadline
        self.profile = tempfile.mkdtemp(prefix="appweb-chromium-")
        self.log = open(os.path.join(self.profile, "chromium.log"), "wb")
        self.process = subprocess.Popen(
            [CHROMIUM] + FLAGS + ["--user-data-dir=" + self.profile, "--remote-debugging-port=0",
                                  "about:blank"],
            stdin=subprocess.DEVNULL, stdout=self.log, stderr=subprocess.STDOUT, start_new_session=True)
        self.ws = None
        self.events = []
        self.next_id = 0
        try:
            port = self._devtools_port()
            with urllib.request.urlopen("http://127.0.0.1:%d/json/list" % port, timeout=self._left()) as r:
                pages = [t for t in json.load(r) if t.get("type") == "page"]
            if not pages:
                raise Error("the browser shows no page")
            self.ws = WebSocket(pages[0]["webSocketDebuggerUrl"], self._left())
            self.call("Page.enable")
            self.call("Runtime.enable")
        except BaseException:
            self.stop()
            raise

    def _left(self):
        left = self.deadline - time.monotonic()
        if left <= 0:
            raise Error("out of time")
        return left

    def _devtools_port(self):
        path = os.path.join(self.profile, "DevToolsActivePort")
        while True:
            if self.process.poll() is not None:
                raise Error("chromium exited with status %d" % self.process.returncode)
            try:
                with open(path) as f:
                    first = f.readline().strip()
                if first:
                    return int(first)
            except (FileNotFoundError, ValueError):
                pass
            self._left()
            time.sleep(0.05)

    def call(self, method, **params):
        self.next_id += 1
        mine = self.next_id
        self.ws.sock.settimeout(self._left())
        self.ws.send(json.dumps({"id": mine, "method": method, "params": params}))
        while True:
            self.ws.sock.settimeout(self._left())
            message = json.loads(self.ws.recv())
            if message.get("id") == mine:
                if "error" in message:
                    raise Error("%s: %s" % (method, message["error"].get("message")))
                return message.get("result", {})
            if "method" in message:
                self.events.append(message)

    def wait_event(self, method):
        while True:
            for i, e in enumerate(self.events):
                if e["method"] == method:
                    return self.events.pop(i)
            self.ws.sock.settimeout(self._left())
            message = json.loads(self.ws.recv())
            if "method" in message:
                self.events.append(message)

    def evaluate(self, expression):
        """The value of a JavaScript expression in the page (JSON-able)."""
        result = self.call("Runtime.evaluate", expression=expression, returnByValue=True, awaitPromise=True)
        if "exceptionDetails" in result:
            raise Error("script failed: %s" % result["exceptionDetails"].get("text"))
        return result["result"].get("value")

    def load(self, action):
        """Runs `action` (navigation or a click) and waits until the page it
        leads to has loaded."""
        self.events = [e for e in self.events if e["method"] != "Page.loadEventFired"]
        action()
        self.wait_event("Page.loadEventFired")

    def goto(self, url):
        failed = []

        def navigate():
            failed[:] = [self.call("Page.navigate", url=url).get("errorText")]
        self.load(navigate)
        if failed[0]:
            raise Error("%s: %s" % (url, failed[0]))

    def refused(self):
        """The network error of the browser's error page, if that is what it shows."""
        if not str(self.evaluate("location.href")).startswith("chrome-error:"):
            return None
        words = str(self.evaluate("document.body.innerText")).split()
        return next((w for w in words if w.startswith("ERR_")), "an error page")

    def stop(self):
        if self.ws:
            self.ws.close()
        if self.process.poll() is None:
            # Chromium's helpers share its process group (a session of its own).
            os.killpg(self.process.pid, signal.SIGTERM)
            try:
                self.process.wait(5)
            except subprocess.TimeoutExpired:
                os.killpg(self.process.pid, signal.SIGKILL)
                self.process.wait()
        self.log.close()
        shutil.rmtree(self.profile, ignore_errors=True)


def screenshot(url, path, width, height, seconds=30):
    """A picture of the page at `url`, the way a user sees it, by Chromium's
    own --screenshot."""
    profile = tempfile.mkdtemp(prefix="appweb-chromium-")
    process = subprocess.Popen([CHROMIUM] + FLAGS + ["--user-data-dir=" + profile, "--hide-scrollbars",
                                                     "--screenshot=" + os.path.abspath(path),
                                                     "--window-size=%d,%d" % (width, height), url],
                               stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                               start_new_session=True)
    try:
        if process.wait(seconds) != 0:
            raise Error("chromium --screenshot exited with status %d" % process.returncode)
    except subprocess.TimeoutExpired:
        raise Error("chromium --screenshot took over %d s" % seconds)
    finally:
        if process.poll() is None:
            os.killpg(process.pid, signal.SIGKILL)
            process.wait()
        shutil.rmtree(profile, ignore_errors=True)
