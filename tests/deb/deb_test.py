#!/usr/bin/env python3
"""The Debian packages as a user meets them. `make deb` in a clean clone
builds them, lintian checks them, apt-get installs them on this system;
the installed filter and PPD then print as the build tree's do (cupsfilter,
and a private cupsd on the system's ServerBin and DataDir), the installed
printer application lists its driver, packages of the next version upgrade
them, and apt-get purge leaves nothing behind. The printer application's
service: its unit rated below 4 by systemd-analyze, its command run by hand
as its user prints and keeps its state (an old state moved in), and the
purge stops it. It changes the system, so it runs as root only, and it
purges what it installed however it ends.

usage: deb_test.py SOURCE_DIR CMAKE BUILD_DIR RASTERVIEW"""
import glob
import os
import re
import shutil
import socket
import subprocess
import sys
import tempfile
import time
import types

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "cups"))
import cupstest as c  # noqa: E402
import cupsd_test as d  # noqa: E402

SKIP = 77
PPD = "/usr/share/ppd/oemdll/oemdll58.ppd"
APP = "/usr/bin/raster58-app"
UNIT = "/lib/systemd/system/raster58-app.service"
STATE = "/var/lib/raster58-app/raster58-app.state"
LEGACY_STATE = "/var/lib/raster58-app.state"  # where versions running as root kept it
SOCKET = "/run/raster58-app.sock"
LEGACY = ("DefaultPrinterID 1\nNextPrinterID 2\nUUID urn:uuid:6f1c2a52-0000-3000-8000-000000000001\n"
          '<Printer did="" driver="raster58" id="1" name="Legacy" uri="socket://127.0.0.1:9">\n</Printer>\n')
APT_ENV = dict(os.environ, DEBIAN_FRONTEND="noninteractive")


def run(*args, **kw):
    return subprocess.run(list(args), capture_output=True, **kw)


def apt_get(*args):
    # One apt at a time on this machine.
    lock = ["flock", "/tmp/apt.lock"] if shutil.which("flock") else []
    return run(*(lock + ["apt-get", "-y", "-q", "--no-install-recommends"] + list(args)), env=APT_ENV, timeout=300)


def read(path):
    with open(path, "rb") as f:
        return f.read()


def control_packages(source):
    with open(os.path.join(source, "debian", "control")) as f:
        return re.findall(r"^Package: (\S+)", f.read(), re.M)


def installed(package):
    p = run("dpkg-query", "-W", "-f", "${Status} ${Version}", package)
    fields = p.stdout.decode().split()
    return fields[3] if p.returncode == 0 and fields[:3] == ["install", "ok", "installed"] else None


def deb_field(deb, field):
    return run("dpkg-deb", "-f", deb, field).stdout.decode().strip()


def deb_paths(deb):
    p = run("dpkg-deb", "--fsys-tarfile", deb)
    t = run("tar", "-t", input=p.stdout)
    return {os.path.normpath("/" + name) for name in t.stdout.decode().splitlines() if name not in ("./", ".")}


def owned(package):
    return [p for p in run("dpkg", "-L", package).stdout.decode().splitlines() if p.startswith("/") and p != "/."]


def project_version(clone):
    with open(os.path.join(clone, "CMakeLists.txt")) as f:
        return re.search(r"project\(oemdll VERSION ([0-9.]+)", f.read()).group(1)


def bump(clone):
    """The next patch version, written into the clone's CMakeLists.txt."""
    path = os.path.join(clone, "CMakeLists.txt")
    with open(path) as f:
        text = f.read()
    old = project_version(clone)
    parts = old.split(".")
    new = ".".join(parts[:-1] + [str(int(parts[-1]) + 1)])
    with open(path, "w") as f:
        f.write(text.replace("project(oemdll VERSION %s" % old, "project(oemdll VERSION %s" % new))
    return new


