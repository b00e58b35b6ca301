#!/usr/bin/env python3
"""End to end for the receiving tools, with real parts: jointcast-listen bridging into a real
mosquitto broker (started here on a free loopback port) read back by mosquitto_sub; a broker
stopped and started again mid-stream; a stream from the publisher recorded and replayed to a
second listener byte for byte; two senders on different loopback addresses told apart.
Usage: receivers_test.py LISTEN REPLAY PUBLISHER"""
import json
import os
import re
import signal
import socket
import subprocess
import sys
import tempfile
import threading
import time

from children import start

LISTEN, REPLAY, PUBLISHER = sys.argv[1], sys.argv[2], sys.argv[3]
HEADLESS = os.path.join(os.path.dirname(PUBLISHER), "jointcastd")
work = tempfile.mkdtemp(prefix="jointcast-receivers-")
passes, failures = [], []


def check(name, condition, detail=""):
    print(("ok   " if condition else "FAIL ") + name + ("" if condition else f": {detail}"))
    (passes if condition else failures).append(name)


def free_port(kind=socket.SOCK_STREAM):
    with socket.socket(socket.AF_INET, kind) as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def start_broker(port):
    config = os.path.join(work, f"mosquitto-{port}.conf")
    with open(config, "w") as f:
        f.write(f"listener {port} 127.0.0.1\nallow_anonymous true\npersistence false\n")
    return start_mosquitto(config, port)


def start_mosquitto(config, port):
    broker = start(["mosquitto", "-c", config], stdout=subprocess.DEVNULL,
                   stderr=subprocess.DEVNULL)
    for _ in range(50):  # until it listens
        try:
            socket.create_connection(("127.0.0.1", port), 0.1).close()
            return broker
        except OSError:
            time.sleep(0.1)
    sys.exit(f"FAIL: mosquitto did not start on port {port}")


def subscribe(port, count, seconds):
    return start(["mosquitto_sub", "-h", "127.0.0.1", "-p", str(port), "-t", "jointcast/+/axis_act", "-v",
                  "-C", str(count), "-W", str(seconds)], stdout=subprocess.PIPE, text=True)


