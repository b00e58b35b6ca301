#!/usr/bin/env python3
"""The benchmark's peer: a minimal poller written from the variable-proxy protocol. It asks
$MODE_OP once, then requests $AXIS_ACT every 200 ms (--period MS; 0: back to back) on a fixed
schedule (at once when a reply took longer), and sends each reply's six values as the
publisher's datagram ("%f" of the single-precision value, six fields, one space) to
localhost:4849. Usage: peer.py HOST:PORT [--period MS]"""
import re
import select
import signal
import socket
import struct
import sys
import time

host, port = sys.argv[1].rsplit(":", 1)
period = int(sys.argv[sys.argv.index("--period") + 1]) / 1000 if "--period" in sys.argv else 0.2
conn = socket.create_connection((host, int(port)))
conn.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
out = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
destination = ("127.0.0.1", 4849)
signal.signal(signal.SIGTERM, lambda *_: sys.exit(0))
AXES = re.compile(rb"A1 ([^,]+), A2 ([^,]+), A3 ([^,]+), A4 ([^,]+), A5 ([^,]+), A6 ([^,}]+)")
buffered = b""
msg_id = 0


def ask(name):
    global msg_id
    msg_id = msg_id % 65535 + 1
    conn.sendall(struct.pack(">HHBH", msg_id, 3 + len(name), 0, len(name)) + name)


def reply():
    """The next reply's value, read whole."""
    global buffered
    while True:
        if len(buffered) >= 7:
            value_len = struct.unpack(">H", buffered[5:7])[0]
            if len(buffered) >= 7 + value_len + 3:
                value = buffered[7:7 + value_len]
                buffered = buffered[7 + value_len + 3:]
                return value
        chunk = conn.recv(4096)
        if not chunk:
            sys.exit(1)
        buffered += chunk


ask(b"$MODE_OP")
reply()
due = time.monotonic()
while True:
    pause = due - time.monotonic()
    if pause > 0:
        select.select([], [], [], pause)
    due = max(due + period, time.monotonic())
    ask(b"$AXIS_ACT")
    m = AXES.search(reply())
    if m:
        values = [struct.unpack("f", struct.pack("f", float(v)))[0] for v in m.groups()]
        out.sendto(("%f %f %f %f %f %f" % tuple(values)).encode(), destination)