class Packages:
    """One build of the packages, kept in a folder of its own."""

    def __init__(self, t, clone, into):
        self.version = project_version(clone)
        log = into + ".log"
        with open(log, "wb") as f:
            # A make of its own, outside the jobserver of any make running ctest.
            env = {k: v for k, v in os.environ.items() if k not in ("MAKEFLAGS", "MFLAGS", "MAKELEVEL")}
            p = subprocess.run(["make", "-C", clone, "deb", "JOBS=%d" % os.cpu_count()],
                               stdout=f, stderr=subprocess.STDOUT, env=env, timeout=300)
        ok = p.returncode == 0
        if ok:
            shutil.move(os.path.join(clone, "dist", "deb"), into)
        self.debs = sorted(glob.glob(os.path.join(into, "*.deb")))
        self.names = [deb_field(deb, "Package") for deb in self.debs]
        with open(log, errors="replace") as f:
            tail = "".join(f.readlines()[-30:])
        self.ok = t.check("make deb builds version %s" % self.version, ok and self.debs, tail)
        if self.ok:
            versions = {deb_field(deb, "Version") for deb in self.debs}
            t.check("packages carry the project's version %s" % self.version, versions == {self.version},
                    "versions %s" % sorted(versions))
        self.folder = into

    def install(self, t, installed_paths=frozenset()):
        """Installs them, noting which of their paths the system had before
        (beside those of the packages installed now)."""
        self.paths = {p for deb in self.debs for p in deb_paths(deb)}
        self.before = {p for p in self.paths - installed_paths if os.path.lexists(p)}
        p = apt_get("install", *self.debs)
        return t.check("apt-get installs %s" % " ".join(self.names), p.returncode == 0,
                       (p.stdout + p.stderr).decode()[-1500:])


