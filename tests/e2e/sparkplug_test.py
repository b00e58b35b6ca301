#!/usr/bin/env python3
"""End to end for jointcast-listen as a Sparkplug B edge node, read by the tools' own clients: a
SCADA-like subscriber (the npm packages mqtt and sparkplug-payload) on a real mosquitto takes
NBIRTH, a DBIRTH per robot and DDATA with six values, checks seq, asks for a rebirth, and sees a
robot's DDEATH when it stops and the node's NDEATH, with NBIRTH's bdSeq, after SIGKILL.
Usage: sparkplug_test.py LISTEN NODE_MODULES"""
import json
import os
import select
import socket
import subprocess
import sys
import tempfile
import threading
import time

from checks import check, finish, free_port, wait_for
from children import start

LISTEN, NODE_MODULES = sys.argv[1], sys.argv[2]
HERE = os.path.dirname(os.path.abspath(__file__))
work = tempfile.mkdtemp(prefix="jointcast-sparkplug-")


class Robot(threading.Thread):
    def __init__(self, source, port, angle):
        super().__init__(daemon=True)
        self.source, self.port, self.angle = source, port, angle
        self.stopped = threading.Event()

    def run(self):
        with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as s:
            s.bind((self.source, 0))
            while not self.stopped.is_set():
                s.sendto(f"{self.angle:.6f} -2.500000 90.000000 1.125000 12.000000 -7.750000".encode(),
                         ("127.0.0.1", self.port))
                time.sleep(0.2)


broker_port, udp_port = free_port(), free_port(socket.SOCK_DGRAM)
config = os.path.join(work, "mosquitto.conf")
with open(config, "w") as f:
    f.write(f"listener {broker_port} 127.0.0.1\nallow_anonymous true\npersistence false\n")
    if os.geteuid() == 0:
        f.write("user root\n")
start(["mosquitto", "-c", config], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
wait_for(lambda: socket.socket().connect_ex(("127.0.0.1", broker_port)) == 0, 5)

messages = []  # (topic, payload) as the subscriber decoded them
subscriber = start(["node", os.path.join(HERE, "npm", "sparkplug-subscriber.js"), str(broker_port),
                    "cell3", "edge1"], stdout=subprocess.PIPE, text=True,
                   env=dict(os.environ, NODE_PATH=NODE_MODULES))


def read():
    for line in subscriber.stdout:
        message = json.loads(line)
        if "topic" in message:
            messages.append((message["topic"], message["payload"]))


ready = select.select([subscriber.stdout], [], [], 15)[0] and subscriber.stdout.readline()
check("the subscriber is on spBv1.0/#", ready and "subscribed" in ready, ready)
threading.Thread(target=read, daemon=True).start()
names = os.path.join(work, "names.txt")
with open(names, "w") as f:
    f.write("127.0.0.2 robot-a\n127.0.0.3 robot-b\n")
listener = start([LISTEN, "--quiet", "--port", str(udp_port), "--bind", "127.0.0.1", "--names",
                  names, "--mqtt", f"127.0.0.1:{broker_port}", "--mqtt-client-id", "edge1",
                  "--sparkplug", "cell3", "--sparkplug-only"],
                 stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True)
robots = [Robot("127.0.0.2", udp_port, 90.0), Robot("127.0.0.3", udp_port, 180.0)]
for robot in robots:
    robot.start()


def of(kind, device=None):
    return [p for t, p in messages
            if t == f"spBv1.0/cell3/{kind}/edge1" + (f"/{device}" if device else "")]


def metric(payload, name):
    return next((m for m in payload.get("metrics", []) if m["name"] == name), None)


wait_for(lambda: len(of("NBIRTH")) >= 2 and len(of("DDATA", "robot-b")) >= 10, 20)
births = of("NBIRTH")
check("NBIRTH with bdSeq and Node Control/Rebirth",
      births and metric(births[0], "bdSeq") is not None and
      metric(births[0], "Node Control/Rebirth") == {**metric(births[0], "Node Control/Rebirth"),
                                                    "type": "Boolean", "value": False},
      births[:1])
for device in ("robot-a", "robot-b"):
    dbirth = of("DBIRTH", device)
    joints = [metric(dbirth[0], f"A{i}") for i in range(1, 7)] if dbirth else []
    check(f"DBIRTH of {device}: A1..A6, Double, with the property unit = deg",
          len(joints) == 6 and all(j and j["type"] == "Double" and
                                   j["properties"]["unit"]["value"] == "deg" for j in joints),
          dbirth[:1])
data = of("DDATA", "robot-b")
check("DDATA with the six values received, time-stamped",
      data and [metric(data[0], f"A{i}")["value"] for i in range(1, 7)] ==
      [180.0, -2.5, 90.0, 1.125, 12.0, -7.75] and data[0]["timestamp"] > 1.6e12, data[:1])
# The node's own messages that carry seq (the NCMD is the subscriber's; NDEATH has none).
sequenced = [(t, p) for t, p in messages
             if t.split("/")[2] in ("NBIRTH", "DBIRTH", "DDATA", "DDEATH")]
runs = [p["seq"] for _, p in sequenced]
check("seq goes up by one from NBIRTH's 0, message after message",
      runs[0] == 0 and all(b == (a + 1) % 256 or b == 0 for a, b in zip(runs, runs[1:])) and
      runs.count(0) == len(births), runs[:40])
check("an NCMD Node Control/Rebirth is answered with NBIRTH and the DBIRTHs again",
      len(births) >= 2 and len(of("DBIRTH", "robot-a")) >= 2 and len(of("DBIRTH", "robot-b")) >= 2,
      (len(births), len(of("DBIRTH", "robot-a"))))

robots[0].stopped.set()
check("a robot that stops gets its DDEATH",
      wait_for(lambda: of("DDEATH", "robot-a"), 5), [t for t, _ in messages][-5:])
bd_seq = metric(births[0], "bdSeq")["value"]
listener.kill()
listener.wait(timeout=10)
deaths = wait_for(lambda: of("NDEATH"), 10)
check("after SIGKILL the broker publishes NDEATH with the NBIRTH's bdSeq",
      deaths and metric(deaths[0], "bdSeq")["value"] == bd_seq, (deaths, bd_seq))
# The subscriber sees spBv1.0/# only; the position topics are checked directly.
positions = subprocess.run(["mosquitto_sub", "-p", str(broker_port), "-t", "jointcast/#", "-W", "2"],
                           capture_output=True, text=True)
check("no position topics with --sparkplug-only", positions.stdout == "", positions.stdout[:200])
robots[1].stopped.set()
finish("sparkplug")
