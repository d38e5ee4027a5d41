#!/usr/bin/env python3
"""The package's prerm and a server started by hand: it asks a server that
answers on its command socket to shut down and waits while it answers, and
does not wait for one that has exited and left its socket. Run in a mount
namespace of its own (as root) with /run a fresh tmpfs, and raster58-app a
stand-in that answers "status" as PAPPL does and logs each call.

usage: prerm_test.py SOURCE"""
import os
import shutil
import subprocess
import sys
import tempfile

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "cups"))
from cupstest import Checklist  # noqa: E402

SKIP = 77
STAND_IN = """#!/bin/sh
echo "$1" >>"%(log)s"
if [ "$1" = status ]; then
    if [ "$(grep -c status "%(log)s")" -le %(answers)d ]; then
        echo "Running, idle since Wed, 09 Dec 2026 06:00:00 GMT."
    else
        echo "Server is not running."
    fi
fi
"""


def main():
    source = sys.argv[1]
    if os.geteuid() != 0 or not shutil.which("unshare"):
        print("SKIP: needs root and unshare for a /run of its own")
        return SKIP
    t = Checklist()
    folder = tempfile.mkdtemp(prefix="raster58-prerm-")
    prerm = os.path.join(source, "debian", "oemdll-printer-app.prerm")
    try:
        for answers, want in [(0, []), (3, ["shutdown"])]:  # status calls a server answers
            log = os.path.join(folder, "calls-%d" % answers)
            open(log, "w").close()
            bin_dir = os.path.join(folder, "bin-%d" % answers)
            os.makedirs(bin_dir)
            with open(os.path.join(bin_dir, "raster58-app"), "w") as f:
                f.write(STAND_IN % {"log": log, "answers": answers})
            os.chmod(os.path.join(bin_dir, "raster58-app"), 0o755)
            script = ("mount -t tmpfs tmpfs /run && mkdir /run/raster58-app && "
                      "python3 -c 'import socket; socket.socket(socket.AF_UNIX).bind(\"/run/raster58-app.sock\")' && "
                      "PATH=%s:$PATH sh %s remove" % (bin_dir, prerm))
            p = subprocess.run(["unshare", "-m", "--propagation", "private", "sh", "-c", script],
                               capture_output=True, timeout=60)
            with open(log) as f:
                calls = f.read().split()
            # One status when none answers; with one that answers, one each
            # while it does and one that finds it gone.
            t.check("prerm, a server answering %d times: %s, status asked %d times" % (answers, want, answers + 1),
                    p.returncode == 0 and [c for c in calls if c != "status"] == want and
                    calls.count("status") == answers + 1,
                    "exit %d, calls %s: %s" % (p.returncode, calls, p.stderr.decode()[-300:]))
    finally:
        shutil.rmtree(folder, ignore_errors=True)
    return t.finish()


if __name__ == "__main__":
    sys.exit(main())
