"""Calls run in a child interpreter: exit statuses, Ctrl-C sent from this process, resource limits
and memory cgroups that the test process itself must not be subject to."""

import contextlib
import errno
import os
import re
import signal
import subprocess
import sys
import textwrap
import threading
import time

# Ctrl-C must end a long call this soon after the signal arrives.
INTERRUPT_BOUND = 0.2
# How long a call has been running before the signal is sent.
SIGNAL_DELAY = 0.3
# Under the sanitizers everything runs several times slower, and so does the unwinding.
SLOWDOWN = 5 if os.environ.get("VELKO_SANITIZED") else 1

# A process started in the background by a shell without job control (as CI runners often
# are) inherits SIGINT ignored, and Python then installs no KeyboardInterrupt handler: a child
# that is to be stopped by Ctrl-C takes the handler an interactive interpreter has.
CTRL_C_HANDLER = """\
import signal
signal.signal(signal.SIGINT, signal.default_int_handler)
"""

# The child prints this line just before the call, and the time of its KeyboardInterrupt after.
CHILD = (
    CTRL_C_HANDLER
    + """\
import os, resource, sys, time
import velko
{prelude}
{setup}
print("ready", flush=True)
try:
    {call}
except KeyboardInterrupt:
    print("interrupted", time.monotonic(), flush=True)
else:
    print("finished", flush=True)
"""
)


def python_source(setup, call, prelude=""):
    return CHILD.format(prelude=textwrap.dedent(prelude), setup=textwrap.dedent(setup), call=call)


def run_python(source, timeout=120):
    """Runs `source` in a child interpreter and returns the completed process (text output)."""
    return subprocess.run(
        [sys.executable, "-c", source], capture_output=True, text=True, timeout=timeout
    )


def interrupt(call, setup="", prelude="", timeout=60):
    """Runs `call` in a child, sends SIGINT once it has run SIGNAL_DELAY seconds and returns the
    seconds from the signal to the child's KeyboardInterrupt. The child must exit normally and
    write nothing to standard error."""
    child = subprocess.Popen(
        [sys.executable, "-c", python_source(setup, call, prelude)],
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
        text=True,
    )
    try:
        assert child.stdout.readline() == "ready\n", child.communicate(timeout=timeout)
        time.sleep(SIGNAL_DELAY)
        sent = time.monotonic()
        child.send_signal(signal.SIGINT)
        out, err = child.communicate(timeout=timeout)
    finally:
        if child.poll() is None:
            child.kill()
            child.wait()
    assert out.startswith("interrupted "), (out, err)
    assert (child.returncode, err) == (0, "")
    return float(out.split()[1]) - sent


def assert_interrupted(call, attempts=3, **options):
    """Ctrl-C ends `call` within INTERRUPT_BOUND. A busy machine can hold any process back for a
    moment, so the bound is tried again before it counts as missed; a call that does not look
    for signals misses it every time."""
    latencies = []
    for _ in range(attempts):
        latencies.append(interrupt(call, **options))
        if latencies[-1] < INTERRUPT_BOUND * SLOWDOWN:
            return
    raise AssertionError(f"Ctrl-C took {latencies} s to end {call}")


@contextlib.contextmanager
def fifo_feeder(path, chunk, prefix=b"", suffix=b"", repeat=None):
    """Makes a FIFO at `path` and writes into it, from a thread of this process, `prefix`, then
    `chunk` `repeat` times (for ever when None, until the reader goes away), then `suffix`."""
    os.mkfifo(path)
    stop = threading.Event()

    def feed():
        # An endless stream starts again for each reader that comes (a test may try twice).
        while not stop.is_set():
            try:
                with open(path, "wb", buffering=0) as fifo:
                    fifo.write(prefix)
                    count = 0
                    while not stop.is_set() and (repeat is None or count < repeat):
                        fifo.write(chunk)
                        count += 1
                    fifo.write(suffix)
            except OSError:
                pass  # the reader went away
            if repeat is not None:
                return

    thread = threading.Thread(target=feed, daemon=True)
    thread.start()
    try:
        yield path
    finally:
        stop.set()
        # A reader that never came leaves the feeder blocked in open: release it.
        with contextlib.suppress(OSError):
            os.close(os.open(path, os.O_RDONLY | os.O_NONBLOCK))
        thread.join(timeout=10)


