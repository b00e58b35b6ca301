#!/usr/bin/env python3
"""End to end for jointcast-listen as a plant's service: its settings from a --config file, what
it tells systemd (READY, STATUS in words, the watchdog) through a NOTIFY_SOCKET this test listens
on, the recording reopened after a rotation (rename, then SIGHUP), and, on a real mosquitto, the
status topics a subscriber tells live from dead by: a robot turning silent and live, a robot
renamed, a listener killed with SIGKILL leaving "offline" through its last will.
Usage: listen_service_test.py LISTEN"""
import json
import os
import signal
import socket
import subprocess
import sys
import tempfile
import threading
import time

from checks import check, finish, free_port, wait_for
from children import start

LISTEN = sys.argv[1]
work = tempfile.mkdtemp(prefix="jointcast-listen-service-")


class Robot(threading.Thread):
    """Datagrams in the published format from one loopback address, five a second."""

    def __init__(self, source, port):
        super().__init__(daemon=True)
        self.source, self.port = source, port
        self.stopped = threading.Event()
        self.last = 0.0  # time.time() of the last datagram sent

    def run(self):
        with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as s:
            s.bind((self.source, 0))
            i = 0
            while not self.stopped.is_set():
                s.sendto(f"{i % 90}.250000 -2.500000 90.000000 1.125000 12.000000 -7.750000".encode(),
                         ("127.0.0.1", self.port))
                self.last = time.time()
                i += 1
                time.sleep(0.2)

    def stop(self):
        self.stopped.set()
        self.join()


class Topics(threading.Thread):
    """Every message on jointcast/# but the positions, with the time it came, as mosquitto_sub
    gives them."""

    def __init__(self, port):
        super().__init__(daemon=True)
        self.messages = []  # (time, topic, payload)
        self.process = start(["mosquitto_sub", "-h", "127.0.0.1", "-p", str(port), "-t",
                              "jointcast/#", "-T", "jointcast/+/axis_act", "-v"],
                             stdout=subprocess.PIPE, text=True)

    def run(self):
        for line in self.process.stdout:
            topic, _, payload = line.rstrip("\n").partition(" ")
            self.messages.append((time.time(), topic, payload))

    def find(self, topic, state=None):
        for when, t, payload in self.messages:
            if t == topic and (state is None or payload == state or
                               (payload.startswith("{") and json.loads(payload)["state"] == state)):
                return when, payload
        return None


# A mistake in the file: one line naming the file, the line and the key, and exit code 2.
bad = os.path.join(work, "bad.conf")
with open(bad, "w") as f:
    f.write("PORT=4849\nRECIEVER=1\n")
refused = subprocess.run([LISTEN, "--config", bad], capture_output=True, text=True, timeout=10)
check("a misspelt key: one line naming the file, line and key, exit code 2",
      refused.returncode == 2 and refused.stderr.count("\n") == 1 and
      f"{bad}:2: RECIEVER: not a setting" in refused.stderr, refused.stderr)
with open(bad, "w") as f:
    f.write("MQTT_QOS=2\n")
refused = subprocess.run([LISTEN, "--config", bad], capture_output=True, text=True, timeout=10)
check("a bad value: named with the option's own reason, exit code 2",
      refused.returncode == 2 and f"{bad}:1: MQTT_QOS: " in refused.stderr, refused.stderr)

broker_port = free_port()
config = os.path.join(work, "mosquitto.conf")
with open(config, "w") as f:
    f.write(f"listener {broker_port} 127.0.0.1\nallow_anonymous true\npersistence false\n")
    if os.geteuid() == 0:
        f.write("user root\n")
