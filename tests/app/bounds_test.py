#!/usr/bin/env python3
"""raster58-app against hostile requests: a page header claiming
4,294,967,295 rows, an 8-bit page wider than the media, 132 connections
sending their headers a byte at a time, Get-Printer-Attributes of 26 MB and
of 50,000 values. Each is refused or ended within its bound, and another
client's job still prints meanwhile. Under a task limit (a control group's
pids.max, as the unit's TasksMax= sets), the clients let in stay below it
and one more is answered 503 at once.

usage: bounds_test.py RASTER58_APP RASTERVIEW"""
import os
import select
import socket
import struct
import sys
import threading
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import apptest as a  # noqa: E402
from cupstest import decode  # noqa: E402

PRINTER = "Receipt"
M80 = "om_58x80mm_58x80mm"
HEIGHT_AT = 4 + 376  # cupsHeight in a PWG raster file: sync word, then the page header


def good_job(t, name, app, printer, seconds):
    """A client's job (a bar 50 dots wide) prints within `seconds`,
    retrying while the printer is busy."""
    started = time.monotonic()
    document = a.pwg_raster([(463, 639, 203, [(40, 0, 50, 8)])])
    status = None
    conn = a.IppConnection(app.ipp_uri(PRINTER), seconds)
    try:
        while time.monotonic() - started < seconds:
            status, job = conn.print_job(document, "image/pwg-raster", M80)
            if status != a.IppConnection.BUSY:
                break
            time.sleep(0.1)
    except (OSError, a.http_client.HTTPException) as e:
        status = repr(e)
    finally:
        conn.close()
    got = printer.wait_job(max(seconds - (time.monotonic() - started), 0.1)) if status == 0 else None
    rows = decode(printer.job_bytes(got[0]))[0] if got else []
    t.check("%s: another client's job prints within %d s" % (name, seconds),
            any(sum(bin(b).count("1") for b in row) == 50 for row in rows), "status %s, %s" % (status, got))


def check_height_bomb(t, app, printer):
    """Eight rows of data under a header claiming 2^32 - 1: the job ends
    when the data does, not a minute later."""
    document = bytearray(a.pwg_raster([(463, 8, 203, [(40, 0, 384, 8)])]))
    document[HEIGHT_AT:HEIGHT_AT + 4] = struct.pack(">I", 0xFFFFFFFF)
    uri = app.ipp_uri(PRINTER)
    conn = a.IppConnection(uri, 10)
    started = time.monotonic()
    try:
        status, job = conn.print_job(bytes(document), "image/pwg-raster", M80)
    except OSError as e:  # no answer in time: the stream is not over
        status, job = repr(e), None
    finally:
        conn.close()
    state = a.wait_job_done(uri, job, 10) if job else None
    t.check("page-height bomb: the job ends within 10 s", state and state[0] in ("aborted", "completed"),
            "status %s, %s after %.1f s" % (status, state, time.monotonic() - started))
    while printer.wait_job(1):  # what it printed, if anything
        pass
    good_job(t, "page-height bomb", app, printer, 10)


def check_wide_page(t, app, printer):
    """An 8-bit page of 4000 columns on 58 mm media: PAPPL dithers it into
    lines of the media's width, and must not write past them."""
    uri = app.ipp_uri(PRINTER)
    conn = a.IppConnection(uri, 30)
    try:
        status, job = conn.print_job(a.pwg_raster([(4000, 64, 203, [(0, 0, 4000, 8)])], bits=8), "image/pwg-raster",
                                     M80)
    except OSError as e:
        status, job = repr(e), None
    finally:
        conn.close()
    state = a.wait_job_done(uri, job, 10) if job else None
    t.check("8-bit page 4000 columns wide: the job ends, the server lives",
            state and state[0] in ("aborted", "completed") and app.process.poll() is None, "%s %s" % (status, state))
    while printer.wait_job(1):
        pass
    good_job(t, "8-bit page 4000 columns wide", app, printer, 10)


def check_slow_headers(t, app, printer):
    """132 connections each sending a request line a byte at a time: each
    is ended within its deadline (10 s once the server reads it), and
    another client gets through meanwhile."""
    request = b"POST /ipp/print/%s HTTP/1.1\r\nHost: localhost\r\n" % PRINTER.encode()
    conns = []
    for _ in range(132):
        s = socket.create_connection(("127.0.0.1", app.port), 5)
        s.setblocking(False)
        conns.append(s)
    started = time.monotonic()
    ended = {}
    stop = threading.Event()

    def trickle():
        sent = 0
        while not stop.is_set() and len(ended) < len(conns):
            for i, s in enumerate(conns):
                if i in ended:
                    continue
                try:
                    s.send(request[sent % len(request):sent % len(request) + 1])
                    if select.select([s], [], [], 0)[0] and not s.recv(4096):
                        ended[i] = time.monotonic() - started
                except OSError:
                    ended[i] = time.monotonic() - started
            sent += 1
            stop.wait(0.5)

    th = threading.Thread(target=trickle)
    th.start()
    try:
        good_job(t, "132 slow connections", app, printer, 30)
        th.join(40)
    finally:
        stop.set()
        th.join()
        for s in conns:
            s.close()
    t.check("132 slow connections: each ended by the server within 30 s", len(ended) == len(conns) and
            max(ended.values()) < 30, "%d of %d ended" % (len(ended), len(conns)))


