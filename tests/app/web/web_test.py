#!/usr/bin/env python3
"""The app's web interface in a real browser: headless Chromium loads the
home page, follows the printer's link to its page and its media, and
presses "Print Test Page"; the job must reach the virtual printer whole.
Before it, one kept-alive connection asks for pages, a 304 and HEADs: each
answer framed so that the next one is read right.
Chromium, the app and the virtual printer are stopped by process id,
also on failure.

usage: web_test.py APP RASTERVIEW VERSION [--screenshot PNG]
With --screenshot, a picture of the printer's page after the test page
(the README's) is written to PNG as well."""
import http.client
import os
import shutil
import signal
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, ".."))
sys.path.insert(0, HERE)
import apptest  # noqa: E402
import cdp  # noqa: E402

PRINTER = "Receipt"
DEADLINE = 170  # seconds for the whole test, a safety net; ctest stops it at 180


def text(browser):
    return browser.evaluate("document.body.innerText")


def click(browser, selector):
    """Clicks the first element matching `selector` and waits for the page
    it leads to; False when there is no such element."""
    found = browser.evaluate("!!document.querySelector(%r)" % selector)
    if found:
        browser.load(lambda: browser.evaluate("document.querySelector(%r).click()" % selector))
    return found


def out_of_time(signum, frame):
    raise TimeoutError("the test took over %d s" % (DEADLINE + 5))


def check_kept_alive(t, port):
    conn = http.client.HTTPConnection("127.0.0.1", port, timeout=30)
    answers = []
    modified = None
    for method, path in [("GET", "/style.css"), ("GET", "/style.css"), ("GET", "/"), ("HEAD", "/style.css"),
                         ("HEAD", "/nothing"), ("GET", "/%s/" % PRINTER)]:
        headers = {"If-Modified-Since": modified} if modified and path == "/style.css" else {}
        conn.request(method, path, headers=headers)
        r = conn.getresponse()
        body = r.read()
        modified = modified or r.getheader("Last-Modified")
        answers.append((method, path, r.status, len(body)))
    conn.close()
    t.check("one kept-alive connection: pages, 304s and HEADs each read right",
            [a[2] for a in answers] == [200, 304, 200, 304, 404, 200] and answers[1][3] == 0, answers)


def run(t, app_binary, rasterview, version, folder, screenshot_path):
    deadline = time.monotonic() + DEADLINE
    # Whatever hangs, everything is stopped before ctest's limit.
    signal.signal(signal.SIGALRM, out_of_time)
    signal.alarm(DEADLINE + 5)
    printer = app = browser = None
    try:
        printer = apptest.VirtualPrinter(rasterview, os.path.join(folder, "received"), idle_timeout=DEADLINE + 10)
        app = apptest.App(app_binary, os.path.join(folder, "app"))
        os.makedirs(app.folder)
        app.start()
        app.add_printer(PRINTER, printer.uri)
        check_kept_alive(t, app.port)
        browser = cdp.Browser(deadline)

        browser.goto(app.http_url("/"))
        home = text(browser)
        t.check("home page shows the version", "Version %s" % version in home, "page reads %r" % home[:300])
        link = "a[href$='/%s/']" % PRINTER
        names = browser.evaluate("Array.from(document.querySelectorAll(%r)).map(a => a.textContent)" % link)
        t.check("home page lists the printer", PRINTER in (names or []), "links to the printer: %r" % names)

        if not t.check("printer's link opens its page", click(browser, link)
                       and browser.evaluate("location.pathname") == "/%s/" % PRINTER,
                       "at %r" % browser.evaluate("location.href")):
            return
        test_page = "input[type=submit][value='Print Test Page']"
        t.check("printer's page offers a test page", browser.evaluate("!!document.querySelector(%r)" % test_page),
                "page reads %r" % text(browser)[:300])

        if t.check("printer's page links to its media", click(browser, "a[href$='/%s/media']" % PRINTER)):
            media = browser.evaluate("Array.from(document.querySelectorAll('select[name$=\"-size\"] option'))"
                                     ".map(o => [o.value, o.textContent, o.selected])") or []
            loaded = [m for m in media if m[2]]
            t.check("media page shows the loaded 58 mm roll", loaded and "_58x" in loaded[0][0],
                    "sizes offered %r" % media)
            browser.goto(app.http_url("/%s/" % PRINTER))

        if not t.check("test page button pressed", click(browser, test_page)):
            return
        after = text(browser)
        t.check("web interface confirms the test page", "Test page printed" in after, "page reads %r" % after[:300])
        job = printer.wait_job(max(1.0, deadline - time.monotonic()))
        if not t.check("test page reaches the virtual printer", job is not None and job[1] > 0 and job[2] == "ok",
                       "got %r; the app %s" % (job, "runs" if app.process.poll() is None
                                               else "exited with status %d" % app.process.returncode)):
            print(app.log()[-2000:])
        if screenshot_path and app.process.poll() is None:
            # Once the job has left the history's "processing" state.
            time.sleep(1)
            cdp.screenshot(app.http_url("/%s/" % PRINTER), screenshot_path, 1100, 680,
                           max(5, deadline - time.monotonic()))
            t.check("screenshot written", os.path.getsize(screenshot_path) > 0)
    except (cdp.Error, RuntimeError, OSError, subprocess.SubprocessError, http.client.HTTPException) as e:
        t.check("browser session", False, "%s: %s" % (type(e).__name__, e))
        if app:
            print(app.log()[-2000:])
    finally:
        signal.alarm(0)
        apptest.stop_all(browser, app, printer)


def main():
    args = sys.argv[1:]
    screenshot_path = None
    if "--screenshot" in args:
        i = args.index("--screenshot")
        screenshot_path = args[i + 1]
        del args[i:i + 2]
    app_binary, rasterview, version = args
    t = apptest.cupstest.Checklist()
    folder = tempfile.mkdtemp(prefix="appweb-")
    try:
        run(t, app_binary, rasterview, version, folder, screenshot_path)
    finally:
        shutil.rmtree(folder, ignore_errors=True)
    return t.finish()


if __name__ == "__main__":
    sys.exit(main())
