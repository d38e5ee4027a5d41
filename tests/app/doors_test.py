#!/usr/bin/env python3
"""Who may reach raster58-app: a Host: the server does not answer for is
refused (DNS rebinding) while localhost, its address, its hostname and
the names its administrator adds are served; a local user other than root
over 127.0.0.1 or over the command socket may print but not administer; the
socket is not world-writable; under /proc mounted subset=pid, as the unit
has it, root still administers over 127.0.0.1. Charset names in a text
job's format are matched without case.
A refused device is refused with its reason, in the web interface too, and
devices that need DNS-SD fail without it instead of aborting the server.
The checks as another user run when the test runs as root.

usage: doors_test.py RASTER58_APP RASTERVIEW"""
import os
import re
import socket
import stat
import subprocess
import sys
import time
import urllib.parse

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
import apptest as a  # noqa: E402

PRINTER = "Receipt"
NOBODY = 65534

# Run as another user: Pause-Printer, or a one-page Print-Job, over TCP or
# the socket (a path); prints the HTTP status, or the error that stopped it.
AS_USER = """
import http.client, socket, sys
sys.path.insert(0, %r)
import apptest as a
uri, where, what = sys.argv[1:4]
conn = a.IppConnection(uri)
if where.startswith("/"):
    conn.http.sock = socket.socket(socket.AF_UNIX)
    try:
        conn.http.sock.connect(where)
    except OSError as e:
        print(type(e).__name__)
        sys.exit()
if what == "print":
    print(conn.print_job(a.pwg_raster([(463, 8, 203, [])]), "image/pwg-raster", "om_58x80mm_58x80mm")[0])
else:
    print(conn.answer(a.IppConnection.PAUSE_PRINTER)[0])
""" % HERE


def http_status(port, host):
    with socket.create_connection(("127.0.0.1", port), 5) as s:
        s.sendall(b"GET / HTTP/1.1\r\nHost: %s\r\nConnection: close\r\n\r\n" % host.encode())
        line = s.makefile("rb").readline().decode(errors="replace")
    return int(line.split()[1]) if len(line.split()) > 1 else None


def web(port, method, path, form=None):
    """The whole answer to a request on localhost (for the server's own
    user or root, no login is asked)."""
    body = urllib.parse.urlencode(form).encode() if form else b""
    with socket.create_connection(("127.0.0.1", port), 30) as s:
        s.sendall(b"%s %s HTTP/1.1\r\nHost: localhost\r\nConnection: close\r\nContent-Length: %d\r\n"
                  b"Content-Type: application/x-www-form-urlencoded\r\n\r\n" % (method, path, len(body)) + body)
        return s.makefile("rb").read().decode(errors="replace")


def check_devices(t, app, folder):
    # The Add Printer page lists devices, DNS-SD's among them: without
    # avahi-daemon that aborted the server.
    page = web(app.port, b"GET", b"/addprinter")
    token = re.search(r'name="session" value="([^"]+)"', page)
    t.check("the Add Printer page is served", token is not None, page[:200])
    if token:
        page = web(app.port, b"POST", b"/addprinter", {"session": token.group(1), "printer_name": "File",
                                                       "driver_name": "raster58", "device_uri": "file:///tmp"})
        t.check("the web interface says why a file:// device is refused",
                "file:// devices are off" in page, re.findall(r'<div class="banner">(.*?)</div>', page))
    p = app.run("add", "-d", "File", "-m", "raster58", "-v", "file:///tmp")
    t.check("add says why a file:// device is refused", b"file:// devices are off" in p.stderr, p.stderr.decode())
    if "Unable to initialize DNS-SD" in app.log():
        receipt = os.path.join(folder, "receipt.txt")
        with open(receipt, "w") as f:
            f.write("Total 4.20\n")
        p = app.run("add", "-d", "Bonjour", "-m", "raster58", "-v", "dnssd://Nowhere._pdl-datastream._tcp.local./")
        q = app.run("submit", "-d", "Bonjour", receipt)
        end = time.monotonic() + 60  # a safety net: the job fails at its first attempt to open the device
        while "Unable to resolve" not in app.log() and app.process.poll() is None and time.monotonic() < end:
            time.sleep(0.1)
        t.check("without DNS-SD a dnssd: device fails the job, not the server",
                p.returncode == q.returncode == 0 and app.process.poll() is None and "DNS-SD is not available"
                in app.log(), (p.stderr + q.stderr).decode())


def server_name():
    """The name PAPPL gives the machine by default: its resolved hostname,
    in .local if it has no domain."""
    name = socket.gethostname()
    if "." not in name:
        try:
            name = socket.gethostbyname_ex(name)[0]
        except OSError:
            pass
    return re.sub(r"\.lan$", ".local", name) if "." in name else name + ".local"


def as_nobody(uri, where, what="pause"):
    def drop():
        os.setgroups([])
        os.setgid(NOBODY)
        os.setuid(NOBODY)
    p = subprocess.run(["/usr/bin/python3", "-c", AS_USER, uri, where, what], capture_output=True, timeout=30,
                       preexec_fn=drop, cwd="/")
    return (p.stdout + p.stderr).decode(errors="replace").strip()


