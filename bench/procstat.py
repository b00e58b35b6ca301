"""What a process costs, from /proc: CPU in nanoseconds from the scheduler's own per-thread
counters (/proc/PID/task/*/schedstat, exact, where utime and stime move in 10 ms ticks),
wake-ups (voluntary context switches) over all threads, and memory."""
import os
import re


def _tasks(pid):
    try:
        return os.listdir(f"/proc/{pid}/task")
    except OSError:
        return []


def cpu_ns(pid):
    """Nanoseconds on a CPU, all its live threads together."""
    total = 0
    for task in _tasks(pid):
        try:
            with open(f"/proc/{pid}/task/{task}/schedstat") as f:
                total += int(f.read().split()[0])
        except (OSError, IndexError, ValueError):
            pass  # a thread that ended meanwhile
    return total


def cpu_ns_by_thread(pid):
    """Nanoseconds on a CPU by thread name (its comm), the threads of one name together."""
    by_name = {}
    for task in _tasks(pid):
        try:
            with open(f"/proc/{pid}/task/{task}/comm") as f:
                name = f.read().strip()
            with open(f"/proc/{pid}/task/{task}/schedstat") as f:
                by_name[name] = by_name.get(name, 0) + int(f.read().split()[0])
        except (OSError, IndexError, ValueError):
            pass
    return by_name


def wakeups(pid):
    """Voluntary context switches, all its live threads together."""
    total = 0
    for task in _tasks(pid):
        try:
            with open(f"/proc/{pid}/task/{task}/status") as f:
                total += int(re.search(r"^voluntary_ctxt_switches:\s+(\d+)", f.read(), re.M)[1])
        except (OSError, TypeError):
            pass
    return total


def memory_kib(pid):
    """(resident now, peak resident) in KiB."""
    with open(f"/proc/{pid}/status") as f:
        text = f.read()
    return (int(re.search(r"^VmRSS:\s+(\d+)", text, re.M)[1]),
            int(re.search(r"^VmHWM:\s+(\d+)", text, re.M)[1]))


def figures(pid):
    """(CPU ns, wake-ups, peak RSS KiB) at this moment."""
    return cpu_ns(pid), wakeups(pid), memory_kib(pid)[1]


def percentile(values, p):
    """Nearest rank; None for no values."""
    ordered = sorted(values)
    if not ordered:
        return None
    return ordered[min(len(ordered) - 1, int(round(p / 100 * (len(ordered) - 1))))]
