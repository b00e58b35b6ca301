"""The child processes of an end-to-end test. Each one started here is ended however the test
ends: normally, on a failed assertion, or when the runner stops the test with SIGTERM."""
import atexit
import signal
import subprocess
import sys

children = []


def start(args, **kwargs):
    child = subprocess.Popen(args, **kwargs)
    children.append(child)
    return child


def end_children():
    for child in children:
        if child.poll() is None:
            child.kill()
            child.wait()


atexit.register(end_children)
signal.signal(signal.SIGTERM, lambda *_: sys.exit("stopped by SIGTERM"))