def peak_memory(pid):
    with open("/proc/%d/status" % pid) as f:
        for line in f:
            if line.startswith("VmHWM:"):
                return int(line.split()[1]) * 1024
    return 0


LARGE_REQUESTS = [
    # name, requested-attributes values: past the bytes, and within them past the values one attribute may hold
    # (read whole, reading one costs the square of its values)
    ("26 MB request", 26 * 1024 * 1024 // 17),
    ("50,000 values in 850 KB", 50000),
]


def check_large_request(t, app, printer):
    """Get-Printer-Attributes with a huge requested-attributes: refused
    (413, or the connection ended) before it is read whole, memory bounded.
    The time limit is a safety net, not the verdict."""
    uri = app.ipp_uri(PRINTER)
    value = b"printer-name"
    for name, count in LARGE_REQUESTS:
        extra = [(0x44, "requested-attributes", value)] + [(0x44, "", value)] * count
        body = a.ipp_message(a.IppConnection.GET_PRINTER_ATTRIBUTES, uri, extra)
        before = peak_memory(app.process.pid)
        answer, sent_all = b"", False
        s = socket.create_connection(("127.0.0.1", app.port), 60)
        try:
            s.sendall(b"POST /ipp/print/%s HTTP/1.1\r\nHost: localhost\r\nContent-Type: application/ipp\r\n"
                      b"Content-Length: %d\r\n\r\n" % (PRINTER.encode(), len(body)) + body)
            sent_all = True
            answer = s.recv(4096)
        except OSError:  # the server stopped reading and closed the connection
            pass
        finally:
            s.close()
        grown = peak_memory(app.process.pid) - before
        # Answered 413, or cut off unanswered while it was still being sent.
        refused = answer.startswith(b"HTTP/1.1 413") or not (sent_all or answer)
        t.check("%s: refused before it is read whole, memory bounded" % name,
                refused and not (sent_all and count * 17 > 4 << 20) and grown < 32 << 20,
                "%r, sent whole: %s, peak memory +%d MB" % (answer[:40], sent_all, grown >> 20))
    good_job(t, "huge requests", app, printer, 10)


def pids_hierarchy():
    """The control group hierarchy with the pids controller, or None."""
    for root, ok in (("/sys/fs/cgroup/pids", "tasks"), ("/sys/fs/cgroup", "cgroup.subtree_control")):
        if os.access(os.path.join(root, ok), os.W_OK) and (root.endswith("pids") or "pids" in open(
                os.path.join(root, "cgroup.subtree_control")).read()):
            return root
    return None


def check_client_limit(t, app, printer, folder):
    root = pids_hierarchy()
    if os.geteuid() != 0 or not root:
        print("note: no control group with a pids limit may be made here; the client limit not tried")
        return
    group = os.path.join(root, "raster58-bounds-%d" % os.getpid())
    os.mkdir(group)
    wrapper = os.path.join(folder, "limited")
    with open(wrapper, "w") as f:
        f.write('#!/bin/sh\necho $$ >%s/cgroup.procs && exec %s "$@"\n' % (group, app.binary))
    os.chmod(wrapper, 0o755)
    tasks, clients = 48, 48 - 32
    with open(os.path.join(group, "pids.max"), "w") as f:
        f.write("%d\n" % tasks)
    limited = a.App(wrapper, os.path.join(folder, "limited-app"))
    os.makedirs(limited.folder)
    held = []
    try:
        limited.start()
        limited.add_printer(PRINTER, printer.uri)
        for _ in range(clients + 4):
            held.append(socket.create_connection(("127.0.0.1", limited.port), 5))
        answers = []
        for s in held:
            s.settimeout(0.1 if len(answers) < clients else 5)  # those let in say nothing
            try:
                answers.append(s.recv(64)[:12])
            except socket.timeout:
                answers.append(None)
        status = None
        try:
            status = a.IppConnection(limited.ipp_uri(PRINTER)).answer(0x0B)[0]
        except Exception as e:  # an unanswered or reset request
            status = repr(e)
        let_in = answers.count(None)  # a client of start() or add may still be finishing
        t.check("a task limit of %d: %d clients let in, the next ones and a request answered 503 at once" %
                (tasks, clients), clients - 2 <= let_in <= clients and status == 503 and
                answers == [None] * let_in + [b"HTTP/1.1 503"] * (len(held) - let_in) and
                "At most %d clients" % clients in limited.log(), "answers %s, request %s" % (answers, status))
        for s in held:
            s.close()
        held = []
        end = time.monotonic() + 10
        while status != 200 and time.monotonic() < end:
            time.sleep(0.1)
            status = a.IppConnection(limited.ipp_uri(PRINTER)).answer(0x0B)[0]
        t.check("once the clients leave, a request is served", status == 200, "status %s" % status)
    finally:
        for s in held:
            s.close()
        limited.stop()
        try:
            os.rmdir(group)
        except OSError:
            pass


def main():
    def checks(t, app, printer, folder):
        for check in (check_height_bomb, check_wide_page, check_large_request, check_slow_headers):
            check(t, app, printer)
        check_client_limit(t, app, printer, folder)
    return a.run_instance("raster58-bounds-", checks, PRINTER)


if __name__ == "__main__":
    sys.exit(main())