class Listener:
    """jointcast-listen with its stderr read as it comes (the bridge's thread writes there too)."""

    def __init__(self, *args, port=4849):
        self.process = start([LISTEN, "--bind", "127.0.0.1", "--port", str(port), *args],
                             stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        self.err = []
        threading.Thread(target=lambda: self.err.extend(self.process.stderr), daemon=True).start()
        deadline = time.monotonic() + 10
        while not any("listening" in line for line in self.err):
            if time.monotonic() > deadline or self.process.poll() is not None:
                sys.exit(f"FAIL: jointcast-listen did not start: {self.err}")
            time.sleep(0.02)

    def wait_said(self, text, times=1, seconds=10):
        """Waits until stderr has said text so many times, or the seconds pass."""
        deadline = time.monotonic() + seconds
        while sum(text in line for line in self.err) < times and time.monotonic() < deadline:
            time.sleep(0.05)

    def finish(self, timeout=25):
        """Its stdout and stderr once it has ended by itself."""
        out = self.process.stdout.read()
        self.process.wait(timeout=timeout)
        time.sleep(0.1)  # the reader thread takes the last lines
        return out, "".join(self.err)


def datagram(i):
    return f"{i}.500000 -2.250000 3.000000 4.000000 5.000000 {i % 7}.000000".encode()


def send(payloads, source="127.0.0.2", port=4849, pause=0.0):
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as s:
        s.bind((source, 0))
        for p in payloads:
            s.sendto(p, ("127.0.0.1", port))
            time.sleep(pause)


# MQTT: every datagram of a short stream, with its topic and JSON, retained.
broker_port = free_port()
broker = start_broker(broker_port)
listener = Listener("--mqtt", f"127.0.0.1:{broker_port}", "--count", "7", "--seconds", "20")
subscriber = subscribe(broker_port, 6, 15)
time.sleep(0.5)  # the subscription is in place
# Leading zeros are well formed in a datagram, and no JSON number has them.
sent = [b"0001.500000 -02.250000 003.000000 4.000000 5.000000 6.000000"] + [datagram(i) for i in range(5)]
send(sent + [b"1 2 3 4 5 6"], pause=0.05)  # the last one is malformed: never published
messages = [line.split(" ", 1) for line in subscriber.communicate(timeout=20)[0].splitlines()]
began = time.monotonic()
delivered_out, _ = listener.finish()
check("MQTT: all delivered, so no loss said, exit code 0, and no wait at the end",
      "mqtt:" not in delivered_out and listener.process.returncode == 0 and
      time.monotonic() - began < 1, (delivered_out, listener.process.returncode))
topics_ok = all(topic == "jointcast/127.0.0.2/axis_act" for topic, _ in messages)
bodies = [json.loads(body) for _, body in messages]  # a real parser: fails on invalid JSON
check("MQTT: every well-formed datagram is published, on PREFIX/<sender>/axis_act",
      len(messages) == 6 and topics_ok, messages)
check("MQTT: JSON with the time, the sender and the values as received",
      all(b["sender"] == "127.0.0.2" and isinstance(b["time"], float) and b["time"] > 1.6e9
          for b in bodies) and
      [b["axes"] for b in bodies] == [[float(v) for v in d.split()] for d in sent], bodies[:1])
late = subscribe(broker_port, 1, 5)  # a dashboard that subscribes later sees the last pose
check("MQTT: the last pose is retained",
      json.loads(late.communicate(timeout=10)[0].split(" ", 1)[1])["axes"][0] == 4.5)

# The broker goes away mid-stream and comes back: UDP never stops, publishing resumes.
listener = Listener("--mqtt", f"127.0.0.1:{broker_port}", "--quiet", "--seconds", "14")
time.sleep(0.5)
total = 0
send([datagram(i) for i in range(10)], pause=0.1)
total += 10
broker.terminate()
broker.wait()
send([datagram(i) for i in range(20)], pause=0.1)
total += 20
broker = start_broker(broker_port)
time.sleep(3)  # the client's back-off (1 s, 2 s, ...) brings it back
subscriber = subscribe(broker_port, 1, 8)
time.sleep(0.5)
send([datagram(i) for i in range(20)], pause=0.1)
total += 20
resumed = subscriber.communicate(timeout=15)[0]
out, err = listener.finish()
summary = [line for line in out.splitlines() if line.startswith("summary")]
away = re.search(r"mqtt: (\d+) positions not sent \(no broker connected\)", out)
check("broker away: the UDP count never stops; the positions not sent are counted, exit code 1",
      summary == [summary[0]] and summary[0].startswith(f"summary: {total} datagrams,") and
      away and 1 <= int(away[1]) <= 20 + 2 and listener.process.returncode == 1, out)
check("broker back: publishing resumes", "jointcast/127.0.0.2/axis_act" in resumed, (resumed, err))
said = [line.split(": ")[1] for line in err.splitlines() if "broker" in line]  # without reasons
check("broker state said once each way: connected, unreachable, connected again",
      said == ["broker connected", "broker unreachable", "broker connected"], said)
broker.terminate()

# A plant's broker: the bridge started before it (at boot) connects once it is up, the first
# connection too; credentials and TLS; a wrong password and an untrusted CA end the listener at
# once with one clear line and exit code 2, rather than being retried silently.
def make_certificates():
    def openssl(*args):
        subprocess.run(["openssl", *args], cwd=work, check=True, capture_output=True)
    for ca in ("ca", "other-ca"):
        openssl("req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "2", "-subj",
                f"/CN=jointcast test {ca}", "-keyout", f"{ca}.key", "-out", f"{ca}.crt")
    openssl("req", "-newkey", "rsa:2048", "-nodes", "-subj", "/CN=127.0.0.1", "-keyout",
            "server.key", "-out", "server.csr")
    with open(os.path.join(work, "san.ext"), "w") as f:
        f.write("subjectAltName=IP:127.0.0.1\n")
    openssl("x509", "-req", "-in", "server.csr", "-CA", "ca.crt", "-CAkey", "ca.key",
            "-CAcreateserial", "-days", "2", "-extfile", "san.ext", "-out", "server.crt")
    # The same, valid only from 2030 on: what a machine whose clock is not set yet sees.
    with open(os.path.join(work, "ca.cnf"), "w") as f:
        f.write("[ca]\ndefault_ca = test\n[test]\ndatabase = index.txt\nnew_certs_dir = .\n"
                "serial = ca.srl\ndefault_md = sha256\npolicy = any\n[any]\n"
                "commonName = supplied\n")
    open(os.path.join(work, "index.txt"), "w").close()
    openssl("ca", "-batch", "-config", "ca.cnf", "-cert", "ca.crt", "-keyfile", "ca.key", "-in",
            "server.csr", "-startdate", "300101000000Z", "-enddate", "300201000000Z",
            "-extfile", "san.ext", "-out", "future.crt")


def start_secured_broker(port, certificate="server.crt"):
    passwords = os.path.join(work, "passwords")
    subprocess.run(["mosquitto_passwd", "-b", "-c", passwords, "robot", "s3cret"], check=True,
                   capture_output=True)
    config = os.path.join(work, f"secured-{port}.conf")
    with open(config, "w") as f:
        f.write(f"user root\nper_listener_settings false\nallow_anonymous false\n"
                f"password_file {passwords}\npersistence false\n"
                f"listener {port} 127.0.0.1\ncafile {work}/ca.crt\n"
                f"certfile {work}/{certificate}\nkeyfile {work}/server.key\n")
    return start_mosquitto(config, port)


late_port = free_port()
early = Listener("--mqtt", f"127.0.0.1:{late_port}", "--count", "3", "--seconds", "30")
time.sleep(5)
late_broker = start_broker(late_port)
started = time.monotonic()
late_subscriber = subscribe(late_port, 1, 20)
while not any("broker connected" in line for line in early.err) and time.monotonic() - started < 12:
    time.sleep(0.1)
connected_after = time.monotonic() - started
time.sleep(0.5)
send([datagram(i) for i in range(3)], pause=0.1)
got_late = late_subscriber.communicate(timeout=25)[0]
_, early_err = early.finish()
check("a broker started after the listener: connected within 10 s, messages arrive",
      connected_after <= 10 and "jointcast/127.0.0.2/axis_act" in got_late and
      "broker unreachable: " in early_err, (connected_after, got_late, early_err))
late_broker.terminate()

# Robots by name: the topic carries the name from --names, read again on SIGHUP.
named_port = free_port()
named_broker = start_broker(named_port)
names = os.path.join(work, "names.txt")
with open(names, "w") as f:
    f.write("127.0.0.2 cell3-robot1\n")
named = Listener("--mqtt", f"127.0.0.1:{named_port}", "--names", names, "--count", "2",
                 "--seconds", "20")
first_topic = subscribe(named_port, 1, 10)
time.sleep(1)
send([datagram(1)])
got_first = first_topic.communicate(timeout=15)[0]
with open(names, "w") as f:
    f.write("127.0.0.2 robot-a\n")
named.process.send_signal(1)  # SIGHUP
time.sleep(0.5)
second_topic = start(["mosquitto_sub", "-h", "127.0.0.1", "-p", str(named_port), "-t",
                      "jointcast/robot-a/axis_act", "-C", "1", "-W", "10"], stdout=subprocess.PIPE, text=True)
time.sleep(0.5)
send([datagram(2)])
got_second = second_topic.communicate(timeout=15)[0]
named.finish()
named_broker.terminate()
check("names: the topic names the robot, and SIGHUP reads the file again",
      got_first.startswith("jointcast/cell3-robot1/axis_act") and "\"sender\":\"127.0.0.2\"" in got_first
      and "\"axes\":[2.5," in got_second, (got_first, got_second))

make_certificates()
secure_port = free_port()
secured = start_secured_broker(secure_port)
secure_subscriber = start(["mosquitto_sub", "-h", "127.0.0.1", "-p", str(secure_port), "-t",
                           "jointcast/+/axis_act", "-C", "1", "-W", "15", "--cafile", f"{work}/ca.crt",
                           "-u", "robot", "-P", "s3cret"], stdout=subprocess.PIPE, text=True)
with open(os.path.join(work, "password"), "w") as f:
    f.write("s3cret\n")
trusted = Listener("--mqtt", f"127.0.0.1:{secure_port}", "--mqtt-cafile", f"{work}/ca.crt",
                   "--mqtt-user", "robot", "--mqtt-password-file", f"{work}/password",
                   "--mqtt-client-id", "cell3-listener", "--count", "2", "--seconds", "20")
time.sleep(1.5)
send([datagram(1), datagram(2)], pause=0.2)
got_secure = secure_subscriber.communicate(timeout=20)[0]
trusted.finish()
check("TLS and a password: the bridge publishes", "\"axes\":[1.5," in got_secure, got_secure)

# The same at boot with TLS: the bridge waits quietly (no spinning on the handshake) while the
# secured broker is down, and connects once it is up.
secured.terminate()
secured.wait(timeout=10)
with open(os.path.join(work, "password"), "w") as f:
    f.write("s3cret\n")
booting = Listener("--mqtt", f"127.0.0.1:{secure_port}", "--mqtt-cafile", f"{work}/ca.crt",
                   "--mqtt-user", "robot", "--mqtt-password-file", f"{work}/password",
                   "--count", "1", "--seconds", "30")
time.sleep(5)
with open(f"/proc/{booting.process.pid}/stat") as f:
    fields = f.read().rsplit(")", 1)[1].split()
cpu_ticks = int(fields[11]) + int(fields[12])  # utime + stime, in clock ticks
secured = start_secured_broker(secure_port)
started = time.monotonic()
while not any("broker connected" in line for line in booting.err) and time.monotonic() - started < 12:
    time.sleep(0.1)
connected_after = time.monotonic() - started
tls_subscriber = start(["mosquitto_sub", "-h", "127.0.0.1", "-p", str(secure_port), "-t",
                        "jointcast/+/axis_act", "-C", "1", "-W", "10", "--cafile", f"{work}/ca.crt",
                        "-u", "robot", "-P", "s3cret"], stdout=subprocess.PIPE, text=True)
time.sleep(1)
send([datagram(3)])
got_tls = tls_subscriber.communicate(timeout=15)[0]
booting.finish()
check("TLS, broker started after the listener: quiet meanwhile, connected within 10 s",
      cpu_ticks < 50 and connected_after <= 10 and "\"axes\":[3.5," in got_tls,
      (cpu_ticks, connected_after, got_tls, booting.err))

for name, args, env, expected in (
        ("a wrong password", ["--mqtt-cafile", f"{work}/ca.crt", "--mqtt-user", "robot"],
         dict(os.environ, JOINTCAST_MQTT_PASSWORD="wrong"), "the broker refused the connection"),
        ("an untrusted CA", ["--mqtt-cafile", f"{work}/other-ca.crt", "--mqtt-user", "robot"],
         dict(os.environ, JOINTCAST_MQTT_PASSWORD="s3cret"),
         "the broker's certificate does not verify")):
    began = time.monotonic()
    refused = subprocess.run([LISTEN, "--bind", "127.0.0.1", "--port", str(free_port(socket.SOCK_DGRAM)),
                              "--mqtt", f"127.0.0.1:{secure_port}", *args, "--seconds", "30"],
                             capture_output=True, text=True, timeout=40, env=env)
    took = time.monotonic() - began
    check(f"{name}: one clear line and exit code 2 at start", refused.returncode == 2 and
          refused.stderr.count(expected) == 1 and took < 10, (refused.returncode, took, refused.stderr))
# A certificate for another name is said as such (the library leaves no cause of its own).
misnamed = subprocess.run([LISTEN, "--bind", "127.0.0.1", "--port", str(free_port(socket.SOCK_DGRAM)),
                           "--mqtt", f"localhost:{secure_port}", "--mqtt-cafile", f"{work}/ca.crt",
                           "--seconds", "30"], capture_output=True, text=True, timeout=40)
check("a certificate for another name: said so, exit code 2", misnamed.returncode == 2 and
      "the broker's certificate is not for localhost" in misnamed.stderr, misnamed.stderr)
secured.terminate()
secured.wait(timeout=10)
# A certificate not valid yet (this machine's clock, at boot) is tried again, the clock's time said.
future = start_secured_broker(secure_port, "future.crt")
waiting = Listener("--mqtt", f"127.0.0.1:{secure_port}", "--mqtt-cafile", f"{work}/ca.crt",
                   "--seconds", "20")
waiting.wait_said("not valid yet")
time.sleep(1.5)  # and it is still running, trying again
waiting.process.send_signal(signal.SIGINT)
waiting_out, waiting_err = waiting.finish()
check("a certificate not valid yet: tried again, this machine's time said, no exit code 2",
      waiting.process.returncode == 0 and
      re.search(r"not valid yet by this machine's clock \(20\d\d-\d\d-\d\d", waiting_err) and
      "MQTT:" not in waiting_err, waiting_err)
future.terminate()


def fake_broker(connack_code, stall=False, hold_s=None, connects=None):
    """A broker of a few lines: answers CONNECT with the given CONNACK code; with stall, accepts
    and then never reads again, with the smallest receive buffer, and after hold_s seconds (if
    given) closes the connection and takes the next. Each CONNECT's time goes to connects.
    Returns its port."""
    server = socket.socket()
    server.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4096)
    server.bind(("127.0.0.1", 0))
    server.listen()

    def serve():
        while True:
            connection, _ = server.accept()
            if not connection.recv(1024):  # CONNECT, one small packet; or a reachability check
                connection.close()
                continue
            if connects is not None:
                connects.append(time.monotonic())
            connection.sendall(bytes([0x20, 2, 0, connack_code]))
            if not stall:
                connection.close()
            else:
                threading.Event().wait(hold_s)  # holds the connection, never reads
                connection.close()

    threading.Thread(target=serve, daemon=True).start()
    return server.getsockname()[1]


