#!/usr/bin/env python3
"""End to end for jointcast-listen's live view, in a real browser: a publisher and a second
sender stream into the listener, Debian's chromium (headless) opens the page and is read over
the DevTools protocol: each sender by name, its values equal to the last datagram it sent, a
plot with points, silence once the senders stop. Then what a plant network may throw at the
page: a very long URL, endless header lines, a write, more open pages than allowed, hundreds of
connections that never finish their request, a sender far faster than the page is fed; the UDP
side must go on receiving through all of it, and the listener must still end at once.
Usage: live_view_test.py LISTEN PUBLISHER [SCREENSHOT.png]"""
import base64
import csv
import json
import os
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import threading
import time
import urllib.request

import websocket  # Debian's python3-websocket

from children import start

LISTEN, PUBLISHER = sys.argv[1], sys.argv[2]
work = tempfile.mkdtemp(prefix="jointcast-live-view-")
# A screenshot asked for by name is for people: it waits for a fuller plot.
SCREENSHOT = sys.argv[3] if len(sys.argv) > 3 else os.path.join(work, "live-view.png")
PLOTTED = 150 if len(sys.argv) > 3 else 10
passes, failures = [], []


def check(name, condition, detail=""):
    print(("ok   " if condition else "FAIL ") + name + ("" if condition else f": {detail}"))
    (passes if condition else failures).append(name)


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def wait_for(condition, seconds, what):
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        value = condition()
        if value:
            return value
        time.sleep(0.1)
    sys.exit(f"FAIL: {what} within {seconds} s")


class Sender(threading.Thread):
    """Datagrams in the published format from one loopback address, every `pause` seconds."""

    def __init__(self, source, pause=0.2, payload=None):
        super().__init__(daemon=True)
        self.source, self.pause, self.payload = source, pause, payload
        self.sent = 0
        self.stopped = threading.Event()

    def run(self):
        with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as s:
            s.bind((self.source, 0))
            while not self.stopped.is_set():
                i = self.sent
                payload = self.payload or (f"{i % 90}.250000 -{i % 45}.500000 90.000000 "
                                           f"{i % 180 - 90}.125000 12.000000 -7.750000")
                s.sendto(payload.encode(), ("127.0.0.1", 4849))
                self.sent += 1
                time.sleep(self.pause)


class DevTools:
    """One page of a headless chromium, driven over the DevTools protocol."""

    def __init__(self, name="chromium"):
        profile = os.path.join(work, name)
        args = ["chromium", "--headless", "--disable-gpu", "--no-first-run",
                "--remote-debugging-port=0", f"--user-data-dir={profile}",
                "--window-size=1240,560", "--hide-scrollbars", "about:blank"]
        if os.geteuid() == 0:
            args.insert(1, "--no-sandbox")  # chromium's sandbox refuses to run as root
        self.browser = start(args, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                             start_new_session=True)
        port_file = os.path.join(profile, "DevToolsActivePort")
        wait_for(lambda: os.path.exists(port_file) and open(port_file).read().strip(), 20,
                 "chromium's DevTools port")
        port = open(port_file).read().split()[0]
        targets = json.load(urllib.request.urlopen(f"http://127.0.0.1:{port}/json", timeout=5))
        page = next(t for t in targets if t["type"] == "page")
        self.socket = websocket.create_connection(page["webSocketDebuggerUrl"], timeout=20)
        self.next_id = 0

    def call(self, method, **params):
        self.next_id += 1
        self.socket.send(json.dumps({"id": self.next_id, "method": method, "params": params}))
        while True:  # events come in between; the answer carries the id
            message = json.loads(self.socket.recv())
            if message.get("id") == self.next_id:
                if "error" in message:
                    sys.exit(f"FAIL: {method}: {message['error']}")
                return message["result"]

    def evaluate(self, expression):
        result = self.call("Runtime.evaluate", expression=expression, returnByValue=True)
        return result["result"].get("value")

    def close(self):
        try:
            self.call("Browser.close")
        except Exception:  # it may be gone before it answers
            pass
        try:
            self.browser.wait(timeout=10)
        except subprocess.TimeoutExpired:
            os.killpg(self.browser.pid, signal.SIGKILL)


