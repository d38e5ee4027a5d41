#!/usr/bin/env python3
"""The printer application's state on the disk. The printer, its settings
and the next job number come back after a restart, each time: after a
kill -9 right after `add` and after `modify`, a full disk during a save (a
small tmpfs, as root), a state file cut at every 64th byte, and kills
landing during saves. Job names that would rewrite the state (line breaks,
a printer block, quotes, backslashes, NULs, 10 KB) come back as sent and
change nothing else; a job the server died processing is aborted, not
taken up again; job numbers are never given twice. And the files it may
write: file:// devices only under the folder named.

usage: state_test.py RASTER58_APP RASTERVIEW"""
import csv
import os
import random
import re
import shutil
import socket
import struct
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


def job_name(app, printer, job_id):
    """The job-name Get-Job-Attributes answers, as bytes; None without one."""
    conn = a.IppConnection(app.ipp_uri(printer))
    try:
        answer = conn.answer(0x09, [(0x21, "job-id", struct.pack(">i", job_id)),
                                    (0x44, "requested-attributes", b"job-name")])[1]
    finally:
        conn.close()
    at = answer.find(b"\x42\x00\x08job-name")
    if at < 0:
        return None
    size = struct.unpack(">H", answer[at + 11:at + 13])[0]
    return answer[at + 13:at + 13 + size]


def check_names(t, app, printer, picture):
    """Names that, written raw or cut, would add or end printers and
    settings in the state file."""
    app.add_printer("Second", printer.uri)
    block = ('x"\n</Printer>\n<Printer id="2" name="Second" did="" uri="socket://127.0.0.1:9" '
             'driver="raster58">\nAdminGroup nobody\n<Printer ')
    names = [block, "two\nlines\r\n", 'quote " back\\slash \\" end', "tab\tdel\x7f\\012",
             "nul\x00after", "</Printer>", "L" * 10240, "L" * 5000 + "\n<Printer id=\"3\" name=\"Evil\""]
    with open(picture, "rb") as f:
        document = f.read()
    sent = {}
    conn = a.IppConnection(app.ipp_uri(PRINTER))
    try:
        for name in names:
            answer = conn.answer(2, [(0x42, "job-name", name.encode()), (0x49, "document-format", b"image/png")],
                                 document=document)[1]
            at = answer.find(b"\x21\x00\x06job-id\x00\x04")
            if at > 0:
                sent[struct.unpack(">i", answer[at + 11:at + 15])[0]] = name.encode()
            printer.wait_job(30)
    finally:
        conn.close()
    before = {i: job_name(app, PRINTER, i) for i in sent}
    app.kill()
    log_start = len(app.log())
    back(t, app, "job names that rewrite the state")
    after = {i: job_name(app, PRINTER, i) for i in sent}
    log = app.log()[log_start:]
    # IPP strings end at a NUL inside PAPPL: what it answered before counts.
    t.check("%d job names with line breaks, printer blocks, quotes, NULs and 10 KB come back as sent" % len(names),
            len(sent) == len(names) and after == before and
            all(before[i] == n.split(b"\0")[0] for i, n in sent.items()),
            "sent %d; changed: %s" % (len(sent), [(sent[i][:40], (before[i] or b"")[:40], (after[i] or b"")[:40])
                                                  for i in sent if after[i] != before[i] or
                                                  before[i] != sent[i].split(b"\0")[0]][:3]))
    second = app.run("submit", "-d", "Second", picture)
    got = printer.wait_job(30)
    with open(os.path.join(app.folder, "raster58-app.state"), errors="replace") as f:
        admin = re.findall(r"^AdminGroup.*", f.read(), re.M)  # none was set
    t.check("the second printer, its device and the admin group are as they were, nothing dropped or added",
            second.returncode == 0 and got is not None and "Evil" not in app.run("printers").stdout.decode() and
            not admin and not re.search(r"dropping|Bad (printer|Job)|Unknown (printer )?directive|damaged", log),
            "submit: %s; printed: %s; admin %s; log: %s" % (second.stderr.decode(), got, admin,
                                                 re.findall(r".*(?:dropping|Bad|Unknown|damaged).*", log)[:3]))
    app.run("delete", "-d", "Second")


