#!/usr/bin/env python3
"""End to end for running the programs as an operator does: the five command lines (--version,
--help, a bad option, --opt=value, addresses by name), jointcastd's lines on stderr (and in the
journal's form), and what it tells systemd through a NOTIFY_SOCKET this test listens on.
Usage: operate_test.py BUILD_DIR"""
import os
import re
import select
import socket
import subprocess
import sys
import tempfile
import time

from children import start

BUILD = sys.argv[1]
PROGRAMS = ["jointcast", "jointcastd", "jointcast-listen", "jointcast-replay", "jointcast-sim"]
work = tempfile.mkdtemp(prefix="jointcast-operate-")
passes, failures = [], []


def check(name, condition, detail=""):
    print(("ok   " if condition else "FAIL ") + name + ("" if condition else f": {detail}"))
    (passes if condition else failures).append(name)


def run(program, *args, timeout=10, env=None):
    return subprocess.run([os.path.join(BUILD, program), *args], capture_output=True, text=True,
                          timeout=timeout, env=env)


def free_port(kind=socket.SOCK_STREAM):
    with socket.socket(socket.AF_INET, kind) as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


# Every program: --version, --help with defaults, one line for a bad option, exit codes.
for program in PROGRAMS:
    version = run(program, "--version")
    check(f"{program} --version", version.returncode == 0 and
          re.fullmatch(r"jointcast 3\.0\.0 \(commit ([0-9a-f]+(-dirty)?|unknown)\)\n", version.stdout) is not None,
          (version.returncode, version.stdout))
    helped = run(program, "--help")
    check(f"{program} --help lists the options", helped.returncode == 0 and "--version" in
          helped.stdout and (program == "jointcastd" or "default" in helped.stdout)
          and "--headless" not in (helped.stdout if program == "jointcastd" else ""), helped.stdout)
    bad = run(program, "--no-such-option")
    check(f"{program}: a bad option is one line and exit code 2", bad.returncode == 2 and
          bad.stderr.count("\n") == 1 and f"try '{program} --help'" in bad.stderr, bad.stderr)

# --opt=value and --opt value alike; addresses given by name resolve.
port = free_port(socket.SOCK_DGRAM)
listened = run("jointcast-listen", f"--port={port}", "--bind", "localhost", "--seconds=0.3")
check("jointcast-listen --port=N --bind localhost", listened.returncode == 0 and
      f"listening on UDP localhost:{port}" in listened.stderr, listened.stderr)
unknown = run("jointcast-listen", "--bind=no-such-host.invalid", "--seconds", "0.3")
check("an address that does not resolve says why", unknown.returncode != 0 and
      "cannot listen on no-such-host.invalid:4849: " in unknown.stderr and
      "Success" not in unknown.stderr, unknown.stderr)
sim_port = free_port()
sim = start([os.path.join(BUILD, "jointcast-sim"), f"--port={sim_port}", "--bind=localhost"],
            stderr=subprocess.PIPE, text=True)
check("jointcast-sim --port=N --bind=localhost", f"on localhost:{sim_port}" in sim.stderr.readline())
recording = os.path.join(work, "two.csv")
with open(recording, "w") as f:
    f.write("unix_time,sender,a1,a2,a3,a4,a5,a6\n")
    for t in (1765222222.0, 1765222222.2):
        f.write(f"{t},10.0.0.5,1.000000,2.000000,3.000000,4.000000,5.000000,6.000000\n")
replayed = run("jointcast-replay", recording, f"--to=localhost:{port}", "--speed=2", "--bind=localhost")
check("jointcast-replay --to=HOST:PORT --bind=localhost", replayed.returncode == 0 and
      "2 datagrams sent" in replayed.stderr, replayed.stderr)
missing = run("jointcast-replay", os.path.join(work, "none.csv"))
check("jointcast-replay says why it cannot read a file", missing.returncode == 2 and
      "No such file or directory" in missing.stderr, missing.stderr)


def notify_socket():
    path = os.path.join(work, f"notify-{time.monotonic_ns()}")
    listener = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
    listener.bind(path)
    listener.settimeout(0.2)
    return listener, path


def collect(listener, seconds):
    messages, deadline = [], time.monotonic() + seconds
    while time.monotonic() < deadline:
        try:
            messages.extend(listener.recv(4096).decode().split("\n"))
        except socket.timeout:
            pass
    return messages


# A controller that refuses: named with the reason within 2 s, then quiet; STATUS says so.
listener, path = notify_socket()
env = dict(os.environ, NOTIFY_SOCKET=path)
with open(os.path.join(work, "refused.err"), "w+") as err:
    daemon = start([os.path.join(BUILD, "jointcastd"), "--controller=127.0.0.1:1"], env=env,
                   stdout=subprocess.DEVNULL, stderr=err)
    messages = collect(listener, 2)
    err.seek(0)
    early = err.read()
    messages += collect(listener, 7)  # two more tries, every 3 s
    err.seek(0)
    later = err.read()
    daemon.terminate()
    code = daemon.wait(timeout=10)