# A broker that refuses (CONNACK 3, "server unavailable") is tried again with a growing back-off
# (1, 2, 4 s), not every second.
refusals = []
refusing_port = fake_broker(3, connects=refusals)
subprocess.run([LISTEN, "--bind", "127.0.0.1", "--port", str(free_port(socket.SOCK_DGRAM)),
                "--mqtt", f"127.0.0.1:{refusing_port}", "--seconds", "9"],
               capture_output=True, text=True, timeout=30)
check("a broker refusing with CONNACK 3: tried again with a growing back-off",
      2 <= len(refusals) <= 4, [round(t - refusals[0], 1) for t in refusals])

# CONNACK 4, "bad user name or password", ends the listener like "not authorised" does.
bad_user_port = fake_broker(4)
began = time.monotonic()
bad_user = subprocess.run([LISTEN, "--bind", "127.0.0.1", "--port", str(free_port(socket.SOCK_DGRAM)),
                           "--mqtt", f"127.0.0.1:{bad_user_port}", "--seconds", "30"],
                          capture_output=True, text=True, timeout=40)
took = time.monotonic() - began
check("a broker answering 'bad user name or password': one line and exit code 2",
      bad_user.returncode == 2 and took < 10 and
      bad_user.stderr.count("the broker refused the connection") == 1 and
      "bad user name or password" in bad_user.stderr, (bad_user.returncode, took, bad_user.stderr))

