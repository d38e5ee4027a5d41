#!/usr/bin/env python3
"""Administering raster58-app from another computer, both ways it offers,
and wrong credentials refused:
- a PAM login (auth-service=login) of a member of admin-group, over HTTP
  Basic, opens the administration pages, changes a setting and pauses a
  printer over IPP; a wrong password, a user outside the group, a user
  without an account and no login get 401 or 403, no page and no change;
- the web interface's own password (web-security), set on its Security
  page: a browser that types it on the login form gets the cookie that opens
  the administration pages, and one that types anything else (empty, another
  word, a prefix of it, it and a letter more) gets neither, before and after
  a restart.
The PAM part makes a group and two users, so it runs only as root (as in CI).

usage: auth_test.py RASTER58_APP RASTERVIEW"""
import base64
import grp
import http.client as http_client
import os
import pwd
import re
import secrets
import shutil
import struct
import subprocess
import sys
import tempfile
import urllib.parse

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
import apptest as a  # noqa: E402

PRINTER = "Receipt"
PREFIX = "r58auth-"  # of every user and group made here, to remove those a crashed run left
GROUP, MEMBER, OTHER = PREFIX + "admins", PREFIX + "member", PREFIX + "other"
# Both the users' and the web password: the latter's rules ask for 8 or more
# characters, upper and lower case and a digit. A new one each run, so that
# users a crashed run left cannot be logged in to.
PASSWORD = "Till4" + secrets.token_hex(6)
# Pages only an administrator sees, and the first part of their titles.
ADMIN_PAGES = [("/config", "Configuration"), ("/security", "Security"), ("/addprinter", "Add Printer"),
               ("/%s/delete" % PRINTER, "Delete Printer")]
PAUSE_PRINTER, RESUME_PRINTER = 0x10, 0x11


class Browser:
    """Requests to the app as a browser on another computer sends them: with
    the login it was given (HTTP Basic) or with the cookies the app set. A
    browser sends its Secure cookies to a loopback address over plain HTTP,
    as it would over HTTPS to the app's name."""

    def __init__(self, port, login=None):
        self.port = port
        self.login = login
        self.cookies = {}

    def request(self, method, path, body=None, content_type=None):
        """(HTTP status, body bytes)."""
        headers = {}
        if self.login:
            headers["Authorization"] = "Basic " + base64.b64encode(("%s:%s" % self.login).encode()).decode()
        if self.cookies:
            headers["Cookie"] = "; ".join("%s=%s" % c for c in self.cookies.items())
        if content_type:
            headers["Content-Type"] = content_type
        conn = http_client.HTTPConnection("127.0.0.1", self.port, timeout=30)
        try:
            conn.request(method, path, body, headers)
            response = conn.getresponse()
            for cookie in response.msg.get_all("Set-Cookie") or []:
                name, _, value = cookie.split(";")[0].strip().partition("=")
                self.cookies[name] = value
            return response.status, response.read()
        finally:
            conn.close()

    def get(self, path):
        status, body = self.request("GET", path)
        return status, body.decode(errors="replace")

    def post(self, path, form):
        status, body = self.request("POST", path, urllib.parse.urlencode(form), "application/x-www-form-urlencoded")
        return status, body.decode(errors="replace")

    def submit(self, path, form):
        """Opens the page and sends its form with `form` filled in, the
        page's session token with it; (status, page) of the answer, or of
        the page if it has no form."""
        status, page = self.get(path)
        token = session_token(page)
        return self.post(path, dict(form, session=token)) if token else (status, page)

    def ipp(self, operation):
        """(HTTP status, IPP status or None) of a printer operation."""
        uri = "ipp://127.0.0.1:%d/ipp/print/%s" % (self.port, PRINTER)
        status, body = self.request("POST", "/ipp/print/" + PRINTER, a.ipp_message(operation, uri),
                                    "application/ipp")
        return status, struct.unpack(">H", body[2:4])[0] if status == 200 and len(body) >= 4 else None


def session_token(page):
    m = re.search(r'name="session" value="([^"]+)"', page)
    return m.group(1) if m else None


def title(page):
    """The page's own part of its title: "Login", "Security", ..."""
    m = re.search(r"<title>([^<]*?) - ", page)
    return m.group(1) if m else None


def banner(page):
    return re.findall(r'<div class="banner">(.*?)</div>', page)


def location(app):
    """The system's location as an administrator's Configuration page shows it."""
    m = re.search(r'name="location" [^>]*value="([^"]*)"', Browser(app.port, (MEMBER, PASSWORD)).get("/config")[1])
    return m.group(1) if m else None


def remove_accounts():
    """Removes the users and groups this test makes, whichever run made them."""
    for user in [u.pw_name for u in pwd.getpwall() if u.pw_name.startswith(PREFIX)]:
        subprocess.run(["userdel", user], capture_output=True, timeout=30)
    for group in [g.gr_name for g in grp.getgrall() if g.gr_name.startswith(PREFIX)]:
        subprocess.run(["groupdel", group], capture_output=True, timeout=30)


def make_accounts():
    """The admin group, a member of it and a user outside it, both with
    PASSWORD, neither able to log in to this machine."""
    remove_accounts()
    for command in (["groupadd", GROUP], ["useradd", "-M", "-N", "-s", "/usr/sbin/nologin", "-G", GROUP, MEMBER],
                    ["useradd", "-M", "-N", "-s", "/usr/sbin/nologin", OTHER]):
        subprocess.run(command, check=True, capture_output=True, timeout=30)
    subprocess.run(["chpasswd"], input=("%s:%s\n%s:%s\n" % (MEMBER, PASSWORD, OTHER, PASSWORD)).encode(),
                   check=True, capture_output=True, timeout=30)