def print_checks(t, inst, base, rasterview):
    """The installed driver prints as the build tree's, with and without a
    daemon."""
    pdf = os.path.join(base, "two.pdf")
    with open(pdf, "wb") as f:
        f.write(c.pdf([[(10, 36, 50, 20)], [(300, 500, 60, 31)]], 58, 80))
    os.chmod(pdf, 0o644)
    cmd = ["cupsfilter", "-e", "-m", "printer/foo", "-o", "PageSize=58x80mm"]
    want = run(*(cmd + ["-p", inst.ppd, pdf]), env=dict(os.environ, CUPS_SERVERBIN=inst.serverbin), timeout=60)
    env = {k: v for k, v in os.environ.items() if k != "CUPS_SERVERBIN"}
    got = run(*(cmd + ["-p", PPD, pdf]), env=env, timeout=60)
    t.check("installed filter and PPD print as the build tree's", got.returncode == 0 and want.stdout
            and got.stdout == want.stdout, "%d bytes, want %d; %s" % (len(got.stdout), len(want.stdout),
                                                                     got.stderr.decode()[-300:]))

    printer = cupsd = None
    try:
        recv = os.path.join(base, "recv")
        printer = subprocess.Popen([rasterview, "--listen", "127.0.0.1:0", "--out", recv, "--idle-timeout", "60"],
                                   stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        jobs = d.Lines(printer.stdout)
        m = d.Lines(printer.stderr).wait(r"listening on 127\.0\.0\.1:(\d+)", 10)
        if not t.check("virtual printer listens", m is not None, "no listening line"):
            return
        cupsd = d.Cupsd(types.SimpleNamespace(base=os.path.join(base, "cupsd"), serverbin="/usr/lib/cups"))
        if not t.check("private cupsd on the system's ServerBin starts", cupsd.running(10), "not running"):
            return
        models = cupsd.run("lpinfo", "-h", cupsd.host, "-m", timeout=30).stdout.decode().splitlines()
        model = next((line.split()[0] for line in models if line.split()[0].endswith("oemdll58.ppd")), None)
        if not t.check("lpinfo -m lists the installed PPD", model == "lsb/usr/oemdll/oemdll58.ppd",
                       "got %s" % model):
            return
        device = "socket://127.0.0.1:%s/?snmp=false" % m.group(1)
        p = cupsd.run("lpadmin", "-h", cupsd.host, "-p", d.QUEUE, "-E", "-v", device, "-m", model)
        if not t.check("lpadmin makes a queue with it", p.returncode == 0, p.stderr.decode()):
            return
        job = cupsd.submit(pdf, "PageSize=58x80mm")
        seen = jobs.wait(r"job (\d+): .*", 30) if job else None
        received = b""
        if seen:
            with open(os.path.join(recv, "job-%04d.prn" % int(seen.group(1))), "rb") as f:
                received = f.read()
        t.check("the queue prints the PDF to the same stream", received and received == got.stdout,
                "%s; %d bytes" % (seen.group(0) if seen else "job %s, nothing received" % job, len(received)))
    finally:
        if cupsd:
            cupsd.stop()
        d.stop(printer)



def app_checks(t, base, rasterview, picture):
    """The installed printer application lists its driver, and a private
    instance of it prints a picture to the virtual printer."""
    sys.path.insert(0, os.path.join(HERE, "..", "app"))
    import apptest
    p = run(APP, "drivers", timeout=30)
    t.check("installed printer application lists its driver", p.returncode == 0 and
            re.search(rb"^raster58\b", p.stdout, re.M), (p.stdout + p.stderr).decode()[-300:])
    printer = app = None
    try:
        printer = apptest.VirtualPrinter(rasterview, os.path.join(base, "app-recv"))
        app = apptest.App(APP, os.path.join(base, "app"))
        app.start()
        app.add_printer("Receipt", printer.uri)
        p = app.run("submit", "-d", "Receipt", picture)
        job = printer.wait_job(30) if p.returncode == 0 else None
        t.check("installed printer application prints", job is not None and job[1] > 0 and job[2] == "ok",
                "%s %s" % (job, (p.stdout + p.stderr).decode()[-300:]))
    except RuntimeError as e:
        t.check("installed printer application prints", False, str(e))
    finally:
        apptest.stop_all(app, printer)

    return service_checks(t, base, rasterview, picture)


def unit():
    """The [Service] settings of the installed unit, continued lines joined."""
    with open(UNIT) as f:
        text = f.read().replace("\\\n", " ")
    return dict(re.findall(r"^(\w+)=(.*)$", text.split("[Service]")[1].split("\n[")[0], re.M))


def service_checks(t, base, rasterview, picture):
    """The unit's command, run by hand as its user on a port of ours: it
    loads the state an older version left, prints, saves; it is left
    running for the purge to stop. Returns it."""
    import apptest  # on the path since app_checks
    p = run("systemd-analyze", "security", "--offline=yes", UNIT)
    m = re.search(rb"Overall exposure level for \S+: ([0-9.]+)", p.stdout)
    t.check("systemd-analyze rates the unit below 4", m and float(m.group(1)) < 4, p.stdout.decode()[-600:])
    env = {k: v for k, v in os.environ.items() if k not in ("SNAP_COMMON", "XDG_CONFIG_HOME", "TMPDIR")}
    env["HOME"] = os.path.dirname(STATE)

    def running():
        return run(APP, "status", env=env, timeout=30).stdout.startswith(b"Running")

    if running():
        print("note: an instance on %s runs already; the service's command is not tried" % SOCKET)
        return None
    u = unit()
    groups = ",".join(u.get("SupplementaryGroups", "").split())
    as_user = ["setpriv", "--reuid=" + u["User"], "--regid=" + u["Group"], "--groups=" + groups, "--inh-caps=-all"]
    command = u["ExecStart"].split() + ["-o", "listen-hostname=127.0.0.1", "-o", "server-port=%d" % d.free_port()]
    # Its log in a file: a pipe nobody reads while the checks run could fill.
    log_path = os.path.join(base, "service.log")
    with open(log_path, "wb") as log:
        server = subprocess.Popen(as_user + command, env=env, stdout=subprocess.DEVNULL, stderr=log)

    def log_tail():
        with open(log_path, "rb") as f:
            return f.read().decode(errors="replace")[-1500:]
    printer = None
    try:
        end = time.monotonic() + 60
        while time.monotonic() < end and server.poll() is None and not running():
            time.sleep(0.1)
        if not t.check("root's commands reach the service through %s" % SOCKET, running(),
                       "%s is %s" % (SOCKET, os.readlink(SOCKET) if os.path.islink(SOCKET) else
                                     "a socket" if os.path.exists(SOCKET) else "missing")):
            return server
        listed = run(APP, "printers", env=env, timeout=30).stdout.decode().split()
        t.check("the service loads the state an older version left in %s" % LEGACY_STATE, "Legacy" in listed,
                "printers: %s" % listed)
        printer = apptest.VirtualPrinter(rasterview, os.path.join(base, "service-recv"))
        p = run(APP, "add", "-d", "Receipt", "-m", "raster58", "-v", printer.uri, env=env, timeout=30)
        q = run(APP, "submit", "-d", "Receipt", picture, env=env, timeout=30)
        job = printer.wait_job(30) if p.returncode == q.returncode == 0 else None
        t.check("the unit's user %s prints to a socket printer" % u["User"], job is not None and job[2] == "ok",
                "%s %s" % (job, (p.stderr + q.stderr).decode()[-300:]))
        owner = os.stat(STATE).st_uid if os.path.exists(STATE) else None
        t.check("the unit's user writes its state in %s" % STATE,
                owner is not None and owner == int(run("id", "-u", u["User"]).stdout or -1), "owner %s" % owner)
    except subprocess.TimeoutExpired as e:
        t.check("the service's command answers", False, "%s; its log: %s" % (e, log_tail()))
    finally:
        if printer:
            printer.stop()
    if server.poll() is not None:
        t.check("the service's command keeps running", False, log_tail())
        return None
    return server


def upgrade_checks(t, old, new, old_files):
    versions = {name: installed(name) for name in new.names}
    t.check("upgrade: every package at %s" % new.version, set(versions.values()) == {new.version}, str(versions))
    version = re.search(rb'^\*FileVersion: "(.*)"', read(PPD), re.M) if os.path.isfile(PPD) else None
    t.check("upgrade: the PPD is the new one", version and version.group(1).decode() == new.version,
            "FileVersion %s" % (version.group(1) if version else "missing"))
    # Every file as the new packages hold it, byte for byte.
    unpacked = os.path.join(new.folder, "unpacked")
    for deb in new.debs:
        run("dpkg-deb", "-x", deb, unpacked)
    differ = []
    for folder, _, files in os.walk(unpacked):
        for name in files:
            path = os.path.join(folder, name)
            system = "/" + os.path.relpath(path, unpacked)
            if not os.path.islink(path) and not (os.path.isfile(system) and read(system) == read(path)):
                differ.append(system)
    t.check("upgrade: installed files are the new packages'", not differ, " ".join(differ[:5]))
    new_files = {p for name in new.names for p in owned(name)}
    left = [p for p in old_files - new_files if p not in old.before and os.path.lexists(p)]
    t.check("upgrade: nothing left of the old files", not left, " ".join(left[:5]))


def purge_checks(t, builds, files):
    before = set().union(*(b.before for b in builds))
    left = sorted(p for p in files if p not in before and os.path.lexists(p))
    t.check("purge: every installed file is gone", not left, " ".join(left[:8]))
    names = sorted({n for b in builds for n in b.names})
    t.check("purge: no package left installed", not any(installed(n) for n in names), "")
    running = []
    for exe in glob.glob("/proc/[0-9]*/exe"):
        try:
            target = os.readlink(exe)
        except OSError:
            continue
        if target.replace(" (deleted)", "") in files:
            running.append("%s %s" % (exe.split("/")[2], target))
    t.check("purge: nothing of theirs left running", not running, " ".join(running))
    if APP in files:
        left = [p for p in (os.path.dirname(STATE), LEGACY_STATE, "/var/spool/raster58-app", SOCKET,
                            os.path.dirname(SOCKET) + "/raster58-app") if os.path.lexists(p)]
        t.check("purge: the application's state, spool and socket are gone", not left, " ".join(left))
        t.check("purge: the service's user is gone", run("getent", "passwd", "raster58-app").returncode != 0, "")
    units = {os.path.basename(p) for p in files if p.endswith(".service")}
    traces = [p for u in units for root in ("/etc/systemd", "/var/lib/systemd")
              for p in glob.glob(os.path.join(root, "**", u + "*"), recursive=True)]
    t.check("purge: no trace of the service under systemd's folders", not traces, " ".join(traces))


def main():
    source, cmake, build, rasterview = sys.argv[1:5]
    if os.geteuid() != 0:
        print("SKIP: installs and purges Debian packages on this system; run as root (CI does)")
        return SKIP
    if run("git", "-C", source, "rev-parse", "HEAD").returncode != 0:
        print("SKIP: %s is not a git checkout to clone" % source)
        return SKIP
    present = [n for n in control_packages(source) if installed(n)]
    if present:
        print("SKIP: %s installed already; this test would purge it: apt-get purge it first" % " ".join(present))
        return SKIP

    started = time.monotonic()
    t = c.Checklist()
    base = tempfile.mkdtemp(prefix="oemdll-deb-", dir="/tmp")
    os.chmod(base, 0o755)
    inst = c.Install(cmake, build)
    builds, files = [], set()
    service = []

    def steps():
        clone = os.path.join(base, "src")
        p = run("git", "clone", "-q", source, clone)
        if not t.check("git clone of the checkout", p.returncode == 0, p.stderr.decode()):
            return
        old = Packages(t, clone, os.path.join(base, "deb-old"))
        if not old.ok:
            return
        p = run("lintian", *(old.debs + glob.glob(os.path.join(old.folder, "debug", "*.deb"))), timeout=300)
        tags = p.stdout.decode().splitlines()
        for line in tags:
            print("lintian: " + line)
        t.check("lintian reports no errors", p.returncode == 0 and not any(x.startswith("E:") for x in tags),
                p.stderr.decode()[-300:])

        builds.append(old)
        if "oemdll-printer-app" in old.names and not os.path.lexists(LEGACY_STATE):
            with open(LEGACY_STATE, "w") as f:
                f.write(LEGACY)
        if "oemdll-printer-app" in old.names and not os.path.lexists(SOCKET):
            # What a version running as root left after a crash: a socket nobody listens on.
            socket.socket(socket.AF_UNIX).bind(SOCKET)
        ok = old.install(t)
        old_files = {p for name in old.names for p in owned(name)}
        files.update(old_files)
        if not ok:
            return
        print_checks(t, inst, base, rasterview)
        if "oemdll-printer-app" in old.names:
            service.append(app_checks(t, base, rasterview, os.path.join(clone, "samples", "receipt.png")))

        bump(clone)
        new = Packages(t, clone, os.path.join(base, "deb-new"))
        if not new.ok:
            return
        builds.append(new)
        ok = new.install(t, old.paths)
        files.update(p for name in new.names for p in owned(name))
        if ok:
            upgrade_checks(t, old, new, old_files)

    try:
        steps()
    finally:
        if builds:
            names = sorted({n for b in builds for n in b.names})
            p = apt_get("purge", *names)
            if t.check("apt-get purges %s" % " ".join(names), p.returncode == 0, (p.stdout + p.stderr).decode()[-800:]):
                purge_checks(t, builds, files)
        for server in filter(None, service):
            t.check("purge stops the server started by hand", server.poll() is not None, "still running")
            d.stop(server)
        inst.remove()
        shutil.rmtree(base, ignore_errors=True)
    print("%.0f s" % (time.monotonic() - started))
    return t.finish()


if __name__ == "__main__":
    sys.exit(main())
