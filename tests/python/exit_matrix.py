"""The lifecycles a user can write, each run to the end of its process.

Every case is a short program: make a dispatcher (or queue), maybe start a
native producer, maybe close, then leave the interpreter one of four ways.
A run is good when the process ends with the status plain Python gives for
that way out, prints to stderr only what the program itself caused (a
raising callback's report, the uncaught exception's traceback), and ends
within its time limit. The test suite runs each case a few times; the soak
script (tools/exit_soak.py) runs them hundreds of times.
"""

import os
import re
import shutil
import signal
import subprocess
import sys
import textwrap
from dataclasses import dataclass, field

# Exit wait for readers still inside a callback, plus interpreter start-up,
# on a loaded machine.
RUN_TIMEOUT = 60

PRELUDE = """
import asyncio, os, sys, threading, time
from vestrel import _testing
from vestrel.utils.corvane.corvane import (AsyncDispatcher, AsyncQueue, SyncDispatcher,
                                           ThreadedDispatcher)

def settle(seconds=0.05):
    time.sleep(seconds)
"""

# Notes when a reader's error has been reported (printed, then handed on),
# for cases that must see the report before they leave.
REPORT_WATCH = """
reported = threading.Event()
_hooks = (sys.unraisablehook, threading.excepthook)
def _unraisable(u):
    _hooks[0](u)
    reported.set()
def _excepthook(a):
    _hooks[1](a)
    reported.set()
sys.unraisablehook, threading.excepthook = _unraisable, _excepthook
"""

# Callbacks: the plain form for Sync/Threaded, the async form for the rest.
CALLBACKS = {
    "fast": ("def cb(m):\n    pass", "async def cb(m):\n    pass"),
    "slow": ("def cb(m):\n    time.sleep(0.01)", "async def cb(m):\n    time.sleep(0.01)"),
    # Sleeps in a GIL-releasing call far longer than exit waits.
    "blocking": ("def cb(m):\n    time.sleep(30)", "async def cb(m):\n    time.sleep(30)"),
    "raising": ("def cb(m):\n    raise ValueError('boom')",
                "async def cb(m):\n    raise ValueError('boom')"),
    "print": ("cb = print", None),
}

# An AsyncDispatcher made and set up on a loop that runs in another thread.
MAKE_ON_THE_LOOP = """\
async def make():
    return AsyncDispatcher(cb)
d = asyncio.run_coroutine_threadsafe(make(), loop).result(10)
"""
START_ON_THE_LOOP = """
started = threading.Event()
async def start():
    d.setup()
    started.set()
# Not .result(): a callback that blocks the loop holds up the hand-over.
asyncio.run_coroutine_threadsafe(start(), loop)
assert started.wait(10)
"""

# How each kind of program starts its consumer. `{make}` is the constructor
# call; the code leaves the dispatcher in `d`.
SETUPS = {
    # Nothing made here: the case's own lines do it.
    "bare": ("sync", "", ""),
    "sync-daemon": ("sync", "d = {make}(cb, daemon=True)\n", "d.setup()\n"),
    "sync": ("sync", "d = {make}(cb)\n", "d.setup()\n"),
    "threaded": ("sync", "d = {make}(cb)\n", "d.setup()\n"),
    # The loop runs in the main thread and returns to the program.
    "async-main": ("async", """
loop = asyncio.new_event_loop()
async def make():
    global d
    d = AsyncDispatcher(cb)
""", """
async def start():
    d.setup()
loop.run_until_complete(start())
loop.run_until_complete(asyncio.sleep(0.05))
"""),
    # The loop runs forever in a daemon thread.
    "async-daemon-loop": ("async", """
loop = asyncio.new_event_loop()
threading.Thread(target=loop.run_forever, daemon=True).start()
""" + MAKE_ON_THE_LOOP, START_ON_THE_LOOP),
    # The loop runs in a non-daemon thread and is stopped (not closed) before
    # the end.
    "async-stopped-loop": ("async", """
loop = asyncio.new_event_loop()
loop_thread = threading.Thread(target=loop.run_forever)
loop_thread.start()
""" + MAKE_ON_THE_LOOP, START_ON_THE_LOOP),
}

PRODUCERS = {
    "none": "",
    # Still pushing when the program ends.
    "pushing": "p = _testing.start(d, 10**9, 64)\n",
    "pushing-retry": "p = _testing.start(d, 10**9, 64, retry=True)\n",
    # Twenty messages waiting before the reader starts.
    "queued": "for i in range(20):\n    _testing.ring_of(d).put(b'x' * 16)\n",
    "done": "p = _testing.start(d, 1000, 64)\nassert p.join(30)\n",
}

CLOSES = {
    "open": "",
    "closed": "d.close()\n",
    # AsyncDispatcher closed from the main thread while its loop runs in
    # another one.
    "closed-other-thread": "d.close()\nsettle()\n",
}