# A broker that stops reading: at most 10,000 positions wait for it; the rest are dropped,
# counted, and said once.
stalled_port = fake_broker(0, stall=True)
stalled_udp = free_port(socket.SOCK_DGRAM)
stalled = Listener("--mqtt", f"127.0.0.1:{stalled_port}", "--quiet", "--seconds", "60",
                   port=stalled_udp)
stalled.wait_said("broker connected")
# As many as it takes: the socket's buffers hold tens of thousands before any wait.
for batch in range(600):
    send([datagram(i) for i in range(500)], port=stalled_udp)
    time.sleep(0.02)
    if any("the broker does not keep up" in line for line in stalled.err) and batch % 20 == 19:
        break
stalled.process.send_signal(2)
stalled_out, stalled_err = stalled.finish()
received = re.search(r"summary: (\d+) datagrams", stalled_out)
dropped = re.search(r"mqtt: (\d+) positions dropped", stalled_out)
check("a stalled broker: beyond 10,000 waiting positions the rest are dropped, counted, said once",
      received and dropped and stalled_err.count("the broker does not keep up") == 1 and
      0 < int(dropped[1]) <= int(received[1]) - 10000,
      (stalled_out, stalled_err))

# At QoS 1 the library keeps what waited for a connection that went, and sends it again: the
# bound of 10,000 holds across the reconnect, so what comes after it is dropped too.
held_port = fake_broker(0, stall=True, hold_s=4)
held_udp = free_port(socket.SOCK_DGRAM)
held = Listener("--mqtt", f"127.0.0.1:{held_port}", "--mqtt-qos", "1", "--quiet", "--seconds",
                "60", port=held_udp)
held.wait_said("broker connected")
for batch in range(30):
    send([datagram(i) for i in range(500)], port=held_udp)
    time.sleep(0.02)
