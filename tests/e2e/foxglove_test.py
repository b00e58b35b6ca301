#!/usr/bin/env python3
"""End to end for jointcast-listen's Foxglove WebSocket server, read by Foxglove's own client
(the npm package @foxglove/ws-protocol over ws): two robots' channels with the JointStates
schema, positions in radians (90 and 180 degrees give pi/2 and pi), the arrival time in ns as
the log time and the message's timestamp, the rate; then a Host the server does not answer to.
Usage: foxglove_test.py LISTEN NODE_MODULES"""
import json
import math
import os
import socket
import subprocess
import sys
import threading
import time

from checks import check, finish, free_port, wait_for
from children import start

LISTEN, NODE_MODULES = sys.argv[1], sys.argv[2]
HERE = os.path.dirname(os.path.abspath(__file__))


def robot(source, port, degrees, stopped):
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as s:
        s.bind((source, 0))
        while not stopped.is_set():
            s.sendto(f"{degrees:.6f} -2.500000 90.000000 1.125000 12.000000 -7.750000".encode(),
                     ("127.0.0.1", port))
            time.sleep(0.2)


udp_port, ws_port = free_port(socket.SOCK_DGRAM), free_port()
listener = start([LISTEN, "--quiet", "--port", str(udp_port), "--bind", "127.0.0.1",
                  "--foxglove", f"127.0.0.1:{ws_port}"], stdout=subprocess.DEVNULL,
                 stderr=subprocess.PIPE, text=True)
wait_for(lambda: socket.socket().connect_ex(("127.0.0.1", ws_port)) == 0, 10)
stopped = threading.Event()
for source, degrees in (("127.0.0.2", 90.0), ("127.0.0.3", 180.0)):
    threading.Thread(target=robot, args=(source, udp_port, degrees, stopped), daemon=True).start()
time.sleep(0.5)  # both robots have appeared

seconds = 4
began = time.time()
client = subprocess.run(["node", os.path.join(HERE, "npm", "foxglove-subscriber.js"),
                         f"ws://127.0.0.1:{ws_port}", str(seconds)], capture_output=True,
                        text=True, timeout=30, env=dict(os.environ, NODE_PATH=NODE_MODULES))
events = [json.loads(line) for line in client.stdout.splitlines()]
advertised = [c for e in events if "advertise" in e for c in e["advertise"]]
check("serverInfo, then the channels of both robots, each with the JointStates schema",
      any("serverInfo" in e for e in events) and
      sorted(c["topic"] for c in advertised) == ["/127.0.0.2/joint_states", "/127.0.0.3/joint_states"]
      and all(c["encoding"] == "json" and c["schemaName"] == "foxglove.JointStates" and
              json.loads(c["schema"])["type"] == "object" for c in advertised),
      (advertised, client.stderr[-500:]))
messages = [e for e in events if "message" in e]
first = {topic: next((m for m in messages if m["topic"] == topic), None)
         for topic in ("/127.0.0.2/joint_states", "/127.0.0.3/joint_states")}
check("six joints A1..A6, positions in radians: 90 and 180 degrees are pi/2 and pi",
      all(first.values()) and
      [j["name"] for j in first["/127.0.0.2/joint_states"]["message"]["joints"]] ==
      ["A1", "A2", "A3", "A4", "A5", "A6"] and
      abs(first["/127.0.0.2/joint_states"]["message"]["joints"][0]["position"] - math.pi / 2) < 1e-6
      and abs(first["/127.0.0.3/joint_states"]["message"]["joints"][0]["position"] - math.pi) < 1e-6,
      first)
sample = messages[0] if messages else {}
stamp = sample.get("message", {}).get("timestamp", {})
log_time = int(sample.get("logTime", 0))
check("the log time is the arrival time in ns, the message's timestamp the same",
      0 <= log_time / 1e9 - began < seconds + 1 and
      abs(log_time - (stamp.get("sec", 0) * 10**9 + stamp.get("nsec", 0))) < 1000, sample)
per_topic = {t: sum(m["topic"] == t for m in messages) for t in first}
check("about 5 messages a second on each channel",
      all(4 * seconds - 3 <= n <= 5 * seconds + 3 for n in per_topic.values()), per_topic)



leftovers = {}


def upgrade(host):
    """A WebSocket handshake by hand; the socket and the status line's start."""
    s = socket.create_connection(("127.0.0.1", ws_port), 5)
    s.sendall(f"GET / HTTP/1.1\r\nHost: {host}\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
              "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\nSec-WebSocket-Version: 13\r\n"
              "Sec-WebSocket-Protocol: foxglove.websocket.v1\r\n\r\n".encode())
    s.settimeout(5)
    answer = b""
    try:
        while b"\r\n\r\n" not in answer and (chunk := s.recv(4096)):
            answer += chunk
    except OSError:
        pass
    head, _, rest = answer.partition(b"\r\n\r\n")
    leftovers[s] = rest  # frames that came with the answer
    return s, head


# A page elsewhere that points its own name at this address is not answered.
refused, answer = upgrade("attacker.example")
refused.close()
check("a request for another Host is refused", not answer.startswith(b"HTTP/1.1 101"), answer)


def send_text(s, text):
    """One masked text frame, as a client sends it."""
    data, mask = text.encode(), os.urandom(4)
    length = bytes([0x80 | len(data)]) if len(data) < 126 else bytes([0xFE]) + len(data).to_bytes(2, "big")
    s.sendall(bytes([0x81]) + length + mask + bytes(b ^ mask[i % 4] for i, b in enumerate(data)))


def frames(s, seconds):
    """The frames that come within the seconds: (opcode, payload)."""
    got, data, deadline = [], leftovers.pop(s, b""), time.monotonic() + seconds
    while True:
        while len(data) >= 2:
            length, at = data[1] & 0x7F, 2
            if length == 126:
                length, at = int.from_bytes(data[2:4], "big"), 4
            elif length == 127:
                length, at = int.from_bytes(data[2:10], "big"), 10
            if len(data) < at + length:
                break
            got.append((data[0] & 0x0F, data[at:at + length]))
            data = data[at + length:]
        left = deadline - time.monotonic()
        if left <= 0:
            return got
        s.settimeout(left)
        try:
            chunk = s.recv(65536)
        except OSError:
            return got
        if not chunk:
            return got
        data += chunk


# A client subscribing one channel twice and one that is not advertised gets each message once:
# it cannot make the listener build a message many times over.
raw, status = upgrade("127.0.0.1")
hello = frames(raw, 1)
channels = [c["id"] for op, text in hello if op == 1 for c in json.loads(text).get("channels", [])]
send_text(raw, json.dumps({"op": "subscribe", "subscriptions": [
    {"id": 1, "channelId": channels[0]}, {"id": 2, "channelId": channels[0]},
    {"id": 3, "channelId": 99999}]}))
data = [payload for op, payload in frames(raw, 2) if op == 2]
ids = {int.from_bytes(p[1:5], "little") for p in data}
check("one subscription per channel, and none to a channel not advertised",
      status.startswith(b"HTTP/1.1 101") and ids == {1} and 6 <= len(data) <= 14, (ids, len(data)))
raw.close()
# A fixed number of clients: the ninth is turned away while eight hold their places.
held = [upgrade("127.0.0.1") for _ in range(9)]
statuses = [a.startswith(b"HTTP/1.1 101") for _, a in held]
check("at most 8 clients at once", statuses.count(True) == 8, statuses)
for s, _ in held:
    s.close()
stopped.set()
finish("foxglove")
