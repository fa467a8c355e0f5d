import asyncio
import socket
from typing import Any, Awaitable, Callable, Dict, List, NoReturn, Optional, Tuple, Type, TypeVar, Union

from _typeshed import ReadableBuffer
from typing_extensions import disjoint_base

_T = TypeVar("_T")
_Q = TypeVar("_Q", bound="AsyncQueue")

# Each message reaches the callback as one positional `bytes` argument, or,
# with `batch=N`, the messages ready at once as a list of up to N of them.
# The asyncio classes await what the callback returns; the threaded ones drop
# it.
_AsyncCallback = Union[Callable[[bytes], Awaitable[object]],
                       Callable[[List[bytes]], Awaitable[object]]]
_Callback = Union[Callable[[bytes], object], Callable[[List[bytes]], object]]
_QueueCallback = Callable[[bytes], Awaitable[object]]

# Construction happens in the allocator, so a subclass may define __init__
# with a signature of its own as long as it passes these arguments on to the
# class call. Sizes must be positive; the flags are taken by truth value.

@disjoint_base
class AsyncDispatcher:
    def __new__(
        cls: Type[_T],
        callback: _AsyncCallback,
        capacity: int = 16384,
        slot_size: int = 2048,
        overwrite: object = False,
        zerocopy: object = False,
        variable_size: object = False,
        *,
        idle_wakes: object = False,
        batch: int = 0,
    ) -> _T: ...
    # idle_wakes: a push sends a wake datagram only to a reader that is about
    # to wait (and its reader is ours), not after every message: no system
    # call per push while the reader is busy, against a process-wide barrier
    # each time the reader goes to wait. batch=N: the callback gets lists of
    # up to N messages.
    # Call with an event loop running in this thread: the reader becomes a
    # task of that loop.
    def setup(self, host: str = "127.0.0.1") -> None: ...
    async def _reader(self, loop: asyncio.AbstractEventLoop, sock: socket.socket) -> NoReturn: ...
    def close(self) -> None: ...
    # The ring's stats() (stored, dropped, refused by reason, ...) and the
    # dispatcher's own counters: delivered, wakes_sent, wake_failures.
    def stats(self) -> Dict[str, int]: ...
    # Dispatchers cannot be pickled or copied: both raise TypeError.
    def __reduce__(self) -> NoReturn: ...
    def __setstate__(self, __pyx_state: object) -> NoReturn: ...

@disjoint_base
class SyncDispatcher:
    def __new__(
        cls: Type[_T],
        callback: _Callback,
        capacity: int = 16384,
        slot_size: int = 2048,
        zerocopy: object = False,
        overwrite: object = False,
        variable_size: object = False,
        daemon: object = False,
        *,
        idle_wakes: object = False,
        batch: int = 0,
    ) -> _T: ...
    # idle_wakes and batch=N as for AsyncDispatcher.
    def setup(self, host: str = "127.0.0.1") -> None: ...
    # The reader loops that setup() runs on its thread: they block, deliver
    # every message to the callback, and return once close() has been called.
    def _try_pop(self) -> None: ...
    def _try_pop_var(self) -> None: ...
    def close(self) -> None: ...
    def stats(self) -> Dict[str, int]: ...
    def __reduce__(self) -> NoReturn: ...
    def __setstate__(self, __pyx_state: object) -> NoReturn: ...

@disjoint_base
class ThreadedDispatcher:
    def __new__(
        cls: Type[_T],
        callback: _Callback,
        capacity: int = 16384,
        slot_size: int = 2048,
        zerocopy: object = False,
        block_on_full: object = False,
        overwrite: object = False,
        variable_size: object = False,
        *,
        batch: int = 0,
    ) -> _T: ...
    def setup(self) -> None: ...
    def close(self) -> None: ...
    # The ring's stats() and `delivered`.
    def stats(self) -> Dict[str, int]: ...
    def __reduce__(self) -> NoReturn: ...
    def __setstate__(self, __pyx_state: object) -> NoReturn: ...

@disjoint_base
class AsyncQueue:
    # loop=None takes the running loop (RuntimeError when none runs).
    def __init__(
        self,
        loop: Optional[asyncio.AbstractEventLoop] = None,
        slot_size: int = 1024,
        capacity: int = 16384,
        overwrite: object = False,
        zerocopy: object = False,
        block_on_full: object = False,
    ) -> None: ...
    def start_dispatcher(self, callback: _QueueCallback) -> None: ...
    # A message the ring refuses (full, or too long) is dropped without an error.
    async def push_buf(self, msg: ReadableBuffer) -> None: ...
    # bytes, str (sent as UTF-8) or any buffer; None pushes nothing.
    async def push_obj(self, msg: Union[str, ReadableBuffer, None]) -> None: ...
    async def push_str(self, msg: str) -> None: ...
    async def pop(self) -> bytes: ...
    async def _AsyncQueue__dispatch(self) -> NoReturn: ...
    # Takes any positional arguments (the exception details of an exit
    # protocol) and ignores them.
    async def shutdown(self, *excinfo: object) -> None: ...
    def __reduce__(self) -> Tuple[Any, ...]: ...
    def __setstate__(self, __pyx_state: Tuple[Any, ...]) -> None: ...

__test__: Dict[str, Any]

def __pyx_unpickle_AsyncQueue(
    __pyx_type: Type[_Q], __pyx_checksum: int, __pyx_state: Optional[Tuple[Any, ...]]
) -> _Q: ...
