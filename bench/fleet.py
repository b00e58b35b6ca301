#!/usr/bin/env python3
"""Scale, in a network namespace of its own (run it through tests/in-own-network.sh). Prints one
JSON line of figures.

publishers N SECONDS BUILD_DIR
    N jointcastd at the default period, each against a jointcast-sim of its own (N processes,
    ports 7000 on), all sending to 127.0.0.1:4849, received here and counted per sender.
listener N SECONDS BUILD_DIR
    N senders (here, one socket each on its own loopback address 127.0.x.y) sending a datagram
    every 200 ms, all in step, into one jointcast-listen --mqtt with a real mosquitto, and one
    mosquitto_sub counting what reaches a subscriber and the time from UDP arrival (the JSON's
    "time", stamped by the listener as the datagram arrives) to the subscriber.
every-output N SECONDS BUILD_DIR
    The same with every output of the listener on: each datagram printed (and read here), recorded
    to a CSV file, published to the broker, and shown on the live view to one page that reads the
    event stream; the senders named from a names file.
ecosystem N SECONDS BUILD_DIR
    Every output as above, and the plant's and robotics' tools too: a Sparkplug B edge node on
    the broker (its DDATA counted by a mosquitto_sub), a Foxglove WebSocket server with Foxglove's
    own client subscribed to every channel (BUILD_DIR/npm, from scripts/npm-clients.sh), and
    /metrics scraped once a second."""
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

from procstat import cpu_ns, cpu_ns_by_thread, memory_kib, percentile

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "e2e"))
from children import end_children, start  # noqa: E402  (each child ended however the run ends)

mode, count, seconds, build = sys.argv[1], int(sys.argv[2]), float(sys.argv[3]), sys.argv[4]
WARM_UP = 3.0
def pss_kib(pid):
    with open(f"/proc/{pid}/smaps_rollup") as f:
        return int(re.search(r"^Pss:\s+(\d+)", f.read(), re.M)[1])


def udp_receive_errors():
    """The namespace's UDP datagrams dropped for a full receive buffer."""
    with open("/proc/net/snmp") as f:
        lines = [line.split() for line in f if line.startswith("Udp:")]
    return int(lines[1][lines[0].index("RcvbufErrors")])


def publishers():
    sims = [start([f"{build}/jointcast-sim", "--port", str(7000 + i)], stdout=subprocess.DEVNULL,
                  stderr=subprocess.DEVNULL) for i in range(count)]
    rx = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    rx.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 1 << 20)
    rx.bind(("127.0.0.1", 4849))
    rx.settimeout(0.05)
    time.sleep(0.5)
    pubs = [start([f"{build}/jointcastd", "--controller", f"127.0.0.1:{7000 + i}"],
                  stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL) for i in range(count)]
    per_sender = {}
    window_start = time.monotonic() + WARM_UP
    end = window_start + seconds
    cpu_before = None
    while time.monotonic() < end:
        if cpu_before is None and time.monotonic() >= window_start:
            cpu_before, per_sender = sum(cpu_ns(p.pid) for p in pubs), {}
        try:
            _, source = rx.recvfrom(256)
        except socket.timeout:
            continue
        per_sender[source[1]] = per_sender.get(source[1], 0) + 1
    cpu = sum(cpu_ns(p.pid) for p in pubs) - cpu_before
    rss = sum(memory_kib(p.pid)[0] for p in pubs)
    pss = sum(pss_kib(p.pid) for p in pubs)
    alive = sum(p.poll() is None for p in pubs)
    counts = [per_sender.get(port, 0) for port in sorted(per_sender)] + [0] * (count - len(per_sender))
    return {"mode": mode, "publishers": count, "alive": alive, "seconds": seconds,
            "per_minute_min": min(counts) * 60 / seconds, "per_minute_max": max(counts) * 60 / seconds,
            "datagrams": sum(counts), "cpu_percent_of_core": 100 * cpu / 1e9 / seconds,
            "cpu_us_per_datagram": cpu / 1000 / max(1, sum(counts)),
            "rss_mib_total": rss / 1024, "pss_mib_total": pss / 1024}


def sender_address(n):
    return f"127.{1 + n // 250}.{n % 250 + 1}.1"


