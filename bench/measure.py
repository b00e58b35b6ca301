#!/usr/bin/env python3
"""One benchmark run: a sender against its own jointcast-sim at one latency, received here on
UDP 127.0.0.1:4849. Prints one JSON line of figures. Run it in a network namespace of its own
so that several can run side by side.
Usage: measure.py SENDER LATENCY_MS SECONDS BUILD_DIR [WIN_BUILD_DIR]
  SENDER: headless (jointcastd), offscreen (jointcast, Qt offscreen), peer (bench/peer.py),
          wine (Jointcast.exe under Wine with the stand-in control, whose simulated controller
          answers after LATENCY_MS; needs WIN_BUILD_DIR with a prepared prefix, see run.sh)"""
import json
import os
import re
import socket
import statistics
import subprocess
import sys
import threading
import time

sender, latency, seconds, build = sys.argv[1], int(sys.argv[2]), float(sys.argv[3]), sys.argv[4]
here = os.path.dirname(os.path.abspath(__file__))
DATAGRAM = re.compile(rb"-?\d+\.\d{6}( -?\d+\.\d{6}){5}")
# Start-up is measured separately; the window starts once streaming is steady (Wine takes longer).
WARM_UP = 8.0 if sender == "wine" else 3.0
children = []


def start(args, **kwargs):
    child = subprocess.Popen(args, **kwargs)
    children.append(child)
    return child


def proc_figures(pid):
    """CPU seconds (all threads), voluntary context switches (all threads), peak RSS in KiB."""
    with open(f"/proc/{pid}/stat") as f:
        fields = f.read().rsplit(")", 1)[1].split()
    cpu = (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")
    switches = 0
    for task in os.listdir(f"/proc/{pid}/task"):
        try:
            with open(f"/proc/{pid}/task/{task}/status") as f:
                switches += int(re.search(r"^voluntary_ctxt_switches:\s+(\d+)", f.read(), re.M)[1])
        except (OSError, TypeError):
            pass
    with open(f"/proc/{pid}/status") as f:
        rss = int(re.search(r"^VmHWM:\s+(\d+)", f.read(), re.M)[1])
    return cpu, switches, rss


def percentile(values, p):
    ordered = sorted(values)
    return ordered[min(len(ordered) - 1, int(round(p / 100 * (len(ordered) - 1))))] if ordered else 0


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
win = sys.argv[5] if len(sys.argv) > 5 else ""
command = {"headless": [f"{build}/jointcastd"] + controller,
           "offscreen": [f"{build}/jointcast"] + controller,
           "peer": [sys.executable, f"{here}/peer.py", "127.0.0.1:7000"],
           "wine": [os.environ.get("BENCH_WINE", "wine"), "C:\\jointcast\\Jointcast.exe"]}[sender]
if sender == "offscreen":
    env["QT_QPA_PLATFORM"] = "offscreen"
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
            window = (time.monotonic_ns(), proc_figures(proc.pid))
        try:
            payload = rx.recv(256)
        except socket.timeout:
            continue
        arrivals.append(time.monotonic_ns())
        malformed += not DATAGRAM.fullmatch(payload)
    if window is None or proc.poll() is not None:
        sys.exit(f"measure: the {sender} sender ended early (exit {proc.poll()}) or never "
                 f"streamed: {len(arrivals)} datagrams")
    closing = (time.monotonic_ns(), proc_figures(proc.pid))
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
for t in inside:
    before = [r for r in replies[-400:] if r <= t]
    if before:
        to_datagram.append((t - before[-1]) / 1e6)
cpu = closing[1][0] - window[1][0]
switches = closing[1][1] - window[1][1]
n = len(inside)
print(json.dumps({
    "sender": sender, "latency": latency, "seconds": seconds,
    "datagrams": n, "malformed": malformed,
    "interval_median": statistics.median(intervals) if intervals else 0,
    "interval_p99": percentile(intervals, 99), "interval_max": max(intervals, default=0),
    "cpu_ms_per_datagram": 1000 * cpu / n if n else 0,
    "wakeups_per_datagram": switches / n if n else 0,
    "reply_to_datagram_median": statistics.median(to_datagram) if to_datagram else 0,
    "reply_to_datagram_p99": percentile(to_datagram, 99),
    "peak_rss_mib": closing[1][2] / 1024,
    "start_to_first_datagram": (arrivals[0] - started) / 1e9 if arrivals else None,
}))