held.wait_said("broker connected", 2, 15)  # the broker closes at 4 s; the client is back 1 s later
for batch in range(30):
    send([datagram(i) for i in range(500)], port=held_udp)
    time.sleep(0.02)
held.process.send_signal(2)
held_out, held_err = held.finish()
received = re.search(r"summary: (\d+) datagrams", held_out)
dropped = re.search(r"mqtt: (\d+) positions dropped", held_out)
check("QoS 1, a broker that stops reading and reconnects: still at most 10,000 wait",
      held_err.count("broker connected") == 2 and received and dropped and
      int(received[1]) == 30000 and int(dropped[1]) >= 20000 - 50, (held_out, held_err[-500:]))

# What could block the listener or grow it without end is refused at once or bounded: names
# from a FIFO or a device, or too many of them, a recording into a FIFO nobody opened or reads.
fifo = os.path.join(work, "fifo")
os.mkfifo(fifo)
for what, args, expected in (
        ("names from a FIFO", ["--names", fifo], "not a regular file"),
        ("names from /dev/zero", ["--names", "/dev/zero"], "not a regular file"),
        ("a recording into a FIFO that no one reads", ["--csv", fifo], "No such device or address"),
        ("a wildcard in --topic", ["--mqtt", "127.0.0.1:1", "--topic", "plant/#"], "wildcard")):
    began = time.monotonic()
    refused = subprocess.run([LISTEN, "--bind", "127.0.0.1", "--port", str(free_port(socket.SOCK_DGRAM)),
                              *args, "--seconds", "20"], capture_output=True, text=True, timeout=30)
    took = time.monotonic() - began
    check(f"{what}: refused at once, exit code 2", refused.returncode == 2 and took < 2 and
          expected in refused.stderr, (refused.returncode, took, refused.stderr))
big_names = os.path.join(work, "big-names.txt")
with open(big_names, "w") as f:
    f.write("x" * (1 << 20) + "\n")
too_big = subprocess.run([LISTEN, "--port", str(free_port(socket.SOCK_DGRAM)), "--names", big_names,
                          "--seconds", "1"], capture_output=True, text=True, timeout=30)
check("names: a file over 1 MiB is refused", too_big.returncode == 2 and
      "larger than 1 MiB" in too_big.stderr, too_big.stderr)
# 45,000 lines: 10,000 names are taken, 20 of the 35,000 lines left over are said, then a count;
# a storm of SIGHUPs reloads them while the senders' datagrams all arrive.
many_names = os.path.join(work, "many-names.txt")
with open(many_names, "w") as f:
    for n in range(45000):
        f.write(f"10.{n // 65536}.{n // 256 % 256}.{n % 256} r{n}\n")
storm_port = free_port(socket.SOCK_DGRAM)
began = time.monotonic()
storm = Listener("--names", many_names, "--count", "2000", "--seconds", "60", port=storm_port)
loaded = time.monotonic() - began
# Stdout is not read meanwhile: its pipe fills, and the reloads must not cut the lines short.
for i in range(2000):
    send([datagram(i)], port=storm_port)
    if i % 20 == 0:
        storm.process.send_signal(1)  # SIGHUP
        time.sleep(0.01)
storm_out, storm_err = storm.finish()
said = [line for line in storm_err.splitlines() if ": skipped " in line]
check("names: at most 10,000, 20 bad lines said and a count; a SIGHUP storm loses no datagram "
      "and no line", loaded < 5 and "10000 sender names" in storm_err and len(said) % 21 == 0 and
      said[20].endswith("skipped 34980 more lines") and "summary: 2000 datagrams" in storm_out and
      len(storm_out.splitlines()) == 2001, (loaded, said[:2], said[20:22], storm_out[-300:],
                                            len(storm_out.splitlines()), storm_err[-300:]))
# A reader that opened the FIFO and stopped reading: rows are lost and counted, receiving goes on,
# and SIGTERM ends the listener at once.
reader = os.open(fifo, os.O_RDONLY | os.O_NONBLOCK)
stuck_port = free_port(socket.SOCK_DGRAM)
stuck = Listener("--csv", fifo, "--quiet", port=stuck_port)
for batch in range(20):
    send([datagram(i) for i in range(100)], port=stuck_port)
    time.sleep(0.1)
began = time.monotonic()
stuck.process.terminate()
stuck_out, stuck_err = stuck.finish()
took = time.monotonic() - began
os.close(reader)
lost = re.search(r"recording: (\d+) rows lost", stuck_out)
check("a recording into a FIFO that is not read: rows lost and counted, SIGTERM ends it at once",
      took < 1.5 and "summary: 2000 datagrams" in stuck_out and lost and int(lost[1]) > 0 and
      stuck.process.returncode == 1, (took, stuck_out, stuck_err))
