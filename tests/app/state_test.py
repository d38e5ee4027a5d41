#!/usr/bin/env python3
"""The printer application's state on the disk. The printer, its settings
and the next job number come back after a restart, each time: after a
kill -9 right after `add` and after `modify`, a full disk during a save (a
small tmpfs, as root), a state file cut at every 64th byte, and kills
landing during saves. And the files it may write: file:// devices only
under the folder named.

usage: state_test.py RASTER58_APP RASTERVIEW"""
import csv
import os
import random
import re
import shutil
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import apptest as a  # noqa: E402
from cupstest import Checklist  # noqa: E402

PRINTER = "Receipt"
SETTINGS = {"media-default": "om_58x100mm_58x100mm", "media-ready": "om_58x100mm_58x100mm",
            "printer-location": "Counter 2", "printer-organizational-unit": "Till"}
MODIFY = ["-o", "media-ready=om_58x100mm_58x100mm", "-o", "printer-location='Counter 2'",
          "-o", "printer-organizational-unit=Till"]
ADDED = {"media-default": "om_58x297mm_58x297mm", "media-ready": "om_58x297mm_58x297mm",
         "printer-location": "", "printer-organizational-unit": ""}


def settings(app):
    """The printer's default and ready media; None without the printer."""
    p = a.ipptool("-T", "10", "-c", app.ipp_uri(PRINTER), os.path.join(a.HERE, "get-printer.test"))
    rows = list(csv.reader(p.stdout.decode(errors="replace").strip().splitlines()))
    return dict(zip(rows[0], rows[1])) if p.returncode == 0 and len(rows) == 2 else None


def back(t, app, name, want=SETTINGS):
    """Restarts the app; checks the printer and its settings are back."""
    app.start()
    got = settings(app)
    return t.check("%s: the printer and its settings are back" % name, got == want, "got %s" % got)


def submit(app, picture):
    p = app.run("submit", "-d", PRINTER, picture)
    m = re.match(rb"%s-(\d+)" % PRINTER.encode(), p.stdout)
    return int(m.group(1)) if m else (p.stdout + p.stderr).decode()


def stop_spawned(app):
    """A client that finds its server gone starts a private one (PAPPL's
    auto-start); with ours killed, whatever answers on the socket is that,
    and is asked to shut down."""
    end = time.monotonic() + 15
    while app.run("status").stdout.startswith(b"Running") and time.monotonic() < end:
        app.run("shutdown")
        time.sleep(0.1)


def check_kills(t, app, printer, picture):
    app.add_printer(PRINTER, printer.uri)
    app.kill()
    back(t, app, "kill -9 right after add", ADDED)
    p = app.run("modify", "-d", PRINTER, *MODIFY)
    app.kill()
    back(t, app, "kill -9 right after modify")
    first = submit(app, picture)
    printer.wait_job(30)
    app.kill()
    app.start()
    second = submit(app, picture)
    printer.wait_job(30)
    t.check("kill -9 right after a job: its number is not given again",
            isinstance(first, int) and isinstance(second, int) and second > first,
            "jobs %s then %s; modify: %s" % (first, second, p.stderr.decode()))


def check_cuts(t, app):
    """Each cut of the state file falls back to its backup, with a warning."""
    app.run("modify", "-d", PRINTER, "-o", "print-darkness=70")  # the backup holds SETTINGS
    app.stop()
    state = os.path.join(app.folder, "raster58-app.state")
    with open(state, "rb") as f:
        whole = f.read()
    with open(state + ".bak", "rb") as f:
        backup = f.read()
    bad = []
    for n in range(0, len(whole), 64):
        with open(state, "wb") as f:
            f.write(whole[:n])
        with open(state + ".bak", "wb") as f:
            f.write(backup)
        log_start = len(app.log())
        try:
            app.start()
            got = settings(app)
        finally:
            app.stop()
        warned = re.search(r"'%s' is damaged \(.*\); loading its backup" % re.escape(state), app.log()[log_start:])
        if got != SETTINGS or not warned:
            bad.append("cut at %d: %s%s" % (n, got, "" if warned else ", no warning"))
    t.check("a state cut at each of %d places: the backup is loaded, with a warning" % len(range(0, len(whole), 64)),
            not bad, "; ".join(bad[:4]))
    app.start()
    got = settings(app)
    app.stop()
    t.check("after the backup was loaded, a restart finds the state whole", got == SETTINGS, "got %s" % got)
    with open(state, "wb") as f:
        f.write(whole)


