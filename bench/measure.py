#!/usr/bin/env python3
"""One benchmark run: a sender against its own jointcast-sim at one latency, received here on
UDP 127.0.0.1:4849. Prints one JSON line of figures. Run it in a network namespace of its own
so that several can run side by side.
Usage: measure.py SENDER LATENCY_MS SECONDS BUILD_DIR [WIN_BUILD_DIR] [--period MS]
  SENDER: headless (jointcastd), offscreen (jointcast, Qt offscreen), xvfb (jointcast painting
          on the X server in $DISPLAY), peer (bench/peer.py),
          wine (Jointcast.exe under Wine with the stand-in control, whose simulated controller
          answers after LATENCY_MS; needs WIN_BUILD_DIR with a prepared prefix, see run.sh)
  --period MS: the pause between reads, for jointcastd and the peer (default 200)"""
import bisect
import json
import os
import re
import socket
import statistics
import subprocess
import sys
import threading
import time

from procstat import figures, percentile

args = sys.argv[1:]
period = None
if "--period" in args:
    at = args.index("--period")
    period = int(args[at + 1])
    del args[at:at + 2]
sender, latency, seconds, build = args[0], int(args[1]), float(args[2]), args[3]
here = os.path.dirname(os.path.abspath(__file__))
DATAGRAM = re.compile(rb"-?\d+\.\d{6}( -?\d+\.\d{6}){5}")
# Start-up is measured separately; the window starts once streaming is steady (Wine takes longer).
WARM_UP = 8.0 if sender == "wine" else 3.0
children = []


def start(args, **kwargs):
    child = subprocess.Popen(args, **kwargs)
    children.append(child)
    return child


rx = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
rx.bind(("127.0.0.1", 4849))
rx.settimeout(0.05)
replies = []  # the stand-in under Wine has no trace: no reply-to-datagram figures for it
if sender != "wine":
    sim = start([f"{build}/jointcast-sim", "--port", "7000", "--latency", str(latency), "--trace"],
                stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
    threading.Thread(target=lambda: [replies.append(int(line.split()[1])) for line in sim.stdout
                                     if line.startswith("reply ")], daemon=True).start()
    time.sleep(0.3)

controller = ["--controller", "127.0.0.1:7000"]
env = {k: v for k, v in os.environ.items() if k not in ("DISPLAY", "WAYLAND_DISPLAY")}
win = args[4] if len(args) > 4 else ""
paced = ["--period", str(period)] if period is not None else []
command = {"headless": [f"{build}/jointcastd"] + controller + paced,
           "offscreen": [f"{build}/jointcast"] + controller,
           "xvfb": [f"{build}/jointcast"] + controller,
           "peer": [sys.executable, f"{here}/peer.py", "127.0.0.1:7000"] + paced,
           "wine": [os.environ.get("BENCH_WINE", "wine"), "C:\\jointcast\\Jointcast.exe"]}[sender]
if sender == "offscreen":
    env["QT_QPA_PLATFORM"] = "offscreen"
if sender == "xvfb":
    env.update(DISPLAY=os.environ["DISPLAY"], QT_QPA_PLATFORM="xcb")
if sender == "wine":
    env.update(WINEPREFIX=os.path.abspath(f"{win}/wineprefix"), WINEDEBUG="-all", DISPLAY=os.environ["DISPLAY"],
               JOINTCAST_STANDIN_LATENCY_MS=str(latency))
started = time.monotonic_ns()
proc = start(command, env=env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)

arrivals, malformed, window = [], 0, None
try:
    end = time.monotonic() + WARM_UP + seconds
    while time.monotonic() < end and proc.poll() is None:
        if window is None and time.monotonic() >= end - seconds:
            window = (time.monotonic_ns(), figures(proc.pid))
        try:
            payload = rx.recv(256)
        except socket.timeout:
            continue
        arrivals.append(time.monotonic_ns())
        malformed += not DATAGRAM.fullmatch(payload)
    if window is None or proc.poll() is not None:
        sys.exit(f"measure: the {sender} sender ended early (exit {proc.poll()}) or never "
                 f"streamed: {len(arrivals)} datagrams")
    closing = (time.monotonic_ns(), figures(proc.pid))
finally:
    for child in children:
        child.terminate()
    for child in children:
        child.wait(timeout=10)
    if sender == "wine":
        # Wine's sockets are made by its server: one of this network namespace's own, ended here
        # so that the next run starts its own in its namespace.
        subprocess.run([os.environ.get("BENCH_WINESERVER", "wineserver"), "-k"], env=env)

inside = [t for t in arrivals if t >= window[0]]
intervals = [(b - a) / 1e6 for a, b in zip(inside, inside[1:])]
to_datagram = []
replies.sort()
for t in inside:
    before = bisect.bisect_right(replies, t)  # the last reply that left before it arrived
    if before:
        to_datagram.append((t - replies[before - 1]) / 1e6)
cpu_ns = closing[1][0] - window[1][0]
switches = closing[1][1] - window[1][1]
n = len(inside)
# None where there is nothing to measure: the table prints it as n/a.
print(json.dumps({
    "sender": sender, "latency": latency, "seconds": seconds, "period": period,
    "datagrams": n, "malformed": malformed,
    "per_second": (n - 1) / ((inside[-1] - inside[0]) / 1e9) if n > 1 else None,
    "interval_median": statistics.median(intervals) if intervals else None,
    "interval_p99": percentile(intervals, 99), "interval_max": max(intervals, default=None),
    "cpu_us_per_datagram": cpu_ns / 1000 / n if n else None,
    "wakeups_per_datagram": switches / n if n else None,
    "reply_to_datagram_median": statistics.median(to_datagram) if to_datagram else None,
    "reply_to_datagram_p99": percentile(to_datagram, 99),
    "peak_rss_mib": closing[1][2] / 1024,
    "start_to_first_datagram": (arrivals[0] - started) / 1e9 if arrivals else None,
}))
