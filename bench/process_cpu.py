"""A process's CPU time as /proc counts it, for the capture benchmarks."""
import os
import time
from pathlib import Path

TICK = os.sysconf("SC_CLK_TCK")


def cpu_ticks(pid):
    """User and system clock ticks the process has used; None once it is gone."""
    try:
        fields = Path(f"/proc/{pid}/stat").read_text().rsplit(")", 1)[1].split()
    except OSError:
        return None
    return int(fields[11]) + int(fields[12])


def wait_idle(pid, timeout):
    """Waits until the process has used under 20 ms of CPU in 300 ms: it has listed what it
    had received (Ravelin answers for its kernel counters only a moment after it is asked, and
    not while it is still busy with a backlog)."""
    deadline = time.monotonic() + timeout
    last = cpu_ticks(pid)
    while time.monotonic() < deadline and last is not None:
        time.sleep(0.3)
        current = cpu_ticks(pid)
        if current is None or (current - last) * 1000 / TICK < 20:
            return
        last = current