def check_kills_during_saves(t, app):
    bad, damaged = [], 0
    for i in range(12):
        app.start()
        modify = subprocess.Popen([app.binary, "modify", "-d", PRINTER, "-o", "print-darkness=%d" % (10 + i)],
                                  env=app.env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        time.sleep(random.uniform(0, 0.03))
        app.kill()
        modify.wait(30)
        stop_spawned(app)
        log_start = len(app.log())
        app.start()
        got = settings(app)
        damaged += "is damaged" in app.log()[log_start:]
        app.stop()
        if got != SETTINGS:
            bad.append("kill %d: %s" % (i, got))
    t.check("kills during saves: the printer and its settings are back, never from a damaged file",
            not bad and not damaged, "; ".join(bad[:4]) + " damaged %d times" % damaged)


def check_full_disk(t, binary, rasterview, folder):
    """A save on a full disk keeps the old file; after a crash and room
    made again, the printer is back."""
    if os.geteuid() != 0:
        print("note: the full disk is a tmpfs of its own, mounted as root only; not tried")
        return
    disk = os.path.join(folder, "disk")
    os.makedirs(disk)
    if subprocess.run(["mount", "-t", "tmpfs", "-o", "size=64k", "tmpfs", disk]).returncode:
        t.check("a small tmpfs is mounted", False, "mount failed")
        return
    app = printer = None
    try:
        state = os.path.join(disk, "raster58-app.state")
        printer = a.VirtualPrinter(rasterview, os.path.join(folder, "jobs-full"))
        app = a.App(binary, os.path.join(folder, "full"), options=["state-file=" + state])
        os.makedirs(app.folder)
        app.start()
        app.add_printer(PRINTER, printer.uri)
        app.run("modify", "-d", PRINTER, *MODIFY)
        with open(state, "rb") as f:
            before = f.read()
        filler = os.path.join(disk, "filler")
        fd = os.open(filler, os.O_WRONLY | os.O_CREAT)
        try:
            while os.write(fd, b"\0" * 4096):
                pass
        except OSError:
            pass
        os.close(fd)
        app.run("modify", "-d", PRINTER, "-o", "media-ready=om_58x80mm_58x80mm")
        with open(state, "rb") as f:
            kept = f.read() == before
        t.check("full disk: the failed save keeps the old file and logs an error",
                kept and "Unable to save the state to '%s'" % state in app.log(), "kept: %s" % kept)
        app.kill()
        os.unlink(filler)
        back(t, app, "full disk, then kill -9")
    finally:
        a.stop_all(app, printer)
        subprocess.run(["umount", disk])


def check_file_devices(t, app, folder):
    outside = os.path.join(folder, "elsewhere")
    os.makedirs(outside)
    os.symlink(outside, os.path.join(folder, "files", "link"))
    open(os.path.join(folder, "files", "receipt.prn"), "wb").close()  # PAPPL takes only files that exist
    cases = [  # device, accepted
        ("file://" + os.path.join(folder, "files"), True),
        ("file://" + os.path.join(folder, "files", "receipt.prn"), True),
        ("file://" + outside, False),
        ("file://" + os.path.join(folder, "files", "..", "elsewhere"), False),
        ("file://" + os.path.join(folder, "files", "link"), False),
        ("file:///tmp", False),
    ]
    for i, (uri, accepted) in enumerate(cases):
        p = app.run("add", "-d", "File%d" % i, "-m", "raster58", "-v", uri)
        t.check("file device %d %s: %s" % (i, uri, "accepted" if accepted else "refused"),
                (p.returncode == 0) == accepted and (accepted or b"file:// devices may only write under" in p.stderr),
                p.stderr.decode())


def main():
    binary, rasterview = sys.argv[1:3]
    started = time.monotonic()
    t = Checklist()
    folder = tempfile.mkdtemp(prefix="raster58-state-")
    picture = os.path.join(folder, "picture.png")
    with open(picture, "wb") as f:
        f.write(a.png(64, 32, [(0, 0, 16, 16)]))
    printer = app = None
    try:
        printer = a.VirtualPrinter(rasterview, os.path.join(folder, "jobs"))
        files = os.path.join(folder, "files")
        os.makedirs(files)
        app = a.App(binary, os.path.join(folder, "app"), options=["file-device-folder=" + files])
        os.makedirs(app.folder)
        app.start()
        check_kills(t, app, printer, picture)
        check_cuts(t, app)
        check_kills_during_saves(t, app)
        check_full_disk(t, binary, rasterview, folder)
        app.start()
        check_file_devices(t, app, folder)
    except Exception as e:  # a failure to start is a failed check, not a crash
        t.check("the test runs", False, repr(e))
    finally:
        a.stop_all(app, printer)
        shutil.rmtree(folder, ignore_errors=True)
    print("note: %.1f s" % (time.monotonic() - started))
    return t.finish()


if __name__ == "__main__":
    sys.exit(main())
