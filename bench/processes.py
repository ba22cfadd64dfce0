"""Running a player and measuring it: its lifetime, memory and CPU time, its
orphans' included, and busy loops that load the machine beside it."""

import ctypes
import os
import signal
import subprocess
import threading
import time

from common import MEDIA


class BusyLoops:
    """|per_core| busy loops per core, as a loaded desktop runs them."""

    def __init__(self, per_core):
        self._loops = [subprocess.Popen(["sh", "-c", "while :; do :; done"])
                       for _ in range(per_core * os.cpu_count())]

    def stop(self):
        for loop in self._loops:
            loop.kill()
            loop.wait()


def adopt_orphans():
    """Makes this process the reaper of its descendants' orphans, so that the
    CPU time of a player's own children (quorwind's decoding process) is
    counted even when the player ends without waiting for them."""
    PR_SET_CHILD_SUBREAPER = 36
    ctypes.CDLL(None, use_errno=True).prctl(PR_SET_CHILD_SUBREAPER, 1, 0, 0, 0)


def reap_orphans(seconds=0.2):
    """CPU seconds of the orphans that end within |seconds|."""
    cpu = 0.0
    deadline = time.monotonic() + seconds
    while True:
        try:
            pid, _, usage = os.wait4(-1, os.WNOHANG)
        except ChildProcessError:
            break
        if pid:
            cpu += usage.ru_utime + usage.ru_stime
        elif time.monotonic() < deadline:
            time.sleep(0.005)
        else:
            return cpu
    return cpu


def tree_pss_kb(root):
    """The proportional set size of every process below |root| (not |root|
    itself), summed, in KB: shared pages count once over their sharers."""
    total, queue = 0, [root]
    while queue:
        parent = queue.pop()
        try:
            for task in os.listdir("/proc/%d/task" % parent):
                with open("/proc/%d/task/%s/children" % (parent, task)) as f:
                    for child in f.read().split():
                        queue.append(int(child))
                        with open("/proc/%s/smaps_rollup" % child) as rollup:
                            for line in rollup:
                                if line.startswith("Pss:"):
                                    total += int(line.split()[1])
                                    break
        except OSError:
            pass  # ended while being read
    return total


class TreeMemory(threading.Thread):
    """Samples the summed PSS of a process's descendants every 2 ms; |peak_kb|
    is the largest sum seen."""

    def __init__(self, root):
        super().__init__(daemon=True)
        self.root, self.peak_kb, self.done = root, 0, threading.Event()
        self.start()

    def run(self):
        while not self.done.is_set():
            self.peak_kb = max(self.peak_kb, tree_pss_kb(self.root))
            time.sleep(0.002)

    def stop(self):
        self.done.set()
        self.join()
        return self.peak_kb


def stop_player_after(time_pid, seconds):
    """Ends the player below GNU time (|time_pid|) with SIGTERM after |seconds|,
    as a user stops a long file once its start is heard."""
    def stop():
        try:
            with open("/proc/%d/task/%d/children" % (time_pid, time_pid)) as f:
                for child in f.read().split():
                    os.kill(int(child), signal.SIGTERM)
        except OSError:
            pass
    timer = threading.Timer(seconds, stop)
    timer.start()
    return timer


def run_measured(command, env, stop_after=None):
    """Runs |command| under GNU time, whose own start is small enough not to
    count in the peak memory it reports; the CPU time comes from the kernel's
    accounting of the whole run, to the microsecond. Returns (exec time,
    lifetime s, max RSS KB of the player's own process, peak PSS KB of the
    player's whole process tree, CPU s, status, first line of its error
    output). With |stop_after|, the player is ended after that many seconds."""
    report = os.path.join(MEDIA, "time-%d.txt" % os.getpid())
    errors = os.path.join(MEDIA, "stderr-%d.txt" % os.getpid())
    reap_orphans(0)  # those of earlier runs (Wine's helpers) are not this run's
    with open(os.devnull, "wb") as null, open(errors, "wb") as err:
        start = time.monotonic()
        process = subprocess.Popen(
            ["/usr/bin/time", "-q", "-f", "%M", "-o", report] + command, env=env,
            stdin=subprocess.DEVNULL, stdout=null, stderr=err)
        memory = TreeMemory(process.pid)  # below GNU time: the player and its children
        stopper = stop_player_after(process.pid, stop_after) if stop_after else None
        _, status, usage = os.wait4(process.pid, 0)
        if stopper:
            stopper.cancel()
        end = time.monotonic()
        pss = memory.stop()
    process.returncode = os.waitstatus_to_exitcode(status)
    cpu = usage.ru_utime + usage.ru_stime + reap_orphans()
    with open(report) as f:
        rss = int(f.read().split()[-1])
    with open(errors, errors="replace") as f:
        message = next((line.strip() for line in f if line.strip()), "")
    return start, end - start, rss, pss, cpu, process.returncode, message
