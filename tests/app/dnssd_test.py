#!/usr/bin/env python3
"""What raster58-app publishes on DNS-SD, seen through a stand-in of the
Avahi client library loaded into the server (no daemon, no network): a
printer is published however it comes into being (the command line,
Create-Printer over IPP, the web page's Add Printer, the state at start),
under its name cut to one DNS label if it is longer, a new DNS-SD name replaces the old registration, a deleted printer's is
withdrawn; the pdl key lists whole types, those clients look for among them.

usage: dnssd_test.py RASTER58_APP RASTERVIEW AVAHI_STANDIN"""
import http.client
import os
import re
import shutil
import sys
import tempfile
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import apptest as a  # noqa: E402
from cupstest import Checklist  # noqa: E402
from doors_test import web  # noqa: E402

IPP = "_ipp._tcp"
CLIENT_TYPES = ["image/pwg-raster", "image/urf", "application/pdf", "image/jpeg", "image/png", "text/plain"]


def published(log):
    """{(name, type): TXT as a dict} of the groups committed and not
    withdrawn, from the stand-in's log."""
    groups = {}
    try:
        with open(log) as f:
            lines = f.read().splitlines()
    except OSError:
        lines = []
    for line in lines:
        fields = line.split("\t")
        what, gid = fields[0], fields[1]
        if what == "group":
            groups[gid] = {"services": {}, "committed": False}
        elif what == "service" and gid in groups:
            txt = dict(s.split("=", 1) if "=" in s else (s, "") for s in fields[5:])
            groups[gid]["services"][(fields[2], fields[3])] = txt
        elif what == "commit" and gid in groups:
            groups[gid]["committed"] = True
        elif what in ("free", "reset"):
            groups.pop(gid, None)
    return {k: v for g in groups.values() if g["committed"] for k, v in g["services"].items()}


def wait_for(log, ready, seconds=15):
    """What is published once `ready(published)` holds, or at the time bound."""
    end = time.monotonic() + seconds
    while True:
        now = published(log)
        if ready(now) or time.monotonic() > end:
            return now
        time.sleep(0.05)


def create_printer(app, name, device_uri):
    """Create-Printer over IPP on 127.0.0.1, as root may; the IPP status."""
    uri = "ipp://127.0.0.1:%d/ipp/system" % app.port
    attr = a._ipp_attribute
    body = (b"\x02\x00\x00\x4c\x00\x00\x00\x01\x01" + attr(0x47, "attributes-charset", "utf-8") +
            attr(0x48, "attributes-natural-language", "en") + attr(0x45, "system-uri", uri) +
            attr(0x44, "printer-service-type", "print") + attr(0x44, "smi55357-driver", a.DRIVER) +
            attr(0x45, "smi55357-device-uri", device_uri) + b"\x04" + attr(0x42, "printer-name", name) + b"\x03")
    conn = http.client.HTTPConnection("127.0.0.1", app.port, timeout=30)
    try:
        conn.request("POST", "/ipp/system", body, {"Content-Type": "application/ipp"})
        answer = conn.getresponse().read()
    finally:
        conn.close()
    return int.from_bytes(answer[2:4], "big") if len(answer) >= 4 else None


def web_form(app, path, form):
    """Posts a web form with the session token its page carries."""
    token = re.search(r'name="session" value="([^"]+)"', web(app.port, b"GET", path.encode()))
    return web(app.port, b"POST", path.encode(), dict(form, session=token.group(1))) if token else ""


def document_formats(app, name):
    """document-format-supported, from Get-Printer-Attributes."""
    answer = a.IppConnection(app.ipp_uri(name)).answer(a.IppConnection.GET_PRINTER_ATTRIBUTES, [
        (0x44, "requested-attributes", b"document-format-supported")])[1]
    values, at, current = [], 8, None
    while at < len(answer) and answer[at] != 0x03:
        tag = answer[at]
        if tag < 0x10:
            at += 1
            continue
        n = int.from_bytes(answer[at + 1:at + 3], "big")
        current = answer[at + 3:at + 3 + n].decode() if n else current
        at += 3 + n
        v = int.from_bytes(answer[at:at + 2], "big")
        if current == "document-format-supported":
            values.append(answer[at + 2:at + 2 + v].decode())
        at += 2 + v
    return values


