#!/usr/bin/env python3
"""End to end for publishers in a plant: robots on one server told apart by source port and
named, one publisher feeding two receivers, a receiver name that resolves only after the start,
and a stop while every name lookup hangs. Real jointcastd, jointcast-sim and jointcast-listen
processes; name resolution is changed in mount namespaces of the test's own (a hosts file, a
resolv.conf whose name server never answers).
Usage: plant_test.py BUILD_DIR"""
import os
import re
import signal
import socket
import subprocess
import sys
import tempfile
import time

from checks import check, finish, free_port, wait_for
from children import start

BUILD = sys.argv[1]
JOINTCASTD = os.path.join(BUILD, "jointcastd")
work = tempfile.mkdtemp(prefix="jointcast-plant-")


def publisher(name, *args, mounts=""):
    """jointcastd with its stderr in a file; mounts: shell commands run first in a mount
    namespace of its own."""
    err = open(os.path.join(work, f"{name}.err"), "w+")
    command = [JOINTCASTD, *args]
    if mounts:
        command = ["unshare", "--mount", "--", "sh", "-c",
                   f"{mounts} && exec " + " ".join(command)]
    return start(command, stdout=subprocess.DEVNULL, stderr=err), err.name


def said(path):
    with open(path) as f:
        return f.read()


def receive(sock, seconds):
    """The datagrams that arrive within the seconds, with their senders."""
    got = []
    deadline = time.monotonic() + seconds
    while (left := deadline - time.monotonic()) > 0:
        sock.settimeout(left)
        try:
            got.append(sock.recvfrom(256))
        except socket.timeout:
            break
    return got


