#!/usr/bin/env python3
"""Memory of jointcast-listen over a long stream: 1,000,000 datagrams from 100 senders on
loopback addresses, RSS read from /proc after the first 10,000 and at the end. The listener
must not grow with the stream (its statistics take fixed memory per sender).
Usage: bench/listener_memory.py BUILD_DIR [DATAGRAMS]   (run in a network namespace of its own:
tests/in-own-network.sh python3 bench/listener_memory.py build)"""
import os
import socket
import subprocess
import sys
import time

build = sys.argv[1]
total = int(sys.argv[2]) if len(sys.argv) > 2 else 1_000_000
senders = 100
listener = subprocess.Popen([os.path.join(build, "jointcast-listen"), "--bind", "127.0.0.1",
                             "--quiet", "--seconds", "3600"], stdout=subprocess.PIPE,
                            stderr=subprocess.DEVNULL, text=True)
time.sleep(0.5)


def rss_kib():
    with open(f"/proc/{listener.pid}/status") as f:
        for line in f:
            if line.startswith("VmRSS:"):
                return int(line.split()[1])
    return 0


sockets = []
for n in range(senders):
    s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    s.bind((f"127.0.{n + 1}.1", 0))
    sockets.append(s)
payload = b"12.345600 0.000000 180.000000 -180.500000 7.000000 45.678001"
after_first = None
started = time.monotonic()
for i in range(total):
    sockets[i % senders].sendto(payload, ("127.0.0.1", 4849))
    if i % 1000 == 999:
        time.sleep(0.002)  # within what the listener's socket buffer holds
    if i + 1 == 10_000:
        time.sleep(0.5)
        after_first = rss_kib()
time.sleep(1)
at_end = rss_kib()
listener.terminate()
summary = listener.communicate(timeout=10)[0].splitlines()
received = sum(int(line.split(": ")[1].split()[0]) for line in summary if line.startswith("summary"))
print(f"listener memory: {total} datagrams from {senders} senders in {time.monotonic() - started:.0f} s, "
      f"{received} received; RSS {after_first} KiB after 10,000, {at_end} KiB at the end "
      f"(growth {at_end - after_first} KiB)")
