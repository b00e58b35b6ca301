"""What an end-to-end test script reports and waits with: each check as an "ok" or "FAIL" line,
the tally at the end (and the exit code), a free loopback port, a bounded wait."""
import socket
import sys
import time

passes, failures = [], []


def check(name, condition, detail=""):
    print(("ok   " if condition else "FAIL ") + name + ("" if condition else f": {detail}"))
    (passes if condition else failures).append(name)


def finish(suite):
    print(f"{suite} e2e: {len(passes)} passed, {len(failures)} failed")
    sys.exit(1 if failures else 0)


def free_port(kind=socket.SOCK_STREAM):
    with socket.socket(socket.AF_INET, kind) as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def wait_for(condition, seconds):
    """The condition's first true value within the seconds, or None."""
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        value = condition()
        if value:
            return value
        time.sleep(0.05)
    return None
