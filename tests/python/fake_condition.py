"""A stand-in for asyncio.Condition that records what the queue's coroutines
do with it, so they can be driven by hand, step by step, without a loop."""

from vestrel.spsc_queue.spsc_queue import SPSCQueue
from vestrel.utils.corvane.corvane import AsyncQueue


class Step:
    """Awaitable: yields each of `yields` (logging what is sent back or
    thrown in), then raises `error` or returns `result`."""

    def __init__(self, log, name, yields=(), result=None, error=None):
        self.log, self.name = log, name
        self.yields, self.result, self.error = yields, result, error

    def __await__(self):
        for value in self.yields:
            try:
                got = yield value
            except BaseException as e:
                self.log.append((self.name, "thrown", type(e).__name__))
                if isinstance(e, KeyError) and self.name == "wait":
                    return None  # swallowed: the waiter just wakes up
                raise
            self.log.append((self.name, "sent", got))
        if self.error is not None:
            raise self.error
        return self.result


class FakeCondition:
    def __init__(self, wait_yields=("waiting",), exit_yields=(), suppress=None):
        self.log = []
        self.wait_yields, self.exit_yields, self.suppress = wait_yields, exit_yields, suppress

    async def __aenter__(self):
        self.log.append(("enter",))

    def __aexit__(self, exc_type, exc, tb):
        self.log.append(("exit", exc_type and exc_type.__name__))
        return Step(self.log, "exit", self.exit_yields, result=self.suppress)

    def wait(self):
        return Step(self.log, "wait", self.wait_yields)

    def notify(self):
        self.log.append(("notify",))

    def notify_all(self):
        self.log.append(("notify_all",))


class FakeLoop:
    """create_task hands the coroutine back, to be driven by hand."""

    def __init__(self):
        self.tasks = []

    def create_task(self, coro):
        self.tasks.append(coro)
        return coro


def queue_with(cond, capacity=8, slot_size=64, cls=AsyncQueue):
    """A queue whose condition is `cond`, built without any event loop."""
    q = cls.__new__(cls)
    ring = SPSCQueue(slot_size, capacity, False, False, False)
    q.__setstate__((None, None, FakeLoop(), cond, ring, None))
    return q


def run(coro):
    """Drives a coroutine that must finish without suspending; its value."""
    try:
        coro.send(None)
    except StopIteration as stop:
        return stop.value
    raise AssertionError("coroutine suspended")