# Standard output that nobody reads: receiving and recording go on at the senders' rate, SIGTERM
# ends the listener within a second with the summary on stderr, and the lines not printed are
# counted; when stderr goes to that pipe too (a stuck pager behind 2>&1), it ends without one.
for stderr_too in (False, True):
    stdout_port = free_port(socket.SOCK_DGRAM)
    rows = os.path.join(work, f"stdout-stuck-{stderr_too}.csv")
    # The live view too: its server takes a second or more to stop, which the exit must not wait for.
    blocked = start([LISTEN, "--bind", "127.0.0.1", "--port", str(stdout_port), "--csv", rows,
                     "--http", f"127.0.0.1:{free_port()}"],
                    stdout=subprocess.PIPE, stderr=subprocess.STDOUT if stderr_too else subprocess.PIPE)
    time.sleep(0.5)
    for batch in range(10):
        send([datagram(i) for i in range(500)], port=stdout_port)  # more than the pipe holds
        time.sleep(0.05)
    time.sleep(1.5)  # the recording's once-a-second write
    with open(rows) as f:
        recorded = len(f.readlines()) - 1
    began = time.monotonic()
    blocked.terminate()
    try:
        blocked.wait(timeout=5)
    except subprocess.TimeoutExpired:
        blocked.kill()
    took = time.monotonic() - began
    blocked_err = b"" if stderr_too else blocked.stderr.read()
    check(f"stdout {'and stderr ' if stderr_too else ''}not read: all 5,000 recorded meanwhile, "
          "SIGTERM ends the listener within 1 s, exit code 1" +
          ("" if stderr_too else ", the summary and the lines not printed on stderr"),
          recorded == 5000 and took < 1 and blocked.returncode == 1 and
          (stderr_too or b"standard output is not being read" in blocked_err and
           b"summary: 5000 datagrams" in blocked_err and
           re.search(rb"printing: \d+ lines not printed", blocked_err)),
          (recorded, took, blocked.returncode, blocked_err[-400:]))

# A reader that leaves (| head -1): the summary and the lines not printed go to stderr.
headed_port = free_port(socket.SOCK_DGRAM)
headed = start([LISTEN, "--bind", "127.0.0.1", "--port", str(headed_port)],
               stdout=subprocess.PIPE, stderr=subprocess.PIPE)
time.sleep(0.5)
send([datagram(1)], port=headed_port)
headed.stdout.readline()
headed.stdout.close()
send([datagram(i) for i in range(5)], port=headed_port, pause=0.05)
headed.terminate()
headed.wait(timeout=5)
headed_err = headed.stderr.read()
check("a reader that leaves: the summary and the lines not printed on stderr, exit code 1",
      headed.returncode == 1 and b"summary: 6 datagrams" in headed_err and
      b"printing: 5 lines not printed" in headed_err, (headed.returncode, headed_err))

# Times are when a datagram arrived: a listener stopped for 1.2 s (a paused VM, a debugger)
# records and prints the 20/s stream that came meanwhile at its own pace, not as one gap and a
# burst read at once.
paced_port = free_port(socket.SOCK_DGRAM)
paced_rows = os.path.join(work, "paced.csv")
paced = Listener("--csv", paced_rows, "--count", "40", "--seconds", "20", port=paced_port)
paced.process.send_signal(signal.SIGSTOP)
send([datagram(i) for i in range(24)], port=paced_port, pause=0.05)
paced.process.send_signal(signal.SIGCONT)
send([datagram(i) for i in range(16)], port=paced_port, pause=0.05)
paced_out, paced_err = paced.finish()
with open(paced_rows) as f:
    times = [float(line.split(",")[0]) for line in f.readlines()[1:]]
gaps = [b - a for a, b in zip(times, times[1:])]
printed = [float(m) for m in re.findall(r"^\S+ +\+([0-9.]+) ms", paced_out, re.M)]
check("a stall of the listener: the rows and the printed intervals keep the senders' 50 ms pace",
      len(gaps) == 39 and all(0.02 < g < 0.2 for g in gaps) and len(printed) == 39 and
      all(20 < ms < 200 for ms in printed), (gaps, printed))

# More than the receive buffer holds, sent while the listener is stopped: the kernel's drops are
# counted in the summary and the exit code.
flood_port = free_port(socket.SOCK_DGRAM)
flood = Listener("--quiet", "--seconds", "4", port=flood_port)
flood.process.send_signal(signal.SIGSTOP)
send([datagram(i % 100) for i in range(30000)], port=flood_port)
flood.process.send_signal(signal.SIGCONT)
flood_out, flood_err = flood.finish()
drops = re.search(r"receiving: (\d+) datagrams dropped by the kernel", flood_out)
received = re.search(r"summary: (\d+) datagrams", flood_out)
check("a full receive buffer: the kernel's drops are counted, exit code 1",
      drops and received and int(drops[1]) + int(received[1]) == 30000 and
      flood.process.returncode == 1, (flood_out, flood.process.returncode))

# Record a stream from the publisher, replay it to a second listener: the same payloads.
recording, replayed = os.path.join(work, "recording.csv"), os.path.join(work, "replayed.csv")
listener = Listener("--csv", recording, "--count", "12", "--quiet", "--seconds", "20")
publisher = start([HEADLESS, "--to", "127.0.0.1"], stderr=subprocess.DEVNULL)
listener.finish()
publisher.terminate()
publisher.wait()
second = Listener("--csv", replayed, "--count", "12", "--quiet", "--seconds", "20", port=4850)
replay = start([REPLAY, recording, "--to", "127.0.0.1:4850", "--speed", "5"],
               stderr=subprocess.PIPE, text=True)
replay_err = replay.communicate(timeout=20)[1]
second.finish()


def payloads(path):
    with open(path) as f:
        lines = f.read().splitlines()
    return lines[0], [line.split(",", 2)[2] for line in lines[1:]]


header, first = payloads(recording)
_, again = payloads(replayed)
check("record: header once, one row per datagram", header == "unix_time,sender,a1,a2,a3,a4,a5,a6"
      and len(first) == 12, (header, len(first)))