def check_pam(t, app):
    member = Browser(app.port, (MEMBER, PASSWORD))
    for path, name in ADMIN_PAGES:
        status, page = member.get(path)
        t.check("a member of admin-group gets %s" % path, status == 200 and title(page) == name,
                (status, title(page), banner(page)))
    # The session token is the member's, so that only the login refuses.
    token = session_token(member.get("/config")[1])
    status, page = member.post("/config", {"session": token, "location": "Till 2"})
    t.check("a member of admin-group changes the location", status == 200 and location(app) == "Till 2",
            (status, banner(page), location(app)))
    answer = member.ipp(PAUSE_PRINTER)
    t.check("a member of admin-group pauses the printer over IPP", answer == (200, 0), answer)
    member.ipp(RESUME_PRINTER)

    # With a login service, a client over 127.0.0.1 logs in whoever owns it:
    # the one without a login is root's.
    for what, login, refusal in [("a member with a wrong password", (MEMBER, PASSWORD + "x"), 401),
                                 ("a user outside admin-group", (OTHER, PASSWORD), 403),
                                 ("a user without an account", (PREFIX + "nobody", PASSWORD), 401),
                                 ("a client without a login", None, 401)]:
        browser = Browser(app.port, login)
        pages = [(path, browser.get(path)) for path, _ in ADMIN_PAGES]
        t.check("%s gets %d and no page" % (what, refusal), all(
            status == refusal and title(page) is None and not session_token(page) for _, (status, page) in pages),
            [(path, status, title(page)) for path, (status, page) in pages])
        status, _ = browser.post("/config", {"session": token, "location": "Elsewhere"})
        t.check("%s does not change the location" % what, status == refusal and location(app) == "Till 2",
                (status, location(app)))
        answer = browser.ipp(PAUSE_PRINTER)
        t.check("%s may not pause the printer over IPP" % what, answer == (refusal, None), answer)


def check_logins(t, app, when):
    for what, word in [("an empty password", ""), ("another word", "Receipts4till"),
                       ("a prefix of the password", PASSWORD[:-1]), ("the password and a letter more", PASSWORD + "s")]:
        browser = Browser(app.port)
        status, page = browser.submit("/security", {"password": word})
        opened = [path for path, _ in ADMIN_PAGES if title(browser.get(path)[1]) != "Login"]
        t.check("%s logs in to nothing%s" % (what, when), status == 200 and title(page) == "Login" and
                banner(page) == ["Password incorrect."] and "auth" not in browser.cookies and not opened,
                (status, title(page), banner(page), browser.cookies, opened))
    forger = Browser(app.port)
    forger.cookies["auth"] = "0" * 64
    opened = [path for path, _ in ADMIN_PAGES if title(forger.get(path)[1]) != "Login"]
    t.check("a made-up cookie opens nothing%s" % when, not opened, opened)

    browser = Browser(app.port)
    status, page = browser.submit("/security", {"password": PASSWORD})
    t.check("the password logs in%s" % when, status == 200 and title(page) == "Security" and
            "auth" in browser.cookies, (status, title(page), banner(page), browser.cookies))
    opened = [path for path, name in ADMIN_PAGES if title(browser.get(path)[1]) == name]
    t.check("its cookie opens every administration page%s" % when, len(opened) == len(ADMIN_PAGES), opened)


def check_password(t, app):
    status, page = Browser(app.port).submit("/security", {"new_password": PASSWORD, "new_password2": PASSWORD})
    t.check("the Security page sets the password", banner(page) == ["Password changed."], (status, banner(page)))
    check_logins(t, app, "")
    app.stop()
    app.start()
    check_logins(t, app, " after a restart")


def run(t, folder, name, body, printer, **app_args):
    """body(t, app) against a private instance with a printer; a failure to
    start or an exception is a failed check; the instance is stopped."""
    app = a.App(sys.argv[1], os.path.join(folder, name), **app_args)
    os.makedirs(app.folder)
    try:
        app.start()
        app.add_printer(PRINTER, printer.uri)
        body(t, app)
        t.check("the server lives (%s)" % name, app.process.poll() is None, "exit status %s" % app.process.returncode)
    except Exception as e:
        t.check("the %s test runs" % name, False, repr(e))
    finally:
        app.stop()


def main():
    t = a.cupstest.Checklist()
    folder = tempfile.mkdtemp(prefix="raster58-auth-")
    printer = None
    try:
        printer = a.VirtualPrinter(sys.argv[2], os.path.join(folder, "jobs"))
        if os.geteuid() == 0:
            try:
                make_accounts()
                run(t, folder, "pam", check_pam, printer, server_options="web-security,web-remote",
                    options=["auth-service=login", "admin-group=" + GROUP])
            except (OSError, subprocess.SubprocessError) as e:
                t.check("the test's users and group are made", False, repr(e))
            finally:
                remove_accounts()
                left = [u.pw_name for u in pwd.getpwall() if u.pw_name.startswith(PREFIX)] + \
                    [g.gr_name for g in grp.getgrall() if g.gr_name.startswith(PREFIX)]
                t.check("the test's users and group are removed", not left, left)
        else:
            print("SKIP: the PAM login needs root to make its users and group (CI runs as root)")
        run(t, folder, "password", check_password, printer, server_options="web-security,web-remote")
    except Exception as e:
        t.check("the test runs", False, repr(e))
    finally:
        a.stop_all(printer)
        shutil.rmtree(folder, ignore_errors=True)
    return t.finish()


if __name__ == "__main__":
    sys.exit(main())