# A child that runs under an address-space limit of `headroom` bytes above its current size.
ADDRESS_LIMIT = """
import os
import resource

import velko

def limit_address_space(headroom):
    with open("/proc/self/statm") as statm:
        size = int(statm.read().split()[0]) * os.sysconf("SC_PAGE_SIZE")
    resource.setrlimit(resource.RLIMIT_AS, (size + headroom, resource.RLIM_INFINITY))

def limit_data(headroom):
    with open("/proc/self/statm") as statm:
        data = int(statm.read().split()[5]) * os.sysconf("SC_PAGE_SIZE")
    resource.setrlimit(resource.RLIMIT_DATA, (data + headroom, resource.RLIM_INFINITY))

def peak_rss():
    with open("/proc/self/status") as status:
        for line in status:
            if line.startswith("VmHWM:"):
                return int(line.split()[1]) * 1024
"""

MEMORY_ERROR = re.compile(
    r"(?P<what>.+) needs about (?P<need>[0-9.]+ [KMGTPE]iB|2\^[0-9]+ bytes)(?P<detail> \(.+\))?, "
    r"more than the "
    r"(?P<left>[0-9.]+ [KMGTPE]iB|[0-9]+ bytes) available"
)


def refusal(result):
    """The parts of the MemoryError a child printed, which must be all that it wrote."""
    assert result.stderr == ""
    match = MEMORY_ERROR.fullmatch(result.stdout.strip())
    assert match is not None, (result.returncode, result.stdout)
    return match


def memory_cgroup():
    """A fresh memory cgroup (v2 or v1) below this process's own, as (directory, limit file),
    or None when there is none this process may create."""
    if os.geteuid() != 0:
        return None
    with open("/proc/self/cgroup") as lines:
        entries = [line.rstrip("\n").split(":", 2) for line in lines]
    candidates = []
    for _, controllers, path in entries:
        if controllers == "":
            candidates += [
                (f"/sys/fs/cgroup{path}", "memory.max"),
                (f"/sys/fs/cgroup/unified{path}", "memory.max"),
            ]
        elif "memory" in controllers.split(","):
            candidates.append((f"/sys/fs/cgroup/memory{path}", "memory.limit_in_bytes"))
    for parent, limit_file in candidates:
        # cgroup v2 offers the controller to children only where it is enabled.
        if limit_file == "memory.max":
            try:
                with open(os.path.join(parent, "cgroup.subtree_control")) as control:
                    if "memory" not in control.read().split():
                        continue
            except OSError:
                continue
        directory = os.path.join(parent, f"velko-test-{os.getpid()}-{time.monotonic_ns()}")
        try:
            os.mkdir(directory)
        except OSError:
            continue
        if os.path.exists(os.path.join(directory, limit_file)):
            return directory, limit_file
        os.rmdir(directory)
    return None


def run_in_cgroup(source, limit, timeout=120):
    """Runs `source` in a child that is alone in a new memory cgroup of `limit` bytes; returns
    the completed process, or None when no cgroup can be made."""
    made = memory_cgroup()
    if made is None:
        return None
    directory, limit_file = made
    try:
        with open(os.path.join(directory, limit_file), "w") as control:
            control.write(str(limit))
        procs = os.path.join(directory, "cgroup.procs")

        def enter():
            with open(procs, "w") as control:
                control.write(str(os.getpid()))

        return subprocess.run(
            [sys.executable, "-c", source],
            capture_output=True,
            text=True,
            timeout=timeout,
            preexec_fn=enter,
        )
    finally:
        for _ in range(50):
            try:
                os.rmdir(directory)
                break
            except OSError as error:
                if error.errno != errno.EBUSY:
                    break
                time.sleep(0.1)