check("replay: the payloads arrive byte for byte", first == again and len(again) == 12,
      (first[:2], again[:2], replay_err))
# Recording again into the same file appends; it never truncates.
listener = Listener("--csv", recording, "--count", "2", "--quiet", "--seconds", "10")
send([datagram(1), datagram(2)])
listener.finish()
header, appended = payloads(recording)
check("record: an existing file is appended to, the header not repeated",
      appended[:12] == first and len(appended) == 14, len(appended))
blocked = subprocess.run([LISTEN, "--csv", "/proc/no/such/file.csv", "--count", "1"],
                         capture_output=True, text=True, timeout=10)
check("record: a path that cannot be opened is an error at start, exit code 2",
      blocked.returncode == 2 and "cannot record" in blocked.stderr, blocked.stderr)

# Two senders at once on different loopback addresses: told apart, summarised apart.
# The recording now holds two senders: the publisher's rows are chosen.
choose = subprocess.run([REPLAY, recording, "--to", "127.0.0.1:4849"], capture_output=True,
                        text=True, timeout=10)
check("replay: a recording of several senders needs --sender", choose.returncode == 2 and
      "--sender" in choose.stderr and "127.0.0.1" in choose.stderr, choose.stderr)
listener = Listener("--count", "24", "--seconds", "20")
replays = [start([REPLAY, recording, "--to", "127.0.0.1:4849", "--speed", "4", "--sender",
                  "127.0.0.1", "--bind", source], stderr=subprocess.DEVNULL)
           for source in ("127.0.0.2", "127.0.0.3")]
out = listener.finish()[0]
for r in replays:
    r.wait(timeout=20)
lines = out.splitlines()
labelled = [line for line in lines if re.search(r" 127\.0\.0\.[23] ", line)]
summaries = [line for line in lines if line.startswith("summary for ")]
check("two senders: lines name their sender", len(labelled) >= 22, lines[:4])
check("two senders: a summary each", len(summaries) == 2 and
      all(re.match(r"summary for 127\.0\.0\.[23]: 12 datagrams, 0 malformed", s) for s in summaries),
      summaries)

# Recording to a full disk: said once with the system's reason, receiving goes on, and the rows
# lost are counted in the summary and in the exit code.
full = Listener("--csv", "/dev/full", "--count", "8", "--seconds", "20")
send([datagram(i) for i in range(8)], pause=0.2)
out, err = full.finish()
check("record: a full disk is said once, rows lost counted, exit code 1",
      full.process.returncode == 1 and err.count("No space left on device") == 1 and
      "8 datagrams" in out and "8 rows lost" in out, (full.process.returncode, out, err))

# Replay: a stop signal ends the wait for the next row at once, even in a gap of an hour.
gap = os.path.join(work, "gap.csv")
with open(gap, "w") as f:
    f.write("unix_time,sender,a1,a2,a3,a4,a5,a6\n")
    for t in (1765222222.0, 1765225822.0):
        f.write(f"{t},10.0.0.5,1.000000,2.000000,3.000000,4.000000,5.000000,6.000000\n")
waiting = start([REPLAY, gap, "--to", "127.0.0.1:4851"], stderr=subprocess.PIPE, text=True)
time.sleep(0.5)
signalled = time.monotonic()
waiting.send_signal(2)  # SIGINT, as Ctrl-C
waiting.wait(timeout=10)
took = time.monotonic() - signalled
check("replay: Ctrl-C ends the wait for the next row at once", took < 0.5 and
      "1 datagrams sent" in waiting.stderr.read(), took)

# Replay: what is no recording says what it is; --loop needs two rows.
for path, reason in ((work, "is a directory"), ("/dev/zero", "is a device"),
                     (os.path.join(work, "missing.csv"), "No such file or directory")):
    refused = subprocess.run([REPLAY, path], capture_output=True, text=True, timeout=10)
    check(f"replay: {reason}", refused.returncode == 2 and reason in refused.stderr, refused.stderr)
one = os.path.join(work, "one.csv")
with open(one, "w") as f:
    f.write("unix_time,sender,a1,a2,a3,a4,a5,a6\r\n"
            "1765222222.0,10.0.0.5,1.000000,2.000000,3.000000,4.000000,5.000000,6.000000\r\n")
looped = subprocess.run([REPLAY, one, "--loop", "--to", "127.0.0.1:4851"], capture_output=True,
                        text=True, timeout=10)
check("replay: --loop refuses a recording of one row (CRLF read)", looped.returncode == 2 and
      "at least two rows" in looped.stderr, looped.stderr)

# --loop on two rows 200 ms apart keeps their rate, passes included (one recorded median interval
# between them); a recording of rows all at one time goes no faster than --max-rate.
two = os.path.join(work, "two.csv")
burst = os.path.join(work, "burst.csv")
with open(two, "w") as f, open(burst, "w") as g:
    f.write("unix_time,sender,a1,a2,a3,a4,a5,a6\n")
    g.write("unix_time,sender,a1,a2,a3,a4,a5,a6\n")
    for t in (1765222222.0, 1765222222.2):
        f.write(f"{t},10.0.0.5,1.000000,2.000000,3.000000,4.000000,5.000000,6.000000\n")
    for i in range(20):
        g.write(f"1765222222.0,10.0.0.5,{i}.000000,2.000000,3.000000,4.000000,5.000000,6.000000\n")