check("a refused controller is named with the reason within 2 s",
      "controller 127.0.0.1:1 unreachable: connection refused" in early, early)
check("the retries after it say nothing more", later == early, later[len(early):])
check("STATUS names the unreachable controller", any(
    re.fullmatch(r"STATUS=controller 127\.0\.0\.1:1 unreachable: connection refused "
                 r"\(since \d\d:\d\d:\d\d, \d+ tr(y|ies)\)", m) for m in messages), messages)
check("READY=1 once shown", "READY=1" in messages, messages)
check("SIGTERM ends it with exit code 0", code == 0, code)
listener.close()

# Streaming under systemd with a watchdog: READY, STATUS with the rate, WATCHDOG=1 from the loop;
# the lines carry the journal's priorities when stderr is the journal's stream.
listener, path = notify_socket()
with open(os.path.join(work, "stream.err"), "w+") as err:
    stat = os.fstat(err.fileno())
    env = dict(os.environ, NOTIFY_SOCKET=path, WATCHDOG_USEC="1000000",
               JOURNAL_STREAM=f"{stat.st_dev}:{stat.st_ino}")
    daemon = start([os.path.join(BUILD, "jointcastd"), f"--controller=127.0.0.1:{sim_port}",
                    "--to", "127.0.0.1"], env=env, stdout=subprocess.DEVNULL, stderr=err)
    messages = collect(listener, 6)
    daemon.terminate()
    daemon.wait(timeout=10)
    err.seek(0)
    lines = err.read().splitlines()
check("WATCHDOG=1 about twice a second", 8 <= messages.count("WATCHDOG=1") <= 16, messages)
check("STATUS says it streams and how fast", any(
    re.fullmatch(r"STATUS=streaming to 127\.0\.0\.1:4849, [45]\.\d/s", m) for m in messages),
    messages)
check("journal priorities on stderr", lines and all(re.match(r"<[3-6]>", l) for l in lines) and
      "<6>Cross green" in lines and "<6>Cross red" in lines, lines)
def said_until(name, args, wanted, seconds=5):
    """Runs a program until it says wanted on stderr, or the seconds pass, then ends it with
    SIGTERM: its exit code and what it said."""
    with open(os.path.join(work, f"{name}.err"), "w+") as err:
        process = start(args, stdout=subprocess.DEVNULL, stderr=err)
        deadline = time.monotonic() + seconds
        while time.monotonic() < deadline and wanted not in open(err.name).read():
            time.sleep(0.1)
        process.terminate()
        ended = process.wait(timeout=10)
        err.seek(0)
        return ended, err.read()


# jointcast --headless hands its command line to jointcastd, which is headless already.
_, said = said_until("headless", [os.path.join(BUILD, "jointcast"), "--headless", "--period=50",
                                  f"--controller=127.0.0.1:{sim_port}"], "Arm green")
check("jointcast --headless runs jointcastd with the same options", "Arm green" in said, said)

# Each numeric option takes its own upper bound.
ended, said = said_until("bound", [os.path.join(BUILD, "jointcastd"), "--period", "10000",
                                   f"--controller=127.0.0.1:{sim_port}"], "Cross green")
check("jointcastd --period 10000", ended == 0 and "Cross green" in said, said)

# A controller name whose first address has nothing listening is reached through its second
# (a hosts file of the test's own, in a mount namespace of its own).
hosts = os.path.join(work, "hosts")
with open(hosts, "w") as f:
    f.write("127.0.0.1 localhost\n127.0.0.5 robot.cell3\n127.0.0.6 robot.cell3\n")
