#!/usr/bin/env python3
"""End to end over the loopback: the publisher reading its controller through the variable
proxy's TCP protocol, against jointcast-sim and against scripted servers that misbehave the way
real ones do. Datagrams are received at the fixed port 4849."""
import atexit
import os
import socket
import struct
import subprocess
import sys
import threading
import time

PUBLISHER, SIM = sys.argv[1], sys.argv[2]
VALUE = b"{E6AXIS: A1 1.5, A2 -2.25, A3 3, A4 4, A5 5, A6 6, E1 0.0, E2 0.0}"
DATAGRAM = b"1.500000 -2.250000 3.000000 4.000000 5.000000 6.000000"
failures = []
children = []  # every process started here; all are ended however the test ends


def end_children():
    for child in children:
        if child.poll() is None:
            child.kill()
            child.wait()


atexit.register(end_children)


def start(args, **kwargs):
    child = subprocess.Popen(args, **kwargs)
    children.append(child)
    return child


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


def run_publisher(port, seconds, arrivals=None, program=PUBLISHER, env=WINDOW):
    """Runs the publisher for some seconds, then ends it with SIGTERM; returns (datagrams,
    stderr, exited by itself). Arrival times of the datagrams go to the list given as arrivals."""
    rx = datagram_receiver()
    with open(os.devnull, "w") as null, open("publisher.err", "w+") as err:
        pub = start([program, "--controller", f"127.0.0.1:{port}"], env=env, stdout=null,
                    stderr=err)
        datagrams, deadline = [], time.monotonic() + seconds
        while time.monotonic() < deadline and pub.poll() is None:
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


# Against jointcast-sim: a moving arm, about five readings a second.
sim_port = 17000 + os.getpid() % 1000
sim = start([SIM, "--port", str(sim_port)], stderr=subprocess.DEVNULL)
time.sleep(0.3)
got, _, _ = run_publisher(sim_port, 2.5)
# Several clients: one sending a malformed frame is closed, the other is still served.
good, bad = socket.create_connection(("127.0.0.1", sim_port)), socket.create_connection(("127.0.0.1", sim_port))
bad.sendall(struct.pack(">HHBH", 9, 40, 0, 3) + b"$MODE_OP" + b"x" * 29)  # lengths disagree
good.sendall(struct.pack(">HHBH", 1, 7, 0, 4) + b"PING")
good.settimeout(2)
bad.settimeout(2)
pong = good.recv(64)
check("jointcast-sim answers PING", pong == reply(1, b"PONG"), pong)
check("jointcast-sim closes a client that sends a malformed frame", bad.recv(64) == b"")
good.sendall(struct.pack(">HHBH", 2, 12, 0, 9) + b"$AXIS_ACT")
check("jointcast-sim keeps serving the other client", good.recv(512)[7:16] == b"{E6AXIS: ")
good.close()
bad.close()
sim.terminate()
sim.wait()
check("jointcast-sim streams", len(got) >= 8 and len(set(got)) == len(got), got)

for behaviour in ("split", "batched", "length3"):
    server = Server(behaviour)
    got, err, _ = run_publisher(server.port, 2.0)
    server.stop = True
    check(f"{behaviour} replies are read", len(got) >= 5 and set(got) == {DATAGRAM}, (got[:3], err))

for behaviour in ("empty", "failtail"):
    server = Server(behaviour)
    got, err, _ = run_publisher(server.port, 4.5)
    server.stop = True
    gaps = [b - a for a, b in zip(server.accepts, server.accepts[1:])]
    check(f"{behaviour} value is a failed read", not got and len(server.accepts) == 2 and gaps[0] >= 3.0,
          (got, server.accepts))

server = Server("drop")
got, err, exited = run_publisher(server.port, 8)
server.stop = True
reads = [r for r in server.requests if r[1] == "$AXIS_ACT"]
check("dropped read ends the program", exited and "can't read variable" in err and not got, err)
check("dropped read is sent again once, same id", len(reads) == 2 and reads[0] == reads[1], reads)

server = Server("close")
got, err, exited = run_publisher(server.port, 9.5)
server.stop = True
gaps = [b - a for a, b in zip(server.accepts, server.accepts[1:])]
check("closed connection reconnects every 3 s", not exited and len(server.accepts) == 3 and
      all(2.9 <= g <= 4.0 for g in gaps), server.accepts)

# The proxy drops the connection at each point of the conversation once: the program registers
# again and streams, whatever state the cycle was in (a dead link leads back to registration
# within two of its 3 s time-outs).
for behaviour in ("close_before_ready_once", "close_after_ready_once", "close_mid_reply_once"):
    server = Server(behaviour)
    arrivals = []
    got, err, exited = run_publisher(server.port, 10, arrivals)
    server.stop = True
    resumed = [t - server.closed_at for t in arrivals if server.closed_at and t > server.closed_at]
    check(f"{behaviour}: streams again after the drop", not exited and len(server.accepts) >= 2
          and resumed and resumed[0] <= 7.5 and set(got) == {DATAGRAM},
          (server.accepts, server.closed_at, resumed[:1], len(got), err),
          f" (first datagram {resumed[0]:.2f} s after the drop)" if resumed else "")

# Without a window: the same cycle and the same datagrams, ended by SIGTERM as a closed window
# ends (the controller connection is closed); and a jointcast with no display runs it.
server = Server(None)
window, _, _ = run_publisher(server.port, 2.0)
headless, err, exited = run_publisher(server.port, 2.0, program=HEADLESS, env=NO_DISPLAY)
time.sleep(0.2)
server.stop = True
check("headless sends the window's datagrams", len(headless) >= 5 and set(headless) ==
      set(window) == {DATAGRAM}, (window[:2], headless[:2], err))
check("SIGTERM ends jointcastd cleanly and closes the controller connection",
      not exited and last_exit[0] == 0 and server.client_closes == 2, (last_exit, server.client_closes, err))
check("headless status on stderr", "Cross green" in err and "Arm green" in err, err)
server = Server(None)
got, err, _ = run_publisher(server.port, 2.0, env=NO_DISPLAY)
server.stop = True
check("no display: jointcast runs headless", "running headless" in err and len(got) >= 5, err)

server = Server(None, backlog_full=True)
got, err, exited = run_publisher(server.port, 4)
check("server that never accepts: program keeps trying", not exited and not got, err)
server.sock.close()

print(f"proxy e2e: {len(passes)} passed, {len(failures)} failed")
sys.exit(1 if failures else 0)