def listener():
    work = tempfile.mkdtemp(prefix="jointcast-fleet-")
    config = os.path.join(work, "mosquitto.conf")
    with open(config, "w") as f:
        f.write("listener 1883 127.0.0.1\nallow_anonymous true\npersistence false\n"
                "sys_interval 1\nuser root\n")
    broker = start(["mosquitto", "-c", config], stdout=subprocess.DEVNULL,
                   stderr=subprocess.DEVNULL)
    time.sleep(0.5)
    got, delays = [0], []

    def read(subscriber):
        for line in subscriber.stdout:
            arrived, _, payload = line.partition(" ")
            got[0] += 1
            if got[0] % 10 == 0:  # a sample is enough, and keeps this reader ahead
                try:
                    delays.append((float(arrived) - json.loads(payload)["time"]) * 1000)
                except ValueError:
                    pass

    subscriber = start(["mosquitto_sub", "-h", "127.0.0.1", "-t", "jointcast/+/axis_act", "-F", "%U %p"],
                       stdout=subprocess.PIPE, text=True)
    threading.Thread(target=read, args=(subscriber,), daemon=True).start()
    every = mode in ("every-output", "ecosystem")
    ecosystem = mode == "ecosystem"
    outputs = ["--quiet"]
    printed, streamed, sparkplug, foxglove, scrapes = [0], [0], [0], [0], [0]
    if every:
        names = os.path.join(work, "names")
        with open(names, "w") as f:
            f.writelines(f"{sender_address(n)} robot-{n}\n" for n in range(count))
        outputs = ["--csv", os.path.join(work, "rows.csv"), "--names", names, "--http",
                   "127.0.0.1:8088"]
    if ecosystem:
        outputs += ["--mqtt-client-id", "fleet-edge", "--sparkplug", "fleet", "--foxglove",
                    "127.0.0.1:8765"]
    listen = start([f"{build}/jointcast-listen", "--bind", "127.0.0.1", "--mqtt", "127.0.0.1:1883",
                    *outputs], stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    if every:
        def count_lines():
            for line in listen.stdout:
                if line.startswith(("summary", "mqtt:", "recording:", "printing:", "receiving:")):
                    summary.append(line)
                else:
                    printed[0] += 1

        def read_page():
            time.sleep(1.0)
            with socket.create_connection(("127.0.0.1", 8088)) as page:
                page.sendall(b"GET /events HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n")
                while chunk := page.recv(65536):
                    streamed[0] += chunk.count(b"event: sender")

        summary = []
        threading.Thread(target=count_lines, daemon=True).start()
        threading.Thread(target=read_page, daemon=True).start()
    if ecosystem:
        def count_from(process, counter, word):
            for line in process.stdout:
                counter[0] += word in line

        data = start(["mosquitto_sub", "-h", "127.0.0.1", "-t", "spBv1.0/fleet/DDATA/#", "-F", "%t"],
                     stdout=subprocess.PIPE, text=True)
        threading.Thread(target=count_from, args=(data, sparkplug, "DDATA"), daemon=True).start()
        here = os.path.dirname(os.path.abspath(__file__))
        client = start(["node", os.path.join(here, "..", "tests", "e2e", "npm",
                                              "foxglove-subscriber.js"),
                        "ws://127.0.0.1:8765", str(seconds + 10)], stdout=subprocess.PIPE, text=True,
                       env=dict(os.environ, NODE_PATH=os.path.join(build, "npm", "node_modules")))
        threading.Thread(target=count_from, args=(client, foxglove, '"topic"'), daemon=True).start()

        def scrape():
            time.sleep(1.0)
            while listen.poll() is None:
                try:
                    with socket.create_connection(("127.0.0.1", 8088), 5) as page:
                        page.sendall(b"GET /metrics HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n")
                        scrapes[0] += page.recv(64).startswith(b"HTTP/1.1 200")
                except OSError:
                    pass
                time.sleep(1.0)

        threading.Thread(target=scrape, daemon=True).start()
    time.sleep(1.5)  # connected, subscribed
    errors_before = udp_receive_errors()
    sockets = []
    for n in range(count):
        s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        s.bind((sender_address(n), 0))
        sockets.append(s)
    payload = b"12.345600 0.000000 180.000000 -180.500000 7.000000 45.678001"
    sent = 0
    cpu_before = cpu_ns(listen.pid)
    threads_before = cpu_ns_by_thread(listen.pid)
    due, end = time.monotonic(), time.monotonic() + seconds
    while due < end:
        for s in sockets:
            s.sendto(payload, ("127.0.0.1", 4849))
        sent += count
        due += 0.2
        time.sleep(max(0.0, due - time.monotonic()))
    time.sleep(1.0)  # the last ones through
    cpu = cpu_ns(listen.pid) - cpu_before
    threads = {name: ns - threads_before.get(name, 0)
               for name, ns in cpu_ns_by_thread(listen.pid).items()}
    rss = memory_kib(listen.pid)[0]
    dropped = udp_receive_errors() - errors_before
    time.sleep(1.0)
    listen.send_signal(signal.SIGINT)
    if every:
        listen.wait(timeout=30)
        time.sleep(0.2)
        out = "".join(summary)
        err = listen.stderr.read()
        with open(os.path.join(work, "rows.csv")) as f:
            recorded = sum(1 for _ in f) - 1
    else:
        out, err = listen.communicate(timeout=30)
    received = sum(int(m) for m in re.findall(r"^summary(?: for [^:]+)?: (\d+) datagrams", out, re.M))
    received += sum(int(m) for m in re.findall(r"left out of the table \((\d+) datagrams", out))
    dropped_for_broker = re.search(r"^mqtt: (\d+) positions dropped", out, re.M)
    lost = sum(int(m) for m in re.findall(r"(\d+) (?:positions|rows|lines|datagrams) (?:dropped|lost|not)", out + err))
    figures = {"printed": printed[0], "recorded": recorded, "page_events": streamed[0],
               "lost_said": lost, "exit_code": listen.returncode} if every else {}
    if ecosystem:
        figures.update({"sparkplug_ddata": sparkplug[0], "foxglove_messages": foxglove[0],
                        "metrics_scrapes": scrapes[0],
                        "cpu_us_per_datagram_by_thread": {
                            name: round(ns / 1000 / max(1, received), 2)
                            for name, ns in sorted(threads.items(), key=lambda t: -t[1])}})
    return {**figures, "mode": mode, "senders": count, "seconds": seconds, "sent": sent,
            "listener_received": received, "udp_receive_buffer_drops": dropped,
            "subscriber_received": got[0],
            "dropped_for_broker": int(dropped_for_broker[1]) if dropped_for_broker else 0,
            "listener_cpu_us_per_datagram": cpu / 1000 / max(1, received),
            "listener_cpu_percent_of_core": 100 * cpu / 1e9 / seconds,
            "listener_rss_mib": rss / 1024,
            "arrival_to_subscriber_p50_ms": percentile(delays, 50),
            "arrival_to_subscriber_p99_ms": percentile(delays, 99)}


try:
    print(json.dumps(publishers() if mode == "publishers" else listener()))  # listener, every-output
finally:
    end_children()