EXITS = {
    "end": ("", 0),
    "sys-exit": ("sys.exit(3)\n", 3),
    "raise": ("raise RuntimeError('the program gives up')\n", 1),
    # An uncaught KeyboardInterrupt ends the process as SIGINT would; on
    # Windows that is the status STATUS_CONTROL_C_EXIT.
    "interrupt": ("raise KeyboardInterrupt\n",
                  0xC000013A if sys.platform == "win32" else -signal.SIGINT),
}

EXIT_TRACEBACKS = {
    "raise": "RuntimeError: the program gives up",
    "interrupt": "KeyboardInterrupt",
}

# Marks of a run that went wrong, whatever else stderr holds.
CRASH_MARKS = re.compile(
    r"FATAL|Fatal Python error|terminate called|Segmentation|Aborted|core dumped|"
    r"AddressSanitizer|UndefinedBehaviorSanitizer|LeakSanitizer|runtime error:")

# The last line of a traceback: the exception's name, maybe its message.
EXCEPTION_LINE = re.compile(r"^[A-Za-z_][\w.]*(Error|Exception|Interrupt|Exit)\b(:.*)?$", re.M)


@dataclass(frozen=True)
class Case:
    setup: str
    producer: str = "none"
    callback: str = "fast"
    close: str = "open"
    exit: str = "end"
    # Time the program runs before it closes or leaves.
    run_for: float = 0.05
    extra: str = ""
    id: str = field(default="", compare=False)

    @property
    def name(self):
        if self.id:
            return self.id
        parts = [self.setup, self.producer, self.callback, self.close, self.exit]
        return "-".join(p for p in parts if p not in ("none", "fast", "open", "end"))

    def script(self):
        kind, make, start = SETUPS[self.setup]
        plain, coro = CALLBACKS[self.callback]
        cb = coro if kind == "async" else plain
        if cb is None:
            raise ValueError(f"{self.name}: no {self.callback} callback for {kind}")
        cls = {"sync-daemon": "SyncDispatcher", "sync": "SyncDispatcher",
               "threaded": "ThreadedDispatcher"}.get(self.setup, "AsyncDispatcher")
        body = [PRELUDE, cb, "\n", textwrap.dedent(make).format(make=cls)]
        if self.callback == "raising" and kind != "async":
            body.append(REPORT_WATCH)
        if self.setup == "async-main":
            body.append("loop.run_until_complete(make())\n")
        queued = self.producer == "queued"
        if queued:
            body.append(PRODUCERS["queued"])
        body.append(textwrap.dedent(start))
        if not queued:
            body.append(PRODUCERS[self.producer])
        body.append(f"settle({self.run_for})\n")
        if self.callback == "raising" and kind != "async":
            # The report is part of what the case checks: on a loaded machine
            # the reader may not have reached the first message yet.
            body.append("reported.wait(20)\n")
        body.append(self.extra)
        body.append(CLOSES[self.close])
        if self.setup == "async-stopped-loop":
            body.append("loop.call_soon_threadsafe(loop.stop)\nloop_thread.join(30)\n")
        body.append(EXITS[self.exit][0])
        return "".join(body)

    def expected_status(self):
        return EXITS[self.exit][1]

    def judge(self, status, stderr):
        """None when the run is good, else what was wrong."""
        if status != self.expected_status():
            return f"status {status}, expected {self.expected_status()}"
        if CRASH_MARKS.search(stderr):
            return "crash marks in stderr"
        # What the program itself causes: the callback's error (reported by
        # the reader; an asyncio task's only if it is collected in time) and
        # the exception the program leaves with.
        required, allowed = set(), set()
        if self.callback == "raising":
            allowed.add("ValueError: boom")
            if SETUPS[self.setup][0] != "async":
                required.add("ValueError: boom")
            else:
                # asyncio logs the failed task when it is collected, which
                # may be during finalization, when 3.12+ can no longer
                # import what formatting the traceback needs: a plain
                # Python task fails the same way.
                allowed.add("ImportError: sys.meta_path is None, Python is likely shutting down")
        if self.exit in EXIT_TRACEBACKS:
            required.add(EXIT_TRACEBACKS[self.exit])
        allowed |= required
        lines = {m.group(0) for m in EXCEPTION_LINE.finditer(stderr)}
        if lines - allowed:
            return f"unexpected error in stderr: {sorted(lines - allowed)}"
        if required - lines:
            return f"stderr lacks {sorted(required - lines)}"
        if not allowed and stderr:
            return "unexpected stderr"
        return None


