#!/usr/bin/env python3
"""The position datagrams' counter inside the emulated 32-bit PC, where no Linux build of
jointcast-listen runs: the same options the Wine suite passes it (--bind, --count, --seconds),
the same format check, and its summary line in the same form.
"""
import argparse
import re
import socket
import statistics
import time

VALUE = r"-?[0-9]{1,12}\.[0-9]{6}"
DATAGRAM = re.compile(rf"{VALUE}( {VALUE}){{5}}")

parser = argparse.ArgumentParser()
parser.add_argument("--bind", default="0.0.0.0")
parser.add_argument("--count", type=int, default=0)
parser.add_argument("--seconds", type=float, default=0)
args = parser.parse_args()

sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
sock.bind((args.bind, 4849))
deadline = time.monotonic() + args.seconds if args.seconds else None
received = malformed = 0
arrivals = []
while not args.count or received < args.count:
    if deadline is not None:
        left = deadline - time.monotonic()
        if left <= 0:
            break
        sock.settimeout(left)
    try:
        payload = sock.recv(2048)
    except socket.timeout:
        break
    arrivals.append(time.monotonic())
    received += 1
    good = DATAGRAM.fullmatch(payload.decode("ascii", "replace")) is not None
    malformed += not good
    print(("" if good else "MALFORMED ") + payload.decode("ascii", "replace"), flush=True)

gaps = sorted((b - a) * 1000 for a, b in zip(arrivals, arrivals[1:])) or [0.0]
p99 = gaps[min(len(gaps) - 1, int(0.99 * len(gaps)))]
print(
    f"summary: {received} datagrams, {malformed} malformed, interval mean "
    f"{statistics.fmean(gaps):.1f} ms, median {statistics.median(gaps):.1f} ms, "
    f"p99 {p99:.1f} ms, max {gaps[-1]:.1f} ms",
    flush=True,
)