loop_listener = Listener("--count", "10", "--seconds", "10", "--quiet")
looping = start([REPLAY, two, "--loop", "--to", "127.0.0.1:4849"], stderr=subprocess.DEVNULL)
out = loop_listener.finish()[0]
looping.terminate()
looping.wait(timeout=10)
# The mean as well as the median: without the pause between passes every other interval is 0,
# which leaves the median at 200 ms.
rate = re.search(r"summary: 10 datagrams, 0 malformed, interval mean ([0-9.]+) ms, median ([0-9.]+) ms", out)
check("replay --loop keeps the recorded rate across passes",
      rate is not None and 180 <= float(rate[1]) <= 260 and 180 <= float(rate[2]) <= 260, out)
rate_listener = Listener("--count", "20", "--seconds", "10", "--quiet")
capped = subprocess.run([REPLAY, burst, "--max-rate", "50", "--to", "127.0.0.1:4849"],
                        capture_output=True, text=True, timeout=20)
out = rate_listener.finish()[0]
median = re.search(r"summary: 20 datagrams, 0 malformed, .*median ([0-9.]+) ms", out)
check("replay never sends faster than --max-rate", median is not None and
      float(median.group(1)) >= 19.0, out)

# --max-rate to below the millisecond: 500 rows of one time at the default 1000 a second take at
# least half a second, and so do passes of two such rows with --loop.
crowded = os.path.join(work, "crowded.csv")
with open(crowded, "w") as f:
    f.write("unix_time,sender,a1,a2,a3,a4,a5,a6\n")
    for i in range(500):
        f.write(f"1765222222.0,10.0.0.5,{i}.000000,2.000000,3.000000,4.000000,5.000000,6.000000\n")
began = time.monotonic()
at_default = subprocess.run([REPLAY, crowded, "--to", f"127.0.0.1:{free_port(socket.SOCK_DGRAM)}"],
                            capture_output=True, text=True, timeout=20)
took = time.monotonic() - began
check("replay: rows of one time go no faster than the default 1000 a second", took >= 0.499 and
      "500 datagrams sent" in at_default.stderr, (took, at_default.stderr))
same_time = os.path.join(work, "same-time.csv")
with open(same_time, "w") as f:
    f.write("unix_time,sender,a1,a2,a3,a4,a5,a6\n")
    for value in (1, 2):
        f.write(f"1765222222.0,10.0.0.5,{value}.000000,2.000000,3.000000,4.000000,5.000000,6.000000\n")
loop_port = free_port(socket.SOCK_DGRAM)
counted = Listener("--seconds", "1", "--quiet", port=loop_port)
looping = start([REPLAY, same_time, "--loop", "--to", f"127.0.0.1:{loop_port}"], stderr=subprocess.DEVNULL)
out = counted.finish()[0]
looping.terminate()
looping.wait(timeout=10)
received = re.search(r"summary: (\d+) datagrams", out)
check("replay --loop over rows of one time: no faster than 1000 a second",
      received is not None and 300 <= int(received[1]) <= 1050, out)

# --sender finds a sender however many come before it; a send the system refuses is counted and
# said, and the exit code says so.
many = os.path.join(work, "many.csv")
with open(many, "w") as f:
    f.write("unix_time,sender,a1,a2,a3,a4,a5,a6\n")
    for n in range(105):
        for t in (1765222222.0, 1765222222.01):
            f.write(f"{t},10.0.1.{n},{n}.000000,2.000000,3.000000,4.000000,5.000000,6.000000\n")
late_sender = subprocess.run([REPLAY, many, "--sender", "10.0.1.103", "--to",
                              f"127.0.0.1:{free_port(socket.SOCK_DGRAM)}"],
                             capture_output=True, text=True, timeout=20)
check("replay --sender finds the 104th sender", late_sender.returncode == 0 and
      "2 datagrams sent from 10.0.1.103's recording" in late_sender.stderr, late_sender.stderr)
refused = subprocess.run([REPLAY, two, "--to", "255.255.255.255"], capture_output=True, text=True,
                         timeout=20)
check("replay: sends the system refuses are counted and said, exit code 1",
      refused.returncode == 1 and refused.stderr.count("cannot send to 255.255.255.255") == 1 and
      "0 datagrams sent" in refused.stderr and "2 could not be sent" in refused.stderr,
      (refused.returncode, refused.stderr))

# Many sender addresses: the table is capped at 4096, and the rest are counted together.
crowd = Listener("--count", "4100", "--seconds", "30", "--quiet")
for n in range(4100):
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as s:
        s.bind((f"127.{1 + n // 250}.{n % 250}.9", 0))
        s.sendto(datagram(1), ("127.0.0.1", 4849))
    if n % 200 == 199:
        time.sleep(0.05)  # no more than the socket's receive buffer holds at once
out = crowd.finish()[0]
lines = out.splitlines()
check("4100 senders: 4096 listed, the other 4 counted together",
      len([l for l in lines if l.startswith("summary for ")]) == 4096 and
      lines[-1] == "summary: 4 more senders left out of the table (4 datagrams, 0 malformed)",
      (len([l for l in lines if l.startswith("summary for ")]), lines[-2:]))

print(f"receivers e2e: {len(passes)} passed, {len(failures)} failed")
sys.exit(1 if failures else 0)