CARDS = """JSON.stringify([...document.querySelectorAll('.sender')].map(card => ({
  address: card.dataset.sender,
  name: card.querySelector('.name').textContent,
  values: [...card.querySelectorAll('.axes td')].map(td => td.dataset.value),
  fits: [...card.querySelectorAll('.axes td')].every(td => td.scrollWidth <= td.clientWidth),
  rate: card.querySelector('.rate').textContent,
  malformed: card.querySelector('.malformed').textContent,
  silent: !card.querySelector('.silent').hidden,
  silence: card.querySelector('.silent').textContent,
  points: Number(card.dataset.points),
  canvas: card.querySelector('.plot canvas') !== null,
})))"""


def cards(browser):
    return {c["address"]: c for c in json.loads(browser.evaluate(CARDS) or "[]")}


def last_rows(path):
    rows = {}
    with open(path, newline="") as f:
        for row in csv.DictReader(f):
            rows[row["sender"]] = [row[f"a{i}"] for i in range(1, 7)]
    return rows


def http_status(port, request, timeout=10):
    """The status of a raw request, 0 when the connection closes without an answer."""
    with socket.create_connection(("127.0.0.1", port), timeout) as s:
        s.sendall(request)
        answer = s.recv(200)
    return int(answer.split()[1]) if answer.startswith(b"HTTP/1.1 ") else 0


def csv_rows(path):
    with open(path) as f:
        return sum(1 for _ in f) - 1


names = os.path.join(work, "names")
with open(names, "w") as f:
    f.write("# the cell's robots\n127.0.0.1 cell1-robot1\n127.0.0.2 cell3-robot2\n"
            "127.0.0.9 cell9-robot9\n")  # the last one never sends
recording = os.path.join(work, "stream.csv")
http_port = free_port()
listener = start([LISTEN, "--quiet", "--names", names, "--csv", recording, "--http",
                  f"127.0.0.1:{http_port}", "--http-host", "plant-view.example"], stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                 text=True)
wait_for(lambda: socket.socket().connect_ex(("127.0.0.1", http_port)) == 0, 10,
         "the live view answering")
second_view = subprocess.run([LISTEN, "--port", "4850", "--http", f"127.0.0.1:{http_port}"],
                             capture_output=True, text=True, timeout=10)
check("a port in use is said, exit code 1", second_view.returncode == 1 and
      "Address already in use" in second_view.stderr, second_view.stderr)
publisher = start([PUBLISHER, "--to", "127.0.0.1"], stdout=subprocess.DEVNULL,
                  stderr=subprocess.DEVNULL)
second = Sender("127.0.0.2")
second.start()
with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as s:
    s.bind(("127.0.0.2", 0))
    for _ in range(2):
        s.sendto(b"not a position\x00", ("127.0.0.1", 4849))

browser = DevTools()
browser.call("Page.navigate", url=f"http://127.0.0.1:{http_port}/")
shown = wait_for(lambda: (lambda c: c if len(c) == 3 and all(
    x["points"] >= PLOTTED and x["canvas"] for a, x in c.items() if a != "127.0.0.9") else None)(
    cards(browser)), 20 + PLOTTED / 5, f"two senders with plots of {PLOTTED} points")
check("a named robot never heard is shown as such", shown["127.0.0.9"]["name"] == "cell9-robot9"
      and shown["127.0.0.9"]["silence"].startswith("not heard since ")
      and shown["127.0.0.9"]["points"] == 0 and shown["127.0.0.9"]["rate"] == "–",
      shown.get("127.0.0.9"))
check("six-decimal values fit their columns", all(c["fits"] for c in shown.values()), shown)
check("each sender by its name", shown["127.0.0.1"]["name"] == "cell1-robot1" and
      shown["127.0.0.2"]["name"] == "cell3-robot2", shown)
check("the rate of a sender at 5/s", all(4.0 <= float(c["rate"].rstrip("/s")) <= 6.0
                                          for a, c in shown.items() if a != "127.0.0.9"), shown)
