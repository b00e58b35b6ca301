#!/usr/bin/env python3
"""End to end over the loopback: the publisher reading its controller through the variable
proxy's TCP protocol, against jointcast-sim and against scripted servers that misbehave the way
real ones do. Datagrams are received at the fixed port 4849."""
import os
import socket
import struct
import subprocess
import time

from proxy_harness import *  # noqa: F401,F403 (the tests read best with the harness in scope)

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
# A client that writes between its reads: each write is refused (status 0) with a proper reply,
# and the connection stays open for the reads.
answers = []
for msg_id, frame in enumerate([struct.pack(">HHBH", 0, 7, 0, 4) + b"PING",
                                struct.pack(">HHBH", 0, 13, 1, 6) + b"$OV_PR" + struct.pack(">H", 2) + b"50",
                                struct.pack(">HHBH", 0, 12, 0, 9) + b"$AXIS_ACT"], start=10):
    good.sendall(struct.pack(">H", msg_id) + frame[2:])
    answers.append(good.recv(512))
check("jointcast-sim answers a write with a refusal and goes on reading",
      answers[0] == reply(10, b"PONG") and answers[1] == reply(11, b"", status=0) and
      answers[2][7:16] == b"{E6AXIS: ", answers)
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
check("dropped read is sent again once, under an id of its own",
      len(reads) == 2 and reads[0] != reads[1], reads)

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
deadline = time.monotonic() + 5  # the server's threads see the closes in their own time
while server.client_closes < 2 and time.monotonic() < deadline:
    time.sleep(0.05)
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

finish("proxy e2e")
