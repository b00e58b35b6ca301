#!/usr/bin/env python3
"""End to end for jointcast-listen's /metrics with Debian's own Prometheus server: two robots
stream (one of them named), Prometheus scrapes the listener every second, and the test asks
Prometheus's HTTP API for each robot's series, as a Grafana panel would.
Usage: metrics_test.py LISTEN"""
import json
import os
import socket
import subprocess
import sys
import tempfile
import threading
import time
import urllib.parse
import urllib.request

from checks import check, finish, free_port, wait_for
from children import start

LISTEN = sys.argv[1]
work = tempfile.mkdtemp(prefix="jointcast-metrics-")


def robot(source, port, stopped, pause=0.2):
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as s:
        s.bind((source, 0))
        while not stopped.is_set():
            s.sendto(b"1.000000 2.000000 3.000000 4.000000 5.000000 6.000000", ("127.0.0.1", port))
            time.sleep(pause)


def query(port, expression):
    url = f"http://127.0.0.1:{port}/api/v1/query?" + urllib.parse.urlencode({"query": expression})
    try:
        answer = json.load(urllib.request.urlopen(url, timeout=5))
    except OSError:
        return []
    return answer["data"]["result"] if answer.get("status") == "success" else []


udp_port, http_port, prometheus_port = free_port(socket.SOCK_DGRAM), free_port(), free_port()
names = os.path.join(work, "names.txt")
with open(names, "w") as f:
    f.write("127.0.0.2 cell3-robot1\n")
listener = start([LISTEN, "--quiet", "--port", str(udp_port), "--bind", "127.0.0.1", "--names",
                  names, "--http", f"127.0.0.1:{http_port}"], stdout=subprocess.DEVNULL,
                 stderr=subprocess.DEVNULL)
wait_for(lambda: socket.socket().connect_ex(("127.0.0.1", http_port)) == 0, 10)
stopped = threading.Event()
for source in ("127.0.0.2", "127.0.0.3"):
    threading.Thread(target=robot, args=(source, udp_port, stopped), daemon=True).start()

page = urllib.request.urlopen(f"http://127.0.0.1:{http_port}/metrics", timeout=5)
text = page.read().decode()
check("/metrics in the text exposition format 0.0.4",
      page.headers["Content-Type"].startswith("text/plain; version=0.0.4") and
      "# TYPE jointcast_interval_seconds summary" in text, page.headers["Content-Type"])

config = os.path.join(work, "prometheus.yml")
with open(config, "w") as f:
    f.write(f"global:\n  scrape_interval: 1s\n  evaluation_interval: 1s\nscrape_configs:\n"
            f"  - job_name: jointcast\n    static_configs:\n      - targets: ['127.0.0.1:{http_port}']\n")
prometheus = start(["prometheus", f"--config.file={config}", f"--storage.tsdb.path={work}/tsdb",
                    f"--web.listen-address=127.0.0.1:{prometheus_port}"],
                   stdout=subprocess.DEVNULL, stderr=open(os.path.join(work, "prometheus.log"), "w"))
series = wait_for(lambda: (lambda r: r if len(r) == 2 else None)(
    query(prometheus_port, "jointcast_datagrams_total")), 40)
robots = sorted(s["metric"].get("robot", "") for s in series or [])
check("Prometheus scrapes each robot's datagrams, the named one by its name",
      robots == ["127.0.0.3", "cell3-robot1"], (robots, series))
rates = query(prometheus_port, 'jointcast_interval_seconds{quantile="0.5"}')
check("the median interval of each, about 0.2 s",
      len(rates) == 2 and all(0.15 < float(s["value"][1]) < 0.3 for s in rates), rates)
for name in ("jointcast_malformed_total", "jointcast_last_datagram_age_seconds", "jointcast_silent",
             "jointcast_kernel_dropped_total", 'jointcast_output_dropped_total{output="stdout"}'):
    check(f"Prometheus has {name}", query(prometheus_port, name), name)
stopped.set()
silent = wait_for(lambda: (lambda r: r if len(r) == 2 and all(s["value"][1] == "1" for s in r)
                           else None)(query(prometheus_port, "jointcast_silent")), 15)
check("robots that stop are silent (1)", silent, query(prometheus_port, "jointcast_silent"))
finish("metrics")