check("the malformed count", shown["127.0.0.2"]["malformed"] == "2", shown)
height = browser.evaluate("document.getElementById('senders').getBoundingClientRect().bottom")
screenshot = browser.call("Page.captureScreenshot", format="png",
                          clip={"x": 0, "y": 0, "width": 1240, "height": height + 16, "scale": 1})
with open(SCREENSHOT, "wb") as f:
    f.write(base64.b64decode(screenshot["data"]))
check("a screenshot of the page", os.path.getsize(SCREENSHOT) > 10000)

# Only requests that name this server in a way no other site can are served: a page elsewhere
# that rebinds its own name to this address gets 421, not the positions. OPTIONS is answered.
for host, expected in (("127.0.0.1", 200), (f"localhost:{http_port}", 200), ("[::1]", 200),
                       ("plant-view.example", 200), ("PLANT-VIEW.example:80", 200),
                       ("attacker.example", 421), (f"attacker.example:{http_port}", 421),
                       ("127.0.0.1.attacker.example", 421)):
    got = http_status(http_port, f"GET / HTTP/1.1\r\nHost: {host}\r\n\r\n".encode(), 5)
    check(f"Host {host}: {expected}", got == expected, got)
check("OPTIONS is answered", http_status(
    http_port, b"OPTIONS / HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n") == 204)

# What a plant network may throw at it, while the senders go on.
before = csv_rows(recording)
started = time.monotonic()
check("a 100 kB URL is refused", http_status(
    http_port, b"GET /" + b"x" * 100000 + b" HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n") in (0, 414))
check("a write is refused", http_status(
    http_port, b"POST / HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Length: 3\r\n\r\nabc") == 405)
streams = []
for _ in range(10):  # the browser holds one already
    s = socket.create_connection(("127.0.0.1", http_port), 5)
    s.sendall(b"GET /events HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n")
    streams.append(s)
statuses = [int(s.recv(200).split()[1]) for s in streams]
check("at most 8 pages open at once", statuses.count(200) == 7 and statuses.count(503) == 3,
      statuses)
browser.call("Page.reload")  # its stream is refused now: the page must try again by itself
time.sleep(2)
for s in streams:
    s.close()
wait_for(lambda: len(cards(browser)) == 3, 15, "the page back after being turned away")
check("a page turned away comes back by itself", True)
# Pages that take every place and never read lose them once they have read nothing for 10 s,
# while the browser's page, which reads, keeps its own.
silent = []
for _ in range(7):
    s = socket.create_connection(("127.0.0.1", http_port), 5)
    s.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 16384)  # fills within seconds
    s.sendall(b"GET /events HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n")
    silent.append(s)
began = time.monotonic()
freed = None
while freed is None and time.monotonic() - began < 40:
    status = http_status(http_port, b"GET /events HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n", 5)
    if status == 200:
        freed = time.monotonic() - began
    time.sleep(1)
check("pages that never read lose their places after 10 s unread", freed is not None and
      freed < 30 and len(cards(browser)) == 3, freed)
for s in silent:
    s.close()
with socket.create_connection(("127.0.0.1", http_port), 5) as s:
    s.sendall(b"GET / HTTP/1.1\r\nHost: 127.0.0.1\r\n")
    try:
        for _ in range(100000):  # header lines without end
            s.sendall(b"X-A: b\r\n")
    except OSError:
        pass
with open(f"/proc/{listener.pid}/status") as f:
    rss_kib = int(next(line for line in f if line.startswith("VmRSS:")).split()[1])
check("endless header lines are cut off", rss_kib < 50 * 1024, f"RSS {rss_kib} KiB")
stalled = []
for _ in range(300):  # requests never finished
    s = socket.socket()
    s.setblocking(False)
    s.connect_ex(("127.0.0.1", http_port))
    stalled.append(s)
time.sleep(0.5)
for s in stalled:
    try:
        s.send(b"GET / HTTP/1.1\r\n")
    except OSError:
        pass