sim_port = free_port()
sim = start([os.path.join(BUILD, "jointcast-sim"), "--port", str(sim_port)],
            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
time.sleep(0.3)
controller = f"--controller=127.0.0.1:{sim_port}"

# Two robots' publishers on one server, each from a source port of its own: the names file lists
# the server's address with ports, so the listener tells them apart by name in its summary and
# its recording, and a replay picks one of them by ADDRESS:PORT.
listen_port = free_port(socket.SOCK_DGRAM)
names = os.path.join(work, "names.txt")
with open(names, "w") as f:
    f.write("127.0.0.1:40001 robot1\n127.0.0.1:40002 robot2\n")
csv = os.path.join(work, "cell.csv")
listener = start([os.path.join(BUILD, "jointcast-listen"), "--port", str(listen_port), "--bind",
                  "127.0.0.1", "--names", names, "--csv", csv, "--quiet", "--seconds", "4"],
                 stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
time.sleep(0.3)
robots = [publisher(f"robot{n}", controller, "--to", f"127.0.0.1:{listen_port}",
                    "--source-port", str(40000 + n))[0] for n in (1, 2)]
out, _ = listener.communicate(timeout=15)
for robot in robots:
    robot.terminate()
    robot.wait(timeout=10)
summary = [line for line in out.splitlines() if line.startswith("summary")]
check("two publishers on one host: two senders, each by name and source port",
      len(summary) == 2 and "summary for robot1 (127.0.0.1:40001):" in out and
      "summary for robot2 (127.0.0.1:40002):" in out, out)
rows = open(csv).read().splitlines()[1:]
senders = {row.split(",")[1] for row in rows}
check("two publishers on one host: the recording's sender column has ADDRESS:PORT",
      senders == {"127.0.0.1:40001", "127.0.0.1:40002"}, senders)
with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as replayed_rx:
    replayed_rx.bind(("127.0.0.1", 0))
    replayed = subprocess.run([os.path.join(BUILD, "jointcast-replay"), csv, "--sender",
                               "127.0.0.1:40002", "--to",
                               f"127.0.0.1:{replayed_rx.getsockname()[1]}", "--speed", "100"],
                              capture_output=True, text=True, timeout=30)
    robot2_rows = sum(row.split(",")[1] == "127.0.0.1:40002" for row in rows)
    check("jointcast-replay --sender ADDRESS:PORT sends that robot's rows",
          replayed.returncode == 0 and f"{robot2_rows} datagrams sent" in replayed.stderr,
          replayed.stderr)
taken = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
taken.bind(("0.0.0.0", 40003))
clash, clash_err = publisher("clash", controller, "--source-port", "40003")
ended = clash.wait(timeout=10)
check("a source port in use: said, and the program does not start",
      ended != 0 and "cannot send from UDP port 40003: address already in use" in said(clash_err),
      said(clash_err))
taken.close()

# One publisher, two receivers given as HOST:PORT, one of them by name: each gets every reading.
# A third that cannot be resolved is said once and holds nobody back.
with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as twin, \
        socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as broker:
    twin.bind(("127.0.0.1", 0))
    broker.bind(("127.0.0.1", 0))
    both, both_err = publisher("two-receivers", controller, "--period", "100", "--to",
                               f"127.0.0.1:{twin.getsockname()[1]}", "--to",
                               f"localhost:{broker.getsockname()[1]},nosuch.invalid:4849")
    time.sleep(2)
    receive(twin, 0.01), receive(broker, 0.01)  # what came while it started
    time.sleep(1)
    to_twin, to_broker = receive(twin, 0.01), receive(broker, 0.01)
    both.terminate()
    both.wait(timeout=10)
text = said(both_err)
# The two are read one after the other, so a reading may come between: the ones inside the
# window must be in both.
check("one publisher, two receivers: both get the readings, about 10 a second each",
      8 <= len(to_twin) <= 12 and 8 <= len(to_broker) <= 12 and
      {d for d, _ in to_twin[1:-1]} <= {d for d, _ in to_broker},
      (len(to_twin), len(to_broker), text))
check("a receiver that does not resolve is said once, with the reason",
      text.count("receiver nosuch.invalid:4849: cannot resolve the name") == 1, text)

# A receiver whose name resolves only after the start (the name server late at boot): tried
# again with a back-off, and streaming begins by itself once the name resolves.
hosts = os.path.join(work, "hosts")
with open(hosts, "w") as f:
    f.write("127.0.0.1 localhost\n")
with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as late_rx:
    late_rx.bind(("127.0.0.1", 0))
    late, late_err = publisher("late-name", controller, "--to",
                               f"sim.cell3:{late_rx.getsockname()[1]}",
                               mounts=f"mount --bind {hosts} /etc/hosts")
    early = receive(late_rx, 2)
    with open(hosts, "w") as f:  # the same file, so the bind mount shows the new line
        f.write("127.0.0.1 localhost\n127.0.0.1 sim.cell3\n")
    began = time.monotonic()
    first = receive(late_rx, 8)[:1]
    waited = time.monotonic() - began
    later = receive(late_rx, 1)
    late.terminate()
    late.wait(timeout=10)
text = said(late_err)
check("a receiver name that resolves after the start: nothing before, then streaming",
      not early and first and len(later) >= 3 and
      "receiver sim.cell3:" in text and "cannot resolve the name" in text and
      "takes datagrams again" in text, (len(early), waited, len(later), text))

# Every name lookup hangs (a name server that never answers), for the controller and for eight
# receivers beside one given by address: the loop goes on, and SIGTERM ends the program within
# a second.
with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as silent_dns:
    silent_dns.bind(("127.0.0.1", 53))
    resolv = os.path.join(work, "resolv.conf")
    with open(resolv, "w") as f:
        f.write("nameserver 127.0.0.1\noptions timeout:30 attempts:5\n")
    mounts = f"mount --bind {hosts} /etc/hosts && mount --bind {resolv} /etc/resolv.conf"
    receivers = ",".join(f"sim{n}.unanswered" for n in range(8)) + ",127.0.0.1:9"
    # Stopped while it starts (the first lookups under way), and once it has run a while.
    for name, after in (("hung-at-start", 0.3), ("hung-lookups", 3)):
        hung, hung_err = publisher(name, "--controller", "robot.unanswered:7000", "--to",
                                   receivers, mounts=mounts)
        time.sleep(after)
        began = time.monotonic()
        hung.send_signal(signal.SIGTERM)
        try:
            ended = hung.wait(timeout=10)
        except subprocess.TimeoutExpired:
            ended = None  # still running: ended by the children's clean-up
        took = time.monotonic() - began
        check(f"SIGTERM {after} s into a run where every lookup hangs: the end within 1 s",
              ended == 0 and took < 1.0, (ended, took, said(hung_err)))
text = said(hung_err)
check("a controller name the name server does not answer is said as such",
      "has not answered yet" in text, text)

sim.terminate()
finish("plant")