broker = start(["mosquitto", "-c", config], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
wait_for(lambda: socket.socket().connect_ex(("127.0.0.1", broker_port)) == 0, 5)
topics = Topics(broker_port)
topics.start()

udp_port = free_port(socket.SOCK_DGRAM)
names = os.path.join(work, "names.txt")
with open(names, "w") as f:
    f.write("127.0.0.2 robot-a\n127.0.0.3 robot-b\n")
csv = os.path.join(work, "plant.csv")
settings = os.path.join(work, "listen.conf")
with open(settings, "w") as f:
    f.write(f"# the plant's listener\nPORT={udp_port}\nBIND=127.0.0.1\nNAMES={names}\nCSV='{csv}'\n"
            f"MQTT=127.0.0.1:{broker_port}\nMQTT_CLIENT_ID=plant-listener\n")
notify = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
notify_path = os.path.join(work, "notify")
notify.bind(notify_path)
notified = []


def read_notify():
    while True:
        try:
            notified.extend(notify.recv(4096).decode().split("\n"))
        except OSError:
            return


threading.Thread(target=read_notify, daemon=True).start()
env = dict(os.environ, NOTIFY_SOCKET=notify_path, WATCHDOG_USEC="2000000")
listener = start([LISTEN, "--quiet", "--config", settings], env=env, stdout=subprocess.DEVNULL,
                 stderr=subprocess.PIPE, text=True)
check("READY once it listens", wait_for(lambda: "READY=1" in notified, 5), notified)
robots = [Robot("127.0.0.2", udp_port), Robot("127.0.0.3", udp_port)]
for robot in robots:
    robot.start()
status = wait_for(lambda: next((m for m in notified if m.startswith("STATUS=2 robots")), None), 12)
check("STATUS in words: robots, rate, broker, losses",
      status is not None and status.startswith("STATUS=2 robots, ") and
      status.endswith(", broker connected, 0 lost") and
      9.0 <= float(status.split(", ")[1].rstrip("/s")) <= 11.0, notified)
check("the watchdog is fed from the receiving loop", notified.count("WATCHDOG=1") >= 5,
      notified.count("WATCHDOG=1"))
check("the bridge says it is online, on its client id's topic",
      wait_for(lambda: topics.find("jointcast/bridge/plant-listener/status", "online"), 5),
      topics.messages)
check("each robot's status is live",
      wait_for(lambda: topics.find("jointcast/robot-a/status", "live") and
               topics.find("jointcast/robot-b/status", "live"), 5), topics.messages)

# logrotate renames the recording and signals: the next rows go to a new file, with its header.
time.sleep(1.5)  # rows written out
os.rename(csv, csv + ".1")
listener.send_signal(signal.SIGHUP)
fresh = wait_for(lambda: os.path.exists(csv) and len(open(csv).read().splitlines()) >= 3, 5)
lines = open(csv).read().splitlines() if os.path.exists(csv) else []
check("a rename and SIGHUP: the next rows in a new file, which starts with the header",
      fresh and lines[0] == "unix_time,sender,a1,a2,a3,a4,a5,a6" and
      all(line.split(",")[1] in ("127.0.0.2", "127.0.0.3") for line in lines[1:]) and
      len(open(csv + ".1").read().splitlines()) >= 5, lines[:3])

# A robot stops: silent within its silence time (three intervals, at least a second), since its
# last datagram; then live again when it sends.
robots[1].stop()
silent = wait_for(lambda: topics.find("jointcast/robot-b/status", "silent"), 5)
check("a robot that stops turns silent within its silence time, since its last datagram",
      silent and silent[0] - robots[1].last < 1.6 and
      abs(json.loads(silent[1])["since"] - robots[1].last) < 0.3,
      (silent, robots[1].last))

# Renamed in the names file (read again on SIGHUP): its old topic says so.
with open(names, "w") as f:
    f.write("127.0.0.2 robot-a2\n127.0.0.3 robot-b\n")
listener.send_signal(signal.SIGHUP)
renamed = wait_for(lambda: topics.find("jointcast/robot-a/status", "renamed"), 5)
check("a renamed robot's old status topic says renamed, and the new one live",
      renamed and json.loads(renamed[1]).get("as") == "robot-a2" and
      wait_for(lambda: topics.find("jointcast/robot-a2/status", "live"), 3), topics.messages)

# Killed: the broker says "offline" for it, through its last will, and keeps it.
listener.send_signal(signal.SIGKILL)
listener.wait(timeout=10)
robots[0].stop()
late = subprocess.run(["mosquitto_sub", "-h", "127.0.0.1", "-p", str(broker_port), "-t",
                       "jointcast/bridge/plant-listener/status", "-C", "1", "-W", "10"],
                      capture_output=True, text=True, timeout=15)
check("a killed listener leaves offline on its status topic, retained",
      late.stdout.strip() == "offline", late.stdout + late.stderr)

finish("listen service")