def _cases():
    c = []
    # The daemon SyncDispatcher: idle, pushing, slow with a backlog, blocked
    # in a callback, raising, closed; every way out.
    c += [Case("sync-daemon", callback="print", close="closed"),
          Case("sync-daemon", producer="pushing"),
          Case("sync-daemon", producer="pushing", close="closed"),
          Case("sync-daemon", producer="queued", callback="slow"),
          Case("sync-daemon", producer="pushing", callback="slow"),
          Case("sync-daemon", producer="queued", callback="blocking"),
          Case("sync-daemon", producer="queued", callback="raising"),
          Case("sync-daemon", producer="done")]
    c += [Case("sync-daemon", producer="pushing", callback="slow", exit=e)
          for e in ("sys-exit", "raise", "interrupt")]
    # Non-daemon SyncDispatcher: left open, exit lets it drain and end.
    c += [Case("sync", producer="queued", callback="slow"),
          Case("sync", producer="pushing"),
          Case("sync", producer="pushing", close="closed"),
          Case("sync", producer="done", exit="sys-exit"),
          Case("sync", producer="queued", callback="raising", exit="raise")]
    # ThreadedDispatcher: delivering, slow, outlasting the exit wait, idle,
    # and a producer blocked on a full ring nobody reads.
    c += [Case("threaded", producer="pushing-retry"),
          Case("threaded", producer="pushing-retry", callback="slow"),
          Case("threaded", producer="queued", callback="blocking"),
          Case("threaded", callback="print"),
          Case("threaded", producer="queued", callback="raising"),
          Case("threaded", producer="pushing-retry", close="closed"),
          Case("threaded", producer="pushing-retry", callback="slow", exit="interrupt")]
    c.append(Case("threaded", id="threaded-blocked-producer", extra=textwrap.dedent("""
        blocked = ThreadedDispatcher(None, capacity=8, slot_size=64, block_on_full=True)
        bp = _testing.start(blocked, 10**9)
        settle(0.02)
    """)))
    # AsyncDispatcher: loop in the main thread, in a daemon thread (busy,
    # slow, blocked, raising, closed from the main thread), stopped
    # without close.
    c += [Case("async-main", producer="pushing"),
          Case("async-main", producer="queued", callback="slow", exit="sys-exit"),
          Case("async-daemon-loop", producer="pushing"),
          Case("async-daemon-loop", producer="pushing", callback="slow"),
          Case("async-daemon-loop", producer="queued", callback="slow"),
          Case("async-daemon-loop", producer="queued", callback="blocking"),
          Case("async-daemon-loop", producer="queued", callback="raising"),
          Case("async-daemon-loop", producer="pushing", close="closed-other-thread"),
          Case("async-daemon-loop", producer="pushing", callback="slow", exit="raise"),
          Case("async-stopped-loop", producer="pushing"),
          Case("async-stopped-loop", producer="queued", callback="slow", exit="interrupt")]
    # AsyncQueue's dispatcher task on a loop in a daemon thread, fed by a
    # task of that loop.
    for cb in ("fast", "slow", "blocking"):
        c.append(Case("async-daemon-loop", callback=cb, id=f"queue-daemon-loop-{cb}",
                      extra=textwrap.dedent("""
            async def feed():
                q = AsyncQueue(capacity=256, slot_size=64)
                q.start_dispatcher(cb)
                for i in range(10**9):
                    await q.push_obj(b'm' * 32)
                    if i % 64 == 0:
                        await asyncio.sleep(0)
            asyncio.run_coroutine_threadsafe(feed(), loop)
            settle()
        """)))
    # Daemon threads of the program's own blocked in the ring's waits
    # (GIL released) and calling into it while the interpreter finalizes.
    c.append(Case("bare", id="ring-daemon-threads", extra=textwrap.dedent("""
        from vestrel.spsc_queue.spsc_queue import SPSCQueue
        q = SPSCQueue(slot_size=16, capacity=8, block_on_full=True)
        def consume():
            while True:
                q.take()
                q.release()
        def produce():
            while True:
                q.put(b'x' * 16)
        idle = SPSCQueue(slot_size=16, capacity=8)
        for body in (consume, produce, idle.take):
            threading.Thread(target=body, daemon=True).start()
        settle()
    """)))
    return c


CASES = _cases()


def stacks_of(pid):
    """Every thread's native stack of a hung process, when gdb is at hand."""
    gdb = shutil.which("gdb")
    if not gdb:
        return ""
    try:
        out = subprocess.run([gdb, "-p", str(pid), "-batch", "-ex", "thread apply all bt"],
                             capture_output=True, text=True, timeout=60).stdout
    except subprocess.TimeoutExpired:
        return ""
    frames = [line for line in out.splitlines() if line.startswith(("Thread", "#"))]
    return " | ".join(frames[:60])


def run_case(case, python=sys.executable, timeout=RUN_TIMEOUT, env=None):
    """Runs `case` once in a fresh interpreter; None when good, else why not."""
    env = dict(os.environ if env is None else env)
    env.pop("PYTHONWARNINGS", None)
    with subprocess.Popen([python, "-c", case.script()], stdout=subprocess.PIPE,
                          stderr=subprocess.PIPE, text=True, env=env,
                          cwd=os.path.dirname(os.path.abspath(__file__))) as proc:
        try:
            _, stderr = proc.communicate(timeout=timeout)
        except subprocess.TimeoutExpired:
            # What it hangs in is what a fix needs.
            stacks = stacks_of(proc.pid)
            proc.kill()
            proc.communicate()
            return f"no exit within {timeout} s" + (f"; stacks: {stacks}" if stacks else "")
    why = case.judge(proc.returncode, stderr)
    if why:
        tail = stderr.strip().splitlines()[-6:]
        return why + (": " + " | ".join(tail) if tail else "")
    return None
