"""Drives Debian's headless Chromium (through chromedriver and python3-selenium) against a
running relay. The page (page.html) checks ws:// and wss:// between two browser connections;
then a raw TCP peer written here sends a character split across two of the relay's receives
to a further browser connection. Prints one line per check; exit code 0 when every check passed.

Usage: check.py PORT PROFILE_DIR
"""

import os
import socket
import subprocess
import sys
import tempfile
import time

from selenium import webdriver
from selenium.webdriver.chrome.options import Options

HERE = os.path.dirname(os.path.abspath(__file__))
BOUND = 20.0  # seconds to wait for anything the relay should deliver at once


def start_chromedriver(log):
    """Starts chromedriver on a free loopback port, reached by address: a minimal system may
    have no /etc/hosts, so the name "localhost" that selenium's own launcher uses may not
    resolve. Returns the process and its URL."""
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        port = probe.getsockname()[1]
    driver = os.environ.get("CHROMEDRIVER", "/usr/bin/chromedriver")
    process = subprocess.Popen([driver, "--port=%d" % port], stdout=log, stderr=subprocess.STDOUT)

    def listening():
        if process.poll() is not None:
            return "exited"
        try:
            socket.create_connection(("127.0.0.1", port), timeout=1).close()
            return "listening"
        except OSError:
            return None
    if wait_for(listening) != "listening":
        process.kill()
        log.seek(0)
        raise RuntimeError("chromedriver did not start:\n" + log.read().decode(errors="replace"))
    return process, "http://127.0.0.1:%d" % port


def start_browser(url, profile):
    options = Options()
    options.binary_location = os.environ.get("CHROMIUM", "/usr/bin/chromium")
    for arg in ("--headless", "--no-sandbox", "--disable-gpu", "--no-first-run",
                "--disable-background-networking", "--disable-component-update",
                "--disable-sync", "--disable-quic", "--ignore-certificate-errors",
                "--disable-dev-shm-usage", "--remote-debugging-pipe",
                "--user-data-dir=" + profile):
        options.add_argument(arg)
    options.accept_insecure_certs = True  # the relay's test certificate is self-signed
    options.set_capability("goog:loggingPrefs", {"browser": "ALL"})  # for console_errors()
    return webdriver.Remote(command_executor=url, options=options)


def wait_for(condition):
    """Polls condition() until it gives a true value or BOUND passes; returns that value."""
    deadline = time.monotonic() + BOUND
    while True:
        value = condition()
        if value or time.monotonic() > deadline:
            return value
        time.sleep(0.02)


def page_checks(driver, port):
    driver.get("file://%s/page.html?port=%d" % (HERE, port))
    result = wait_for(lambda: driver.execute_script("return window.relayResult"))
    if not result:
        print("FAIL the page's checks did not finish within %d s" % BOUND)
        return False
    sys.stdout.write(result["log"] if result["log"].endswith("\n") else result["log"] + "\n")
    return bool(result["ok"])


class ExtraSocket:
    """The page's further ws:// connection (window.extra), read from here."""

    TAKE = """const ws = window.extra;
              return { closed: ws.closed,
                       got: ws.queue.splice(0).map((d) => typeof d === 'string'
                           ? { text: d } : { bytes: Array.from(new Uint8Array(d)) }) };"""

    def __init__(self, driver):
        self.driver = driver
        self.closed = None
        self.pending = []
        driver.set_script_timeout(BOUND)
        error = driver.execute_async_script(
            "const done = arguments[arguments.length - 1];"
            "window.openSocket().then(() => done(null), (e) => done(String(e)));")
        if error:
            raise RuntimeError(error)

    def take(self):
        """Collects what arrived: ('text', str) or ('binary', bytes); notes a close."""
        state = self.driver.execute_script(self.TAKE)
        self.closed = state["closed"]
        self.pending += [("text", m["text"]) if "text" in m else ("binary", bytes(m["bytes"]))
                         for m in state["got"]]
        return self.pending

    def next(self):
        """The next message, or None when the connection closed or nothing came in time."""
        wait_for(lambda: self.take() or self.closed)
        return self.pending.pop(0) if self.pending else None


def raw_peer_ready(driver, port):
    """A raw TCP peer that has received the browser's sync messages: from then on both take
    part in the relay (the browser connection's upgrade is done, the peer is classified)."""
    peer = socket.create_connection(("127.0.0.1", port), timeout=0.1)
    driver.execute_script("window.extraSync = setInterval(() => window.extra.send('sync:'), 50);")
    try:
        def heard():
            try:
                return peer.recv(4096)
            except socket.timeout:
                return b""
        if not wait_for(heard):
            raise RuntimeError("the raw peer never heard the browser")
    finally:
        driver.execute_script("clearInterval(window.extraSync);")
    return peer


def show(message):
    kind, data = message
    return "%s %r" % (kind, data)


def split_character_check(driver, port):
    """A raw peer sends 'é' (0xC3 0xA9) cut across two receives: each piece, taken alone, is
    not UTF-8, so it must reach the browser as a binary message, the browser must keep the
    connection, and text after it must still arrive as text."""
    what = "a character split across two raw receives"
    extra = ExtraSocket(driver)
    peer = raw_peer_ready(driver, port)
    steps = [
        (b"before the split", ("text", "before the split")),
        (b"\xc3", ("binary", b"\xc3")),
        (b"\xa9" + "t\u00e9 ok".encode(), ("binary", b"\xa9" + "t\u00e9 ok".encode())),
        (b"after the split", ("text", "after the split")),
    ]
    got = []
    try:
        for payload, want in steps:
            # Each send waits for the browser to have the previous one, so the relay reads
            # every payload in a receive of its own.
            peer.sendall(payload)
            message = extra.next()
            if message is None:
                print("FAIL %s: after the raw peer sent %r, the browser %s; messages before: %s%s"
                      % (what, payload, closed_text(extra.closed), [show(m) for m in got]
                         or "none", console_errors(driver)))
                return False
            got.append(message)
            if message != want:
                print("FAIL %s: the raw peer sent %r, the browser got %s, expected %s"
                      % (what, payload, show(message), show(want)))
                return False
        extra.take()
        if extra.closed:
            print("FAIL %s: the browser %s" % (what, closed_text(extra.closed)))
            return False
    finally:
        peer.close()
    print("ok   %s: binary pieces, connection open, text after it" % what)
    return True


def console_errors(driver):
    """The browser console's errors (why the browser failed a connection), as text."""
    try:
        lines = [e["message"] for e in driver.get_log("browser") if e.get("level") == "SEVERE"]
    except Exception as e:  # the log is an extra for the report, never a failure of its own
        lines = ["(browser console not readable: %s)" % e]
    return "".join("\n     browser console: " + line for line in lines)


def closed_text(closed):
    if not closed:
        return "got nothing within %d s" % BOUND
    return "closed the connection (code %s, reason %r)" % (closed["code"], closed["reason"])


def main():
    port, profile = int(sys.argv[1]), sys.argv[2]
    with tempfile.TemporaryFile() as log:
        chromedriver, url = start_chromedriver(log)
        try:
            driver = start_browser(url, profile)
            try:
                ok = page_checks(driver, port)
                ok = split_character_check(driver, port) and ok
            finally:
                driver.quit()
        finally:
            chromedriver.terminate()
            chromedriver.wait()
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