def check_interrupted(t, app, folder):
    """A job the server was killed processing is aborted at the restart."""
    quiet = socket.socket()  # a device that never answers: the job stays processing
    quiet.bind(("127.0.0.1", 0))
    app.add_printer("Stuck", "socket://127.0.0.1:%d" % quiet.getsockname()[1])
    quiet.close()
    text = os.path.join(folder, "note.txt")
    with open(text, "w") as f:
        f.write("hello\n")
    job = a.print_file(app.ipp_uri("Stuck"), text, "text/plain")
    state = os.path.join(app.folder, "raster58-app.state")
    end = time.monotonic() + 20
    saved = False
    while not saved and time.monotonic() < end:  # the processing job is on the disk
        with open(state, errors="replace") as f:
            saved = re.search(r'^Job (?=.* id="%s")(?=.* state="5")' % job, f.read(), re.M) is not None
        time.sleep(0.1)
    app.kill()
    app.start()
    got = a.job_state(app.ipp_uri("Stuck"), job) if isinstance(job, int) else None
    t.check("a job the server died processing is aborted at the restart, with its reason",
            saved and got is not None and got[0] == "aborted" and "aborted-by-system" in got[1] and
            "stopped while the job was processing" in got[2], "job %s saved processing: %s; now %s" % (job, saved, got))
    app.run("delete", "-d", "Stuck")


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
    # What a writer that let a value end its line left: whole by its byte
    # count, broken inside.
    header, end = b"# raster58-app state\n", whole.rfind(b"# end: ")
    opened = whole.index(b"\n", whole.index(b"<Printer ")) + 1
    block = b'<Printer id="1" name="Receipt" did="" uri="socket://127.0.0.1:9" driver="raster58">\n</Printer>\n'
    for what, body in [("a value left open", whole[len(header):opened] + b'Job id="99" name="x\n</Printer>\n' +
                        block + whole[opened:end]),
                       # newer than its backup: its job numbers are kept
                       ("a printer listed twice", re.sub(rb"NextJobId \d+", b"NextJobId 500",
                                                         whole[len(header):end]) + block),
                       ("a line that is no setting", whole[len(header):opened] + b"<Evil>\n" + whole[opened:end])]:
        text = header + body
        with open(state, "wb") as f:
            f.write(text + b"# end: %d bytes\n" % len(text))
        with open(state + ".bak", "wb") as f:
            f.write(backup)
        log_start = len(app.log())
        try:
            app.start()
            got = settings(app)
            job = a.IppConnection(app.ipp_uri(PRINTER)).answer(0x05)[1]  # Create-Job: its number
            at = job.find(b"\x21\x00\x06job-id\x00\x04")
            job = struct.unpack(">i", job[at + 11:at + 15])[0] if at > 0 else None
            app.run("cancel", "-d", PRINTER, "-j", str(job))
        finally:
            app.stop()
        warned = re.search(r"is damaged \(.*\); loading its backup", app.log()[log_start:])
        t.check("a state with %s: damage, the backup is loaded" % what, got == SETTINGS and warned and job and
                (job > 500 or b"NextJobId 500" not in body), "got %s, job %s" % (got, job))
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
        with open(os.path.join(folder, "picture.png"), "rb") as f:
            document = f.read()
        conn = a.IppConnection(app.ipp_uri(PRINTER))
        ids, end = [], time.monotonic() + 120
        while len(ids) < 150 and time.monotonic() < end:
            status, job = conn.print_job(document, "image/png", "om_58x100mm_58x100mm")
            if job:
                ids.append(job)
        conn.close()
        app.kill()
        os.unlink(filler)
        back(t, app, "full disk, then kill -9")
        after = submit(app, os.path.join(folder, "picture.png"))
        t.check("full disk, 150 jobs, kill -9: the next job number was never given",
                len(ids) == 150 and isinstance(after, int) and after > max(ids),
                "%d jobs, the last %s; then %s" % (len(ids), ids[-1:], after))
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
    check_planted(t, app, folder)


def check_planted(t, app, folder):
    """What someone who may write in the folder leaves as NAME.prn for a job
    named NAME, or puts in place of a folder a printer writes in: never
    followed out of it, nor written."""
    files = os.path.join(folder, "files")
    elsewhere = os.path.join(folder, "elsewhere")
    secret = os.path.join(elsewhere, "secret")
    with open(secret, "w") as f:
        f.write("root's own\n")
    with open(os.path.join(folder, "picture.png"), "rb") as f:
        document = f.read()
    os.makedirs(os.path.join(files, "sub"))

    def swap(d):
        os.rename(d, d + ".old")
        os.symlink(elsewhere, d)
    for i, (name, sub, plant, written) in enumerate([
            ("Link", "", lambda d: os.symlink(secret, os.path.join(d, "Link.prn")), None),
            ("Hard", "", lambda d: os.link(secret, os.path.join(d, "Hard.prn")), None),
            ("Swapped", "sub", swap, None),
            ("../Up", "", None, ".._Up.prn"), ("Plain", "", None, "Plain.prn")]):
        printer, device = "Planted%d" % i, os.path.join(files, sub) if sub else files
        app.run("add", "-d", printer, "-m", "raster58", "-v", "file://" + device)
        if plant:
            plant(device)
        conn = a.IppConnection(app.ipp_uri(printer))
        answer = conn.answer(2, [(0x42, "job-name", name.encode()), (0x49, "document-format", b"image/png")],
                             document=document)[1]
        conn.close()
        at = answer.find(b"\x21\x00\x06job-id\x00\x04")
        job = struct.unpack(">i", answer[at + 11:at + 15])[0] if at > 0 else None
        end = time.monotonic() + 30
        if written:
            state = a.wait_job_done(app.ipp_uri(printer), job, 30) if job else None
            path = os.path.join(files, written)
            ok = state is not None and state[0] == "completed" and os.path.getsize(path) > 0
        else:  # the open fails, saying why, and is tried again: the job is cancelled
            target = device if sub else os.path.join(device, name + ".prn")
            refused = r"Refusing to write (in )?\\?'%s" % re.escape(target)
            while not re.search(refused, app.log()) and time.monotonic() < end:
                time.sleep(0.1)
            ok = re.search(refused, app.log()) is not None
            app.run("cancel", "-d", printer, "-j", str(job))
        with open(secret) as f:
            kept = f.read() == "root's own\n"
        t.check("file device, a job named %s: %s" % (name, "written as %s" % written if written else "refused"),
                ok and kept and sorted(os.listdir(elsewhere)) == ["secret"] and
                not os.path.exists(os.path.join(folder, "Up.prn")), "job %s; secret kept: %s" % (job, kept))


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
        app.start()
        check_names(t, app, printer, picture)
        check_interrupted(t, app, folder)
        check_full_disk(t, binary, rasterview, folder)
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