second_port = free_port()
second = start([os.path.join(BUILD, "jointcast-sim"), "--bind", "127.0.0.6", "--port",
                str(second_port)], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
time.sleep(0.3)
ended, said = said_until("second-address", [
    "unshare", "--mount", "--", "sh", "-c", f"mount --bind {hosts} /etc/hosts && exec "
    f"{os.path.join(BUILD, 'jointcastd')} --controller robot.cell3:{second_port} --to 127.0.0.1"],
    "Arm green")
second.terminate()
check("a controller name whose first address is dead is reached through its second",
      "Arm green" in said, said)

# A broadcast address as the receiver: every receiver on that network gets the readings.
with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as everyone:
    everyone.bind(("0.0.0.0", 4849))
    everyone.settimeout(5)
    broadcaster = start([os.path.join(BUILD, "jointcastd"), "--to", "127.255.255.255",
                         f"--controller=127.0.0.1:{sim_port}"], stdout=subprocess.DEVNULL,
                        stderr=subprocess.DEVNULL)
    try:
        heard = everyone.recv(256)
    except socket.timeout:
        heard = b""
    broadcaster.terminate()
    broadcaster.wait(timeout=10)
check("jointcastd --to a broadcast address: the readings arrive", len(heard.split()) == 6, heard)

# A service's settings from a file, the command line's over them; a mistake in the file is one
# line naming the file, the line and the key, and exit code 2 at once (systemd does not restart).
conf = os.path.join(work, "robot1.conf")
with open(conf, "w", newline="") as f:
    f.write(f"# robot 1\r\nCONTROLLER = 127.0.0.1:{sim_port}\r\nRECEIVER='127.0.0.1'\r\n"
            "PERIOD=10000\r\n")
jointcastd = os.path.join(BUILD, "jointcastd")
ended, said = said_until("config", [jointcastd, "--config", conf], "Cross green")
check("jointcastd --config: controller and receiver from the file", ended == 0 and
      f"connecting to controller 127.0.0.1:{sim_port}, sending to 127.0.0.1:4849" in said, said)
ended, said = said_until("config-over", [jointcastd, "--config", conf, "--to", "localhost"],
                         "Cross green")
check("jointcastd --config: the command line wins", "sending to localhost:4849" in said, said)
paced_conf = os.path.join(work, "paced.conf")
with open(paced_conf, "w") as f:
    f.write(f"CONTROLLER=127.0.0.1:{sim_port}\nRECEIVER=127.0.0.1\nPERIOD = 100\n")
with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as paced_rx:
    paced_rx.bind(("127.0.0.1", 4849))
    paced_rx.settimeout(5)
    paced = start([jointcastd, "--config", paced_conf], stdout=subprocess.DEVNULL,
                  stderr=subprocess.DEVNULL)
    paced_rx.recv(256)  # streaming
    began, paced_count = time.monotonic(), 0
    while time.monotonic() - began < 3:
        paced_rx.recv(256)
        paced_count += 1
    paced.terminate()
    paced.wait(timeout=10)
check("PERIOD=100 in the file: about 10 datagrams a second", 24 <= paced_count <= 33, paced_count)
for what, text, expected in (
        ("a misspelt key", "RECIEVER=10.9.9.9\n", ":1: RECIEVER: not a setting"),
        ("a bad period", "\nPERIOD=20x\n", ":2: PERIOD: '20x' is not a whole number"),
        ("a receiver with two ports", "RECEIVER=127.0.0.1:4850:4849\n",
         ":1: RECEIVER: '127.0.0.1:4850:4849' is not HOST[:PORT]"),
        ("a missing file", None, ": cannot read it")):
    path = os.path.join(work, "no-such.conf" if text is None else "bad.conf")
    if text is not None:
        with open(path, "w") as f:
            f.write(text)
    began = time.monotonic()
    refused = run("jointcastd", "--config", path)
    check(f"jointcastd --config, {what}: one line naming it, exit code 2",
          refused.returncode == 2 and refused.stderr.count("\n") == 1 and
          path + expected in refused.stderr and time.monotonic() - began < 2, refused.stderr)
highest = run("jointcast-listen", "--port", "65535", "--bind", "127.0.0.1", "--mqtt",
              f"127.0.0.1:{free_port()}", "--mqtt-qos", "1", "--count", "1000000000000",
              "--seconds", "0.3")
check("jointcast-listen --port 65535 --mqtt-qos 1 --count 1000000000000", highest.returncode == 0
      and "listening on UDP 127.0.0.1:65535" in highest.stderr, highest.stderr)
fastest = run("jointcast-replay", recording, f"--to=localhost:{port}", "--speed", "1000",
              "--max-rate", "100000")
check("jointcast-replay --speed 1000 --max-rate 100000", fastest.returncode == 0 and
      "2 datagrams sent" in fastest.stderr, fastest.stderr)
last_port = start([os.path.join(BUILD, "jointcast-sim"), "--port", "65535", "--bind", "127.0.0.1",
                   "--latency", "60000", "--read-latency", "60000", "--read-latency-from", "86400"],
                  stderr=subprocess.PIPE, text=True)
ready = select.select([last_port.stderr], [], [], 5)[0]
check("jointcast-sim --port 65535 and its longest latencies",
      ready and "on 127.0.0.1:65535" in last_port.stderr.readline())
last_port.terminate()
last_port.wait(timeout=10)
sim.terminate()

print(f"operate e2e: {len(passes)} passed, {len(failures)} failed")
sys.exit(1 if failures else 0)
