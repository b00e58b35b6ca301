#!/usr/bin/env python3
"""What the proxy end-to-end tests share: scripted servers that speak the variable proxy's
protocol, a run of the publisher with datagrams received at the fixed port 4849, and checks.
Child processes are started through children.start, which ends them however a test ends.
Arguments of the tests: PUBLISHER SIM."""
import os
import socket
import struct
import sys
import threading
import time

from children import start  # noqa: F401 (the tests start their processes with it)

PUBLISHER, SIM = sys.argv[1], sys.argv[2]
VALUE = b"{E6AXIS: A1 1.5, A2 -2.25, A3 3, A4 4, A5 5, A6 6, E1 0.0, E2 0.0}"
DATAGRAM = b"1.500000 -2.250000 3.000000 4.000000 5.000000 6.000000"
failures = []


def datagram_receiver():
    rx = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    try:
        rx.bind(("127.0.0.1", 4849))
    except OSError as error:
        sys.exit(f"FAIL: UDP port 4849 is in use by another program ({error}); stop it and run "
                 "the test again")
    rx.settimeout(0.1)
    return rx


def reply(msg_id, value, status=1, plus=6):
    return struct.pack(">HHBH", msg_id, len(value) + plus, 0, len(value)) + value + bytes([0, 1, status])


def read_request(conn):
    head = b""
    while len(head) < 4:
        chunk = conn.recv(4 - len(head))
        if not chunk:
            return None
        head += chunk
    msg_id, length = struct.unpack(">HH", head)
    body = b""
    while len(body) < length:
        chunk = conn.recv(length - len(body))
        if not chunk:
            return None
        body += chunk
    name_len = struct.unpack(">H", body[1:3])[0]
    return msg_id, body[3:3 + name_len].decode()


class Server(threading.Thread):
    """Answers $MODE_OP; answers $AXIS_ACT as the behaviour says."""

    def __init__(self, behaviour, backlog_full=False):
        super().__init__(daemon=True)
        self.behaviour, self.accepts, self.requests = behaviour, [], []
        self.closed_at = None  # when a first-connection-only fault closed the connection
        self.client_closes = 0
        self.dropped = False
        self.sock = socket.socket()
        self.sock.bind(("127.0.0.1", 0))
        self.port = self.sock.getsockname()[1]
        self.stop = False
        if backlog_full:  # a server that never accepts: its queue is full, SYNs go unanswered
            self.sock.listen(0)
            self.fillers = []
            for _ in range(8):
                try:
                    self.fillers.append(socket.create_connection(("127.0.0.1", self.port), 0.5))
                except OSError:
                    return
            raise RuntimeError("could not fill the accept queue")
        self.sock.listen(4)
        self.sock.settimeout(0.2)
        self.start()

    def run(self):
        while not self.stop:
            try:
                conn, _ = self.sock.accept()
            except socket.timeout:
                continue
            self.accepts.append(time.monotonic())
            first = len(self.accepts) == 1
            threading.Thread(target=self.serve, args=(conn, first), daemon=True).start()

    def serve(self, conn, first):
        try:
            self.answer(conn, first)
        except ConnectionResetError:  # closed with a reply still unread: a close all the same
            self.client_closes += 1
        except OSError:  # the publisher went away mid-reply
            pass

    def answer(self, conn, first):
        previous = b""
        # The "..._once" behaviours close the first connection at one point of the conversation
        # and serve every later one normally.
        b = self.behaviour
        if b and b.endswith("_once"):
            b = b if first else None
        with conn:
            while not self.stop:
                request = read_request(conn)
                if request is None:
                    self.client_closes += 1
                    return
                msg_id, name = request
                self.requests.append((msg_id, name))
                if b == "silent":  # accepts, reads, never answers
                    continue
                if name == "$MODE_OP":
                    if b == "close_before_ready_once":
                        self.closed_at = time.monotonic()
                        return
                    conn.sendall(reply(msg_id, b"#T1"))
                    if b in ("close", "close_after_ready_once"):
                        self.closed_at = time.monotonic()
                        return
                    continue
                if b == "close_mid_reply_once":
                    conn.sendall(reply(msg_id, VALUE)[:20])
                    self.closed_at = time.monotonic()
                    return
                if b == "drop":
                    continue
                if b == "drop_every_5th" and len(self.requests) % 5 == 0:
                    continue
                if b == "drop_one" and not self.dropped:
                    self.dropped = True
                    continue
                if b == "garbage_once":
                    conn.sendall(b"\x00\x01\x00\x05" + b"\xff" * 40)
                    self.closed_at = time.monotonic()
                    self.requests.append("garbage")
                    b = None  # the publisher must hang up; serve normally should it not
                    continue
                if b == "empty":
                    conn.sendall(reply(msg_id, b""))
                elif b == "failtail":
                    conn.sendall(reply(msg_id, VALUE, status=0))
                elif b == "length3":
                    conn.sendall(reply(msg_id, VALUE, plus=3))
                elif b == "split":
                    for byte in reply(msg_id, VALUE):
                        conn.sendall(bytes([byte]))
                        time.sleep(0.001)
                elif b == "batched":  # a stale duplicate and the answer in one segment
                    current = reply(msg_id, VALUE)
                    conn.sendall(previous + current)
                    previous = current
                else:
                    conn.sendall(reply(msg_id, VALUE))


WINDOW = dict(os.environ, QT_QPA_PLATFORM="offscreen")  # the Qt window, offscreen
NO_DISPLAY = {k: v for k, v in os.environ.items()
              if k not in ("DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM")}
HEADLESS = os.path.join(os.path.dirname(PUBLISHER), "jointcastd")
last_exit = [None]  # the exit status of the latest run, once it has ended


def run_publisher(port, seconds, arrivals=None, program=PUBLISHER, env=WINDOW, during=None):
    """Runs the publisher for some seconds, then ends it with SIGTERM; returns (datagrams,
    stderr, exited by itself). Arrival times of the datagrams go to the list given as arrivals.
    during: (seconds, function) calls the function with the process that many seconds in."""
    rx = datagram_receiver()
    with open(os.devnull, "w") as null, open("publisher.err", "w+") as err:
        pub = start([program, "--controller", f"127.0.0.1:{port}"], env=env, stdout=null,
                    stderr=err)
        begun = time.monotonic()
        datagrams, deadline = [], begun + seconds
        while time.monotonic() < deadline and pub.poll() is None:
            if during and time.monotonic() - begun >= during[0]:
                during[1](pub)
                during = None
            try:
                datagrams.append(rx.recv(256))
                if arrivals is not None:
                    arrivals.append(time.monotonic())
            except socket.timeout:
                pass
        exited = pub.poll() is not None
        if not exited:
            pub.terminate()
        last_exit[0] = pub.wait(timeout=10)
        err.seek(0)
        stderr = err.read()
    rx.close()
    return datagrams, stderr, exited


passes = []


def check(name, condition, detail="", note=""):
    print(("ok   " if condition else "FAIL ") + name + (note if condition else f": {detail}"))
    (passes if condition else failures).append(name)


def finish(name):
    print(f"{name}: {len(passes)} passed, {len(failures)} failed")
    sys.exit(1 if failures else 0)