def check_charsets(t, app, printer, folder):
    """Each spelling prints what its lower-case one does (0xD5 is the euro
    sign in IBM00858, a capital O tilde in windows-1252)."""
    text = os.path.join(folder, "charset.txt")
    with open(text, "wb") as f:
        f.write(b"Total \xd5 4.20\n")
    printed = {}
    for fmt in ["text/plain;charset=utf-8", "text/plain;charset=UTF-8", "text/plain;charset=windows-1252",
                "text/plain;charset=Windows-1252", "text/plain;charset=ibm00858", "text/plain;charset=IBM00858"]:
        job = a.print_file(app.ipp_uri(PRINTER), text, fmt)
        state = a.wait_job_done(app.ipp_uri(PRINTER), job, 30) if isinstance(job, int) else job
        got = printer.wait_job(30) if state and state[0] == "completed" else None
        printed[fmt] = printer.job_bytes(got[0]) if got else "%s" % (state,)
    for fmt, out in printed.items():
        if fmt != fmt.lower():
            t.check("%s prints as %s does" % (fmt, fmt.lower()),
                    isinstance(out, bytes) and out == printed[fmt.lower()], out if isinstance(out, str) else "")
    t.check("the charsets print differently", len({printed[f] for f in printed if f == f.lower()}) == 3)


def check_subset(t, app, printer, folder):
    """The server in a mount namespace whose /proc is mounted subset=pid
    (no /proc/net), as systemd's ProcSubset=pid makes it."""
    p = subprocess.run(["unshare", "-m", "--propagation", "private", "sh", "-c",
                        "mount -t proc -o subset=pid proc /proc && test ! -e /proc/net"], capture_output=True)
    if p.returncode:
        print("note: no /proc mounted subset=pid here (%s); not tried" % p.stderr.decode().strip())
        return
    wrapper = os.path.join(folder, "in-subset")
    with open(wrapper, "w") as f:
        f.write("#!/bin/sh\nexec unshare -m --propagation private sh -c "
                "'mount -t proc -o subset=pid proc /proc && exec \"$0\" \"$@\"' %s \"$@\"\n" % app.binary)
    os.chmod(wrapper, 0o755)
    inner = a.App(wrapper, os.path.join(folder, "subset"))
    os.makedirs(inner.folder)
    try:
        inner.start()
        inner.add_printer(PRINTER, printer.uri)
        with open("/proc/%d/mountinfo" % inner.process.pid) as f:
            subset = any(" /proc " in line and "subset=pid" in line for line in f)
        status = a.IppConnection(inner.ipp_uri(PRINTER)).answer(a.IppConnection.PAUSE_PRINTER)[0]
        t.check("/proc mounted subset=pid: root administers over 127.0.0.1", subset and status == 200,
                "subset=pid: %s, Pause-Printer: %s" % (subset, status))
    finally:
        inner.stop()


def check_doors(t, app, printer, folder):
    check_charsets(t, app, printer, folder)  # first: its jobs are the printer's first
    uri = app.ipp_uri(PRINTER)
    hostname = server_name()
    for host, want in [("1rebind.example", 400), ("1rebind.example:%d" % app.port, 400),
                       ("rebind.local", 400), ("127.0.0.2", 400), ("[::1]", 400),
                       ("localhost:%d" % app.port, 200), ("127.0.0.1:%d" % app.port, 200),
                       ("%s:%d" % (hostname, app.port), 200),
                       # the names added by server-aliases=, whole names only
                       ("till-2", 200), ("PRINTERS.shop.example.:%d" % app.port, 200),
                       ("shop.example", 400), ("printers.shop.example.evil", 400)]:
        t.check("Host: %s gets %d" % (host, want), http_status(app.port, host) == want)
    sock = [os.path.join(app.folder, n) for n in os.listdir(app.folder) if n.endswith(".sock")]
    mode = stat.S_IMODE(os.stat(sock[0]).st_mode) if sock else None
    t.check("the command socket is not world-writable", mode is not None and not mode & 0o002, oct(mode or 0))
    if os.geteuid() == 0:
        t.check("root administers over 127.0.0.1", a.IppConnection(uri).answer(a.IppConnection.PAUSE_PRINTER)[0]
                == 200)
        a.IppConnection(uri).answer(a.IppConnection.RESUME_PRINTER)
        t.check("another user may not administer over 127.0.0.1", as_nobody(uri, "tcp") == "403",
                as_nobody(uri, "tcp"))
        for path in (folder, app.folder):
            os.chmod(path, 0o711)
        t.check("another user cannot connect to the command socket", as_nobody(uri, sock[0]) ==
                "PermissionError", as_nobody(uri, sock[0]))
        os.chmod(sock[0], 0o666)  # past the file mode: the peer's credentials still refuse
        t.check("another user may not administer over the socket", as_nobody(uri, sock[0]) == "403",
                as_nobody(uri, sock[0]))
        t.check("another user still prints over 127.0.0.1", as_nobody(uri, "tcp", "print") == "0",
                as_nobody(uri, "tcp", "print"))
        check_subset(t, app, printer, folder)
    check_devices(t, app, folder)


def main():
    return a.run_instance("raster58-doors-", check_doors, PRINTER,
                          options=["server-aliases=printers.shop.example,Till-2."])


if __name__ == "__main__":
    sys.exit(main())