def check_registrations(t, app, vp, log):
    t.check("a printer added with `add` is published", (("Receipt", IPP) in wait_for(
        log, lambda p: ("Receipt", IPP) in p)), sorted(published(log)))
    # A service name is one DNS label (63 bytes); a printer's name may be longer.
    long_name = "Front_counter_receipt_printer_beside_the_espresso_machine_by_the_door"
    app.add_printer(long_name, vp.uri)
    t.check("a printer named past 63 bytes is published under the first 63", (long_name[:63], IPP) in wait_for(
        log, lambda p: (long_name[:63], IPP) in p), sorted(published(log)))
    status = create_printer(app, "Kitchen", vp.uri)
    t.check("a printer made by Create-Printer is published", status == 0 and ("Kitchen", IPP) in wait_for(
        log, lambda p: ("Kitchen", IPP) in p), "%s %s" % (status, sorted(published(log))))
    web_form(app, "/addprinter", {"printer_name": "Bar", "driver_name": a.DRIVER, "device_uri": vp.uri})
    t.check("a printer added on the web page is published", ("Bar", IPP) in wait_for(
        log, lambda p: ("Bar", IPP) in p), sorted(published(log)))

    web_form(app, "/Kitchen/config", {"dns_sd_name": "Kitchen Till", "location": "Back"})
    now = wait_for(log, lambda p: ("Kitchen Till", IPP) in p and ("Kitchen", IPP) not in p)
    t.check("a new DNS-SD name replaces the old registration",
            ("Kitchen Till", IPP) in now and ("Kitchen", IPP) not in now and
            now[("Kitchen Till", IPP)].get("note") == "Back", sorted(now))
    p = app.run("delete", "-d", "Bar")
    now = wait_for(log, lambda p: ("Bar", IPP) not in p)
    t.check("a deleted printer is withdrawn", p.returncode == 0 and not [k for k in now if k[0] == "Bar"],
            sorted(now))

    txt = now.get(("Receipt", IPP), {})
    pdl = txt.get("pdl", "").split(",")
    formats = document_formats(app, "Receipt")
    t.check("pdl lists whole types, each once, those clients look for among them",
            all(x in CLIENT_TYPES or x in formats for x in pdl) and len(pdl) == len(set(pdl)) and
            all(x in pdl for x in CLIENT_TYPES) and len(txt.get("pdl", "")) <= 251,
            "%s / %s" % (txt.get("pdl"), formats))


def main():
    binary, rasterview, standin = sys.argv[1:4]
    t = Checklist()
    folder = tempfile.mkdtemp(prefix="raster58-dnssd-")
    vp = app = None
    log = os.path.join(folder, "dnssd.log")
    try:
        vp = a.VirtualPrinter(rasterview, os.path.join(folder, "jobs"))
        app = a.App(binary, os.path.join(folder, "app"))
        app.env.update(LD_PRELOAD=os.path.abspath(standin), AVAHI_STANDIN_LOG=log)
        os.makedirs(app.folder)
        app.start()
        app.add_printer("Receipt", vp.uri)
        check_registrations(t, app, vp, log)
        app.stop()
        os.remove(log)
        app.start()
        now = wait_for(log, lambda p: ("Receipt", IPP) in p and ("Kitchen Till", IPP) in p)
        t.check("at start the printers of the state are published under their names",
                ("Receipt", IPP) in now and ("Kitchen Till", IPP) in now and
                not [k for k in now if k[0] in ("Bar", "Kitchen")], sorted(now))
        t.check("the server lives", app.process.poll() is None)
    except Exception as e:  # a failure to start is a failed check, not a crash
        t.check("the test runs", False, repr(e))
    finally:
        a.stop_all(app, vp)
        shutil.rmtree(folder, ignore_errors=True)
    return t.finish()


if __name__ == "__main__":
    sys.exit(main())
