#!/usr/bin/env python3
"""CUPS's ipptool runs the PWG-derived conformance files ipp-1.1.test and
ipp-2.0.test against a private raster58-app with a document: every test in
them must pass. The instance runs without TLS (see below).

usage: conformance_test.py RASTER58_APP RASTERVIEW"""
import os
import re
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import apptest as a  # noqa: E402

SUITES = [("1.1", "ipp-1.1.test"), ("2.0", "ipp-2.0.test")]
IPPTOOL_FILES = "/usr/share/cups/ipptool"


def check_suites(t, app, printer, folder):
    document = os.path.join(folder, "receipt.png")
    with open(document, "wb") as f:
        f.write(a.png(384, 200, [(0, 0, 384, 20), (50, 60, 100, 100)]))
    # printer-up-time must be past 0 when the suite reads it.
    time.sleep(1.1)
    for version, suite in SUITES:
        p = a.ipptool("-V", version, "-tf", document, app.ipp_uri("Receipt"),
                      os.path.join(IPPTOOL_FILES, suite), timeout=120)
        out = p.stdout.decode(errors="replace")
        counts = {k: len(re.findall(r"\[%s\]" % k, out)) for k in ("PASS", "FAIL", "SKIP")}
        failures = [line.strip() for line in out.splitlines() if "[FAIL]" in line or "EXPECTED" in line or
                    "GOT:" in line]
        t.check("%s: every test passes (%d passed, %d skipped)" % (suite, counts["PASS"], counts["SKIP"]),
                p.returncode == 0 and counts["FAIL"] == 0 and counts["PASS"] > 0,
                "; ".join(failures[:12]) or out[-600:])


def main():
    # With TLS on, PAPPL 1.3.1 lists one printer-uri-supported but two
    # uri-security-supported values, which the suites reject.
    return a.run_instance("raster58-conf-", check_suites, server_options="no-tls")


if __name__ == "__main__":
    sys.exit(main())
