#!/usr/bin/env python3
"""What the CUPS filter adds to a print chain: a 100-page PDF through
cupsfilter to the printer stream (pdftopdf, gstoraster, rastertooemdll),
against the same chain stopped at CUPS raster (pdftopdf, gstoraster) as the
floor, alternately in one run; and the peak memory of the filter alone
against that of the floor chain's largest process.

usage: cups_bench.py CMAKE BUILD_DIR [ROUNDS]"""
import os
import resource
import statistics
import subprocess
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "cups"))
import cupstest as c  # noqa: E402

PAGES = 100
PAGE = "58x150mm"
PAGE_ROWS = 1199


def receipt_page(n):
    """A receipt-like page: a header block, ruled lines of 'text', a total."""
    rects = [(40, 24, 304, 60)]
    for i in range(40):
        y = 120 + i * 24
        rects.append((16, y, 120 + (i * 37 + n) % 200, 12))
        rects.append((300, y, 68, 12))
    rects.append((0, 1100, 384, 6))
    return rects


def measure(cmd, env, out):
    """Wall time and the peak resident set of the largest process in it (kB),
    measured in a child of its own so earlier runs do not count."""
    probe = ("import resource,subprocess,sys,time\n"
             "t=time.monotonic()\n"
             "r=subprocess.run(sys.argv[2:],stdout=open(sys.argv[1],'wb'),stderr=subprocess.DEVNULL)\n"
             "d=time.monotonic()-t\n"
             "print(r.returncode,d,resource.getrusage(resource.RUSAGE_CHILDREN).ru_maxrss)\n")
    p = subprocess.run([sys.executable, "-c", probe, out] + cmd, capture_output=True, env=env, check=True)
    code, seconds, rss = p.stdout.split()
    if code != b"0":
        raise SystemExit("failed: %s" % " ".join(cmd))
    return float(seconds), int(rss)


def main():
    cmake, build = sys.argv[1:3]
    rounds = int(sys.argv[3]) if len(sys.argv) > 3 else 5
    inst = c.Install(cmake, build)
    try:
        pdf = os.path.join(inst.base, "in.pdf")
        with open(pdf, "wb") as f:
            f.write(c.pdf([receipt_page(n) for n in range(PAGES)], 58, 150))
        env = dict(os.environ, CUPS_SERVERBIN=inst.serverbin)
        base = ["cupsfilter", "-e", "-p", inst.ppd, "-o", "PageSize=" + PAGE]
        ras, prn = os.path.join(inst.base, "job.ras"), os.path.join(inst.base, "job.prn")
        floor, chain, alone = [], [], []
        floor_rss = chain_rss = alone_rss = 0
        for _ in range(rounds):
            s, r = measure(base + ["-m", "application/vnd.cups-raster", pdf], env, ras)
            floor.append(s)
            floor_rss = max(floor_rss, r)
            s, r = measure(base + ["-m", "printer/foo", pdf], env, prn)
            chain.append(s)
            chain_rss = max(chain_rss, r)
            s, r = measure([inst.filter, "1", "user", "bench", "1", "", ras], env, prn)
            alone.append(s)
            alone_rss = max(alone_rss, r)
        rows, _ = c.decode(open(prn, "rb").read())
        f, ch, a = statistics.median(floor), statistics.median(chain), statistics.median(alone)
        spread = lambda xs: "%.3f s (%.3f-%.3f)" % (statistics.median(xs), min(xs), max(xs))
        print("%d pages of %s (%d rows each), %d rounds: medians (min-max)" % (PAGES, PAGE, PAGE_ROWS, rounds))
        print("printer stream: %d rows, %d bytes; raster: %d bytes" % (
            len(rows), os.path.getsize(prn), os.path.getsize(ras)))
        print("| run | wall | peak RSS of its largest process |")
        print("|---|---|---|")
        print("| floor: pdftopdf, gstoraster | %s | %.1f MiB |" % (spread(floor), floor_rss / 1024))
        print("| chain: pdftopdf, gstoraster, rastertooemdll | %s | %.1f MiB |" % (spread(chain), chain_rss / 1024))
        print("| rastertooemdll alone on the saved raster | %s | %.1f MiB |" % (spread(alone), alone_rss / 1024))
        print("filter's share of the chain's time: %.1f %% (chain - floor: %.3f s); alone: %.1f %% of the chain" % (
            100 * (ch - f) / ch, ch - f, 100 * a / ch))
        print("filter's peak memory / floor's: %.2f" % (alone_rss / floor_rss))
    finally:
        inst.remove()


if __name__ == "__main__":
    main()