time.sleep(3)
received = csv_rows(recording) - before
elapsed = time.monotonic() - started
check("receiving goes on through all of it (2 senders at 5/s)",
      received >= 2 * 5 * elapsed - 8, f"{received} rows in {elapsed:.1f} s")
for s in stalled:
    s.close()
check("the page answers again after them", wait_for(
    lambda: http_status(http_port, b"GET / HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n", 2) == 200, 15,
    "the page answering again"))

# A sender 10 times faster than the page is fed: no more than 10 updates a second reach it.
fast = Sender("127.0.0.3", pause=0.01)
fast.start()
with socket.create_connection(("127.0.0.1", http_port), 5) as s:
    s.sendall(b"GET /events HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n")
    s.settimeout(0.2)
    text, deadline = b"", time.monotonic() + 2.5
    while time.monotonic() < deadline:
        try:
            text += s.recv(65536)
        except socket.timeout:
            pass
updates = text.count(b'"address":"127.0.0.3"')
check("at most 10 updates a second for one sender", 5 <= updates <= 27,
      f"{updates} in 2.5 s, {fast.sent} datagrams")
fast.stopped.set()

# The senders stop: the page says so, and keeps each one's last values.
publisher.terminate()
publisher.wait(timeout=10)
second.stopped.set()
second.join()
stopped_at = time.monotonic()
silent = wait_for(lambda: (lambda c: c if c.get("127.0.0.1", {}).get("silent") and
                           c.get("127.0.0.2", {}).get("silent") else None)(cards(browser)), 10,
                  "the senders shown silent")
time.sleep(0.5)  # the recording is written at least once a second
last = last_rows(recording)
check("the values are those of the last datagram",
      all(silent[a]["values"] == last[a] for a in ("127.0.0.1", "127.0.0.2")),
      (silent, last))

# A page opened 15 s into the silence, while the first one watched, says the same silence.
time.sleep(max(0.0, stopped_at + 15 - time.monotonic()))
late = DevTools("chromium-late")
late.call("Page.navigate", url=f"http://127.0.0.1:{http_port}/")
late_cards = wait_for(lambda: (lambda c: c if c.get("127.0.0.1", {}).get("silence", "").startswith(
    "silent") else None)(cards(late)), 15, "the late page's silence")
quiet = time.monotonic() - stopped_at
watching = cards(browser)
said = [int(c["127.0.0.1"]["silence"].split()[1]) for c in (late_cards, watching)]
check("a page opened 15 s into a silence says it, as the page watching all along does",
      all(abs(s - quiet) <= 1.5 for s in said), (said, quiet))
late.close()

# Ends at once with a page open, a connection that never sends and one that sends a byte at a
# time.
idle = socket.create_connection(("127.0.0.1", http_port), 5)
trickle = socket.create_connection(("127.0.0.1", http_port), 5)


def trickle_bytes():
    try:
        for byte in b"GET / HTTP/1.1\r\nHost: 127.0.0.1\r\n":
            trickle.send(bytes([byte]))
            time.sleep(0.5)
    except OSError:
        pass


threading.Thread(target=trickle_bytes, daemon=True).start()
time.sleep(1)
ending = time.monotonic()
listener.send_signal(signal.SIGTERM)
out, err = listener.communicate(timeout=15)
check("SIGTERM with a page open ends it at once", listener.returncode == 0 and
      time.monotonic() - ending < 3 and "summary for cell1-robot1" in out,
      (listener.returncode, time.monotonic() - ending, out[-300:], err[-300:]))
GREYED = """document.body.classList.contains('disconnected') &&
  [...document.querySelectorAll('.rate')].every(rate => rate.textContent === '–') &&
  getComputedStyle(document.querySelector('.sender')).filter.includes('grayscale')"""
check("the listener gone: every card greyed and its rate stopped",
      wait_for(lambda: browser.evaluate(GREYED), 10, "the cards greyed"))
browser.close()
shutil.rmtree(work, ignore_errors=True) if not failures else None

print(f"live view e2e: {len(passes)} passed, {len(failures)} failed")
sys.exit(1 if failures else 0)
